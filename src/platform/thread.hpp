#pragma once
// One task on a thread of its own while the caller goes on with other work
// (std::thread). For work that shares nothing with the caller but its
// inputs, which neither side changes until join(): the log, the signal
// state and everything else of the agent stay the calling thread's.

#include <functional>
#include <thread>

namespace qs::platform {

class Worker {
public:
    // Starts `task`. Where no thread can be had (out of memory, a process
    // thread limit), the task runs at once on the calling thread instead:
    // the outcome is the same, it only comes sooner than the caller's work.
    explicit Worker(std::function<void()> task);
    ~Worker();  // joins
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Waits for the task to end; at once when it already has.
    void join();

private:
    std::function<void()> task_;
    std::thread thread_;
};

}  // namespace qs::platform
