#pragma once
// Argument binding: one routine, driven by a table per function, that matches
// a call's positional and keyword arguments to parameter slots with the same
// rules and messages for every entry point.

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "pymodule/py_ref.hpp"

namespace vellumark::py {

inline constexpr std::size_t kMaxParameters = 5;

struct Signature {
    std::string_view function;           ///< "read_records"
    std::span<const char* const> names;  ///< parameters, in declaration order
    std::size_t required;                ///< the first `required` parameters have no default
};

/// The argument per parameter, in declaration order; empty where none was given.
///
/// Each slot owns its argument until the call returns. The caller's tuple and
/// keyword dict do not protect it: Python code that runs mid-call (an import
/// hook, a gc callback, a signal handler, a __str__) can clear the dict and
/// drop the last other reference, and the byte views and text we took from
/// the argument would then point into freed memory.
using Slots = std::array<PyRef, kMaxParameters>;

/// Binds `args` (a tuple) and `kwargs` (a dict, or null) to the slots of `signature`.
/// Raises TypeError, as CPython words it, for too many, unknown, repeated or missing arguments.
[[nodiscard]] Slots bind(const Signature& signature, PyObject* args, PyObject* kwargs);

}  // namespace vellumark::py
