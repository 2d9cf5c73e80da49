#include "report/documentexaminer.h"

#include <utility>

namespace tw {

namespace {

// The worker is woken for this many files at once: one wake for each stored file costs the
// engine's thread more than the examining saves.
constexpr std::size_t kFilesPerWake = 32;
// A worker that falls behind does not hold more texts than this in memory: the files written
// meanwhile are read from disk when their turn comes.
constexpr std::size_t kMostWaitingBytes = 16 << 20;

} // namespace

DocumentExaminer::DocumentExaminer(std::string folder)
    : m_folder(std::move(folder))
    , m_worker([this](const std::stop_token &stop) { Work(stop); })
{
}

void DocumentExaminer::Add(const std::string &file, WrittenText written)
{
    if (!file.starts_with(m_folder))
        return;
    std::string below = file.substr(m_folder.size());
    if (KindOfStoredName(below) == DocumentKind::Other)
        return;
    bool wake = false;
    {
        const std::scoped_lock lock(m_mutex);
        if (written.text && m_waitingBytes + written.text->size() > kMostWaitingBytes)
            written = {};
        m_waitingBytes += written.text ? written.text->size() : 0;
        m_waiting.push_back({std::move(below), std::move(written)});
        wake = m_waiting.size() >= kFilesPerWake;
    }
    if (wake)
        m_added.notify_one();
}

ExaminedDocuments DocumentExaminer::Finish()
{
    {
        const std::scoped_lock lock(m_mutex);
        m_finishing = true;
    }
    m_added.notify_one();
    if (m_worker.joinable())
        m_worker.join();
    return std::exchange(m_examined, {});
}

void DocumentExaminer::Work(const std::stop_token &stop)
{
    std::unique_lock lock(m_mutex);
    const auto due = [this] { return m_waiting.size() >= kFilesPerWake || m_finishing; };
    while (m_added.wait(lock, stop, due) && !m_waiting.empty()) {
        std::vector<Waiting> files = std::exchange(m_waiting, {});
        m_waitingBytes = 0;
        lock.unlock();
        for (Waiting &each : files) {
            if (stop.stop_requested())
                return;
            if (std::optional<ExaminedDocument> examined
                = ExamineStoredDocument(m_folder, each.file, each.written))
                m_examined.insert_or_assign(std::move(each.file), std::move(*examined));
            else
                m_examined.erase(each.file);
            each.written = {}; // a text examined is let go at once
        }
        lock.lock();
    }
}

} // namespace tw
