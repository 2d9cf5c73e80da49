#include "transport/http2link.h"

#include <unordered_set>

namespace tw {

namespace {

struct Links
{
    std::unordered_map<std::string, std::shared_ptr<Http2Link>> open;
    // The hosts that answered that they speak HTTP/1.1 only.
    std::unordered_set<std::string> http1Only;
};

Links &ThreadLinks()
{
    thread_local Links links;
    return links;
}

std::string KeyOf(const QString &host, quint16 port, const std::optional<HttpProxy> &proxy)
{
    std::string key = host.toLower().toStdString() + ':' + std::to_string(port);
    if (proxy)
        key += " via " + proxy->server.name.toLower().toStdString() + ':'
            + std::to_string(proxy->server.port) + ' ' + proxy->authorization;
    return key;
}

} // namespace

std::shared_ptr<Http2Link> Http2Link::For(
    const QString &host, quint16 port, const std::optional<HttpProxy> &proxy)
{
    Links &links = ThreadLinks();
    const std::string key = KeyOf(host, port, proxy);
    if (links.http1Only.contains(key))
        return nullptr;
    std::shared_ptr<Http2Link> &link = links.open[key];
    // A link goes only from the event loop: it may be let go of inside its own connection's
    // handler.
    if (!link)
        link.reset(new Http2Link(host, port, proxy), [](Http2Link *gone) { gone->deleteLater(); });
    return link;
}

void Http2Link::CloseAll()
{
    // Each link's connection is closed before the links are let go: a carrier may keep one alive.
    for (auto &[key, link] : std::exchange(ThreadLinks().open, {}))
        link->End(ConnectFailure::None);
    ThreadLinks().http1Only.clear();
}

Http2Link::Http2Link(const QString &host, quint16 port, const std::optional<HttpProxy> &proxy)
    : m_key(KeyOf(host, port, proxy))
{
    connect(&m_connection, &Connection::connected, this, &Http2Link::OnConnected);
    connect(&m_connection, &Connection::dataArrival, this, &Http2Link::OnData);
    connect(&m_connection, &Connection::failed, this, &Http2Link::OnFailed);
    m_connection.Connect(
        host, port, Connection::Security::Tls, {}, Connection::Http2::Offer, proxy);
}

Http2Link::~Http2Link() = default;

void Http2Link::Attach(Connection *carrier)
{
    if (m_phase == Phase::Ready)
        carrier->LinkReady();
    else
        m_waiting.emplace_back(carrier);
}

bool Http2Link::Open(Connection *carrier, std::string_view request)
{
    const std::optional<Http2Request> asked = Http2RequestOf(request, "https");
    if (m_phase != Phase::Ready || !asked)
        return false;
    const std::int32_t stream = m_session.Submit(*asked);
    if (stream == 0)
        return false;
    m_carriers[stream] = carrier;
    Flush();
    return true;
}

void Http2Link::Detach(Connection *carrier)
{
    std::erase(m_waiting, carrier);
    for (auto at = m_carriers.begin(); at != m_carriers.end(); ++at) {
        if (at->second == carrier) {
            m_session.Forget(at->first);
            m_carriers.erase(at);
            Flush();
            return;
        }
    }
}

void Http2Link::OnConnected()
{
    auto waiting = std::exchange(m_waiting, {});
    if (!m_connection.SpeaksHttp2()) {
        ThreadLinks().http1Only.insert(m_key);
        LeaveRegistry();
        m_phase = Phase::Gone;
        m_connection.Close();
        for (const QPointer<Connection> &carrier : waiting)
            if (carrier)
                carrier->LinkFellBack();
        return;
    }
    m_phase = Phase::Ready;
    Flush();
    for (const QPointer<Connection> &carrier : waiting)
        if (carrier)
            carrier->LinkReady();
}

void Http2Link::OnData()
{
    std::string bytes;
    m_connection.TakeAll(bytes);
    if (!bytes.empty())
        m_session.Receive(bytes);
    const int state = m_connection.State();
    if (state == Connection::Closing || state == Connection::Error)
        m_session.ConnectionClosed();
    Deliver();
    Flush();
    // New fetches go to a new link; the streams still open here end on this one.
    if (!m_session.TakesNewStreams())
        LeaveRegistry();
}

void Http2Link::OnFailed()
{
    End(m_connection.Failure());
}

void Http2Link::Deliver()
{
    std::vector<std::int32_t> streams;
    streams.reserve(m_carriers.size());
    for (const auto &[stream, carrier] : m_carriers)
        streams.push_back(stream);
    for (const std::int32_t stream : streams) {
        const QPointer<Connection> carrier = m_carriers[stream];
        const Http2Session::StreamState state = m_session.State(stream);
        const std::string answer = m_session.TakeAnswer(stream);
        if (state != Http2Session::StreamState::Open) {
            m_carriers.erase(stream);
            m_session.Forget(stream);
        }
        if (carrier && (!answer.empty() || state != Http2Session::StreamState::Open))
            carrier->LinkDelivers(answer, state);
    }
}

void Http2Link::Flush()
{
    if (m_phase != Phase::Ready)
        return;
    if (const std::string out = m_session.TakeOutput(); !out.empty())
        m_connection.Send(out);
}

void Http2Link::LeaveRegistry()
{
    Links &links = ThreadLinks();
    if (const auto found = links.open.find(m_key);
        found != links.open.end() && found->second.get() == this)
        links.open.erase(found);
}

void Http2Link::End(ConnectFailure failure)
{
    LeaveRegistry();
    m_phase = Phase::Gone;
    m_connection.Close();
    m_session.ConnectionClosed();
    Deliver();
    for (const QPointer<Connection> &carrier : std::exchange(m_waiting, {}))
        if (carrier)
            carrier->LinkFailed(failure == ConnectFailure::None ? ConnectFailure::Refused : failure,
                m_connection.ProxyStatus());
}

} // namespace tw
