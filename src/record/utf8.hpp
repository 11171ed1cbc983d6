#pragma once

#include <string_view>

namespace vellumark {

/// Whether `bytes` is well-formed UTF-8 as RFC 3629 defines it: no overlong
/// forms, no encoded surrogates, nothing above U+10FFFF, no truncated sequence.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace vellumark
