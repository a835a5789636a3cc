#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>

#include <atomic>
#include <thread>

// A tiny DNS server on 127.0.0.1 and a free UDP port, answering A and TXT
// questions from a table and every other question with no records. It runs
// on a thread of its own: tools such as dig are awaited by a blocking wait on
// the test's thread, so a server there would never answer.
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
    int questionCount() const { return questions.load(); }

private:
    void serve();
    QByteArray answer(const QByteArray& query);

    int socketFd = -1;
    quint16 listenPort = 0;
    std::thread worker;
    std::atomic<bool> stopping{false};
    std::atomic<int> questions{0};
    QMutex mutex;
    QHash<QString, QList<QByteArray>> records;   // "name|TYPE" -> record data
};
