#pragma once

#include "core/BackgroundTask.h"
#include "core/ToolRunner.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QAbstractScrollArea;
class QLabel;
class QWidget;

// How a page fills from tools (a keyring listing, a tool search, a key
// folder): building the window runs none of it; the fill starts when the page
// is first shown, or right after the window is on screen for the page it
// opens on; its tools run in the background while "Loading…" stands where the
// rows will be; the rows go in when the answer comes; a failure or time-out is
// told under the page and in its log. A refresh after an operation takes the
// same path, and an answer of an earlier fill still on its way is dropped.
class PageFill : public QObject
{
    Q_OBJECT
public:
    // rows: the view the rows go into, where "Loading…" shows while the fill
    // runs (none: it shows on the status line). status: the line under the
    // page that tells a failure; hidden while there is nothing to tell.
    PageFill(QWidget* page, QAbstractScrollArea* rows, QLabel* status = nullptr);

    // The fill itself: it starts its work through run() or inWorker(), whose
    // answers may start more. It runs on the page's first show and again on
    // every refresh().
    void setFill(std::function<void()> fill);
    // Fills now: after an operation, or the user's Refresh. A fill that has
    // run already is not run again by the page's first show.
    void refresh();
    bool hasStarted() const { return generation > 0; }
    bool isFilling() const { return pending > 0; }

    // Runs a tool of the fill in the background; rows hears its result,
    // failures included, unless a later fill began or the page went.
    void run(const QString& program, const QStringList& arguments, const ToolRunner::Options& options,
             std::function<void(const ToolRunner::Result&)> rows);

    // Runs a library call of the fill on a thread of its own; the same rules.
    template <typename T>
    void inWorker(std::function<T()> work, std::function<void(T)> rows)
    {
        const int asked = begin();
        BackgroundTask::run<T>(this, std::move(work), [this, asked, rows = std::move(rows)](T value) {
            if (asked != generation)
                return;
            rows(std::move(value));
            end(asked);
        });
    }

    // Tells a failure under the page and in the page's log; an empty text
    // takes the line away.
    void tell(const QString& failure);

    // Makes window hold back the fills of the pages it shows with its own
    // first appearance until it is on screen, so it is drawn before any of
    // them starts.
    static void holdUntilOnScreen(QWidget* window);
    // Runs work from the event loop once widget's window is on screen when
    // that window holds first fills, else at the next turn of the loop: for
    // work that runs whether or not a page is ever shown (a poll, a version
    // probe). Nothing runs if widget goes first.
    static void afterWindowShown(QWidget* widget, std::function<void()> work);

signals:
    void logLine(const QString& line);
    // The last answer of a fill is in.
    void filled();

private:
    int begin();
    void end(int asked);
    void showLoading(bool loading);

    QWidget* page;
    QPointer<QAbstractScrollArea> rows;
    QPointer<QLabel> status;
    QLabel* loadingLabel = nullptr;
    std::function<void()> fill;
    int generation = 0;
    int pending = 0;
};
