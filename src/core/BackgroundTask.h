#pragma once

#include <QObject>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>

// Library calls that may block for long (a FIDO2 key that does not answer, a
// read of a slow device) run here rather than on the window's thread.
namespace BackgroundTask {

// Runs work on a thread of its own; done hears its result on owner's thread,
// from the event loop, unless owner has gone by then. The thread is never
// waited for: a call that never returns keeps its own thread, not the window,
// and a program that quits meanwhile simply ends it.
template <typename T>
void run(QObject* owner, std::function<T()> work, std::function<void(T)> done)
{
    auto value = std::make_shared<std::optional<T>>();
    QThread* thread = QThread::create([value, work = std::move(work)] { value->emplace(work()); });
    QObject::connect(thread, &QThread::finished, owner, [value, done = std::move(done)] {
        if (*value && done)
            done(std::move(**value));
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

} // namespace BackgroundTask
