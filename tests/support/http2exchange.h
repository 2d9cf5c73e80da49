#pragma once

// One HTTP/2 connection of the test server: each request a stream, answered as its route says.
// A route's behaviour reads for a stream: Reset resets it, Cut sends a GOAWAY that leaves it
// unprocessed, Stall never answers it; the others answer it whole.

#include "support/testhttpserver.h"

#include <QObject>

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

class QSslSocket;

namespace tw::test {

// A server session whose callbacks get user, its SETTINGS queued.
nghttp2_session *NewHttp2ServerSession(
    void *user, nghttp2_on_header_callback onHeader, nghttp2_on_frame_recv_callback onFrame);

// Reads a body held in the string that source points at, for nghttp2's data provider; the
// string is emptied as it goes.
ssize_t ReadHttp2Body(nghttp2_session *session, std::int32_t stream, std::uint8_t *buffer,
    std::size_t length, std::uint32_t *flags, nghttp2_data_source *source, void *user);

struct StreamAnswer
{
    Route route;
    Behaviour how;
};

class Http2Exchange final : public QObject
{
public:
    using Answerer = std::function<StreamAnswer(Request)>;
    Http2Exchange(QObject *parent, QSslSocket *socket, Answerer answerer);
    ~Http2Exchange() override;
    Http2Exchange(const Http2Exchange &) = delete;
    Http2Exchange &operator=(const Http2Exchange &) = delete;

    // What the framing library's callbacks reach.
    void NotePath(std::int32_t stream, std::string path);
    void Answer(std::int32_t stream);

private:
    void OnReadyRead();
    void Flush();

    QSslSocket *m_socket;
    Answerer m_answerer;
    nghttp2_session *m_session = nullptr;
    std::map<std::int32_t, std::string> m_paths;
    std::map<std::int32_t, std::string> m_bodies;
};

} // namespace tw::test
