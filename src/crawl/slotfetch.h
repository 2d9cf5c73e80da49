#pragma once

// One connection slot and the fetch it runs: the slot's record, its connection and its timeout
// timer, and their handlers. A fetch goes through named steps: connect and send, receive, judge
// the answer, store it, scan it for links. What the whole job shares (the settings, the queue,
// the memory limit, the hosts' pace) it asks of its FetchContext, and it tells the context what
// became of it: the counters, the signals and the start page's moves are the engine's.

#include "crawl/fetchcontext.h"
#include "extractor/urlnormalize.h"
#include "output/incomingfile.h"
#include "render/renderers.h"
#include "transport/httpmessage.h"
#include "transport/responsereader.h"
#include "transport/siteaddress.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QTimer;

namespace tw {

class Connection;

inline constexpr int kDefaultTimeoutMs = 20000;
// A request the server left unanswered goes again this often without counting a try.
inline constexpr int kFreeRetriesOfRefused = 3;

// How an answer's body is kept until it is whole.
enum class BodyKeeping {
    // Held whole: a page, a style sheet or an SVG image, for its links to be found and rewritten;
    // an answer not stored as it came (an error, a move, robots.txt); one whose head is not read.
    Held,
    // A file stored exactly as it comes: beyond what is held, it goes to incoming as it arrives.
    AsItArrives,
};

// What stands in for the URL's file while its fetch is tried again.
enum class StandIn { Nothing, TimeoutText };

// One parallel connection's record. Slots are numbered 1 to 24 everywhere.
struct ConnectionSlot
{
    std::string queuedUrl; // the URL as the queue held it
    std::string url; // host + path, no scheme, as the scheduler received it after clean-up
    std::string host; // url before its first "/"
    std::string path; // url from its first "/" (at most 999 characters), "/" appended when dotless
    std::string
        requestPath; // path as the site spells it (".jpeg" kept), which the request asks for
    // The answer as it arrives: its head, its framing and the body held.
    ResponseReader reader;
    std::int64_t contentLength = 0;
    std::int64_t bytesReceived = 0;
    int attempt = 0;
    FetchKind kind = FetchKind::Link;
    FetchAsk ask = FetchAsk::New;
    // Why the last try could not connect, and the status a proxy refused its tunnel with.
    ConnectFailure lastFailure = ConnectFailure::None;
    int lastProxyStatus = 0;
    StandIn standIn = StandIn::Nothing;
    // How often the server left the request unanswered.
    int refusals = 0;
    // This try's request carried the password; how often the site's 401 was answered.
    bool sentCredentials = false;
    int loginAnswers = 0;
    BodyKeeping body = BodyKeeping::Held;
    IncomingFile incoming;

    // Forgets what a try received, so that the next try starts afresh.
    void ForgetResponse();
};

// The address the slot's request asks for, in a job over TLS or not.
SiteAddress RequestedAddress(const ConnectionSlot &slot, bool secure);

// Where a slot stands with its fetch.
enum class SlotPhase {
    Idle, // no fetch runs on it
    KeptOpen, // no fetch runs; its connection is open, or being opened, for the next to its host
    Connecting, // its fetch's connection is being made, the request going with it
    Asking, // its fetch's request is sent, or goes out once the connection is made
    WaitingToRetry, // its fetch's next try waits for a pause; the slot is not free meanwhile
    Drawing, // its fetch's page is drawn by a renderer, then stored; its connection is closed
};

// What the slot's connection has carried, which tells what its fetch may count on.
enum class ConnectionUse {
    New, // made for its fetch's request, or none is open
    OpenedAhead, // opened before a fetch asked for it
    Kept, // has carried an answer and stayed open
};

// Tells, after the event loop has run, whether the fetch a handler started is still the one on
// its slot: its connection neither closed nor given to another fetch, and the job not stopped.
class FetchGuard
{
public:
    FetchGuard(
        const Connection &connection, const quint64 &fetchSerial, const FetchContext &context);
    bool StillCurrent() const;

private:
    const Connection &m_connection;
    quint64 m_generation;
    const quint64 &m_fetchSerial;
    quint64 m_serial;
    const FetchContext &m_context;
};

class SlotFetch final : public QObject
{
    Q_OBJECT

public:
    SlotFetch(FetchContext &context, int number, QObject *parent);
    ~SlotFetch() override;

    const ConnectionSlot &Record() const { return m_record; }
    // No fetch runs and no try waits: the slot may be given a fetch. Its connection may be open,
    // kept from the last fetch for the next one to the same host.
    bool IsFree() const;
    // The slot's connection is kept open to host for its next fetch.
    bool IsKeptOpenTo(const std::string &host) const;
    bool IsKeptOpen() const { return m_phase == SlotPhase::KeptOpen; }
    // Bytes of responses this slot holds.
    std::size_t HeldBytes() const { return m_record.reader.Bytes().size(); }

    // The slot's connection has carried an answer and stayed open, and its fetch, a link, waits
    // for an answer not known to be big: the request for the next URL of its host may go out
    // behind this one's.
    bool CanSendAhead() const;
    // Sends the request for url behind the running fetch's; its fetch starts when that answer has
    // come whole and the connection stays open, and goes back to the queue otherwise. False when
    // the URL's request cannot go out.
    bool SendAhead(std::string url, FetchTarget target);
    // Opens the slot's connection to host ahead of a fetch, kept for the next fetch to host.
    void OpenAhead(std::string host);
    // Starts fetching url (as queued) on this slot.
    void Start(std::string url, FetchTarget target, FetchKind kind);
    // Closes the connection, stops the timer and forgets the record.
    void Clear();
    void CloseConnection();
    void SetTimeoutInterval(int milliseconds);
    int TimeoutInterval() const;

private:
    // The design's handlers of the slot's connection and timeout timer.
    void Sock_Connect();
    void Sock_DataArrival();
    void Sock_Failed();
    void tmrOut_Timer();

    // The record of a fetch of url, its kind and how it asks known from what the job knows of it.
    ConnectionSlot RecordOf(std::string url, FetchTarget target, FetchKind kind) const;
    void Connect();
    // Connects the slot to host, with the request to send once connected if there is one.
    void ConnectTo(const std::string &host, std::string_view request = {});
    // The proxy a fetch of host goes through, if any.
    std::optional<HttpProxy> ProxyOf(const std::string &host);
    // The request for the record's URL, its paths as the request names them; none when it would
    // climb above the site's root.
    std::optional<std::string> RequestOf(ConnectionSlot &record);
    // The fetch sent ahead becomes the slot's, its answer's first bytes put back on the connection.
    void TakeUpNext();
    // The fetch sent ahead goes back to the queue: its answer will not come on this connection.
    void GiveBackNext();
    // The answer asks for another try at once, and the connection it came on stays open with a
    // request sent ahead: that fetch becomes the slot's, its answer kept, and this one's next try
    // goes out behind it. False when the connection cannot carry both.
    bool RetryBehindNext();
    // Takes the bytes that arrived into the response; false when they outgrow the memory limit.
    bool Receive();
    void ProcessChunk(const FetchGuard &guard);
    // Reads the answer's head once it is here: its length for the progress, its framing, and
    // whether its body is stored as it comes.
    void ReadHead();
    // Writes a body stored as it comes to disk once it outgrows what is held, and checks what is
    // held against the memory limit. False when the fetch failed for it.
    bool PassOnBody();
    // The part of the response that is the body's, written to the incoming file; only what is
    // not yet its (the coding of a chunk not yet whole, the next answer's bytes) stays held.
    bool WriteBodyAhead(std::string &error);
    // A connection kept from an earlier fetch closed or broke before this answer was whole: the
    // server let it go meanwhile, which costs the fetch no try.
    bool BrokeBeforeAnswer();
    void RetryOnNewConnection();
    // Cuts the answer to its framing; what follows it begins the answer sent ahead, if any. False
    // for a chunked body that broke off or is broken.
    bool TrimToFrame();
    // The answer leaves its connection fit for the next fetch on this slot.
    bool ConnectionReusable() const;
    // The fetch is done with its connection: kept open for the next fetch to its host when the
    // answer allows, closed otherwise.
    void ReleaseConnection();
    // The whole answer is here: decides what becomes of it.
    void Judge(const FetchGuard &guard);
    // Stores the answer, as drawn when drawing tells of a drawing, then scans it.
    void Keep(const HttpResponse &answer, bool typedByServer, const FetchGuard &guard,
        const Drawing *drawing = nullptr);
    // The answer is a page to be drawn first: true when its drawing was asked for, and Keep
    // follows once it ends.
    bool DrawFirst(const HttpResponse &answer, bool typedByServer);
    // Stores the answer (or the page standing in for a redirect) and finds its references; stored
    // tells of the file when one was written. False when the fetch was let go of meanwhile.
    bool Store(const HttpResponse &answer, bool typedByServer, const FetchGuard &guard,
        std::vector<PageReference> &references, std::optional<StoredFetch> &stored,
        const Drawing *drawing);
    // Queues the references' targets, then reports the file stored.
    void Scan(const std::vector<PageReference> &references,
        const std::optional<StoredFetch> &stored, const FetchGuard &guard);
    // The answer's type, not the URL's name, tells how the file is named: its URL has no
    // extension.
    bool TypedByServer(const HttpResponse &answer);
    // Where the answer is stored.
    StoredLocation StoredLocationFor(const HttpResponse &answer);
    // The page to store in place of an in-site redirect; its target is admitted as a link.
    std::optional<std::string> RedirectStub(const std::string &location);

    // Why a try failed; all are retried alike, a connect refused after a short pause.
    enum class TryFailure {
        Timeout,
        Connect,
        BrokenHead,
        ShortBody,
        Reset,
        BrokenChunks,
        TooLarge,
        BadCoding
    };
    // Tries again, or after the last try stores what is left and reports the failure.
    void FailTry(TryFailure failure);
    // The body did not decode: too large for memory or the disk, or not in its coding.
    void FailDecoding();
    // Takes the content coding off the whole body that is used (stored, or read as robots.txt);
    // false, the try failed, when it does not decode.
    bool DecodeBody();
    // The site's own host asked for the name and password (401): true when the fetch goes on,
    // asked again with them without a try counted, or failed because they were refused.
    bool AnswerLogin(const HttpResponse &answer);
    // The server answered with an error status that may pass: tried again after pause, which
    // its other fetches keep too.
    void RetryStatus(std::chrono::seconds pause);
    // The server answered with an error status (4xx, 5xx) for good: reported without storing the
    // answer.
    void FailStatus(const HttpResponse &answer, Failure::Kind kind = Failure::Kind::HttpStatus);
    // Ends the fetch at once, for the reason given; a start page takes the job with it.
    void FailFetch(const Failure &failure);
    // The answer is of a type not wanted: reported, not stored, not a failure.
    void SkipFetch(const std::string &contentType);
    // The URL is stored as storedAs, with another extension than its name had: a page at its
    // name leads on to it, for the links that were pointed there before its type was known.
    void LeadOnFromItsName(const std::string &storedAs);
    // The URL is not stored under its own name: its placeholder goes, and it stays known as
    // stored at storedAs (empty: nowhere).
    void MarkNotStoredAsNamed(std::string_view storedAs);
    // The next try, at once or after a pause.
    void RetryAfter(std::chrono::milliseconds pause);
    Failure FailureOf(TryFailure failure) const;
    // No try of this fetch writes a file of its own: a file of an earlier copy stays, a
    // robots.txt is only read.
    bool StoresNothingUntilWhole() const;
    // The host's robots.txt arrived (status 0: it could not be fetched).
    void ReadRobots(int status, std::string_view body);
    // Ends a fetch of such a URL whose stored file stays as it was.
    void LeaveStoredFile();
    // The key the output layer stores the URL under: "\" host path.
    std::string SavedName() const;

    // The one place the slot's phase changes.
    void MoveTo(SlotPhase phase) { m_phase = phase; }
    void ShowState(SlotState state);
    void ShowIdle();
    FetchGuard Guard() const;
    // Lets the event loop run; false when the fetch was let go of meanwhile.
    bool YieldFor(const FetchGuard &guard);
    SiteJob &Job() { return m_context.Job(); }
    JobWrites &Writes() { return m_context.Writes(); }
    const JobSettings &Settings() const { return m_context.Settings(); }
    void Report(const FetchOutcome &outcome) { m_context.Report(m_number, outcome); }

    FetchContext &m_context;
    const int m_number;
    ConnectionSlot m_record;
    std::unique_ptr<Connection> m_socket;
    QTimer *m_tmrOut;
    // Counts the fetches started, so that a handler notices a new one on a kept connection.
    quint64 m_serial = 0;
    SlotPhase m_phase = SlotPhase::Idle;
    ConnectionUse m_connectionUse = ConnectionUse::New;
    // The fetch whose request went out behind the running one's, and the bytes of its answer
    // that came with the end of the running one's.
    struct SentAhead
    {
        ConnectionSlot record;
        std::string answerStart;
    };
    std::optional<SentAhead> m_next;
    // The drawing the fetch waits for, 0 when none.
    std::uint64_t m_drawing = 0;
};

} // namespace tw
