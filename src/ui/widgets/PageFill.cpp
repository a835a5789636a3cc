#include "ui/widgets/PageFill.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace {

const char* const holdProperty = "holdsFirstFills";

bool onScreen(QWidget* window)
{
    QWindow* handle = window->windowHandle();
    return handle && handle->isExposed();
}

// Waits for one event on watched, then removes itself.
class OneShotFilter : public QObject
{
public:
    using Test = std::function<bool(QEvent*)>;
    OneShotFilter(QObject* watched, QObject* owner, Test test, std::function<void()> then)
        : QObject(owner)
        , test(std::move(test))
        , then(std::move(then))
    {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (done || !test(event))
            return false;
        done = true;
        watched->removeEventFilter(this);
        deleteLater();
        then();
        return false;
    }

private:
    Test test;
    std::function<void()> then;
    bool done = false;
};

// Runs work from the event loop once window is on screen: at the next turn
// of the loop when it already is. A posted call, not a direct one: the window
// paints while it handles its expose event, and the work comes after that.
void whenOnScreen(QWidget* window, std::function<void()> work)
{
    QPointer<QWidget> guard(window);
    auto post = [guard, work = std::move(work)] {
        if (guard)
            QTimer::singleShot(0, guard, work);
    };
    if (onScreen(window)) {
        post();
        return;
    }
    if (QWindow* handle = window->windowHandle()) {
        new OneShotFilter(
            handle, window,
            [handle](QEvent* event) { return event->type() == QEvent::Expose && handle->isExposed(); },
            std::move(post));
        return;
    }
    // A window not shown yet has no native window to watch: its show makes one.
    new OneShotFilter(
        window, window, [](QEvent* event) { return event->type() == QEvent::Show; },
        [guard, post = std::move(post)] {
            if (guard && guard->windowHandle())
                whenOnScreen(guard, post);
            else
                post();
        });
}

} // namespace

PageFill::PageFill(QWidget* page, QAbstractScrollArea* rows, QLabel* status)
    : QObject(page)
    , page(page)
    , rows(rows)
    , status(status)
{
    if (rows) {
        loadingLabel = new QLabel(QString::fromUtf8("Loading\u2026"), rows->viewport());
        loadingLabel->setObjectName(QStringLiteral("pageFillLoading"));
        loadingLabel->setAlignment(Qt::AlignCenter);
        loadingLabel->setAutoFillBackground(true);
        loadingLabel->hide();
    }
    new OneShotFilter(page, this, [](QEvent* event) { return event->type() == QEvent::Show; }, [this] {
        if (hasStarted())
            return;
        // The page the window opens on fills once the window is drawn.
        QWidget* window = this->page->window();
        if (window->property(holdProperty).toBool() && !onScreen(window)) {
            whenOnScreen(window, [this] {
                if (!hasStarted())
                    refresh();
            });
            return;
        }
        // From the event loop: the page is drawn as it is shown, and a fill
        // never runs inside the show of its page.
        QTimer::singleShot(0, this, [this] {
            if (!hasStarted())
                refresh();
        });
    });
}

void PageFill::setFill(std::function<void()> fill)
{
    this->fill = std::move(fill);
}

void PageFill::refresh()
{
    ++generation;
    pending = 0;
    const int asked = begin();
    if (fill)
        fill();
    end(asked);
}

void PageFill::run(const QString& program, const QStringList& arguments,
                   const ToolRunner::Options& options,
                   std::function<void(const ToolRunner::Result&)> rows)
{
    const int asked = begin();
    ToolRunner::runAsync(program, arguments, options, this,
                         [this, asked, rows = std::move(rows)](const ToolRunner::Result& result) {
                             if (asked != generation)
                                 return;
                             rows(result);
                             end(asked);
                         });
}

void PageFill::tell(const QString& failure)
{
    if (status) {
        status->setText(failure);
        status->setVisible(!failure.isEmpty());
    }
    if (!failure.isEmpty())
        emit logLine(failure);
}

int PageFill::begin()
{
    if (pending++ == 0)
        showLoading(true);
    return generation;
}

void PageFill::end(int asked)
{
    if (asked != generation || pending == 0)
        return;
    if (--pending > 0)
        return;
    showLoading(false);
    emit filled();
}

void PageFill::showLoading(bool loading)
{
    if (loadingLabel) {
        if (loading) {
            loadingLabel->setGeometry(loadingLabel->parentWidget()->rect());
            loadingLabel->raise();
        }
        loadingLabel->setVisible(loading);
        return;
    }
    if (status) {
        // The status line says "Loading…" only while it has no failure to tell.
        if (loading && status->isHidden()) {
            status->setText(QString::fromUtf8("Loading\u2026"));
            status->show();
        } else if (!loading && status->text() == QString::fromUtf8("Loading\u2026")) {
            status->clear();
            status->hide();
        }
    }
}

void PageFill::holdUntilOnScreen(QWidget* window)
{
    window->setProperty(holdProperty, true);
}

void PageFill::afterWindowShown(QWidget* widget, std::function<void()> work)
{
    QWidget* window = widget->window();
    QPointer<QWidget> guard(widget);
    auto run = [guard, work = std::move(work)] {
        if (guard)
            work();
    };
    if (window->property(holdProperty).toBool())
        whenOnScreen(window, std::move(run));
    else
        QTimer::singleShot(0, widget, std::move(run));
}
