// The member inflater: each member's compressed offset and length exactly, fed
// in any split, and every way a .warc.gz can be damaged named as such.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <zlib-ng.h>

#include "reader/gzip_member.hpp"

namespace vellumark {
namespace {

std::string gzip(const std::string& data) {
    zng_stream z{};
    EXPECT_EQ(zng_deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(zng_deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<const uint8_t*>(data.data());
    z.avail_in = static_cast<uint32_t>(data.size());
    z.next_out = reinterpret_cast<uint8_t*>(out.data());
    z.avail_out = static_cast<uint32_t>(out.size());
    EXPECT_EQ(zng_deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    zng_deflateEnd(&z);
    return out;
}

struct Members {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;  // (offset, length)
    std::vector<std::string> contents;
    std::string failure;  // "fault@offset", empty when all went well
    bool line_end = false;
    std::size_t taken = 0;  // input bytes consumed, over all calls
};

// Inflates `data` fed `piece` bytes at a time into output room of `room` bytes.
Members inflate_all(const std::string& data, std::size_t piece, std::size_t room = 7, std::uint64_t limit = 1 << 20) {
    MemberInflater inflater(limit);
    Members out;
    std::string input, content;
    std::size_t fed = 0;
    std::vector<char> buffer(room);
    for (;;) {
        const bool final = fed == data.size();
        const Inflated step = inflater.inflate(input, buffer, final);
        input.erase(0, step.consumed);
        out.taken += step.consumed;
        content.append(buffer.data(), step.produced);
        switch (step.status) {
            case Inflated::Status::MemberEnd:
                out.spans.emplace_back(inflater.member_offset(), inflater.member_length());
                out.contents.push_back(std::exchange(content, {}));
                break;
            case Inflated::Status::NeedInput: {
                const std::size_t n = std::min(piece, data.size() - fed);
                input.append(data, fed, n);
                fed += n;
                break;
            }
            case Inflated::Status::End:
                out.line_end = inflater.trailing_line_end();
                return out;
            case Inflated::Status::Failed:
                out.failure = std::to_string(static_cast<int>(inflater.error().fault)) + "@" + std::to_string(inflater.error().offset);
                return out;
            case Inflated::Status::Output:
                break;
        }
    }
}

TEST(MemberInflater, TellsEachMembersOffsetAndLengthInAnySplit) {
    const std::vector<std::string> contents = {"", "one", std::string(100000, 'x'), "WARC/1.1\r\n"};
    std::string data;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    for (const std::string& content : contents) {
        const std::string member = gzip(content);
        spans.emplace_back(data.size(), member.size());
        data += member;
    }
    for (std::size_t piece : {1u, 3u, 1000u, 1u << 20}) {
        const Members got = inflate_all(data, piece, piece == 1 ? 1 : 4096);
        EXPECT_EQ(got.failure, "") << piece;
        EXPECT_EQ(got.spans, spans) << piece;
        EXPECT_EQ(got.contents, contents) << piece;
        // Each input byte is taken once: the caller never feeds a byte twice,
        // so reading is linear however many members there are.
        EXPECT_EQ(got.taken, data.size()) << piece;
    }
}

TEST(MemberInflater, InflatesASmallMemberWholeOrLeavesItToStreaming) {
    const std::string member = gzip("WARC/1.1\r\n" + std::string(5000, 'x'));
    MemberInflater inflater(1 << 20);
    std::vector<char> room(10000), small(100);
    EXPECT_EQ(inflater.inflate_whole(member.substr(0, member.size() - 1), room).status, Inflated::Status::NeedInput);
    EXPECT_EQ(inflater.inflate_whole(member, small).status, Inflated::Status::NeedInput);  // no room: nothing taken
    const Inflated whole = inflater.inflate_whole(member + "next", room);
    EXPECT_EQ(whole.status, Inflated::Status::MemberEnd);
    EXPECT_EQ(whole.consumed, member.size());
    EXPECT_EQ(whole.produced, 5010u);
    EXPECT_EQ(inflater.position(), member.size());
}

struct FaultCase {
    const char* why;
    std::string data;
    std::string failure;  // "fault@offset", or "" for a clean end
    bool line_end = false;
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, AreNamedWithTheirOffset) {
    for (std::size_t piece : {1u, 5u, 1u << 20}) {
        const Members got = inflate_all(GetParam().data, piece, 4096, 1000);
        EXPECT_EQ(got.failure, GetParam().failure) << GetParam().why << ", pieces of " << piece;
        EXPECT_EQ(got.line_end, GetParam().line_end) << GetParam().why << ", pieces of " << piece;
    }
}

const std::string kOne = gzip("one");  // 23 bytes

// A member whose header carries a CRC (FHCRC): the right one, or `wrong`.
std::string with_header_crc(const std::string& member, bool wrong) {
    std::string header = member.substr(0, 10);
    header[3] = static_cast<char>(header[3] | 0x02);
    const auto crc = static_cast<std::uint16_t>(zng_crc32(0, reinterpret_cast<const uint8_t*>(header.data()), 10) ^ (wrong ? 1u : 0u));
    return header + std::string{static_cast<char>(crc & 0xFF), static_cast<char>(crc >> 8)} + member.substr(10);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Faults,
    testing::Values(
        FaultCase{"zero padding is no data", kOne + std::string(50, '\0'), ""},
        FaultCase{"one line end after the last member", kOne + "\n", "", true},
        FaultCase{"CR LF after the last member", kOne + "\r\n", "", true},
        FaultCase{"a member cut short", kOne + gzip("two").substr(0, 10), "2@23"},
        FaultCase{"cut one byte into a member", kOne + "\x1f", "2@23"},
        FaultCase{"plain text after a member", kOne + "WARC/1.1", "0@23"},
        FaultCase{"zeros, then something", kOne + std::string(8, '\0') + "x", "0@23"},
        FaultCase{"a line end, then more", kOne + "\nabc", "0@23"},
        FaultCase{"corrupt deflate data", std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10) + std::string(20, '\xff'), "1@0"},
        FaultCase{"past the member limit", kOne + gzip(std::string(5000, 'z')), "3@23"},
        FaultCase{"a header CRC that holds", with_header_crc(kOne, false) + kOne, ""},
        FaultCase{"a header CRC that does not", kOne + with_header_crc(kOne, true), "1@23"}));

// libdeflate would skip the header CRC unchecked: the whole-member path leaves
// such a member to streaming, or a member would read differently by how it was fed.
TEST(MemberInflater, LeavesAMemberWithAHeaderCrcToStreaming) {
    MemberInflater inflater(1 << 20);
    std::vector<char> room(100);
    EXPECT_EQ(inflater.inflate_whole(with_header_crc(kOne, true), room).status, Inflated::Status::NeedInput);
    EXPECT_EQ(inflater.inflate_whole(with_header_crc(kOne, false), room).status, Inflated::Status::NeedInput);
    EXPECT_EQ(inflater.inflate_whole(kOne, room).status, Inflated::Status::MemberEnd);
}

TEST(MemberStart, IsTheHeaderCrawlersWrite) {
    EXPECT_TRUE(looks_like_member_start(kOne));
    EXPECT_FALSE(looks_like_member_start(std::string("\x1f\x8b\x07\x00", 4)));  // not deflate
    EXPECT_FALSE(looks_like_member_start(std::string("\x1f\x8b\x08\xe0", 4)));  // reserved flags
    EXPECT_FALSE(looks_like_member_start(std::string("\x1f\x8b", 2)));
}

}  // namespace
}  // namespace vellumark
