#include "support/testhttpserver.h"

#include "support/http2exchange.h"
#include "support/testcertificates.h"

#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include <algorithm>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace tw::test {

// One accepted connection: reads one request, then answers the way its behaviour says. It is a
// child of the server, so whatever is still open goes with it.
class TestHttpServer::Exchange final : public QObject
{
public:
    Exchange(TestHttpServer &server, QTcpSocket *socket)
        : QObject(&server)
        , m_server(server)
        , m_socket(socket)
    {
        m_socket->setParent(this);
        // Pieces must leave as separate segments.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(m_socket, &QTcpSocket::readyRead, this, &Exchange::OnReadyRead);
        connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
        // A request that came with the handshake is read at once.
        if (m_socket->bytesAvailable() > 0)
            QTimer::singleShot(0, this, &Exchange::OnReadyRead);
    }

    void Begin(std::string response, const Behaviour &how, std::size_t headLength, int latencyMs,
        bool keepOpen)
    {
        ++m_answered;
        m_keepOpen = keepOpen;
        m_sent = 0;
        m_piece = 0;
        m_response = std::move(response);
        m_how = how;
        if (how.kind != Behaviour::Kind::Whole && how.kind != Behaviour::Kind::Pieces)
            m_response.resize(
                std::min(m_response.size(), (how.fromBody ? headLength : 0) + how.bytes));
        QTimer::singleShot(latencyMs, this, &Exchange::SendNext);
    }

    int Answered() const { return m_answered; }

private:
    void OnReadyRead()
    {
        const QByteArray data = m_socket->readAll();
        // Bytes after the request are dropped, unless the connection may carry another: unread,
        // they would turn the closing FIN into a reset.
        if (m_answering && m_server.KeptAnswers() == 0)
            return;
        m_received.append(data.constData(), static_cast<std::size_t>(data.size()));
        TakeRequest();
    }

    void TakeRequest(bool afterAnswer = false)
    {
        const std::size_t end = m_received.find("\r\n\r\n");
        if (m_answering || end == std::string::npos)
            return;
        m_answering = true;
        Request request {m_received.substr(0, end + 4), {}, afterAnswer};
        m_received.erase(0, end + 4);
        const std::size_t start = request.raw.find(' ') + 1;
        request.path = QByteArray::fromPercentEncoding(
            QByteArray::fromStdString(
                request.raw.substr(start, request.raw.find(' ', start) - start)))
                           .toStdString();
        m_server.Answer(*this, std::move(request));
    }

    // Sends the next piece, or all the answer when it does not come in pieces; once all is out,
    // ends the way the behaviour says.
    void SendNext()
    {
        const auto &pieces = m_how.pieces;
        const std::size_t end = m_how.kind != Behaviour::Kind::Pieces
            ? m_response.size()
            : std::min(m_response.size(),
                m_sent + std::max<std::size_t>(pieces[std::min(m_piece++, pieces.size() - 1)], 1));
        m_socket->write(m_response.data() + m_sent, static_cast<qint64>(end - m_sent));
        m_socket->flush();
        m_sent = end;
        if (m_sent < m_response.size()) {
            QTimer::singleShot(m_how.intervalMs, this, &Exchange::SendNext);
        } else if (m_how.kind == Behaviour::Kind::Reset || !m_how.closeNotify) {
            m_resetWait.start();
            EndWhenDelivered();
        } else if (m_keepOpen
            && (m_how.kind == Behaviour::Kind::Whole || m_how.kind == Behaviour::Kind::Pieces)) {
            m_answering = false;
            TakeRequest(true);
        } else if (m_how.kind != Behaviour::Kind::Stall) {
            m_socket->disconnectFromHost();
        }
    }

    // The end waits until the peer has acknowledged every byte (or two seconds have passed), so
    // a reset cannot overtake them. It is a reset, or a bare close that sends no close_notify.
    void EndWhenDelivered()
    {
        const int fd = static_cast<int>(m_socket->socketDescriptor());
        int unacknowledged = 0;
        if (fd >= 0)
            ::ioctl(fd, SIOCOUTQ, &unacknowledged);
        if ((m_socket->bytesToWrite() > 0 || unacknowledged > 0) && m_resetWait.elapsed() < 2000) {
            m_socket->flush();
            QTimer::singleShot(1, this, &Exchange::EndWhenDelivered);
            return;
        }
        if (fd >= 0 && m_how.kind == Behaviour::Kind::Reset) {
            const linger abortive {1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
        }
        m_socket->abort();
        deleteLater();
    }

    TestHttpServer &m_server;
    QTcpSocket *m_socket;
    std::string m_received;
    bool m_answering = false;
    std::string m_response;
    Behaviour m_how;
    std::size_t m_sent = 0;
    std::size_t m_piece = 0;
    int m_answered = 0;
    bool m_keepOpen = false;

    QElapsedTimer m_resetWait;
};

TestHttpServer::TestHttpServer(QObject *parent)
    : QTcpServer(parent)
{
    // Hundreds of peers may connect at once; a short backlog would delay some by a second.
    setListenBacklogSize(1024);
}

TestHttpServer &TestHttpServer::UseTls(const TestCertificate &certificate)
{
    m_certificate = QSslCertificate(QByteArray::fromStdString(certificate.certificatePem));
    m_key = QSslKey(QByteArray::fromStdString(certificate.keyPem), QSsl::Ec);
    return *this;
}

// A QSslSocket stays plain until it is told to encrypt.
void TestHttpServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket;
    if (!socket->setSocketDescriptor(descriptor))
        return delete socket;
    ++m_connections;
    if (m_key.isNull() || !m_http2)
        new Exchange(*this, socket);
    if (m_key.isNull())
        return;
    socket->setLocalCertificate(m_certificate);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    if (m_http2) {
        QSslConfiguration offer = socket->sslConfiguration();
        offer.setAllowedNextProtocols({QByteArrayLiteral("h2"), QByteArrayLiteral("http/1.1")});
        socket->setSslConfiguration(offer);
        // The handshake tells which protocol the connection speaks.
        connect(socket, &QSslSocket::encrypted, this, [this, socket] {
            if (socket->sslConfiguration().nextNegotiatedProtocol() == "h2")
                SpeakHttp2On(socket);
            else
                new Exchange(*this, socket);
        });
    }
    socket->startServerEncryption();
}

int TestHttpServer::OpenConnections() const
{
    // Each exchange's socket; a secure socket's plain one inside it is not counted again.
    const QList<QSslSocket *> sockets = findChildren<QSslSocket *>();
    return static_cast<int>(
        std::count_if(sockets.begin(), sockets.end(), [](const QSslSocket *socket) {
            return socket->state() == QAbstractSocket::ConnectedState;
        }));
}

Route &TestHttpServer::SetRoute(const std::string &path, Route route)
{
    m_served.erase(path);
    return m_routes.insert_or_assign(path, std::move(route)).first->second;
}

std::size_t TestHttpServer::RequestCount(std::string_view path) const
{
    return static_cast<std::size_t>(std::count_if(
        m_requests.begin(), m_requests.end(), [path](const Request &r) { return r.path == path; }));
}

void TestHttpServer::SpeakHttp2On(QSslSocket *socket)
{
    auto *exchange = new Http2Exchange(
        this,
        [socket](std::string_view bytes) { socket->write(bytes.data(), qint64(bytes.size())); },
        [this](Request request) {
            auto [route, how] = Take(std::move(request));
            return StreamAnswer {std::move(route), how};
        });
    socket->setParent(exchange);
    const auto take = [exchange, socket] {
        const QByteArray data = socket->readAll();
        if (!exchange->Receive(std::string_view(data.constData(), std::size_t(data.size()))))
            socket->abort();
    };
    connect(socket, &QSslSocket::readyRead, exchange, take);
    connect(socket, &QSslSocket::disconnected, exchange, &QObject::deleteLater);
    if (socket->bytesAvailable() > 0)
        take();
}

std::pair<Route, Behaviour> TestHttpServer::Take(Request request)
{
    const auto found = m_routes.find(request.path);
    std::optional<Route> answered = m_responder ? m_responder(request) : std::nullopt;
    Route route = answered        ? std::move(*answered)
        : found != m_routes.end() ? found->second
        : m_fallback              ? m_fallback(request.path)
                                  : Route::Status(404);
    std::size_t &served = m_served[request.path];
    const Behaviour how = route.behaviours.empty()
        ? Behaviour::Whole()
        : route.behaviours[std::min(served++, route.behaviours.size() - 1)];
    m_requests.push_back(std::move(request));
    return {std::move(route), how};
}

void TestHttpServer::Answer(Exchange &exchange, Request request)
{
    const bool kept = m_keptAnswers > 0 && request.raw.find(" HTTP/1.1\r\n") != std::string::npos;
    const auto [route, how] = Take(std::move(request));
    std::string head;
    if (!route.raw) {
        // No reason phrase: the reader names the status by its code.
        head = (kept ? "HTTP/1.1 " : "HTTP/1.0 ") + std::to_string(route.status)
            + " \r\nContent-Type: " + route.contentType + "\r\n" + route.extraHeaders
            + (how.contentLength ? "Content-Length: " + std::to_string(route.body.size()) + "\r\n"
                                 : "")
            + "\r\n";
    }
    exchange.Begin(head + route.body, how, head.size(), m_latencyMs,
        kept && exchange.Answered() + 1 < m_keptAnswers);
}

} // namespace tw::test
