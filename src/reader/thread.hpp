#pragma once
// A thread of our own, on POSIX threads directly. The wheel carries its own C++
// runtime and must load on glibc 2.17: std::thread and std::async would bind
// pthread_create to its glibc 2.34 version, this binds it to the oldest.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <pthread.h>

namespace vellumark {

/// Runs `work` on a new thread; joined by join() or the destructor. `work`
/// must not throw (an escaping exception ends the process).
class Thread {
public:
    Thread() noexcept = default;
    explicit Thread(std::function<void()> work);
    ~Thread() { join(); }
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void join() noexcept;
    [[nodiscard]] bool joinable() const noexcept { return work_ != nullptr; }

private:
    pthread_t id_{};
    std::unique_ptr<std::function<void()>> work_;  // lives at a fixed place while the thread runs
};

/// Threads kept for the life of a reader, each taking tasks in turn: no thread
/// is made per batch of work, and each keeps its own allocator arena warm.
class Workers {
public:
    explicit Workers(std::size_t count);
    ~Workers();
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    /// Queues a task (which must not throw) for the next free thread.
    void submit(std::function<void()> task);
    /// Returns once every task submitted so far has run.
    void wait();
    [[nodiscard]] std::size_t size() const noexcept { return threads_.size(); }

private:
    void serve();

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::deque<std::function<void()>> tasks_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<Thread> threads_;
};

}  // namespace vellumark
