#include "forms/documentexaminer.h"

#include <utility>

namespace tw {

DocumentExaminer::DocumentExaminer(std::string folder)
    : m_folder(std::move(folder))
    , m_worker([this](const std::stop_token &stop) { Work(stop); })
{
}

void DocumentExaminer::Add(const std::string &file)
{
    if (!file.starts_with(m_folder))
        return;
    std::string below = file.substr(m_folder.size());
    if (KindOfStoredName(below) == DocumentKind::Other)
        return;
    {
        const std::scoped_lock lock(m_mutex);
        m_waiting.push_back(std::move(below));
    }
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
    while (m_added.wait(lock, stop, [this] { return !m_waiting.empty() || m_finishing; })
        && !stop.stop_requested() && !m_waiting.empty()) {
        const std::string file = std::move(m_waiting.front());
        m_waiting.pop_front();
        lock.unlock();
        std::optional<ExaminedDocument> examined = ExamineStoredDocument(m_folder, file);
        if (examined)
            m_examined.insert_or_assign(file, std::move(*examined));
        else
            m_examined.erase(file);
        lock.lock();
    }
}

} // namespace tw
