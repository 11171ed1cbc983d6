#pragma once
// The members of a per-record .warc.gz inflated on several threads at once.
// Where members start is guessed ahead of the inflater (the gzip member header
// as crawlers write it); a guess counts only when the chain of members before
// it ends exactly there, so a wrong guess costs time, never a wrong byte.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vellumark {

/// A gzip member inflated whole.
struct InflatedMember {
    std::uint64_t offset = 0;  ///< compressed
    std::uint64_t length = 0;  ///< compressed
    std::string output;
};

/// The members at the start of `data` (compressed bytes from `base` on, where
/// a member starts), inflated on `threads` threads, in order. It stops short
/// of what it cannot confirm or is not for it: a member that runs past `data`
/// (unless `final`), a large member, anything that is no member, an error.
/// The caller reads on from the end of the last member returned, one member at
/// a time, and so gives every error its own message.
[[nodiscard]] std::vector<InflatedMember> inflate_in_parallel(std::span<const char> data, std::uint64_t base,
                                                              unsigned threads, std::uint64_t member_limit);

/// The most a member inflated this way may hold; larger ones are left to the
/// caller, which streams them.
inline constexpr std::size_t kMaxParallelMember = std::size_t{4} << 20;

}  // namespace vellumark
