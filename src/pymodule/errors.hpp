#pragma once
// Codec errors as Python exceptions.

#include "error/error.hpp"
#include "pymodule/py_ref.hpp"

namespace vellumark::py {

/// The exception for a codec error: ValueError with the error's display text
/// as its only argument. The module defines no exception classes of its own.
[[nodiscard]] PyRef map_err(const Error& error);

/// Raises map_err(error).
[[noreturn]] void raise_error(const Error& error);

}  // namespace vellumark::py
