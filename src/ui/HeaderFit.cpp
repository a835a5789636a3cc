#include "ui/HeaderFit.h"

#include <QEvent>
#include <QHeaderView>

namespace {

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

} // namespace

void keepSectionsFitted(QHeaderView* header)
{
    if (header)
        new SectionFitter(header);
}
