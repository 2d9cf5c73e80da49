#include "render/renderers.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <algorithm>

namespace tw {

namespace {

// What a renderer may take beyond a drawing's own time limit: its start, and its answer.
constexpr int kGraceMs = 10000;
constexpr int kMemoryCheckMs = 250;

QByteArray ReadProcFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

struct Renderers::Worker
{
    QProcess *process = nullptr;
    QTimer *deadline = nullptr;
    QByteArray answer;
    std::uint64_t ticket = 0;
    Done done;
};

namespace {

constexpr std::pair<const char *, JobSettings::Render> kRenderNames[] = {
    {"auto", JobSettings::Render::Auto},
    {"always", JobSettings::Render::Always},
    {"never", JobSettings::Render::Never},
};

} // namespace

QString RendererProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/tidewell-render");
}

std::optional<JobSettings::Render> RenderNamed(const QString &name)
{
    for (const auto &[text, render] : kRenderNames)
        if (name == QLatin1String(text))
            return render;
    return std::nullopt;
}

QString NameOfRender(JobSettings::Render render)
{
    for (const auto &[text, each] : kRenderNames)
        if (each == render)
            return QLatin1String(text);
    return {};
}

std::int64_t ProcessTreeMemory(std::int64_t pid)
{
    const QString folder = QStringLiteral("/proc/%1/").arg(pid);
    std::int64_t bytes = 0;
    const QByteArray status = ReadProcFile(folder + QStringLiteral("status"));
    const qsizetype at = status.indexOf("VmRSS:");
    if (at >= 0)
        bytes = status.mid(at + 6, status.indexOf('\n', at) - at - 6)
                    .trimmed()
                    .split(' ')[0]
                    .toLongLong()
            * 1024;
    const QByteArray children
        = ReadProcFile(folder + QStringLiteral("task/%1/children").arg(pid)).trimmed();
    for (const QByteArray &child : children.split(' '))
        if (!child.isEmpty())
            bytes += ProcessTreeMemory(child.toLongLong());
    return bytes;
}

Renderers::Renderers(QObject *parent)
    : QObject(parent)
    , m_memoryCheck(new QTimer(this))
{
    m_memoryCheck->setInterval(kMemoryCheckMs);
    connect(m_memoryCheck, &QTimer::timeout, this, &Renderers::CheckMemory);
}

Renderers::~Renderers()
{
    m_waiting.clear();
    for (auto &worker : m_workers)
        worker->done = nullptr;
    StopAll();
}

void Renderers::SetProgram(QString program, QStringList browserFlags)
{
    m_program = std::move(program);
    m_browserFlags = std::move(browserFlags);
}

bool Renderers::Available() const
{
    return !m_program.isEmpty() && QFileInfo(m_program).isExecutable();
}

std::uint64_t Renderers::Draw(std::string url, int timeoutMs, Done done)
{
    m_waiting.push_back(Request {.ticket = ++m_lastTicket,
        .url = std::move(url),
        .timeoutMs = timeoutMs,
        .done = std::move(done)});
    // A drawing is never answered within the call that asks for it.
    QTimer::singleShot(0, this, &Renderers::StartWaiting);
    return m_lastTicket;
}

void Renderers::Cancel(std::uint64_t ticket)
{
    std::erase_if(m_waiting, [ticket](const Request &request) { return request.ticket == ticket; });
    for (auto &worker : m_workers)
        if (worker->ticket == ticket) {
            worker->done = nullptr;
            // Its answer may still come: the renderer is stopped rather than read out of step.
            Stop(*worker, {});
        }
}

void Renderers::StopAll()
{
    m_waiting.clear();
    for (auto &worker : m_workers)
        Stop(*worker, "the copy stopped");
}

void Renderers::StartWaiting()
{
    while (!m_waiting.empty()) {
        auto idle = std::find_if(m_workers.begin(), m_workers.end(),
            [](const auto &worker) { return worker->ticket == 0; });
        if (idle == m_workers.end()) {
            if (m_workers.size() >= static_cast<std::size_t>(kMaxRenderers))
                return;
            auto worker = std::make_unique<Worker>();
            worker->process = new QProcess(this);
            worker->deadline = new QTimer(this);
            worker->deadline->setSingleShot(true);
            Worker &made = *worker;
            connect(made.process, &QProcess::readyReadStandardOutput, this,
                [this, &made] { Read(made); });
            connect(made.process, &QProcess::finished, this, [this, &made] {
                if (made.ticket != 0)
                    Stop(made, "the renderer stopped");
            });
            connect(made.deadline, &QTimer::timeout, this,
                [this, &made] { Stop(made, "the renderer did not answer in time"); });
            m_workers.push_back(std::move(worker));
            idle = std::prev(m_workers.end());
        }
        Request request = std::move(m_waiting.front());
        m_waiting.pop_front();
        Take(**idle, std::move(request));
    }
}

void Renderers::Take(Worker &worker, Request request)
{
    if (worker.process->state() == QProcess::NotRunning) {
        if (!Available()) {
            request.done({.text = "the renderer is not installed"});
            return;
        }
        worker.process->setStandardErrorFile(QProcess::nullDevice());
        worker.process->start(m_program, m_browserFlags);
    }
    worker.ticket = request.ticket;
    worker.done = std::move(request.done);
    worker.answer.clear();
    worker.deadline->start(request.timeoutMs + kGraceMs);
    m_memoryCheck->start();
    worker.process->write(QByteArray::number(request.timeoutMs) + ' '
        + QByteArray::fromStdString(request.url) + '\n');
}

void Renderers::Read(Worker &worker)
{
    worker.answer += worker.process->readAllStandardOutput();
    const qsizetype lineEnd = worker.answer.indexOf('\n');
    if (worker.ticket == 0 || lineEnd < 0)
        return;
    const QByteArray line = worker.answer.left(lineEnd);
    if (line.startsWith("failed ")) {
        End(worker, {.text = line.mid(7).toStdString()});
        return;
    }
    bool ok = false;
    const qsizetype length = line.startsWith("drawn ") ? line.mid(6).toLongLong(&ok) : 0;
    if (!ok) {
        Stop(worker, "the renderer's answer was not understood");
        return;
    }
    if (worker.answer.size() - lineEnd - 1 >= length)
        End(worker, {.drawn = true, .text = worker.answer.mid(lineEnd + 1, length).toStdString()});
}

void Renderers::End(Worker &worker, Drawing drawing)
{
    worker.deadline->stop();
    worker.ticket = 0;
    worker.answer.clear();
    const Done done = std::exchange(worker.done, nullptr);
    if (done)
        done(std::move(drawing));
    QTimer::singleShot(0, this, &Renderers::StartWaiting);
}

void Renderers::Stop(Worker &worker, const std::string &reason)
{
    const Done done = std::exchange(worker.done, nullptr);
    // Taken first: the process's end, which the wait below reports, ends no drawing then.
    worker.ticket = 0;
    worker.deadline->stop();
    if (worker.process->state() != QProcess::NotRunning) {
        worker.process->kill();
        worker.process->waitForFinished(kGraceMs);
    }
    if (done)
        done({.text = reason});
    QTimer::singleShot(0, this, &Renderers::StartWaiting);
}

void Renderers::CheckMemory()
{
    bool busy = false;
    for (auto &worker : m_workers) {
        if (worker->ticket == 0)
            continue;
        busy = true;
        if (ProcessTreeMemory(worker->process->processId()) > m_memoryLimit)
            Stop(*worker, "the renderer outgrew its memory limit");
    }
    if (!busy)
        m_memoryCheck->stop();
}

} // namespace tw
