#pragma once
// Result objects of read_records: one dict per record.

#include <string_view>

#include "pymodule/py_ref.hpp"

namespace vellumark::py {

/// Every record of `archive` as a list of dicts with "headers", "body", "offset"
/// and "length". Raises ValueError for an archive that does not parse.
[[nodiscard]] PyRef read_records_list(std::string_view archive);

}  // namespace vellumark::py
