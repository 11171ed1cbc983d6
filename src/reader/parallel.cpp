#include "reader/parallel.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "reader/gzip_member.hpp"
#include "reader/thread.hpp"

namespace vellumark {
namespace {

// What one thread made of its part: the members from `start` on, and where it stopped.
struct Part {
    std::size_t start = 0;
    std::size_t stop = 0;  // the end of its last member
    std::vector<InflatedMember> members;
};

// Bytes 4 to 9 of a member header as crawlers write it: any time, the usual
// extra flags, an operating system byte gzip knows. Tighter than the magic
// alone, so that few guesses fall inside deflate data.
bool plausible_header(std::span<const char> data) noexcept {
    if (!looks_like_member_start(data) || data.size() < 10) return false;
    const auto extra_flags = static_cast<unsigned char>(data[8]);
    const auto system = static_cast<unsigned char>(data[9]);
    return (extra_flags == 0 || extra_flags == 2 || extra_flags == 4) && (system <= 13 || system == 255);
}

// Where the first member after `from` seems to start, or `limit`.
std::size_t guess_member_start(std::span<const char> data, std::size_t from, std::size_t limit) noexcept {
    for (std::size_t at = from; at < limit; ++at) {
        const void* found = std::memchr(data.data() + at, 0x1F, limit - at);
        if (found == nullptr) return limit;
        at = static_cast<std::size_t>(static_cast<const char*>(found) - data.data());
        if (plausible_header(data.subspan(at))) return at;
    }
    return limit;
}

// Room for `least` more bytes at the end of the arena; what is in it moves
// along (members refer to it by position).
std::span<char> room_in(Arena& arena, std::size_t least) {
    if (arena.capacity - arena.size < least) {
        const std::size_t capacity = std::max(arena.capacity * 2, arena.size + least);
        std::unique_ptr<char[]> data(new char[capacity]);  // not zero-filled: written before it is read
        if (arena.size > 0) std::memcpy(data.get(), arena.data.get(), arena.size);
        arena.data = std::move(data);
        arena.capacity = capacity;
    }
    return {arena.data.get() + arena.size, arena.capacity - arena.size};
}

// One member inflated whole from `at` onto the end of the arena: its output
// size and compressed length, or nothing (an error, no member there, not all
// of it in `data`, or larger than a member inflated this way may be).
std::optional<std::pair<std::size_t, std::uint64_t>> inflate_one(std::span<const char> data, std::size_t at,
                                                                 std::uint64_t base, MemberInflater& inflater,
                                                                 Arena& arena) {
    if (!looks_like_member_start(data.subspan(at))) return std::nullopt;
    // At once first (most members are small), into room that grows while it is too little.
    for (std::size_t guess = std::size_t{64} << 10; guess <= kMaxParallelMember; guess *= 4) {
        inflater.restart(base + at);
        const Inflated whole = inflater.inflate_whole(data.subspan(at), room_in(arena, guess).first(guess));
        if (whole.status == Inflated::Status::MemberEnd) {
            arena.size += whole.produced;
            return std::pair{whole.produced, std::uint64_t{whole.consumed}};
        }
    }
    // The streaming way, which tells a member cut off by the end of `data` from a complete one.
    inflater.restart(base + at);
    std::size_t pos = at, produced = 0;
    for (;;) {
        const Inflated step = inflater.inflate(data.subspan(pos), room_in(arena, std::size_t{64} << 10), false);
        pos += step.consumed;
        arena.size += step.produced;
        produced += step.produced;
        if (step.status == Inflated::Status::MemberEnd) return std::pair{produced, std::uint64_t{pos - at}};
        if (step.status != Inflated::Status::Output) {
            arena.size -= produced;
            return std::nullopt;
        }
    }
}

// The members of one part: from `start` while they start before `stop`.
Part inflate_part(std::span<const char> data, std::size_t start, std::size_t stop, std::uint64_t base,
                  std::uint64_t member_limit, std::shared_ptr<Arena> arena) {
    Part part{start, start, {}};
    MemberInflater inflater(std::min<std::uint64_t>(member_limit, kMaxParallelMember));
    room_in(*arena, (stop - start) * 3);  // about what a part of text inflates to
    while (part.stop < stop) {
        const std::size_t at = arena->size;
        const auto member = inflate_one(data, part.stop, base, inflater, *arena);
        if (!member) break;
        part.members.push_back({base + part.stop, member->second, arena, at, member->first});
        part.stop += static_cast<std::size_t>(member->second);
    }
    return part;
}

}  // namespace

std::shared_ptr<Arena> ArenaPool::take() {
    std::unique_ptr<Arena> arena;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (!shared_->spare.empty()) {
            arena = std::move(shared_->spare.back());
            shared_->spare.pop_back();
        }
    }
    if (!arena) arena = std::make_unique<Arena>();
    arena->size = 0;
    return std::shared_ptr<Arena>(arena.release(), [shared = shared_](Arena* done) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        // A few arenas of ordinary size are kept; one a large member grew is let go.
        if (shared->spare.size() < 2 && done->capacity <= 2 * kMaxParallelMember)
            shared->spare.emplace_back(done);
        else
            delete done;
    });
}

std::vector<InflatedMember> inflate_in_parallel(std::span<const char> data, std::uint64_t base,
                                                std::uint64_t member_limit, ArenaPool& arenas, Workers& helpers) {
    const std::size_t threads = helpers.size() + 1;
    std::vector<std::size_t> starts{0};
    for (std::size_t i = 1; i < threads; ++i) {
        const std::size_t from = std::max(starts.back() + 1, data.size() * i / threads);
        if (from >= data.size()) break;
        const std::size_t guess = guess_member_start(data, from, data.size());
        if (guess >= data.size()) break;
        starts.push_back(guess);
    }
    std::vector<Part> parts(starts.size());
    for (std::size_t i = 1; i < starts.size(); ++i) {
        const std::size_t stop = i + 1 < starts.size() ? starts[i + 1] : data.size();
        helpers.submit([&, i, stop, arena = arenas.take()] {
            try {
                parts[i] = inflate_part(data, starts[i], stop, base, member_limit, arena);
            } catch (...) {  // no memory: the part is left out, and the chain stops before it
                parts[i] = Part{starts[i] + 1, starts[i] + 1, {}};
            }
        });
    }
    parts[0] = inflate_part(data, 0, starts.size() > 1 ? starts[1] : data.size(), base, member_limit, arenas.take());
    helpers.wait();

    // The chain: a part counts when the one before it ended exactly where it starts.
    std::vector<InflatedMember> chain = std::move(parts[0].members);
    std::size_t end = parts[0].stop;
    for (std::size_t i = 1; i < parts.size() && end == parts[i].start; ++i) {
        for (InflatedMember& member : parts[i].members) chain.push_back(std::move(member));
        end = parts[i].stop;
    }
    return chain;
}

}  // namespace vellumark
