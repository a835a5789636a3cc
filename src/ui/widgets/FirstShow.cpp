#include "ui/widgets/FirstShow.h"

#include <QEvent>
#include <QPointer>
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

} // namespace

namespace FirstShow {

void holdUntilOnScreen(QWidget* window)
{
    window->setProperty(holdProperty, true);
}

void fill(QWidget* page, std::function<void()> fill)
{
    QWidget* window = page->window();
    if (!window->property(holdProperty).toBool() || onScreen(window)) {
        fill();
        return;
    }
    QPointer<QWidget> guard(page);
    whenOnScreen(window, [guard, fill = std::move(fill)] {
        if (guard)
            fill();
    });
}

void onFirstShow(QWidget* page, std::function<void()> then)
{
    QPointer<QWidget> guard(page);
    new OneShotFilter(
        page, page, [](QEvent* event) { return event->type() == QEvent::Show; },
        [guard, then = std::move(then)] {
            if (guard)
                fill(guard, then);
        });
}

void whenOnScreen(QWidget* window, std::function<void()> work)
{
    // A posted call, not a direct one: the window paints while it handles
    // its expose event, and the work comes after that paint.
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

void afterStart(QWidget* widget, std::function<void()> work)
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

} // namespace FirstShow
