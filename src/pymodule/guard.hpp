#pragma once
// How failures travel inside the boundary, and the guard that turns them into
// Python exceptions at every entry point.
//
// Inside an entry point, failure is a C++ exception:
//   PythonError      the interpreter has an exception pending (or should have);
//   InternalFailure  our own code failed: a bug, never bad input;
//   std::bad_alloc   one of our own buffers could not be allocated.
// guarded() catches them all, so none crosses into the interpreter.

#include <exception>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "pymodule/py_ref.hpp"

namespace vellumark::py {

/// A call into the interpreter failed; its exception is pending.
struct PythonError {};

/// A failure of the module's own code, raised in Python as PanicException.
class InternalFailure {
public:
    explicit InternalFailure(std::string message,
                             std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    [[nodiscard]] const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

/// `object`, or PythonError when the interpreter call that made it failed.
[[nodiscard]] PyRef check(PyObject* object);
/// Throws PythonError for a failed call that reports -1.
void check_status(int status);

/// A result object we hand to the caller. The interpreter failing to create one
/// (in practice, memory exhaustion) is an internal failure: its exception is
/// printed and PanicException "Python API call failed" is raised instead.
[[nodiscard]] PyRef new_result(PyObject* object,
                               std::source_location where = std::source_location::current());

/// Sets `exception` (an instance) as the current exception and throws PythonError.
[[noreturn]] void raise(PyRef exception);
/// A new `type(message)`; the message and its argument tuple are result objects.
[[nodiscard]] PyRef new_exception(PyObject* type, std::string_view message);
/// Raises new_exception(type, message).
[[noreturn]] void raise(PyObject* type, std::string_view message);

/// Sets the Python exception for the C++ exception being handled.
void set_exception_for_current(const std::source_location& guard_site) noexcept;

/// Runs an entry point's body and hands its result to CPython: a new reference,
/// or null with the Python exception set.
template <class Body>
PyObject* guarded(Body&& body,
                  std::source_location site = std::source_location::current()) noexcept {
    try {
        return std::forward<Body>(body)().release();
    } catch (...) {
        set_exception_for_current(site);
        return nullptr;
    }
}

}  // namespace vellumark::py
