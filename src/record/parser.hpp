#pragma once

#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "record/model.hpp"

namespace vellumark {

/// Every record of a whole archive, as owned copies, in archive order; or the
/// first parse error, with nothing else. Empty data, or data of nothing but CR
/// and LF bytes, is an archive without records.
[[nodiscard]] Result<std::vector<WarcRecord>> parse_records(std::string_view data);

/// The owned form of a borrowed record: keys lower-cased, later fields winning.
[[nodiscard]] WarcRecord to_owned(const RecordView& view);

}  // namespace vellumark
