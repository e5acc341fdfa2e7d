// Threads started together and always joined. A thread the system cannot start is an
// exception for the caller (never std::terminate, which a std::thread left joinable in an
// unwinding owner would cause), and whatever was started is joined when the group goes.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace qev {

class ThreadGroup {
public:
    ThreadGroup() = default;
    // Joins every thread: the owner must first let them return.
    ~ThreadGroup() { joinAll(); }
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    // Runs `body` on a new thread; throws std::runtime_error ("Cannot start a worker
    // thread: ...") when the system refuses one.
    void start(std::function<void()> body);
    void joinAll();
    size_t size() const { return threads_.size(); }

private:
    std::vector<std::thread> threads_;
};

}  // namespace qev
