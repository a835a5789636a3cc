#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 for tests that need a real peer for
// QNetworkAccessManager: issuer downloads, REST APIs. It runs in the test's
// own thread, so it answers while the code under test waits in an event loop.
//
// Every request is recorded (method, target, path, query, headers in the order
// sent, body read by Content-Length). Answers come from routes keyed by method
// and path; a route whose path holds a '?' matches the full target, query
// included, others ignore the query. A request no route matches gets 404.
// Connections are kept alive unless the client asks to close them. An answer
// may be held back until the test releases it, or trickled a byte at a time.
class LoopbackHttpServer : public QObject
{
    Q_OBJECT
public:
    using Header = QPair<QByteArray, QByteArray>;

    struct Request {
        QByteArray method;          // "GET", "POST", ...
        QByteArray target;          // as sent: path and query
        QString path;               // percent-decoded, without the query
        QString query;              // after the '?', still encoded; empty without one
        QList<Header> headers;      // names as sent, in order
        QByteArray body;
        QByteArray head;            // request line and header lines exactly as sent
        // The first header of that name (compared without case), empty if none.
        QByteArray header(const QByteArray& name) const;
    };

    struct Response {
        int status = 200;
        QList<Header> headers;      // Content-Length is added unless given here
        QByteArray body;
        // Sends the head and half of the body, then holds the connection open
        // without another byte: a transfer that never completes. With an empty
        // body nothing at all is sent.
        bool neverComplete = false;
        // Sends the head at once, then the body one byte at a time, one every
        // this many milliseconds (0: the body at once).
        int trickleIntervalMs = 0;
        // Kept unsent until releaseHeld(): a reply still due while the test
        // does something else.
        bool held = false;
        // Sends the head without a length, then body (or filler) over and
        // over for as long as the client takes it: a body without end. A new
        // chunk goes out only once the last one has left, so what was sent
        // is about what the client read.
        bool endless = false;
    };

    using Handler = std::function<Response(const Request&)>;

    explicit LoopbackHttpServer(QObject* parent = nullptr);
    ~LoopbackHttpServer() override;

    // Listens on 127.0.0.1; port 0 picks a free one.
    bool listen(quint16 port = 0);
    quint16 port() const;
    // "http://127.0.0.1:<port>" followed by pathAndQuery ("/a/b?x=1").
    QString url(const QString& pathAndQuery = {}) const;

    // A later route for the same method and path replaces the earlier one.
    void route(const QByteArray& method, const QString& path, const Response& response);
    void route(const QByteArray& method, const QString& path, int status, const QByteArray& body,
               const QList<Header>& headers = {});
    // The handler composes the answer from the request each time.
    void route(const QByteArray& method, const QString& path, Handler handler);
    void clearRoutes();
    // The answer to requests no route matches (404 with an empty body at first).
    void setFallback(const Response& response);

    QList<Request> requests() const { return received; }
    int requestCount() const { return int(received.size()); }
    void clearRequests() { received.clear(); }

    static QByteArray reasonPhrase(int status);
    // A redirect (301, 302, 307, 308) to location.
    static Response redirect(int status, const QString& location);

    // Serves items as a JSON array in pages, as GitHub's REST API does: the
    // query's "per_page" (defaultPerPage without one, at most 100) and "page"
    // (from 1), with a "Link" header naming the "next" and "last" pages.
    // wrapKey non-empty: each page is an object {"total_count": N, wrapKey: [...]}.
    void routePages(const QString& path, const QList<QByteArray>& items, int defaultPerPage = 30,
                    const QByteArray& wrapKey = {});

    // Sends the answers held so far, in the order they were asked; the count sent.
    int releaseHeld();
    int heldCount() const { return int(held.size()); }

    // Body bytes sent so far by endless answers.
    qint64 endlessBytesSent() const { return endlessSent; }

Q_SIGNALS:
    void requestReceived(const LoopbackHttpServer::Request& request);

private:
    struct Connection {
        QByteArray buffer;
        bool stalled = false;
    };

    void accept();
    void readFrom(QTcpSocket* socket);
    // Parses one complete request off the front of buffer; false while incomplete.
    bool takeRequest(QByteArray& buffer, Request* request, bool* malformed) const;
    Response answerFor(const Request& request) const;
    void send(QTcpSocket* socket, const Request& request, const Response& response);

    struct Held {
        QPointer<QTcpSocket> socket;
        Request request;
        Response response;
    };
    void startTrickle(QTcpSocket* socket, const QByteArray& body, int intervalMs);
    void startEndless(QTcpSocket* socket, const QByteArray& body);
    // After an answer is complete: closes when asked to, else reads on.
    void finishAnswer(QTcpSocket* socket, const Request& request, const Response& response);

    QTcpServer* server;
    QList<Held> held;
    QHash<QTcpSocket*, Connection> connections;
    QHash<QByteArray, Handler> routes;   // key: method + ' ' + path
    Response fallback;
    QList<Request> received;
    qint64 endlessSent = 0;
};
