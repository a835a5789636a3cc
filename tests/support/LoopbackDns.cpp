#include "LoopbackDns.h"

#include <QHostAddress>
#include <QMutexLocker>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

quint16 typeCode(const QString& type)
{
    if (type == QLatin1String("A"))
        return 1;
    if (type == QLatin1String("MX"))
        return 15;
    if (type == QLatin1String("TXT"))
        return 16;
    if (type == QLatin1String("AAAA"))
        return 28;
    return 0;
}

void put16(QByteArray& out, quint16 value)
{
    out.append(char(value >> 8));
    out.append(char(value & 0xff));
}

} // namespace

LoopbackDns::LoopbackDns() = default;

LoopbackDns::~LoopbackDns()
{
    stop();
}

bool LoopbackDns::start()
{
    socketFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(socketFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(socketFd);
        socketFd = -1;
        return false;
    }
    listenPort = ntohs(address.sin_port);
    stopping = false;
    worker = std::thread([this] { serve(); });
    return true;
}

void LoopbackDns::stop()
{
    stopping = true;
    if (worker.joinable())
        worker.join();
    if (socketFd >= 0) {
        ::close(socketFd);
        socketFd = -1;
    }
}

void LoopbackDns::addRecord(const QString& name, const QString& type, const QString& value)
{
    QByteArray data;
    if (type == QLatin1String("A")) {
        const quint32 ip = QHostAddress(value).toIPv4Address();
        put16(data, quint16(ip >> 16));
        put16(data, quint16(ip & 0xffff));
    } else {
        const QByteArray text = value.toUtf8().left(255);
        data.append(char(text.size()));
        data.append(text);
    }
    QMutexLocker lock(&mutex);
    records[name.toLower() + QLatin1Char('|') + QString::number(typeCode(type))].append(data);
    names.insert(name.toLower());
}

void LoopbackDns::serve()
{
    // Polls with a short time-out so that stop() is seen.
    while (!stopping) {
        pollfd ready {socketFd, POLLIN, 0};
        if (::poll(&ready, 1, 50) <= 0)
            continue;
        char buffer[512];
        sockaddr_in from {};
        socklen_t fromLength = sizeof from;
        const ssize_t size = ::recvfrom(socketFd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                        &fromLength);
        if (size < 12)
            continue;
        ++questions;
        if (quiet)
            continue;
        const QByteArray reply = answer(QByteArray(buffer, int(size)));
        if (!reply.isEmpty())
            ::sendto(socketFd, reply.constData(), size_t(reply.size()), 0, reinterpret_cast<sockaddr*>(&from),
                     fromLength);
    }
}

QByteArray LoopbackDns::answer(const QByteArray& query)
{
    // The question: labels up to the empty one, then type and class.
    QStringList labels;
    int at = 12;
    while (at < query.size()) {
        const int length = quint8(query.at(at));
        if (length == 0 || length > 63 || at + 1 + length > query.size())
            break;
        labels << QString::fromLatin1(query.mid(at + 1, length));
        at += 1 + length;
    }
    if (at + 5 > query.size() || query.at(at) != 0)
        return {};
    const int questionEnd = at + 5;
    const quint16 type = quint16((quint8(query.at(at + 1)) << 8) | quint8(query.at(at + 2)));

    const QString name = labels.join(QLatin1Char('.')).toLower();
    QList<QByteArray> found;
    bool known = false;
    {
        QMutexLocker lock(&mutex);
        found = records.value(name + QLatin1Char('|') + QString::number(type));
        known = names.contains(name);
    }
    QByteArray reply = query.left(2);   // the query's id
    // A response, recursion desired and available; no error, or no such name.
    put16(reply, known ? 0x8180 : 0x8183);
    put16(reply, 1);
    put16(reply, quint16(found.size()));
    put16(reply, 0);
    put16(reply, 0);
    reply.append(query.mid(12, questionEnd - 12));
    for (const QByteArray& data : found) {
        put16(reply, 0xc00c);           // the name of the question
        put16(reply, type);
        put16(reply, 1);                // IN
        put16(reply, 0);
        put16(reply, 60);               // time to live
        put16(reply, quint16(data.size()));
        reply.append(data);
    }
    return reply;
}
