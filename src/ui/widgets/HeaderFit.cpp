#include "ui/widgets/HeaderFit.h"

#include <QCoreApplication>
#include <QEvent>
#include <QHeaderView>
#include <QPointer>
#include <QScrollBar>
#include <QTreeView>

namespace {

const char* const fittedProperty = "_ot_sectionsFitted";

class SectionFitter : public QObject
{
public:
    explicit SectionFitter(QHeaderView* header)
        : QObject(header)
        , header(header)
    {
        header->installEventFilter(this);
        fit();
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Polish:
        case QEvent::StyleChange:
        case QEvent::FontChange:
            fit();
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void fit()
    {
        for (int section = 0; section < header->count(); ++section) {
            if (header->isSectionHidden(section))
                continue;
            const int needed = header->sectionSizeHint(section);
            if (header->sectionSize(section) < needed)
                header->resizeSection(section, needed);
        }
    }

    QHeaderView* header;
};

void keepTwoRows(QTreeView* tree)
{
    const int needed = twoRowTreeHeight(tree);
    if (tree->minimumHeight() < needed)
        tree->setMinimumHeight(needed);
}

// Watches the whole application: a view met for the first time is fitted,
// and trees are measured again whenever a theme changes their fonts.
class ViewFitter : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::Polish && type != QEvent::StyleChange && type != QEvent::Show)
            return false;
        if (!watched->isWidgetType())
            return false;
        if (auto* header = qobject_cast<QHeaderView*>(watched)) {
            keepSectionsFitted(header);
        } else if (auto* tree = qobject_cast<QTreeView*>(watched)) {
            keepSectionsFitted(tree->header());
            keepTwoRows(tree);
        }
        return false;
    }
};

} // namespace

void keepSectionsFitted(QHeaderView* header)
{
    if (!header || header->property(fittedProperty).toBool())
        return;
    header->setProperty(fittedProperty, true);
    new SectionFitter(header);
}

int twoRowTreeHeight(const QTreeView* tree)
{
    int row = tree->fontMetrics().height() + 8;
    if (tree->model() && tree->model()->rowCount() > 0)
        row = qMax(row, tree->sizeHintForRow(0));
    int height = 2 * row + 2 * tree->frameWidth() + tree->horizontalScrollBar()->sizeHint().height();
    if (!tree->isHeaderHidden())
        height += tree->header()->sizeHint().height();
    return height;
}

void fitViewsEverywhere(QCoreApplication* app)
{
    static QPointer<ViewFitter> fitter;
    if (!fitter)
        fitter = new ViewFitter(app);
    app->installEventFilter(fitter);
}
