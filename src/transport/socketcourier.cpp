#include "transport/socketcourier.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace tw {

namespace {

class SocketCourier
{
public:
    // Never destroyed, and its thread never joined: a task may still be posted while the process
    // exits, and the system closes what is left then.
    static SocketCourier *Instance()
    {
        static auto *const courier = new SocketCourier;
        return courier->m_running ? courier : nullptr;
    }

    void Post(std::function<void()> task)
    {
        {
            const std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_wake.notify_one();
    }

private:
    SocketCourier()
    {
        try {
            std::thread([this] { Run(); }).detach();
            m_running = true;
        } catch (const std::system_error &) {
            m_running = false;
        }
    }

    [[noreturn]] void Run()
    {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return !m_tasks.empty(); });
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
        }
    }

    bool m_running = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_tasks; // guarded by m_mutex
};

} // namespace

void PostToSocketCourier(std::function<void()> task)
{
    if (SocketCourier *courier = SocketCourier::Instance())
        courier->Post(std::move(task));
    else
        task();
}

} // namespace tw
