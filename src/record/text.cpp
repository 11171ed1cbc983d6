#include "record/text.hpp"

#include <array>
#include <cstddef>

namespace vellumark {
namespace {

// The multi-byte members of White_Space, as UTF-8. The single-byte ones are
// U+0009 to U+000D and U+0020.
constexpr std::array<std::string_view, 19> kWideWhiteSpace = {
    "\xC2\x85",      // U+0085 NEXT LINE
    "\xC2\xA0",      // U+00A0 NO-BREAK SPACE
    "\xE1\x9A\x80",  // U+1680 OGHAM SPACE MARK
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
    "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89",
    "\xE2\x80\x8A",  // U+2000 to U+200A
    "\xE2\x80\xA8",  // U+2028 LINE SEPARATOR
    "\xE2\x80\xA9",  // U+2029 PARAGRAPH SEPARATOR
    "\xE2\x80\xAF",  // U+202F NARROW NO-BREAK SPACE
    "\xE2\x81\x9F",  // U+205F MEDIUM MATHEMATICAL SPACE
    "\xE3\x80\x80",  // U+3000 IDEOGRAPHIC SPACE
};

constexpr bool is_narrow_white_space(char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Only bytes that can start or end a multi-byte white space character need the
// table; everything else (the bulk of header text) is decided by one compare.
constexpr bool may_be_wide_white_space(unsigned char first) noexcept {
    return first == 0xC2 || first == 0xE1 || first == 0xE2 || first == 0xE3;
}
constexpr bool may_end_wide_white_space(unsigned char last) noexcept {
    return last == 0x85 || last == 0xA0 || last == 0x80 || (last >= 0x81 && last <= 0x8A) ||
           last == 0xA8 || last == 0xA9 || last == 0xAF || last == 0x9F;
}

template <class Check>
std::size_t wide_match(Check&& check) noexcept {
    for (std::string_view ws : kWideWhiteSpace)
        if (check(ws)) return ws.size();
    return 0;
}

// Length of the white space character that `text` starts with, or 0.
std::size_t leading_white_space(std::string_view text) noexcept {
    const auto first = static_cast<unsigned char>(text.front());
    if (is_narrow_white_space(text.front())) return 1;
    if (!may_be_wide_white_space(first)) return 0;
    return wide_match([&](std::string_view ws) { return text.starts_with(ws); });
}

// Length of the white space character that `text` ends with, or 0.
std::size_t trailing_white_space(std::string_view text) noexcept {
    const auto last = static_cast<unsigned char>(text.back());
    if (is_narrow_white_space(text.back())) return 1;
    if (!may_end_wide_white_space(last)) return 0;
    return wide_match([&](std::string_view ws) { return text.ends_with(ws); });
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
    while (!text.empty()) {
        const std::size_t n = leading_white_space(text);
        if (n == 0) break;
        text.remove_prefix(n);
    }
    while (!text.empty()) {
        const std::size_t n = trailing_white_space(text);
        if (n == 0) break;
        text.remove_suffix(n);
    }
    return text;
}

std::string ascii_lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = ascii_lower(c);
    return lower;
}

bool equals_lowered(std::string_view text, std::string_view lower) noexcept {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (ascii_lower(text[i]) != lower[i]) return false;
    return true;
}

}  // namespace vellumark
