#pragma once

// The renderer programs a copy draws its pages with: each a process of its own, started when the
// first page needs it, given one URL at a time, and stopped when a drawing outlasts its time or
// its memory, so that a page that hangs or crashes the browser fails alone. The caller's event
// loop never waits for them: each drawing ends in a call of its callback.

#include "common/sitejob.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QProcess;
class QTimer;

namespace tw {

// At most this many renderers at once: each is a browser of its own.
inline constexpr int kMaxRenderers = 2;
// The most memory one renderer and the processes it starts may use together.
inline constexpr std::int64_t kRendererMemoryLimit = std::int64_t {1} << 30;

struct Drawing
{
    bool drawn = false;
    // The drawn document (UTF-8) when drawn; otherwise why there is none.
    std::string text;
};

class Renderers final : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(Drawing)>;

    explicit Renderers(QObject *parent = nullptr);
    ~Renderers() override;

    // The renderer program; none (empty), or one that is not there: nothing is drawn. Its
    // browser is started with browserFlags (such as "--host-resolver-rules=...").
    void SetProgram(QString program, QStringList browserFlags = {});
    bool Available() const;
    void SetMemoryLimit(std::int64_t bytes) { m_memoryLimit = bytes; }

    // Draws url (absolute), in at most timeoutMs once a renderer takes it up; done is called
    // once, later, unless the drawing is cancelled. Returns the drawing's ticket (never 0).
    std::uint64_t Draw(std::string url, int timeoutMs, Done done);
    void Cancel(std::uint64_t ticket);
    // Stops every renderer; the drawings waiting are dropped without a call.
    void StopAll();

private:
    struct Request
    {
        std::uint64_t ticket = 0;
        std::string url;
        int timeoutMs = 0;
        Done done;
    };
    struct Worker;

    void StartWaiting();
    void Take(Worker &worker, Request request);
    void Read(Worker &worker);
    // The worker's drawing ended: its callback is called, and the next waiting one starts.
    void End(Worker &worker, Drawing drawing);
    // The worker's process is stopped; its drawing, if any, fails for reason.
    void Stop(Worker &worker, const std::string &reason);
    void CheckMemory();

    QString m_program;
    QStringList m_browserFlags;
    std::int64_t m_memoryLimit = kRendererMemoryLimit;
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::deque<Request> m_waiting;
    std::uint64_t m_lastTicket = 0;
    QTimer *m_memoryCheck;
};

// The renderer program beside the running one.
QString RendererProgram();

// The choice of which pages are drawn, as the user names it ("auto", "always", "never"), and back.
std::optional<JobSettings::Render> RenderNamed(const QString &name);
QString NameOfRender(JobSettings::Render render);

// The memory the process pid and those it started use together, in bytes (0 when unknown).
std::int64_t ProcessTreeMemory(std::int64_t pid);

} // namespace tw
