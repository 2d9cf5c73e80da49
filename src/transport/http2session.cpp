#include "transport/http2session.h"

#include "transport/httpmessage.h"

#include <nghttp2/nghttp2.h>

#include <array>

namespace tw {

namespace {

// Windows wide enough that a line with a long round trip is not held back by them: one stream's
// answer, and the whole connection's, may be this far ahead of what was read.
constexpr std::int32_t kStreamWindow = 4 << 20;
constexpr std::int32_t kConnectionWindow = 32 << 20;
constexpr std::uint32_t kStreamsWeAllow = 100;

Http2Session &SessionOf(void *user)
{
    return *static_cast<Http2Session *>(user);
}

std::string_view Text(const std::uint8_t *bytes, std::size_t size)
{
    return {reinterpret_cast<const char *>(bytes), size};
}

int OnHeader(nghttp2_session *, const nghttp2_frame *frame, const std::uint8_t *name,
    std::size_t nameLength, const std::uint8_t *value, std::size_t valueLength, std::uint8_t,
    void *user)
{
    // A head block after the answer's head holds its trailer fields, which are not kept.
    auto *stream = SessionOf(user).Find(frame->hd.stream_id);
    if (!stream || stream->headEnded)
        return 0;
    const std::string_view field = Text(name, nameLength);
    const std::string_view text = Text(value, valueLength);
    if (field == ":status") {
        stream->answer.insert(0, "HTTP/1.0 " + std::string(text) + "\r\n");
        stream->interim = text.starts_with('1');
    } else if (!field.starts_with(':'))
        stream->answer.append(field).append(": ").append(text).append("\r\n");
    return 0;
}

int OnFrameReceived(nghttp2_session *, const nghttp2_frame *frame, void *user)
{
    Http2Session &session = SessionOf(user);
    if (frame->hd.type == NGHTTP2_GOAWAY) {
        session.GoAway(frame->goaway.last_stream_id);
        return 0;
    }
    if (frame->hd.type != NGHTTP2_HEADERS || (frame->hd.flags & NGHTTP2_FLAG_END_HEADERS) == 0)
        return 0;
    auto *stream = session.Find(frame->hd.stream_id);
    if (!stream || stream->headEnded)
        return 0;
    // An interim answer (100 Continue, 103 Early Hints) is followed by the real one.
    if (stream->interim)
        stream->answer.clear();
    else {
        stream->answer.append("\r\n");
        stream->headEnded = true;
    }
    return 0;
}

int OnData(nghttp2_session *, std::uint8_t, std::int32_t streamId, const std::uint8_t *data,
    std::size_t length, void *user)
{
    if (auto *stream = SessionOf(user).Find(streamId); stream && stream->headEnded)
        stream->answer.append(Text(data, length));
    return 0;
}

int OnStreamClose(nghttp2_session *, std::int32_t streamId, std::uint32_t errorCode, void *user)
{
    SessionOf(user).EndStream(streamId, errorCode);
    return 0;
}

} // namespace

std::optional<Http2Request> Http2RequestOf(std::string_view text, std::string_view scheme)
{
    const std::size_t headEnd = text.find("\r\n\r\n");
    const std::size_t lineEnd = text.find("\r\n");
    if (headEnd == std::string_view::npos)
        return std::nullopt;
    const std::string_view line = text.substr(0, lineEnd);
    const std::size_t targetAt = line.find(' ');
    const std::size_t versionAt = line.rfind(' ');
    if (targetAt == std::string_view::npos || versionAt <= targetAt)
        return std::nullopt;
    Http2Request request {.scheme = std::string(scheme),
        .path = std::string(line.substr(targetAt + 1, versionAt - targetAt - 1))};
    for (auto &[name, value] : HeadFields(text.substr(0, headEnd))) {
        if (name == "host")
            request.authority = std::move(value);
        else if (name != "connection" && name != "keep-alive" && name != "proxy-connection"
            && name != "transfer-encoding" && name != "upgrade")
            request.fields.emplace_back(std::move(name), std::move(value));
    }
    return request;
}

Http2Session::Http2Session()
{
    nghttp2_session_callbacks *callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, OnHeader);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, OnFrameReceived);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, OnData);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, OnStreamClose);
    nghttp2_session_client_new(&m_session, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);

    const std::array<nghttp2_settings_entry, 2> settings {{
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, kStreamsWeAllow},
        {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, kStreamWindow},
    }};
    nghttp2_submit_settings(m_session, NGHTTP2_FLAG_NONE, settings.data(), settings.size());
    nghttp2_session_set_local_window_size(m_session, NGHTTP2_FLAG_NONE, 0, kConnectionWindow);
}

Http2Session::~Http2Session()
{
    nghttp2_session_del(m_session);
}

std::int32_t Http2Session::Submit(const Http2Request &request)
{
    if (!TakesNewStreams())
        return 0;
    const auto pair = [](std::string_view name, std::string_view value) {
        // nghttp2 reads the fields through non-const pointers it never writes through.
        return nghttp2_nv {reinterpret_cast<std::uint8_t *>(const_cast<char *>(name.data())),
            reinterpret_cast<std::uint8_t *>(const_cast<char *>(value.data())), name.size(),
            value.size(), NGHTTP2_NV_FLAG_NONE};
    };
    std::vector<nghttp2_nv> fields {pair(":method", "GET"), pair(":scheme", request.scheme),
        pair(":authority", request.authority), pair(":path", request.path)};
    for (const auto &[name, value] : request.fields)
        fields.push_back(pair(name, value));
    const std::int32_t stream = nghttp2_submit_request(
        m_session, nullptr, fields.data(), fields.size(), nullptr, nullptr);
    if (stream <= 0)
        return 0;
    m_streams[stream] = Stream {};
    return stream;
}

bool Http2Session::Receive(std::string_view bytes)
{
    if (m_broken)
        return false;
    const auto read = nghttp2_session_mem_recv(
        m_session, reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    // The session ends when a frame broke the protocol (nghttp2 says why in a GOAWAY of its own,
    // and reads no more once it is out), or when the server's GOAWAY left no stream open.
    Flush();
    if (read >= 0 && nghttp2_session_want_read(m_session) != 0)
        return true;
    m_broken = true;
    CloseOpenStreams();
    return read >= 0 && m_goneAway;
}

void Http2Session::ConnectionClosed()
{
    m_broken = true;
    CloseOpenStreams();
}

std::string Http2Session::TakeOutput()
{
    Flush();
    return std::exchange(m_output, {});
}

void Http2Session::Flush()
{
    for (;;) {
        const std::uint8_t *data = nullptr;
        const auto size = nghttp2_session_mem_send(m_session, &data);
        if (size <= 0)
            break;
        m_output.append(Text(data, static_cast<std::size_t>(size)));
    }
}

Http2Session::StreamState Http2Session::State(std::int32_t stream) const
{
    const auto found = m_streams.find(stream);
    return found == m_streams.end() ? StreamState::Reset : found->second.state;
}

std::string Http2Session::TakeAnswer(std::int32_t stream)
{
    const auto found = m_streams.find(stream);
    if (found == m_streams.end() || !found->second.headEnded)
        return {};
    return std::exchange(found->second.answer, {});
}

void Http2Session::Forget(std::int32_t stream)
{
    const auto found = m_streams.find(stream);
    if (found == m_streams.end())
        return;
    if (found->second.state == StreamState::Open && !m_broken)
        nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, stream, NGHTTP2_CANCEL);
    m_streams.erase(found);
}

bool Http2Session::TakesNewStreams() const
{
    return !m_broken && !m_goneAway && nghttp2_session_check_request_allowed(m_session) != 0;
}

std::size_t Http2Session::OpenStreams() const
{
    std::size_t open = 0;
    for (const auto &[id, stream] : m_streams)
        open += stream.state == StreamState::Open ? 1 : 0;
    return open;
}

std::size_t Http2Session::MaxConcurrentStreams() const
{
    return nghttp2_session_get_remote_settings(m_session, NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS);
}

Http2Session::Stream *Http2Session::Find(std::int32_t stream)
{
    const auto found = m_streams.find(stream);
    return found == m_streams.end() ? nullptr : &found->second;
}

void Http2Session::GoAway(std::int32_t lastStream)
{
    m_goneAway = true;
    m_lastProcessed = lastStream;
    for (auto &[id, stream] : m_streams)
        if (id > lastStream && stream.state == StreamState::Open)
            stream.state = StreamState::Refused;
}

void Http2Session::EndStream(std::int32_t stream, std::uint32_t errorCode)
{
    Stream *ended = Find(stream);
    if (!ended || ended->state != StreamState::Open)
        return;
    if (errorCode == NGHTTP2_REFUSED_STREAM || (m_goneAway && stream > m_lastProcessed))
        ended->state = StreamState::Refused;
    else if (errorCode == NGHTTP2_NO_ERROR && ended->headEnded)
        ended->state = StreamState::Whole;
    else
        ended->state = StreamState::Reset;
}

void Http2Session::CloseOpenStreams()
{
    for (auto &[id, stream] : m_streams)
        if (stream.state == StreamState::Open)
            stream.state
                = m_goneAway && id > m_lastProcessed ? StreamState::Refused : StreamState::Reset;
}

} // namespace tw
