#include "platform/thread.hpp"

#include <new>
#include <system_error>
#include <utility>

namespace qs::platform {

Worker::Worker(std::function<void()> task) : task_(std::move(task)) {
    // The thread runs the task where it stays, so that it is still there
    // to run here when no thread can be started.
    try {
        thread_ = std::thread([this] { task_(); });
    } catch (const std::system_error&) {
        task_();
    } catch (const std::bad_alloc&) {
        task_();
    }
}

Worker::~Worker() { join(); }

void Worker::join() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace qs::platform
