#include "support/http2exchange.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace tw::test {

namespace {

Http2Exchange &Of(void *user)
{
    return *static_cast<Http2Exchange *>(user);
}

int OnHeader(nghttp2_session *, const nghttp2_frame *frame, const std::uint8_t *name,
    std::size_t nameLength, const std::uint8_t *value, std::size_t valueLength, std::uint8_t,
    void *user)
{
    Of(user).NoteField(frame->hd.stream_id,
        std::string(reinterpret_cast<const char *>(name), nameLength),
        std::string(reinterpret_cast<const char *>(value), valueLength));
    return 0;
}

int OnFrame(nghttp2_session *, const nghttp2_frame *frame, void *user)
{
    if (frame->hd.type == NGHTTP2_HEADERS && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0)
        Of(user).Answer(frame->hd.stream_id);
    return 0;
}

// The route's extra header lines as HTTP/2 fields.
std::vector<std::pair<std::string, std::string>> FieldsOf(const Route &route)
{
    std::vector<std::pair<std::string, std::string>> fields {
        {":status", std::to_string(route.status)}, {"content-type", route.contentType}};
    std::string_view rest = route.extraHeaders;
    while (!rest.empty()) {
        const std::size_t end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(std::min(rest.size(), end + 2));
        const std::size_t colon = line.find(':');
        std::string name(line.substr(0, colon));
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        fields.emplace_back(name, std::string(line.substr(line.find_first_not_of(' ', colon + 1))));
    }
    fields.emplace_back("content-length", std::to_string(route.body.size()));
    return fields;
}

nghttp2_session *NewHttp2ServerSession(
    void *user, nghttp2_on_header_callback onHeader, nghttp2_on_frame_recv_callback onFrame)
{
    nghttp2_session *session = nullptr;
    nghttp2_session_callbacks *callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, onHeader);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, onFrame);
    nghttp2_session_server_new(&session, callbacks, user);
    nghttp2_session_callbacks_del(callbacks);
    nghttp2_submit_settings(session, NGHTTP2_FLAG_NONE, nullptr, 0);
    return session;
}

ssize_t ReadHttp2Body(nghttp2_session *, std::int32_t, std::uint8_t *buffer, std::size_t length,
    std::uint32_t *flags, nghttp2_data_source *source, void *)
{
    auto &rest = *static_cast<std::string *>(source->ptr);
    const std::size_t n = std::min(length, rest.size());
    std::copy_n(rest.begin(), n, buffer);
    rest.erase(0, n);
    if (rest.empty())
        *flags |= NGHTTP2_DATA_FLAG_EOF;
    return static_cast<ssize_t>(n);
}

} // namespace

Http2Exchange::Http2Exchange(QObject *parent, Writer write, Answerer answerer)
    : QObject(parent)
    , m_write(std::move(write))
    , m_answerer(std::move(answerer))
{
    m_session = NewHttp2ServerSession(this, OnHeader, OnFrame);
    Flush();
}

Http2Exchange::~Http2Exchange()
{
    nghttp2_session_del(m_session);
}

void Http2Exchange::NoteField(std::int32_t stream, std::string name, std::string value)
{
    if (name == ":path")
        m_paths[stream] = std::move(value);
    else if (!name.starts_with(':'))
        m_fields[stream].append(name).append(": ").append(value).append("\r\n");
}

void Http2Exchange::Answer(std::int32_t stream)
{
    Request request;
    request.raw = "GET " + m_paths[stream] + " HTTP/2\r\n" + m_fields[stream] + "\r\n";
    m_fields.erase(stream);
    request.path
        = QByteArray::fromPercentEncoding(QByteArray::fromStdString(m_paths[stream])).toStdString();
    const StreamAnswer answer = m_answerer(std::move(request));
    switch (answer.how.kind) {
    case Behaviour::Kind::Reset:
        nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, stream, NGHTTP2_INTERNAL_ERROR);
        return;
    case Behaviour::Kind::Cut:
        nghttp2_submit_goaway(
            m_session, NGHTTP2_FLAG_NONE, stream - 2, NGHTTP2_NO_ERROR, nullptr, 0);
        return;
    case Behaviour::Kind::Stall:
        return;
    case Behaviour::Kind::Whole:
    case Behaviour::Kind::Pieces:
        break;
    }
    const auto fields = FieldsOf(answer.route);
    const auto pairs = [](const std::vector<std::pair<std::string, std::string>> &named) {
        std::vector<nghttp2_nv> head;
        for (const auto &[name, value] : named)
            head.push_back({reinterpret_cast<std::uint8_t *>(const_cast<char *>(name.data())),
                reinterpret_cast<std::uint8_t *>(const_cast<char *>(value.data())), name.size(),
                value.size(), NGHTTP2_NV_FLAG_NONE});
        return head;
    };
    if (const auto link = std::find_if(
            fields.begin(), fields.end(), [](const auto &field) { return field.first == "link"; });
        link != fields.end()) {
        const std::vector<std::pair<std::string, std::string>> hints {{":status", "103"}, *link};
        const std::vector<nghttp2_nv> hintsHead = pairs(hints);
        nghttp2_submit_headers(m_session, NGHTTP2_FLAG_NONE, stream, nullptr, hintsHead.data(),
            hintsHead.size(), nullptr);
    }
    const std::vector<nghttp2_nv> head = pairs(fields);
    m_bodies[stream] = answer.route.body;
    nghttp2_data_provider body {};
    body.source.ptr = &m_bodies[stream];
    body.read_callback = ReadHttp2Body;
    nghttp2_submit_response(m_session, stream, head.data(), head.size(), &body);
}

bool Http2Exchange::Receive(std::string_view bytes)
{
    if (nghttp2_session_mem_recv(
            m_session, reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size())
        < 0)
        return false;
    Flush();
    return true;
}

void Http2Exchange::Flush()
{
    const std::uint8_t *data = nullptr;
    for (ssize_t size; (size = nghttp2_session_mem_send(m_session, &data)) > 0;)
        m_write(
            std::string_view(reinterpret_cast<const char *>(data), static_cast<std::size_t>(size)));
}

} // namespace tw::test
