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

void Thread::join() noexcept {
    if (!work_) return;
    pthread_join(id_, nullptr);
    work_.reset();
}

}  // namespace vellumark
