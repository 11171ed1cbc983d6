#pragma once

#include <span>

#include "pymodule/py_ref.hpp"

namespace vellumark::py {

/// The module's functions, in the order the initialiser adds them.
[[nodiscard]] std::span<PyMethodDef> entry_points() noexcept;

}  // namespace vellumark::py
