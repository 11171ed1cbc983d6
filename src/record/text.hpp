#pragma once
// Byte-level text rules shared by the header parser: Unicode white space
// trimming over UTF-8, and the ASCII-only case folding of header names.

#include <string>
#include <string_view>

namespace vellumark {

/// `text` without Unicode White_Space at either end. `text` must be valid UTF-8.
[[nodiscard]] std::string_view trim_white_space(std::string_view text) noexcept;

/// `text` with A to Z turned into a to z; every other byte is kept as it is.
[[nodiscard]] std::string ascii_lower(std::string_view text);

/// Whether `text`, lower-cased as by ascii_lower, equals `lower` byte for byte.
[[nodiscard]] bool equals_lowered(std::string_view text, std::string_view lower) noexcept;

[[nodiscard]] constexpr char ascii_lower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace vellumark
