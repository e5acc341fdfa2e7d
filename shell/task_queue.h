// Tasks handed from one producing thread to ReaderWorkers. At most `limit` wait: the producer
// waits for room, calling its `idle` (a progress line) now and then, and gets a worker's
// failure rethrown; after a failure, or once closed and empty, workers get no more tasks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "archive/read/reader_workers.h"

namespace qev {

template <typename Task>
class TaskQueue {
public:
    explicit TaskQueue(size_t limit) : limit_(limit) {}

    // The producer: waits until `ready()`, which is checked under the queue's lock.
    template <typename Ready>
    void waitUntil(Ready&& ready, ReaderWorkers& workers, const std::function<void()>& idle) {
        std::unique_lock<std::mutex> lock(lock_);
        waitLocked(lock, ready, workers, idle);
    }

    void push(Task task, ReaderWorkers& workers, const std::function<void()>& idle) {
        std::unique_lock<std::mutex> lock(lock_);
        waitLocked(
            lock, [&] { return tasks_.size() < limit_; }, workers, idle);
        tasks_.push_back(std::move(task));
        ++pending_;
        ready_.notify_one();
    }

    // Waits until every task pushed is done.
    void drain(ReaderWorkers& workers, const std::function<void()>& idle) {
        waitUntil([&] { return pending_ == 0; }, workers, idle);
    }

    // A worker: the next task, or nothing when it should return.
    std::optional<Task> pop(const ReaderWorkers& workers) {
        std::unique_lock<std::mutex> lock(lock_);
        ready_.wait(lock, [&] { return closed_ || workers.failed() || !tasks_.empty(); });
        // After a failure the tasks still queued are dropped, and what they held with them.
        if (tasks_.empty() || workers.failed()) return std::nullopt;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        // The producer waits for room only when the queue is full: it is woken once half
        // has been taken, not once for each task, which would cost two switches a task.
        bool wake = tasks_.size() == limit_ / 2;
        lock.unlock();
        if (wake) room_.notify_one();
        return task;
    }

    // A worker: a task it popped is done.
    void done() {
        std::lock_guard<std::mutex> lock(lock_);
        if (--pending_ == 0) room_.notify_all();  // what drain waits for
    }

    void close() {
        std::lock_guard<std::mutex> lock(lock_);
        closed_ = true;
        ready_.notify_all();
    }

    // Wakes the producer: what its waitUntil waits for may have changed.
    void wakeProducer() {
        { std::lock_guard<std::mutex> lock(lock_); }
        room_.notify_all();
    }

    // Wakes every waiter: after a worker's failure.
    void wake() {
        // Taking the lock orders the wake-up after any waiter's last check.
        { std::lock_guard<std::mutex> lock(lock_); }
        ready_.notify_all();
        room_.notify_all();
    }

private:
    template <typename Ready>
    void waitLocked(std::unique_lock<std::mutex>& lock, Ready&& ready, ReaderWorkers& workers,
                    const std::function<void()>& idle) {
        while (!ready()) {
            if (workers.failed()) {
                lock.unlock();
                workers.rethrowFailure();
            }
            room_.wait_for(lock, std::chrono::milliseconds(50));
            lock.unlock();
            idle();
            lock.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Task> tasks_;
    size_t limit_;
    uint64_t pending_ = 0;  // pushed and not yet done
    bool closed_ = false;
};

}  // namespace qev
