#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QMenu;
class QPoint;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

// Buttons are found by the text a user reads on them.

// The first push button inside within with exactly this text; null when none.
QPushButton* findButton(QWidget* within, const QString& text);

// Clicks that button; the test fails when there is none.
void clickButton(QWidget* within, const QString& text);

// A menu written back as lines: entries by text, "---" for a separator,
// "SUBMENU:<title>", its entries indented by two blanks, then "END_SUBMENU".
QStringList menuScript(QMenu* menu);

// Calls `open`, which brings up a pop-up menu (modal, as QMenu::exec does),
// and, once the menu is up, hands it to `inspect` and chooses the entry at
// `path` (sub-menu titles, then the label) the way the keyboard does; an
// empty path closes the menu. False when no menu came up.
bool runPopupMenu(const std::function<void()>& open, const QStringList& path,
                  const std::function<void(QMenu*)>& inspect = {});

// Right-clicks the tree's top-level row (through customContextMenuRequested,
// as a right-click does) and, once the menu is up, hands it to `inspect` and
// chooses the entry at `path` (sub-menu titles, then the label) the way the
// keyboard does; an empty path closes the menu. False when no menu came up.
bool runTreeContextMenu(QTreeWidget* view, int row, const QStringList& path,
                        const std::function<void(QMenu*)>& inspect = {});
// The same on any row, a child row included; a null item right-clicks the
// empty space at the bottom of the view.
bool runTreeContextMenu(QTreeWidget* view, QTreeWidgetItem* item, const QStringList& path,
                        const std::function<void(QMenu*)>& inspect = {});
// The same for a right-click at pos of any widget with a custom context menu.
bool runContextMenu(QWidget* widget, const QPoint& pos, const QStringList& path,
                    const std::function<void(QMenu*)>& inspect = {});
