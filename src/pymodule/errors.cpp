#include "pymodule/errors.hpp"

#include "pymodule/guard.hpp"

namespace vellumark::py {

PyRef map_err(const Error& error) { return new_exception(PyExc_ValueError, error.display()); }

void raise_error(const Error& error) { raise(map_err(error)); }

}  // namespace vellumark::py
