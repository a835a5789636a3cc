#include "WidgetLookup.h"

#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

QPushButton* findButton(QWidget* within, const QString& text)
{
    for (QPushButton* button : within->findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

void clickButton(QWidget* within, const QString& text)
{
    QPushButton* button = findButton(within, text);
    if (!button)
        QFAIL(qPrintable(QStringLiteral("no button ") + text));
    button->click();
}

QStringList menuScript(QMenu* menu)
{
    QStringList lines;
    for (QAction* action : menu->actions()) {
        if (action->isSeparator()) {
            lines << QStringLiteral("---");
        } else if (QMenu* sub = action->menu()) {
            lines << QStringLiteral("SUBMENU:") + sub->title();
            for (QAction* inner : sub->actions())
                lines << QStringLiteral("  ") + (inner->isSeparator() ? QStringLiteral("---") : inner->text());
            lines << QStringLiteral("END_SUBMENU");
        } else {
            lines << action->text();
        }
    }
    return lines;
}

bool runPopupMenu(const std::function<void()>& open, const QStringList& path,
                  const std::function<void(QMenu*)>& inspect)
{
    bool handled = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || handled)
            return;
        handled = true;
        if (inspect)
            inspect(menu);
        if (path.isEmpty()) {
            menu->close();
            return;
        }
        for (int i = 0; i < path.size(); ++i) {
            QAction* target = nullptr;
            for (QAction* action : menu->actions()) {
                if (action->text() == path.at(i))
                    target = action;
            }
            if (!target) {
                menu->close();
                return;
            }
            menu->setActiveAction(target);
            if (i + 1 < path.size()) {
                // Making a sub-menu's entry active opens it, as hovering does.
                menu = target->menu();
                QTRY_VERIFY(menu->isVisible());
            } else {
                QTest::keyClick(menu, Qt::Key_Return);
            }
        }
    });
    poll.start();
    open();
    return handled;
}

bool runTreeContextMenu(QTreeWidget* view, int row, const QStringList& path,
                        const std::function<void(QMenu*)>& inspect)
{
    return runTreeContextMenu(view, view->topLevelItem(row), path, inspect);
}

bool runTreeContextMenu(QTreeWidget* view, QTreeWidgetItem* item, const QStringList& path,
                        const std::function<void(QMenu*)>& inspect)
{
    // No item: the empty space at the bottom of the view.
    const QPoint pos = item ? view->visualItemRect(item).center()
                            : QPoint(5, qMax(0, view->viewport()->height() - 3));
    return runContextMenu(view, pos, path, inspect);
}

bool runContextMenu(QWidget* widget, const QPoint& pos, const QStringList& path,
                    const std::function<void(QMenu*)>& inspect)
{
    return runPopupMenu([&] { Q_EMIT widget->customContextMenuRequested(pos); }, path, inspect);
}
