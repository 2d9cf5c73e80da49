#pragma once

// The one HTTP/1.0 server of the tests and benchmarks. It listens on 127.0.0.1, answers from a
// route table (exact request path -> status, headers, body and how the bytes go out), then from a
// directory, then from a fallback (404 unless told otherwise), and records every request.
//
// It runs on the event loop of the thread that made it, so a test can run it next to the engine:
// it answers whenever that loop runs, including inside processEvents() calls of the engine. A
// request is answered once its header is complete; the connection is closed after the answer
// (HTTP/1.0 without keep-alive), except by the behaviours that say otherwise.

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

class QTcpServer;

namespace tw::test {

// How one answer goes out. Byte counts count the response as it is sent, status line and header
// included, unless FromBody() says they start after the header.
struct Behaviour
{
    enum class Kind {
        Whole, // everything at once, then close
        Pieces, // in pieces of the given sizes (the last size repeats), a pause between two
        Stall, // `bytes` bytes, then silence with the connection left open
        CloseEarly, // `bytes` bytes, then an orderly close
        Reset // `bytes` bytes, then a reset (RST) once the peer has them
    };

    Kind kind = Kind::Whole;
    std::vector<std::size_t> pieces;
    std::size_t bytes = 0;
    int intervalMs = 5;
    int latencyMs = 0;
    bool contentLength = true;
    bool fromBody = false;

    static Behaviour Whole() { return {}; }
    static Behaviour NoContentLength() { return Whole().WithoutContentLength(); }
    static Behaviour InPieces(std::vector<std::size_t> sizes, int intervalMs = 5);
    // One piece of `size` bytes per interval.
    static Behaviour Drip(std::size_t size = 1, int intervalMs = 5);
    static Behaviour Stall(std::size_t bytes);
    static Behaviour CloseEarly(std::size_t bytes);
    static Behaviour Reset(std::size_t bytes);

    // No Content-Length header is added (one the route sets itself is still sent).
    Behaviour WithoutContentLength() const;
    // A pause between the end of the request and the first byte of the answer.
    Behaviour WithLatency(int ms) const;
    // `bytes` counts body bytes: the whole header goes out first.
    Behaviour FromBody() const;
};

struct Request
{
    std::string raw; // as received, up to and including the empty line
    std::string method;
    std::string path; // the request target exactly as sent, query included
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    qint64 receivedMs = 0; // since the server was made
    quint64 connection = 0; // accepted connections are numbered from 1

    // The first value of the header name (compared case-insensitively), or "" when absent.
    std::string Header(std::string_view name) const;
};

struct Route
{
    int status = 200;
    std::string reason; // empty: the usual text for the status
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // When set, makes the body for each request instead of `body`.
    std::function<std::string(const Request &)> generate;
    // The answer is sent exactly as the body says: no status line or header is added.
    bool raw = false;
    // The behaviour of each request to this path in turn; the last one repeats. None: Whole.
    std::vector<Behaviour> behaviours;

    static Route Page(std::string body, std::string contentType = "text/html");
    // bytes are the whole answer, header and all.
    static Route Raw(std::string bytes);
};

// Runs the event loop until done() holds or timeoutMs have passed; true if done() holds. It
// wakes for every event, so it returns as soon as the condition is met.
bool WaitUntil(const std::function<bool()> &done, int timeoutMs);

class TestHttpServer final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TestHttpServer)

public:
    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    // Listens on 127.0.0.1; port 0 lets the system choose. False if the port is taken.
    bool Listen(quint16 port = 0);
    quint16 Port() const;
    static QString Address() { return QStringLiteral("127.0.0.1"); }
    // "127.0.0.1:port", as a host the engine can connect to without a connect-to entry.
    QString HostAndPort() const;

    // Adds or replaces the route of an exact request path and returns the stored route, which
    // stays valid and may be changed until the route is replaced or the server is destroyed.
    Route &SetRoute(const std::string &path, Route route);
    // Paths without a route are looked up as files below root ("/" and ".../" mean index.html).
    // Paths that climb out of root are answered 403.
    void ServeDirectory(const QString &root);
    // Answers paths that neither a route nor the directory knows. Default: 404 with a short page.
    void SetFallback(std::function<Route(const Request &)> fallback);
    // Added to the latency of every answer.
    void SetLatency(int ms) { m_latencyMs = ms; }

    const std::vector<Request> &Requests() const { return m_requests; }
    std::size_t RequestCount(std::string_view path) const;
    void ClearRequests() { m_requests.clear(); }
    // Connections accepted and not finished yet (a stalled one stays until the peer closes).
    std::size_t OpenConnections() const { return m_connections.size(); }
    std::size_t AcceptedConnections() const { return m_accepted; }

    // Run the event loop until the condition holds or the time is up; true if it holds.
    bool WaitForRequests(std::size_t total, int timeoutMs = 1000);
    bool WaitForRequest(std::string_view path, std::size_t count = 1, int timeoutMs = 1000);
    bool WaitForNoOpenConnections(int timeoutMs = 1000);

Q_SIGNALS:
    void requestReceived();
    void connectionFinished();

private:
    class Exchange;

    void OnNewConnection();
    // Records the request and decides the answer: the bytes, and how they go out.
    void Answer(Exchange &exchange, Request request);
    Route RouteFor(const Request &request) const;
    void Finished(Exchange *exchange);

    QTcpServer *m_server = nullptr;
    QElapsedTimer m_clock;
    std::map<std::string, Route, std::less<>> m_routes;
    std::map<std::string, std::size_t, std::less<>> m_served;
    QString m_root;
    std::function<Route(const Request &)> m_fallback;
    int m_latencyMs = 0;
    std::vector<Request> m_requests;
    std::unordered_set<Exchange *> m_connections;
    std::size_t m_accepted = 0;
};

} // namespace tw::test
