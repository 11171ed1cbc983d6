#pragma once
// The members of a per-record .warc.gz inflated on several threads at once.
// Where members start is guessed ahead of the inflater (the gzip member header
// as crawlers write it); a guess counts only when the chain of members before
// it ends exactly there, so a wrong guess costs time, never a wrong byte.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "reader/thread.hpp"

namespace vellumark {

/// Where the members of one thread's part were inflated to, one after the other.
struct Arena {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

/// Arenas kept for reuse from batch to batch: memory the system has already
/// handed over, so that no page of it faults in again.
class ArenaPool {
public:
    ArenaPool() : shared_(std::make_shared<Shared>()) {}
    /// An empty arena, back in the pool once no member refers to it.
    [[nodiscard]] std::shared_ptr<Arena> take();

private:
    struct Shared {
        std::mutex mutex;
        std::vector<std::unique_ptr<Arena>> spare;
    };
    std::shared_ptr<Shared> shared_;  // outlives the pool while an arena is out
};

/// A gzip member inflated whole.
struct InflatedMember {
    std::uint64_t offset = 0;  ///< compressed
    std::uint64_t length = 0;  ///< compressed
    std::shared_ptr<const Arena> arena;
    std::size_t at = 0;        ///< of its output in the arena
    std::size_t size = 0;
    [[nodiscard]] std::string_view output() const noexcept { return {arena->data.get() + at, size}; }
};

/// The members at the start of `data` (compressed bytes from `base` on, where
/// a member starts), inflated on the calling thread and the `helpers`, in order. It stops short
/// of what it cannot confirm or is not for it: a member that runs past `data`
/// (unless `final`), a large member, anything that is no member, an error.
/// The caller reads on from the end of the last member returned, one member at
/// a time, and so gives every error its own message.
[[nodiscard]] std::vector<InflatedMember> inflate_in_parallel(std::span<const char> data, std::uint64_t base,
                                                              std::uint64_t member_limit, ArenaPool& arenas,
                                                              Workers& helpers);

/// The most a member inflated this way may hold; larger ones are left to the
/// caller, which streams them.
inline constexpr std::size_t kMaxParallelMember = std::size_t{4} << 20;

}  // namespace vellumark
