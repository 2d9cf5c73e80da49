#pragma once

// Reads and examines the documents a copy stores while the copy runs, on a thread of its own, so
// that the check at its end has only their targets to look up.

#include "extractor/copycheck.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tw {

class DocumentExaminer
{
public:
    // For the copy in folder (absolute, system form).
    explicit DocumentExaminer(std::string folder);

    // Examines the stored file (absolute, system form) once it is a document of the copy, from its
    // written text when given; the latest examination of a file replaces its earlier ones.
    void Add(const std::string &file, WrittenText written = {});
    // Examines what was added and is not examined yet, then stops; what was examined.
    ExaminedDocuments Finish();

private:
    void Work(const std::stop_token &stop);

    const std::string m_folder;
    std::mutex m_mutex;
    std::condition_variable_any m_added;
    struct Waiting
    {
        std::string file; // relative to the folder
        WrittenText written;
    };
    std::vector<Waiting> m_waiting;
    std::size_t m_waitingBytes = 0; // of the texts waiting
    bool m_finishing = false;
    ExaminedDocuments m_examined; // written by the worker alone until it has ended
    std::jthread m_worker; // last: it ends before what it works on goes
};

} // namespace tw
