#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// A 20 ms timer that notes the longest gap between its ticks: while the test
// waits on a page, it shows whether the window's thread kept answering.
class Heartbeat : public QObject
{
public:
    Heartbeat();
    // The longest gap since the start, in milliseconds.
    qint64 longestGapMs() const;

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 lastTick = 0;
    qint64 longest = 0;
};
