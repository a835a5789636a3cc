#include "SoftFidoBus.h"

#include "fido/FidoDeviceManager.h"

#include <fido.h>

#include <QDeadlineTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QWaitCondition>
#include <QtGlobal>

#include <deque>

namespace {

// The device manager lists keys on a thread of its own while tests and
// actions use the bus on the main one: everything the bus holds, and every
// authenticator's work, is touched under this lock. A hung key's wait is not.
// Never destroyed, as a listing may outlast the test.
QMutex& busLock()
{
    static auto* mutex = new QMutex;
    return *mutex;
}
QWaitCondition& channelClosed()
{
    static auto* condition = new QWaitCondition;
    return *condition;
}
int liveChannels = 0;

SoftFidoBus* activeBus = nullptr;

constexpr int reportSize = 64;
constexpr quint8 cmdInit = 0x86;
constexpr quint8 cmdCbor = 0x90;
constexpr quint8 cmdCancel = 0x91;
constexpr quint8 cmdError = 0xbf;
constexpr quint8 capCbor = 0x04;
constexpr quint8 capNoMsg = 0x08;
constexpr int unlimitedWaitMs = 3000;

// One open device: reassembles request messages from reports and queues the
// reports of each answer.
struct Channel
{
    SoftAuthenticator* authenticator = nullptr;
    quint32 assignedCid = 0;
    QByteArray cid;
    quint8 command = 0;
    int expected = -1;
    QByteArray message;
    std::deque<QByteArray> replies;
    bool hung = false; // a request went unanswered: reads wait out their limit

    void queue(const QByteArray& toCid, quint8 cmd, const QByteArray& payload)
    {
        QByteArray frame = toCid;
        frame.append(static_cast<char>(cmd));
        frame.append(static_cast<char>(payload.size() >> 8));
        frame.append(static_cast<char>(payload.size() & 0xff));
        qsizetype pos = qMin<qsizetype>(payload.size(), reportSize - 7);
        frame += payload.left(pos);
        frame.resize(reportSize, '\0');
        replies.push_back(frame);
        for (quint8 seq = 0; pos < payload.size(); ++seq) {
            QByteArray cont = toCid;
            cont.append(static_cast<char>(seq));
            const qsizetype n = qMin<qsizetype>(payload.size() - pos, reportSize - 5);
            cont += payload.mid(pos, n);
            cont.resize(reportSize, '\0');
            replies.push_back(cont);
            pos += n;
        }
    }

    void dispatch()
    {
        const bool silent = !authenticator->answering
            || (command == cmdCbor && !message.isEmpty()
                && authenticator->silentOn.contains(static_cast<quint8>(message.at(0))));
        if (silent) {
            hung = true;
            return;
        }
        switch (command) {
        case cmdInit: {
            static quint32 nextCid = 0x0c0ffee0;
            assignedCid = ++nextCid;
            QByteArray reply = message.left(8);
            for (int s = 24; s >= 0; s -= 8)
                reply.append(static_cast<char>(assignedCid >> s));
            reply.append(char(2)); // CTAPHID protocol version
            reply.append(char(1)); // device version 1.0.0
            reply.append(char(0));
            reply.append(char(0));
            reply.append(static_cast<char>(capCbor | capNoMsg));
            queue(cid, cmdInit, reply);
            break;
        }
        case cmdCbor:
            queue(cid, cmdCbor, authenticator->handle(message));
            break;
        case cmdCancel:
            break;
        default:
            queue(cid, cmdError, QByteArray(1, '\x01'));
            break;
        }
    }

    void receive(const QByteArray& frame)
    {
        const auto head = static_cast<quint8>(frame.at(4));
        if (head & 0x80) {
            cid = frame.left(4);
            command = head;
            expected = (static_cast<quint8>(frame.at(5)) << 8) | static_cast<quint8>(frame.at(6));
            message = frame.mid(7, qMin(expected, reportSize - 7));
        } else if (expected >= 0) {
            message += frame.mid(5, qMin<qsizetype>(expected - message.size(), reportSize - 5));
        } else {
            return;
        }
        if (message.size() >= expected) {
            expected = -1;
            dispatch();
        }
    }
};

} // namespace

struct SoftFidoBusIo
{
    static void* open(const char* path)
    {
        const QMutexLocker lock(&busLock());
        if (!activeBus)
            return nullptr;
        SoftAuthenticator* authenticator = activeBus->findAuthenticator(QString::fromUtf8(path));
        if (!authenticator)
            return nullptr;
        ++activeBus->openCount;
        ++liveChannels;
        auto* channel = new Channel;
        channel->authenticator = authenticator;
        return channel;
    }

    static void close(void* handle)
    {
        const QMutexLocker lock(&busLock());
        if (activeBus)
            ++activeBus->closeCount;
        --liveChannels;
        channelClosed().wakeAll();
        delete static_cast<Channel*>(handle);
    }

    static int read(void* handle, unsigned char* buf, size_t len, int ms)
    {
        auto* channel = static_cast<Channel*>(handle);
        QMutexLocker lock(&busLock());
        if (activeBus)
            activeBus->limits << ms;
        if (channel->replies.empty()) {
            // A key that hangs keeps the caller waiting as long as it is
            // allowed to; without a limit (-1) that is for ever, which here
            // ends after a while so that the test can report it.
            const bool hung = channel->hung;
            lock.unlock();
            if (hung)
                QThread::msleep(static_cast<unsigned long>(ms < 0 ? unlimitedWaitMs : ms));
            return -1;
        }
        const QByteArray frame = channel->replies.front();
        channel->replies.pop_front();
        const size_t n = qMin(len, static_cast<size_t>(frame.size()));
        memcpy(buf, frame.constData(), n);
        return static_cast<int>(n);
    }

    static int write(void* handle, const unsigned char* buf, size_t len)
    {
        auto* channel = static_cast<Channel*>(handle);
        // libfido2 writes a report-id byte in front of each 64-byte report.
        QByteArray frame(reinterpret_cast<const char*>(buf), static_cast<qsizetype>(len));
        if (frame.size() == reportSize + 1)
            frame.remove(0, 1);
        if (frame.size() != reportSize)
            return -1;
        const QMutexLocker lock(&busLock());
        channel->receive(frame);
        return static_cast<int>(len);
    }
};

namespace {
const fido_dev_io_t softIo = {&SoftFidoBusIo::open, &SoftFidoBusIo::close, &SoftFidoBusIo::read,
                              &SoftFidoBusIo::write};
}

SoftFidoBus::SoftFidoBus()
{
    {
        const QMutexLocker lock(&busLock());
        Q_ASSERT(!activeBus);
        activeBus = this;
    }
    // Through activeBus, not this: a listing on another thread may ask after
    // the bus has gone, and then finds nothing plugged in.
    FidoDeviceManager::setManifestSource([] {
        const QMutexLocker lock(&busLock());
        FidoDeviceManager::Manifest manifest;
        if (!activeBus)
            return manifest;
        manifest.result = activeBus->manifestResult;
        for (const Slot& slot : activeBus->plugged) {
            FidoDeviceManager::ManifestEntry entry;
            entry.path = slot.key.path;
            entry.product = slot.key.product;
            entry.manufacturer = slot.key.manufacturer;
            entry.vendorId = slot.key.vendorId;
            entry.productId = slot.key.productId;
            manifest.entries << entry;
        }
        return manifest;
    });
    FidoDeviceManager::setDeviceAttacher([](fido_dev* dev) { fido_dev_set_io_functions(dev, &softIo); });
}

SoftFidoBus::~SoftFidoBus()
{
    FidoDeviceManager::setManifestSource({});
    FidoDeviceManager::setDeviceAttacher({});
    QMutexLocker lock(&busLock());
    activeBus = nullptr;
    // A listing still talking to one of the authenticators (one that hangs
    // keeps it for its whole wait) finishes before they go.
    const QDeadlineTimer deadline(30000);
    while (liveChannels > 0 && !deadline.hasExpired())
        channelClosed().wait(&busLock(), deadline);
}

SoftAuthenticator& SoftFidoBus::plug(const Key& key, int position)
{
    const QMutexLocker lock(&busLock());
    Slot slot{key, std::make_unique<SoftAuthenticator>()};
    SoftAuthenticator& authenticator = *slot.authenticator;
    if (position < 0 || position >= static_cast<int>(plugged.size()))
        plugged.push_back(std::move(slot));
    else
        plugged.insert(plugged.begin() + position, std::move(slot));
    return authenticator;
}

void SoftFidoBus::plugUnreachable(const Key& key, int position)
{
    const QMutexLocker lock(&busLock());
    Slot slot{key, nullptr};
    if (position < 0 || position >= static_cast<int>(plugged.size()))
        plugged.push_back(std::move(slot));
    else
        plugged.insert(plugged.begin() + position, std::move(slot));
}

void SoftFidoBus::unplug(const QString& path)
{
    const QMutexLocker lock(&busLock());
    for (auto it = plugged.begin(); it != plugged.end(); ++it) {
        if (it->key.path == path) {
            plugged.erase(it);
            return;
        }
    }
}

SoftAuthenticator* SoftFidoBus::authenticator(const QString& path) const
{
    const QMutexLocker lock(&busLock());
    return findAuthenticator(path);
}

SoftAuthenticator* SoftFidoBus::findAuthenticator(const QString& path) const
{
    for (const Slot& slot : plugged) {
        if (slot.key.path == path)
            return slot.authenticator.get();
    }
    return nullptr;
}

void SoftFidoBus::setManifestResult(int result)
{
    const QMutexLocker lock(&busLock());
    manifestResult = result;
}

int SoftFidoBus::opens() const
{
    const QMutexLocker lock(&busLock());
    return openCount;
}

int SoftFidoBus::closes() const
{
    const QMutexLocker lock(&busLock());
    return closeCount;
}

QList<int> SoftFidoBus::readLimits() const
{
    const QMutexLocker lock(&busLock());
    return limits;
}

void SoftFidoBus::withAuthenticators(const std::function<void()>& change)
{
    const QMutexLocker lock(&busLock());
    change();
}
