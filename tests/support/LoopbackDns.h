#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>

#include <atomic>
#include <thread>

// A tiny DNS server on 127.0.0.1 and a free UDP port, answering A and TXT
// questions from a table: a name in the table gets its records of the type
// asked (none for another type), any other name "no such name" (NXDOMAIN).
// Made silent, it reads questions and answers none. It runs on a thread of
// its own, so that it answers whatever the test's thread is waiting on.
class LoopbackDns
{
public:
    LoopbackDns();
    ~LoopbackDns();
    LoopbackDns(const LoopbackDns&) = delete;
    LoopbackDns& operator=(const LoopbackDns&) = delete;

    // False when no socket could be bound.
    bool start();
    void stop();
    quint16 port() const { return listenPort; }

    // name without the final dot, any case; type "A" (dotted IPv4) or "TXT".
    void addRecord(const QString& name, const QString& type, const QString& value);
    // Silent: every question goes unanswered, as from a server that is down.
    void setSilent(bool silent) { quiet = silent; }
    int questionCount() const { return questions.load(); }

private:
    void serve();
    QByteArray answer(const QByteArray& query);

    int socketFd = -1;
    quint16 listenPort = 0;
    std::thread worker;
    std::atomic<bool> stopping{false};
    std::atomic<bool> quiet{false};
    std::atomic<int> questions{0};
    QMutex mutex;
    QHash<QString, QList<QByteArray>> records;   // "name|TYPE" -> record data
    QSet<QString> names;                         // every name in the table
};
