#pragma once

// One HTTP/2 connection of the test server, over bytes: each request a stream, answered as its
// route says. A route's behaviour reads for a stream: Reset resets it, Cut sends a GOAWAY that
// leaves it unprocessed, Stall never answers it; the others answer it whole, after a 103 Early
// Hints with its Link field when it has one.

#include "support/testhttpserver.h"

#include <QObject>

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace tw::test {

struct StreamAnswer
{
    Route route;
    Behaviour how;
};

class Http2Exchange final : public QObject
{
public:
    using Answerer = std::function<StreamAnswer(Request)>;
    using Writer = std::function<void(std::string_view)>;
    // write takes what the server sends; it is given the server's SETTINGS at once.
    Http2Exchange(QObject *parent, Writer write, Answerer answerer);
    // Bytes from the client; false when they break the protocol.
    bool Receive(std::string_view bytes);
    ~Http2Exchange() override;
    Http2Exchange(const Http2Exchange &) = delete;
    Http2Exchange &operator=(const Http2Exchange &) = delete;

    // What the framing library's callbacks reach.
    void NoteField(std::int32_t stream, std::string name, std::string value);
    void Answer(std::int32_t stream);

private:
    void Flush();

    Writer m_write;
    Answerer m_answerer;
    nghttp2_session *m_session = nullptr;
    std::map<std::int32_t, std::string> m_paths;
    // Each stream's header fields, as lines of an HTTP/1 head.
    std::map<std::int32_t, std::string> m_fields;
    std::map<std::int32_t, std::string> m_bodies;
};

} // namespace tw::test
