#pragma once

// One HTTP/2 connection's framing over bytes, as a client: requests go out as streams of one
// connection, and each stream's answer comes back as the text of an HTTP/1.0 answer (status line,
// fields, body), so that it is read as any other answer, ended by its stream's end as an HTTP/1.0
// answer is by the close. The caller moves the bytes: what arrives goes to Receive, what
// TakeOutput gives goes out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct nghttp2_session;

namespace tw {

struct Http2Request
{
    std::string scheme = "https";
    std::string authority; // host, and ":port" when not the scheme's own
    std::string path; // as the request line names it
    std::vector<std::pair<std::string, std::string>> fields; // lower-case names
};

// The HTTP/2 form of an HTTP/1.x request's text: the request line's target as the path, Host as
// the authority, the other fields in lower case but those of the connection itself. None when the
// text is not one whole request.
std::optional<Http2Request> Http2RequestOf(std::string_view text, std::string_view scheme);

class Http2Session
{
public:
    enum class StreamState {
        Open, // its answer is coming
        Whole, // its answer ended
        Reset, // the server reset it, or the connection broke before its end
        Refused, // the server did not process it (a refused stream, or beyond a GOAWAY): it may go
                 // again on another stream or connection without counting as a try
    };

    Http2Session();
    ~Http2Session();
    Http2Session(const Http2Session &) = delete;
    Http2Session &operator=(const Http2Session &) = delete;

    // A new stream for request, or 0 when the connection takes no new stream.
    std::int32_t Submit(const Http2Request &request);
    // Bytes from the server. False when they break the protocol: every open stream is then Reset.
    bool Receive(std::string_view bytes);
    // The connection under the session closed: the streams still open are Reset, or Refused
    // when a GOAWAY left them unprocessed.
    void ConnectionClosed();
    // The bytes to send now.
    std::string TakeOutput();

    StreamState State(std::int32_t stream) const;
    // The answer's text received so far on the stream, taken from the session.
    std::string TakeAnswer(std::int32_t stream);
    // Forgets a stream whose answer was taken; an open one is reset first.
    void Forget(std::int32_t stream);
    // The session takes new streams: no GOAWAY came and the connection did not break.
    bool TakesNewStreams() const;
    // Streams open now, and the most the server allows at once.
    std::size_t OpenStreams() const;
    std::size_t MaxConcurrentStreams() const;

    // What the callbacks of the framing library reach.
    struct Stream
    {
        std::string answer;
        bool interim = false; // the head being read is an interim answer's (1xx)
        bool headEnded = false;
        StreamState state = StreamState::Open;
    };
    Stream *Find(std::int32_t stream);
    void GoAway(std::int32_t lastStream);
    void EndStream(std::int32_t stream, std::uint32_t errorCode);

private:
    // Moves what the framing has to send into the output.
    void Flush();
    void CloseOpenStreams();

    nghttp2_session *m_session = nullptr;
    std::unordered_map<std::int32_t, Stream> m_streams;
    std::string m_output;
    bool m_broken = false;
    bool m_goneAway = false;
    std::int32_t m_lastProcessed = 0;
};

} // namespace tw
