// libFuzzer harness over the tools' reader: the resumable scanner fed in
// random splits must read as when fed whole, and the gzip member inflater (one
// member at a time, in random splits, and on several threads) must find the
// same members. A broken invariant aborts the run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reader/gzip_member.hpp"
#include "reader/parallel.hpp"
#include "record/scanner.hpp"
#include "require.hpp"

using namespace vellumark;

namespace {

// Piece sizes drawn from the seed: 1 to 64 bytes, then whatever is left.
struct Splits {
    std::uint32_t state;
    std::size_t next() {
        state = state * 1103515245u + 12345u;
        return 1 + (state >> 16) % 64;
    }
};

// Everything a scan saw, as text, so that two scans compare at once.
std::string scan(std::string_view data, Grammar grammar, Splits* splits) {
    StreamScanner scanner(grammar);
    std::string seen, input;
    std::size_t fed = 0;
    auto feed = [&] {
        const std::size_t n = splits ? std::min(splits->next(), data.size() - fed) : data.size() - fed;
        input.append(data.substr(fed, n));
        fed += n;
    };
    if (!splits) feed();
    for (;;) {
        Step step = scanner.read_head(input, fed == data.size());
        if (step == Step::NeedMore) {
            REQUIRE(fed < data.size());
            input.erase(0, scanner.consumed());
            feed();
            continue;
        }
        if (step == Step::End) return seen + "end " + std::to_string(scanner.trailing());
        if (step == Step::Failed)
            return seen + "failed " + std::to_string(static_cast<int>(scanner.error().fault)) + "@" +
                   std::to_string(scanner.error().offset) + scanner.error().detail;
        const RecordHead& head = scanner.head();
        REQUIRE(head.offset + head.header_length <= data.size());
        seen += std::to_string(head.offset) + " " + std::string(head.version) + " " + std::to_string(head.body_length);
        for (const HeaderField& field : head.fields) seen += "|" + std::string(field.name) + "=" + std::string(field.value);
        input.erase(0, scanner.consumed());
        std::uint64_t body = head.body_length;
        while (input.size() < body && fed < data.size()) feed();
        if (input.size() < body) return seen + " body past end";
        input.erase(0, body);
        while ((step = scanner.read_tail(input, fed == data.size())) == Step::NeedMore) feed();
        seen += " " + std::to_string(scanner.tail().separator) + "+" + std::to_string(scanner.tail().stray) + "\n";
        input.erase(0, scanner.consumed());
        REQUIRE(scanner.position() == fed - input.size());
    }
}

struct Member {
    std::uint64_t offset, length;
    std::string output;
    bool operator==(const Member&) const = default;
};

// Every member of `data`, one after the other, fed in splits; and how it ended.
std::vector<Member> members(std::string_view data, Splits* splits, std::string& ending) {
    MemberInflater inflater(1 << 20);
    std::vector<Member> found;
    std::string input, output;
    std::size_t fed = 0;
    char room[4096];
    for (;;) {
        const Inflated step = inflater.inflate(input, std::span<char>(room, splits ? 1 + splits->next() : sizeof room),
                                               fed == data.size());
        input.erase(0, step.consumed);
        output.append(room, step.produced);
        if (step.status == Inflated::Status::MemberEnd) {
            found.push_back({inflater.member_offset(), inflater.member_length(), std::exchange(output, {})});
            REQUIRE(found.size() == 1 || found[found.size() - 2].offset + found[found.size() - 2].length == found.back().offset);
        } else if (step.status == Inflated::Status::NeedInput) {
            REQUIRE(fed < data.size());
            const std::size_t n = splits ? std::min(splits->next(), data.size() - fed) : data.size() - fed;
            input.append(data.substr(fed, n));
            fed += n;
        } else if (step.status == Inflated::Status::End) {
            ending = "end " + std::to_string(inflater.trailing());
            return found;
        } else if (step.status == Inflated::Status::Failed) {
            ending = "failed " + std::to_string(static_cast<int>(inflater.error().fault)) + "@" +
                     std::to_string(inflater.error().offset);
            return found;
        }
    }
}

void check_scanner(std::string_view data, std::uint32_t seed) {
    for (Grammar grammar : {kModuleGrammar, kToolsGrammar}) {
        Splits splits{seed};
        REQUIRE(scan(data, grammar, nullptr) == scan(data, grammar, &splits));
    }
}

void check_inflater(std::string_view data, std::uint32_t seed) {
    std::string whole_ending, split_ending;
    Splits splits{seed};
    const std::vector<Member> whole = members(data, nullptr, whole_ending);
    REQUIRE(members(data, &splits, split_ending) == whole);
    REQUIRE(split_ending == whole_ending);
    // On several threads: a prefix of the same chain, never another member.
    static ArenaPool arenas;
    static Workers helpers(2);  // made once: threads per input would be most of the run's time
    const std::vector<InflatedMember> ahead = inflate_in_parallel({data.data(), data.size()}, 0, 1 << 20, arenas, helpers);
    REQUIRE(ahead.size() <= whole.size());
    for (std::size_t i = 0; i < ahead.size(); ++i)
        REQUIRE(ahead[i].offset == whole[i].offset && ahead[i].length == whole[i].length && ahead[i].output() == whole[i].output);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) return 0;
    const std::string_view data(reinterpret_cast<const char*>(bytes) + 2, size - 2);
    const std::uint32_t seed = bytes[1];
    if (bytes[0] & 1)
        check_inflater(data, seed);
    else
        check_scanner(data, seed);
    return 0;
}
