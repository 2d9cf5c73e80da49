#include "support/testhttpserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cctype>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace tw::test {

namespace {

// How long a reset waits at most for the peer to acknowledge the bytes sent before it; a peer
// that does not read gets the reset anyway.
constexpr int kResetWaitMs = 2000;

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x))
            == std::tolower(static_cast<unsigned char>(y));
    });
}

std::string Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

std::string ReasonFor(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

// Fills in the request from its raw header; a malformed line leaves the fields it cannot fill
// empty, so that a test still sees what arrived.
void ParseRequest(Request &request)
{
    std::string_view rest = request.raw;
    bool first = true;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (first) {
            first = false;
            const auto a = line.find(' ');
            const auto b = a == std::string_view::npos ? a : line.find(' ', a + 1);
            request.method = std::string(line.substr(0, a));
            if (a != std::string_view::npos)
                request.path
                    = std::string(line.substr(a + 1, b == std::string_view::npos ? b : b - a - 1));
            if (b != std::string_view::npos)
                request.version = std::string(line.substr(b + 1));
            continue;
        }
        const auto colon = line.find(':');
        if (colon != std::string_view::npos)
            request.headers.emplace_back(
                Trimmed(line.substr(0, colon)), Trimmed(line.substr(colon + 1)));
    }
}

Route NotFound()
{
    Route route = Route::Page("<html><body><h1>404 Not Found</h1></body></html>\n");
    route.status = 404;
    return route;
}

Route Forbidden()
{
    Route route = Route::Page("<html><body><h1>403 Forbidden</h1></body></html>\n");
    route.status = 403;
    return route;
}

} // namespace

bool WaitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    // Wakes the wait for events when nothing else happens. Timers may fire a little early, so it
    // is armed again for whatever time is left.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
        if (!wake.isActive())
            wake.start(static_cast<int>(left));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

Behaviour Behaviour::InPieces(std::vector<std::size_t> sizes, int intervalMs)
{
    Behaviour b;
    b.kind = Kind::Pieces;
    b.pieces = std::move(sizes);
    b.intervalMs = intervalMs;
    return b;
}

Behaviour Behaviour::Drip(std::size_t size, int intervalMs)
{
    return InPieces({size}, intervalMs);
}

Behaviour Behaviour::Stall(std::size_t bytes)
{
    Behaviour b;
    b.kind = Kind::Stall;
    b.bytes = bytes;
    return b;
}

Behaviour Behaviour::CloseEarly(std::size_t bytes)
{
    Behaviour b;
    b.kind = Kind::CloseEarly;
    b.bytes = bytes;
    return b;
}

Behaviour Behaviour::Reset(std::size_t bytes)
{
    Behaviour b;
    b.kind = Kind::Reset;
    b.bytes = bytes;
    return b;
}

Behaviour Behaviour::WithoutContentLength() const
{
    Behaviour b = *this;
    b.contentLength = false;
    return b;
}

Behaviour Behaviour::WithLatency(int ms) const
{
    Behaviour b = *this;
    b.latencyMs = ms;
    return b;
}

Behaviour Behaviour::FromBody() const
{
    Behaviour b = *this;
    b.fromBody = true;
    return b;
}

std::string Request::Header(std::string_view name) const
{
    for (const auto &[key, value] : headers) {
        if (EqualsIgnoringCase(key, name))
            return value;
    }
    return {};
}

Route Route::Page(std::string body, std::string contentType)
{
    Route route;
    route.headers.emplace_back("Content-Type", std::move(contentType));
    route.body = std::move(body);
    return route;
}

Route Route::Raw(std::string bytes)
{
    Route route;
    route.raw = true;
    route.body = std::move(bytes);
    return route;
}

// One accepted connection: reads one request, then sends the answer the way its behaviour says.
class TestHttpServer::Exchange final : public QObject
{
public:
    Exchange(TestHttpServer &server, QTcpSocket *socket, quint64 number)
        : QObject(&server)
        , m_server(server)
        , m_socket(socket)
        , m_number(number)
    {
        m_socket->setParent(this);
        // Pieces must leave as separate segments, not wait for the peer's acknowledgement.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(m_socket, &QTcpSocket::readyRead, this, &Exchange::OnReadyRead);
        connect(m_socket, &QTcpSocket::disconnected, this, [this] { m_server.Finished(this); });
    }

    quint64 Number() const { return m_number; }

    void Begin(std::string response, const Behaviour &how, std::size_t headLength, int latencyMs)
    {
        m_response = std::move(response);
        m_how = how;
        m_limit = m_response.size();
        if (how.kind == Behaviour::Kind::Stall || how.kind == Behaviour::Kind::CloseEarly
            || how.kind == Behaviour::Kind::Reset)
            m_limit = std::min(m_limit, (how.fromBody ? headLength : 0) + how.bytes);
        if (latencyMs > 0)
            QTimer::singleShot(latencyMs, this, &Exchange::Start);
        else
            Start();
    }

private:
    void OnReadyRead()
    {
        const QByteArray data = m_socket->readAll();
        // Bytes after the request are read and dropped: leaving them unread would turn the
        // closing FIN into a reset.
        if (m_answering)
            return;
        m_received.append(data.constData(), static_cast<std::size_t>(data.size()));
        std::size_t end = m_received.find("\r\n\r\n");
        std::size_t endLength = 4;
        if (end == std::string::npos) {
            end = m_received.find("\n\n");
            endLength = 2;
        }
        if (end == std::string::npos)
            return;
        m_answering = true;
        Request request;
        request.raw = m_received.substr(0, end + endLength);
        std::string().swap(m_received);
        m_server.Answer(*this, std::move(request));
    }

    void Start()
    {
        switch (m_how.kind) {
        case Behaviour::Kind::Whole:
            WriteUpTo(m_limit);
            m_socket->disconnectFromHost();
            break;
        case Behaviour::Kind::Pieces:
            SendNextPiece();
            break;
        case Behaviour::Kind::Stall:
            WriteUpTo(m_limit);
            break;
        case Behaviour::Kind::CloseEarly:
            WriteUpTo(m_limit);
            m_socket->disconnectFromHost();
            break;
        case Behaviour::Kind::Reset:
            WriteUpTo(m_limit);
            m_resetWait.start();
            ResetWhenDelivered();
            break;
        }
    }

    void SendNextPiece()
    {
        const auto &sizes = m_how.pieces;
        std::size_t size = sizes.empty() ? m_limit : sizes[std::min(m_piece, sizes.size() - 1)];
        ++m_piece;
        WriteUpTo(m_sent + std::max<std::size_t>(size, 1));
        if (m_sent < m_limit)
            QTimer::singleShot(m_how.intervalMs, this, &Exchange::SendNextPiece);
        else
            m_socket->disconnectFromHost();
    }

    // Sends the bytes only once the peer has acknowledged everything before them (or after a
    // while if it does not read), so the reset cannot overtake them and the peer sees both.
    void ResetWhenDelivered()
    {
        const int fd = static_cast<int>(m_socket->socketDescriptor());
        int unacknowledged = 0;
        if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &unacknowledged) < 0)
            unacknowledged = 0;
        if ((m_socket->bytesToWrite() > 0 || unacknowledged > 0)
            && m_resetWait.elapsed() < kResetWaitMs) {
            m_socket->flush();
            QTimer::singleShot(1, this, &Exchange::ResetWhenDelivered);
            return;
        }
        if (fd >= 0) {
            const linger abortive {1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
        }
        m_socket->abort();
        m_server.Finished(this);
    }

    void WriteUpTo(std::size_t end)
    {
        end = std::min(end, m_limit);
        if (end <= m_sent)
            return;
        m_socket->write(m_response.data() + m_sent, static_cast<qint64>(end - m_sent));
        m_socket->flush();
        m_sent = end;
    }

    TestHttpServer &m_server;
    QTcpSocket *m_socket;
    quint64 m_number;
    std::string m_received;
    bool m_answering = false;
    std::string m_response;
    Behaviour m_how;
    std::size_t m_limit = 0;
    std::size_t m_sent = 0;
    std::size_t m_piece = 0;
    QElapsedTimer m_resetWait;
};

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    m_clock.start();
    // Hundreds of peers may connect at once; a short backlog would make some wait for a SYN
    // retransmission, a second later.
    m_server->setListenBacklogSize(1024);
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::OnNewConnection);
}

TestHttpServer::~TestHttpServer()
{
    const auto open = std::move(m_connections);
    m_connections.clear();
    for (Exchange *exchange : open)
        delete exchange;
}

bool TestHttpServer::Listen(quint16 port)
{
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 TestHttpServer::Port() const
{
    return m_server->serverPort();
}

QString TestHttpServer::HostAndPort() const
{
    return Address() + QLatin1Char(':') + QString::number(Port());
}

Route &TestHttpServer::SetRoute(const std::string &path, Route route)
{
    m_served.erase(path);
    return m_routes.insert_or_assign(path, std::move(route)).first->second;
}

void TestHttpServer::ServeDirectory(const QString &root)
{
    m_root = QDir(root).absolutePath();
}

void TestHttpServer::SetFallback(std::function<Route(const Request &)> fallback)
{
    m_fallback = std::move(fallback);
}

std::size_t TestHttpServer::RequestCount(std::string_view path) const
{
    return static_cast<std::size_t>(std::count_if(
        m_requests.begin(), m_requests.end(), [path](const Request &r) { return r.path == path; }));
}

bool TestHttpServer::WaitForRequests(std::size_t total, int timeoutMs)
{
    return WaitUntil([this, total] { return m_requests.size() >= total; }, timeoutMs);
}

bool TestHttpServer::WaitForRequest(std::string_view path, std::size_t count, int timeoutMs)
{
    return WaitUntil([this, path, count] { return RequestCount(path) >= count; }, timeoutMs);
}

bool TestHttpServer::WaitForNoOpenConnections(int timeoutMs)
{
    return WaitUntil([this] { return m_connections.empty(); }, timeoutMs);
}

void TestHttpServer::OnNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        m_connections.insert(new Exchange(*this, socket, ++m_accepted));
}

Route TestHttpServer::RouteFor(const Request &request) const
{
    if (const auto route = m_routes.find(request.path); route != m_routes.end())
        return route->second;
    if (!m_root.isEmpty()) {
        std::string_view target = request.path;
        target = target.substr(0, target.find_first_of("?#"));
        const QString path = QUrl::fromPercentEncoding(
            QByteArray(target.data(), static_cast<qsizetype>(target.size())));
        if (path.split(QLatin1Char('/')).contains(QStringLiteral("..")))
            return Forbidden();
        QString file = m_root + path;
        if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
            file += QStringLiteral("index.html");
        QFile f(file);
        if (QFileInfo(file).isFile() && f.open(QIODevice::ReadOnly)) {
            const QByteArray content = f.readAll();
            const QString type
                = QMimeDatabase().mimeTypeForFile(file, QMimeDatabase::MatchExtension).name();
            return Route::Page(content.toStdString(), type.toStdString());
        }
    }
    return m_fallback ? m_fallback(request) : NotFound();
}

void TestHttpServer::Answer(Exchange &exchange, Request request)
{
    ParseRequest(request);
    request.receivedMs = m_clock.elapsed();
    request.connection = exchange.Number();
    const Route route = RouteFor(request);

    std::size_t &served = m_served[request.path];
    const Behaviour how = route.behaviours.empty()
        ? Behaviour::Whole()
        : route.behaviours[std::min(served, route.behaviours.size() - 1)];
    ++served;

    std::string body = route.generate ? route.generate(request) : route.body;
    std::string response;
    std::size_t headLength = 0;
    if (route.raw) {
        response = std::move(body);
    } else {
        response = "HTTP/1.0 " + std::to_string(route.status) + ' '
            + (route.reason.empty() ? ReasonFor(route.status) : route.reason) + "\r\n";
        bool hasLength = false;
        for (const auto &[name, value] : route.headers) {
            hasLength = hasLength || EqualsIgnoringCase(name, "Content-Length");
            response += name + ": " + value + "\r\n";
        }
        if (how.contentLength && !hasLength)
            response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        response += "\r\n";
        headLength = response.size();
        response += body;
    }

    m_requests.push_back(std::move(request));
    Q_EMIT requestReceived();
    exchange.Begin(std::move(response), how, headLength, m_latencyMs + how.latencyMs);
}

void TestHttpServer::Finished(Exchange *exchange)
{
    if (m_connections.erase(exchange) == 0)
        return;
    exchange->deleteLater();
    Q_EMIT connectionFinished();
}

} // namespace tw::test
