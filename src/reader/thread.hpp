#pragma once
// A thread of our own, on POSIX threads directly. The wheel carries its own C++
// runtime and must load on glibc 2.17: std::thread and std::async would bind
// pthread_create to its glibc 2.34 version, this binds it to the oldest.

#include <functional>
#include <memory>

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

}  // namespace vellumark
