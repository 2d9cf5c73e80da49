#pragma once

// The HTTP/1.0 server of the tests and benchmarks, on 127.0.0.1, plain or over TLS. It answers
// from exact-path routes, then from a fallback, else 404, and records every request. It runs on the
// event loop of its thread, so it answers inside the engine's own processEvents() calls too.

#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

class QSslSocket;

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::test {

struct TestCertificate;

// How one answer goes out. Byte counts include the status line and header unless fromBody.
struct Behaviour
{
    enum class Kind {
        Whole, // everything, then close
        Pieces, // pieces of the given sizes (the last repeats), intervalMs apart, then close
        Stall, // `bytes` bytes, then silence with the connection left open
        Reset, // `bytes` bytes, then a reset once the peer has them
        Cut // `bytes` bytes, then an orderly close
    };

    Kind kind = Kind::Whole;
    std::vector<std::size_t> pieces;
    std::size_t bytes = 0;
    int intervalMs = 5;
    bool contentLength = true;
    bool fromBody = false;
    // Over TLS, an answer ends with close_notify unless this is off.
    bool closeNotify = true;

    static Behaviour Whole() { return {}; }
    static Behaviour BareClose() { return {.closeNotify = false}; }
    static Behaviour InPieces(std::vector<std::size_t> sizes, int intervalMs = 5)
    {
        return {.kind = Kind::Pieces, .pieces = std::move(sizes), .intervalMs = intervalMs};
    }
    static Behaviour Stall(std::size_t bytes, bool fromBody = false)
    {
        return {.kind = Kind::Stall, .bytes = bytes, .fromBody = fromBody};
    }
    static Behaviour Reset(std::size_t bytes, bool fromBody = false)
    {
        return {.kind = Kind::Reset, .bytes = bytes, .fromBody = fromBody};
    }
    static Behaviour Cut(std::size_t bytes) { return {.kind = Kind::Cut, .bytes = bytes}; }
};

struct Request
{
    std::string raw; // up to and including the empty line
    std::string path; // the request target with its escapes decoded, as a server routes it
    bool sentAhead = false; // it came before the answer to the one before it was out
};

struct Route
{
    int status = 200;
    std::string contentType = "text/html";
    std::string body;
    std::string extraHeaders; // header lines after Content-Type, each ending with "\r\n"
    bool raw = false; // sent exactly as the body says, without a status line or header
    // The behaviour of each request to this path in turn; the last one repeats. None: Whole.
    std::vector<Behaviour> behaviours;

    static Route Page(std::string body, std::string contentType = "text/html")
    {
        return {.contentType = std::move(contentType), .body = std::move(body)};
    }
    static Route Raw(std::string bytes) { return {.body = std::move(bytes), .raw = true}; }
    static Route Status(int status, std::string extraHeaders = {})
    {
        return {.status = status,
            .body = "<html>" + std::to_string(status) + "</html>\n",
            .extraHeaders = std::move(extraHeaders)};
    }
    static Route Redirect(int status, const std::string &location)
    {
        return Status(status, "Location: " + location + "\r\n");
    }
};

class TestHttpServer final : public QTcpServer
{
    Q_OBJECT

public:
    explicit TestHttpServer(QObject *parent = nullptr);

    bool Listen(quint16 port = 0) { return listen(QHostAddress::LocalHost, port); } // 0: any
    // Every connection accepted from now on speaks TLS with this certificate.
    TestHttpServer &UseTls(const TestCertificate &certificate);
    // Over TLS, HTTP/2 is offered besides HTTP/1.x.
    TestHttpServer &SpeakHttp2()
    {
        m_http2 = true;
        return *this;
    }
    quint16 Port() const { return serverPort(); }
    static QString Address() { return QStringLiteral("127.0.0.1"); }

    // The stored route stays valid, and may be changed, until it is replaced.
    Route &SetRoute(const std::string &path, Route route);
    // Answers every request it gives a route for, before the routes: a server that reads the
    // request's fields (cookies, credentials).
    void SetResponder(std::function<std::optional<Route>(const Request &request)> responder)
    {
        m_responder = std::move(responder);
    }
    // Answers the paths without a route; without one they are 404.
    void SetFallback(std::function<Route(const std::string &path)> fallback)
    {
        m_fallback = std::move(fallback);
    }
    void SetLatency(int ms) { m_latencyMs = ms; } // before every answer
    // An HTTP/1.1 request is answered in HTTP/1.1 on a connection kept open for at most this many
    // answers, then closed; 0 answers every request in HTTP/1.0 and closes.
    void SetKeptAnswers(int answers) { m_keptAnswers = answers; }
    int KeptAnswers() const { return m_keptAnswers; }
    int Connections() const { return m_connections; }
    // Connections the client has not closed.
    int OpenConnections() const;

    const std::vector<Request> &Requests() const { return m_requests; }
    std::size_t RequestCount(std::string_view path) const;

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    class Exchange;

    void Answer(Exchange &exchange, Request request);
    // The connection on socket speaks HTTP/2 from now on.
    void SpeakHttp2On(QSslSocket *socket);
    // The route for request and how this request to it is answered; the request is recorded.
    std::pair<Route, Behaviour> Take(Request request);

    QSslCertificate m_certificate;
    QSslKey m_key;
    std::map<std::string, Route, std::less<>> m_routes;
    std::map<std::string, std::size_t, std::less<>> m_served;
    std::function<Route(const std::string &path)> m_fallback;
    std::function<std::optional<Route>(const Request &request)> m_responder;
    int m_latencyMs = 0;
    int m_keptAnswers = 0;
    bool m_http2 = false;
    int m_connections = 0;
    std::vector<Request> m_requests;
};

} // namespace tw::test
