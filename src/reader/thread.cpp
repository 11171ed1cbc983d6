#include "reader/thread.hpp"

#include <new>
#include <system_error>
#include <utility>

// glibc 2.34 moved the thread functions into libc under a new version; a
// reference bound to that version does not load on older systems. The x86-64
// base version is in every glibc, old and new.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_join,pthread_join@GLIBC_2.2.5");
#endif

namespace vellumark {
namespace {

extern "C" void* run_work(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return nullptr;
}

}  // namespace

Thread::Thread(std::function<void()> work) : work_(std::make_unique<std::function<void()>>(std::move(work))) {
    const int failed = pthread_create(&id_, nullptr, run_work, work_.get());
    if (failed != 0) {
        work_.reset();
        if (failed == EAGAIN) throw std::bad_alloc();
        throw std::system_error(failed, std::generic_category(), "pthread_create");
    }
}

Thread::Thread(Thread&& other) noexcept : id_(other.id_), work_(std::move(other.work_)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    join();
    id_ = other.id_;
    work_ = std::move(other.work_);
    return *this;
}

Workers::Workers(std::size_t count) {
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) threads_.emplace_back([this] { serve(); });
}

Workers::~Workers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    threads_.clear();  // joins each
}

void Workers::submit(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    work_.notify_one();
}

void Workers::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return tasks_.empty() && running_ == 0; });
}

void Workers::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, and nothing left to run
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        ++running_;
        lock.unlock();
        task();
        lock.lock();
        --running_;
        if (tasks_.empty() && running_ == 0) done_.notify_all();
    }
}

void Thread::join() noexcept {
    if (!work_) return;
    pthread_join(id_, nullptr);
    work_.reset();
}

}  // namespace vellumark
