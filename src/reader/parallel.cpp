#include "reader/parallel.hpp"

#include <algorithm>
#include <cstring>
#include <thread>

#include "reader/gzip_member.hpp"

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

// One member inflated whole from `at`, or false: an error, no member there,
// not all of it in `data`, or larger than a member inflated this way may be.
bool inflate_one(std::span<const char> data, std::size_t at, std::uint64_t base, MemberInflater& inflater,
                 InflatedMember& member) {
    if (!looks_like_member_start(data.subspan(at))) return false;
    inflater.restart(base + at);
    member.output.clear();
    std::size_t pos = at;
    char buffer[64 << 10];
    for (;;) {
        const Inflated step = inflater.inflate(data.subspan(pos), std::span<char>(buffer, sizeof buffer), false);
        pos += step.consumed;
        member.output.append(buffer, step.produced);
        if (step.status == Inflated::Status::MemberEnd) break;
        if (step.status != Inflated::Status::Output) return false;
    }
    member.offset = base + at;
    member.length = pos - at;
    return true;
}

// The members of one part: from `start` while they start before `stop`.
Part inflate_part(std::span<const char> data, std::size_t start, std::size_t stop, std::uint64_t base,
                  std::uint64_t member_limit) {
    Part part{start, start, {}};
    MemberInflater inflater(std::min<std::uint64_t>(member_limit, kMaxParallelMember));
    InflatedMember member;
    while (part.stop < stop && inflate_one(data, part.stop, base, inflater, member)) {
        part.stop += member.length;
        part.members.push_back(std::move(member));
    }
    return part;
}

}  // namespace

std::vector<InflatedMember> inflate_in_parallel(std::span<const char> data, std::uint64_t base, unsigned threads,
                                                std::uint64_t member_limit) {
    threads = std::max(1u, threads);
    std::vector<std::size_t> starts{0};
    for (unsigned i = 1; i < threads; ++i) {
        const std::size_t from = std::max(starts.back() + 1, data.size() * i / threads);
        if (from >= data.size()) break;
        const std::size_t guess = guess_member_start(data, from, data.size());
        if (guess >= data.size()) break;
        starts.push_back(guess);
    }
    std::vector<Part> parts(starts.size());
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < starts.size(); ++i) {
        const std::size_t stop = i + 1 < starts.size() ? starts[i + 1] : data.size();
        helpers.emplace_back([&, i, stop] { parts[i] = inflate_part(data, starts[i], stop, base, member_limit); });
    }
    parts[0] = inflate_part(data, 0, starts.size() > 1 ? starts[1] : data.size(), base, member_limit);
    for (std::thread& helper : helpers) helper.join();

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
