#include "Heartbeat.h"

Heartbeat::Heartbeat()
{
    clock.start();
    timer.setInterval(20);
    connect(&timer, &QTimer::timeout, this, [this] {
        const qint64 now = clock.elapsed();
        longest = qMax(longest, now - lastTick);
        lastTick = now;
    });
    timer.start();
}

qint64 Heartbeat::longestGapMs() const
{
    return qMax(longest, clock.elapsed() - lastTick);
}
