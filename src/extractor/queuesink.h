#pragma once

#include <string>

namespace tw {

// Where admitted URLs go: the top of the download queue, as admission sees it.
class QueueSink
{
public:
    virtual void InsertTop(std::string url) = 0;

protected:
    ~QueueSink() = default;
};

} // namespace tw
