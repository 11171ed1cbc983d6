#pragma once
// How failures travel inside the boundary, and the guard that turns them into
// Python exceptions at every entry point.
//
// Inside an entry point, failure is a C++ exception:
//   PythonError      the interpreter has an exception pending (or should have);
//   InternalFailure  our own code failed: a bug, never bad input;
//   std::bad_alloc   one of our own buffers could not be allocated.
// guarded() catches them all, so none crosses into the interpreter (only the
// unwinding by which the interpreter ends a thread passes).

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include "pymodule/py_ref.hpp"

namespace vellumark::py {

/// A call into the interpreter failed; its exception is pending.
struct PythonError {};

/// A position in our sources. As default arguments, __builtin_FILE() and
/// __builtin_LINE() name the caller's statement; GCC 10 and clang 14 have them,
/// unlike <source_location>. The build maps the project directory away, so the
/// file reads "src/pymodule/records.cpp" wherever the module was built.
struct SourceSite {
    const char* file;
    unsigned line;
};

/// A failure of the module's own code, raised in Python as PanicException.
class InternalFailure {
public:
    explicit InternalFailure(std::string message, const char* file = __builtin_FILE(),
                             unsigned line = __builtin_LINE())
        : message_(std::move(message)), where_{file, line} {}
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    [[nodiscard]] const SourceSite& where() const noexcept { return where_; }

private:
    std::string message_;
    SourceSite where_;
};

/// `object`, or PythonError when the interpreter call that made it failed.
[[nodiscard]] PyRef check(PyObject* object);
/// Throws PythonError for a failed call that reports -1.
void check_status(int status);

/// For a message that can do without a detail (a keyword's str(), a type's
/// name): clears the pending exception when it is an ordinary Exception, so
/// that the caller substitutes a placeholder, and throws PythonError for
/// anything else (KeyboardInterrupt, SystemExit), which must reach the caller.
void clear_ordinary_exception();

/// A result object we hand to the caller. The interpreter failing to create one
/// (in practice, memory exhaustion) is an internal failure: its exception is
/// printed and PanicException "Python API call failed" is raised instead.
[[nodiscard]] PyRef new_result(PyObject* object, const char* file = __builtin_FILE(),
                               unsigned line = __builtin_LINE());

/// Sets `exception` (an instance) as the current exception and throws PythonError.
[[noreturn]] void raise(PyRef exception);
/// A new `type(message)`; the message and its argument tuple are result objects.
[[nodiscard]] PyRef new_exception(PyObject* type, std::string_view message);
/// Raises new_exception(type, message).
[[noreturn]] void raise(PyObject* type, std::string_view message);

/// Drops the PanicException class of a finalised interpreter without touching
/// it: the next interpreter makes its own.
void forget_panic_exception_type() noexcept;

/// Makes sure this thread can throw. Throwing needs the C++ runtime's
/// per-thread exception state, which lives in dynamic TLS (the runtime was
/// loaded with the module) and is allocated on the thread's first use. If that
/// first use is a throw under memory exhaustion, glibc cannot allocate it and
/// ends the process. Called on entry, before the call allocates anything; it
/// costs one thread-local read.
void prepare_thread_for_exceptions() noexcept;

/// Sets the Python exception for the C++ exception being handled.
void set_exception_for_current(SourceSite guard_site) noexcept;

/// Runs an entry point's body and hands its result to CPython: a new reference,
/// or null with the Python exception set.
/// A thread the ending interpreter ends (one that waits for the interpreter
/// lock as it finalizes) unwinds through here: that passes, it is no failure.
template <class Body>
PyObject* guarded(Body&& body, const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
    prepare_thread_for_exceptions();
    try {
        return std::forward<Body>(body)().release();
    }
#ifdef __GLIBCXX__
    catch (abi::__forced_unwind&) {
        throw;
    }
#endif
    catch (...) {
        set_exception_for_current({file, line});
        return nullptr;
    }
}

}  // namespace vellumark::py
