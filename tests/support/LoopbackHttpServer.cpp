#include "LoopbackHttpServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <memory>
#include <utility>

namespace {

// A request head larger than this is taken as garbage, not waited for.
constexpr qsizetype maxHeadBytes = 1024 * 1024;

QByteArray routeKey(const QByteArray& method, const QString& path)
{
    return method + ' ' + path.toUtf8();
}

bool hasHeader(const QList<LoopbackHttpServer::Header>& headers, const QByteArray& name)
{
    for (const auto& header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

QByteArray LoopbackHttpServer::Request::header(const QByteArray& name) const
{
    for (const auto& entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return entry.second;
    }
    return {};
}

LoopbackHttpServer::LoopbackHttpServer(QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this))
{
    fallback.status = 404;
    connect(server, &QTcpServer::newConnection, this, &LoopbackHttpServer::accept);
}

LoopbackHttpServer::~LoopbackHttpServer()
{
    // Sockets must not report their disconnection into a half-destroyed server.
    const auto sockets = connections.keys();
    for (QTcpSocket* socket : sockets) {
        disconnect(socket, nullptr, this, nullptr);
        socket->abort();
        delete socket;
    }
    server->close();
}

bool LoopbackHttpServer::listen(quint16 port)
{
    return server->listen(QHostAddress::LocalHost, port);
}

quint16 LoopbackHttpServer::port() const
{
    return server->serverPort();
}

QString LoopbackHttpServer::url(const QString& pathAndQuery) const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port()) + pathAndQuery;
}

void LoopbackHttpServer::route(const QByteArray& method, const QString& path, const Response& response)
{
    routes.insert(routeKey(method, path), [response](const Request&) { return response; });
}

void LoopbackHttpServer::route(const QByteArray& method, const QString& path, int status,
                               const QByteArray& body, const QList<Header>& headers)
{
    Response response;
    response.status = status;
    response.body = body;
    response.headers = headers;
    route(method, path, response);
}

void LoopbackHttpServer::route(const QByteArray& method, const QString& path, Handler handler)
{
    routes.insert(routeKey(method, path), std::move(handler));
}

void LoopbackHttpServer::clearRoutes()
{
    routes.clear();
}

void LoopbackHttpServer::setFallback(const Response& response)
{
    fallback = response;
}

QByteArray LoopbackHttpServer::reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 422: return "Unprocessable Entity";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

LoopbackHttpServer::Response LoopbackHttpServer::redirect(int status, const QString& location)
{
    Response response;
    response.status = status;
    response.headers << Header("Location", location.toUtf8());
    return response;
}

void LoopbackHttpServer::routePages(const QString& path, const QList<QByteArray>& items, int defaultPerPage,
                                    const QByteArray& wrapKey)
{
    route("GET", path, [this, path, items, defaultPerPage, wrapKey](const Request& request) {
        QUrlQuery query(request.query);
        bool ok = false;
        int perPage = query.queryItemValue(QStringLiteral("per_page")).toInt(&ok);
        if (!ok || perPage < 1)
            perPage = defaultPerPage;
        perPage = qMin(perPage, 100);
        int page = query.queryItemValue(QStringLiteral("page")).toInt(&ok);
        if (!ok || page < 1)
            page = 1;
        const int lastPage = qMax(1, int((items.size() + perPage - 1) / perPage));
        const QList<QByteArray> slice = items.mid(qsizetype(page - 1) * perPage, perPage);
        QByteArray array = '[' + QByteArrayList(slice).join(',') + ']';
        Response response;
        response.headers << Header("Content-Type", "application/json; charset=utf-8");
        response.body = wrapKey.isEmpty()
            ? array
            : "{\"total_count\":" + QByteArray::number(items.size()) + ",\"" + wrapKey + "\":" + array + '}';
        const auto pageUrl = [&](int number) {
            QUrlQuery to(query);
            to.removeAllQueryItems(QStringLiteral("page"));
            to.addQueryItem(QStringLiteral("page"), QString::number(number));
            return url(path + QLatin1Char('?') + to.toString(QUrl::FullyEncoded)).toUtf8();
        };
        QList<QByteArray> links;
        if (page < lastPage)
            links << '<' + pageUrl(page + 1) + ">; rel=\"next\"" << '<' + pageUrl(lastPage) + ">; rel=\"last\"";
        if (page > 1)
            links << '<' + pageUrl(page - 1) + ">; rel=\"prev\"" << '<' + pageUrl(1) + ">; rel=\"first\"";
        if (!links.isEmpty())
            response.headers << Header("Link", QByteArrayList(links).join(", "));
        return response;
    });
}

int LoopbackHttpServer::releaseHeld()
{
    const QList<Held> due = std::exchange(held, {});
    int sent = 0;
    for (Held entry : due) {
        if (!entry.socket || !connections.contains(entry.socket))
            continue;
        entry.response.held = false;
        ++sent;
        send(entry.socket, entry.request, entry.response);
        if (!entry.response.neverComplete && !entry.response.endless
            && !(entry.response.trickleIntervalMs > 0 && !entry.response.body.isEmpty()))
            finishAnswer(entry.socket, entry.request, entry.response);
    }
    return sent;
}

void LoopbackHttpServer::startTrickle(QTcpSocket* socket, const QByteArray& body, int intervalMs)
{
    auto* timer = new QTimer(socket);
    auto sentBytes = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, socket, [socket, timer, body, sentBytes] {
        if (socket->state() != QAbstractSocket::ConnectedState || *sentBytes >= body.size()) {
            timer->stop();
            timer->deleteLater();
            return;
        }
        socket->write(body.mid((*sentBytes)++, 1));
        socket->flush();
    });
    timer->start(intervalMs);
}

void LoopbackHttpServer::startEndless(QTcpSocket* socket, const QByteArray& body)
{
    const QByteArray chunk = body.isEmpty() ? QByteArray(64 * 1024, 'x') : body;
    const auto more = [this, socket, chunk] {
        if (socket->state() != QAbstractSocket::ConnectedState || socket->bytesToWrite() > 0)
            return;
        socket->write(chunk);
        endlessSent += chunk.size();
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, more);
    more();
}

void LoopbackHttpServer::finishAnswer(QTcpSocket* socket, const Request& request, const Response& response)
{
    auto it = connections.find(socket);
    if (it == connections.end())
        return;
    if (request.header("Connection").compare("close", Qt::CaseInsensitive) == 0
        || hasHeader(response.headers, "Connection")) {
        socket->disconnectFromHost();
        return;
    }
    it->stalled = false;
    QPointer<QTcpSocket> alive(socket);
    QMetaObject::invokeMethod(this, [this, alive] {
        if (alive)
            readFrom(alive);
    }, Qt::QueuedConnection);
}

void LoopbackHttpServer::accept()
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        connections.insert(socket, Connection{});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void LoopbackHttpServer::readFrom(QTcpSocket* socket)
{
    auto it = connections.find(socket);
    if (it == connections.end())
        return;
    it->buffer += socket->readAll();
    while (!it->stalled && socket->state() == QAbstractSocket::ConnectedState) {
        Request request;
        bool malformed = false;
        if (!takeRequest(it->buffer, &request, &malformed)) {
            if (malformed) {
                Response bad;
                bad.status = 400;
                bad.headers << Header("Connection", "close");
                send(socket, request, bad);
                socket->disconnectFromHost();
            }
            return;
        }
        received << request;
        emit requestReceived(request);
        // The signal's receiver may have stopped the server or dropped the socket.
        it = connections.find(socket);
        if (it == connections.end())
            return;
        const Response response = answerFor(request);
        if (response.held) {
            it->stalled = true;
            held << Held{socket, request, response};
            return;
        }
        send(socket, request, response);
        // A trickled body keeps the connection busy for good: the client
        // gives up on it long before it ends.
        if (response.neverComplete || response.endless
            || (response.trickleIntervalMs > 0 && !response.body.isEmpty())) {
            it->stalled = true;
            return;
        }
        if (request.header("Connection").compare("close", Qt::CaseInsensitive) == 0
            || hasHeader(response.headers, "Connection")) {
            socket->disconnectFromHost();
            return;
        }
    }
}

bool LoopbackHttpServer::takeRequest(QByteArray& buffer, Request* request, bool* malformed) const
{
    // Anything but a method first (a TLS hello, say) is refused at once rather
    // than waited on for a head that will never come.
    if (!buffer.isEmpty() && (buffer.at(0) < 'A' || buffer.at(0) > 'Z')) {
        *malformed = true;
        return false;
    }
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        *malformed = buffer.size() > maxHeadBytes;
        return false;
    }
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
        *malformed = true;
        return false;
    }
    Request parsed;
    parsed.head = buffer.left(headEnd);
    parsed.method = requestLine.at(0);
    parsed.target = requestLine.at(1);
    const qsizetype queryAt = parsed.target.indexOf('?');
    parsed.path = QUrl::fromPercentEncoding(queryAt < 0 ? parsed.target : parsed.target.left(queryAt));
    if (queryAt >= 0)
        parsed.query = QString::fromUtf8(parsed.target.mid(queryAt + 1));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            *malformed = true;
            return false;
        }
        parsed.headers << Header(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
    }
    // Bodies are read by Content-Length only; nothing here needs chunked uploads.
    if (!parsed.header("Transfer-Encoding").isEmpty()) {
        *malformed = true;
        return false;
    }
    qsizetype length = 0;
    const QByteArray lengthText = parsed.header("Content-Length");
    if (!lengthText.isEmpty()) {
        bool ok = false;
        length = lengthText.toLongLong(&ok);
        if (!ok || length < 0) {
            *malformed = true;
            return false;
        }
    }
    const qsizetype bodyStart = headEnd + 4;
    if (buffer.size() - bodyStart < length)
        return false;
    parsed.body = buffer.mid(bodyStart, length);
    buffer.remove(0, bodyStart + length);
    *request = parsed;
    return true;
}

LoopbackHttpServer::Response LoopbackHttpServer::answerFor(const Request& request) const
{
    auto it = routes.constFind(routeKey(request.method, QString::fromUtf8(request.target)));
    if (it == routes.constEnd())
        it = routes.constFind(routeKey(request.method, request.path));
    if (it == routes.constEnd())
        return fallback;
    return (*it)(request);
}

void LoopbackHttpServer::send(QTcpSocket* socket, const Request& request, const Response& response)
{
    if (response.neverComplete && response.body.isEmpty())
        return;  // a head with "Content-Length: 0" would be a complete answer
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonPhrase(response.status) + "\r\n";
    for (const auto& header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    if (response.endless) {
        // Without a length the body lasts until the connection closes.
        head += "Connection: close\r\n\r\n";
        socket->write(head);
        startEndless(socket, response.body);
        return;
    }
    if (!hasHeader(response.headers, "Content-Length"))
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += "\r\n";
    socket->write(head);
    if (request.method == "HEAD")
        return;
    if (response.trickleIntervalMs > 0 && !response.neverComplete) {
        startTrickle(socket, response.body, response.trickleIntervalMs);
        return;
    }
    socket->write(response.neverComplete ? response.body.left(response.body.size() / 2)
                                         : response.body);
}
