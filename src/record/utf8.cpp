#include "record/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace vellumark {
namespace {

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Header blocks are nearly all ASCII: test eight bytes per step until a byte
// with its high bit set turns up.
std::size_t ascii_prefix_length(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) break;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

// Length of the well-formed multi-byte sequence at p (at most n bytes left), or 0.
// The second byte's range depends on the lead byte (Unicode Table 3-7).
std::size_t sequence_length(const unsigned char* p, std::size_t n) noexcept {
    const unsigned char lead = p[0];
    std::size_t length = 0;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_min = 0xA0;  // overlong
        if (lead == 0xED) second_max = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_min = 0x90;  // overlong
        if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
    } else {
        return 0;  // a stray continuation byte, C0, C1 or F5 to FF
    }
    if (n < length || p[1] < second_min || p[1] > second_max) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!is_continuation(p[i])) return 0;
    return length;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    while (n > 0) {
        const std::size_t ascii = ascii_prefix_length(p, n);
        p += ascii;
        n -= ascii;
        if (n == 0) break;
        const std::size_t length = sequence_length(p, n);
        if (length == 0) return false;
        p += length;
        n -= length;
    }
    return true;
}

}  // namespace vellumark
