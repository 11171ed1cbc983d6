// The reader: record boundaries, offsets, header maps and every parse error.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record/parser.hpp"
#include "record/scanner.hpp"

namespace vellumark {
namespace {

// A record as a writer would put it, with its header lines and body.
std::string raw_record(const std::string& headers, const std::string& body, const std::string& separator = "\r\n\r\n") {
    return "WARC/1.1\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body +
           separator;
}

std::vector<WarcRecord> parse_ok(std::string_view data) {
    Result<std::vector<WarcRecord>> records = parse_records(data);
    EXPECT_TRUE(records.has_value()) << (records ? "" : records.error().display());
    return records ? std::move(*records) : std::vector<WarcRecord>{};
}

std::string parse_error(std::string_view data) {
    Result<std::vector<WarcRecord>> records = parse_records(data);
    return records ? "(parsed)" : records.error().display();
}

struct ErrorCase {
    const char* why;
    std::string data;
    std::string message;
};

class ParseErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrors, ReportTheFirstFailure) {
    EXPECT_EQ(parse_error(GetParam().data), "invalid WARC record: " + GetParam().message) << GetParam().why;
}

const std::string kGood = raw_record("WARC-Type: resource\r\n", "hi");

INSTANTIATE_TEST_SUITE_P(
    Table, ParseErrors,
    testing::Values(
        ErrorCase{"older version", "WARC/1.0\r\nContent-Length: 0\r\n\r\n", "expected WARC/1.1 at offset 0"},
        ErrorCase{"fewer than eight bytes", "WARC/1.", "expected WARC/1.1 at offset 0"},
        ErrorCase{"seven bytes", "abcdefg", "expected WARC/1.1 at offset 0"},
        ErrorCase{"stray letters after a record", kGood + "abc", "expected WARC/1.1 at offset " + std::to_string(kGood.size())},
        ErrorCase{"position counted after skipped CR LF", "\r\n\r\n\nWARC/1.0", "expected WARC/1.1 at offset 5"},
        ErrorCase{"no CR LF CR LF at all", "WARC/1.1\r\nContent-Length: 0\r\n", "unterminated header"},
        ErrorCase{"bare LF line ends", "WARC/1.1\nContent-Length: 2\n\nhi\n\n", "unterminated header"},
        ErrorCase{"terminator cut off by the end", "WARC/1.1\r\nContent-Length: 0\r\n\r", "unterminated header"},
        ErrorCase{"0xFF in a header", "WARC/1.1\r\nX: \xFF\r\nContent-Length: 0\r\n\r\n", "non-UTF-8 header"},
        ErrorCase{"overlong NUL", "WARC/1.1\r\nX: \xC0\x80\r\nContent-Length: 0\r\n\r\n", "non-UTF-8 header"},
        ErrorCase{"overlong three bytes", "WARC/1.1\r\nX: \xE0\x80\xAF\r\nContent-Length: 0\r\n\r\n", "non-UTF-8 header"},
        ErrorCase{"encoded surrogate", "WARC/1.1\r\nX: \xED\xA0\x80\r\nContent-Length: 0\r\n\r\n", "non-UTF-8 header"},
        ErrorCase{"above U+10FFFF", "WARC/1.1\r\nX: \xF4\x90\x80\x80\r\nContent-Length: 0\r\n\r\n", "non-UTF-8 header"},
        ErrorCase{"sequence cut off by the block end", "WARC/1.1\r\nContent-Length: 0\r\nX: \xE2\x82\r\n\r\n", "non-UTF-8 header"},
        ErrorCase{"lone continuation byte", "WARC/1.1\r\nX: \x80\r\nContent-Length: 0\r\n\r\n", "non-UTF-8 header"},
        ErrorCase{"version line alone", "WARC/1.1\r\n\r\n", "missing Content-Length"},
        ErrorCase{"name only almost right", "WARC/1.1\r\nContent-Lengths: 0\r\n\r\n", "missing Content-Length"},
        ErrorCase{"minus zero", "WARC/1.1\r\nContent-Length: -0\r\n\r\n", "invalid Content-Length"},
        ErrorCase{"a lone plus", "WARC/1.1\r\nContent-Length: +\r\n\r\n", "invalid Content-Length"},
        ErrorCase{"two plus signs", "WARC/1.1\r\nContent-Length: ++1\r\n\r\nx", "invalid Content-Length"},
        ErrorCase{"empty value", "WARC/1.1\r\nContent-Length:\r\n\r\n", "invalid Content-Length"},
        ErrorCase{"trailing letter", "WARC/1.1\r\nContent-Length: 12a\r\n\r\n", "invalid Content-Length"},
        ErrorCase{"inner space", "WARC/1.1\r\nContent-Length: 1 2\r\n\r\n", "invalid Content-Length"},
        ErrorCase{"2^64", "WARC/1.1\r\nContent-Length: 18446744073709551616\r\n\r\n", "invalid Content-Length"},
        ErrorCase{"later invalid line wins", "WARC/1.1\r\nContent-Length: 0\r\nContent-Length: x\r\n\r\n", "invalid Content-Length"},
        ErrorCase{"one byte short", "WARC/1.1\r\nContent-Length: 3\r\n\r\nhi", "body extends past end of data"},
        ErrorCase{"largest 64-bit length", "WARC/1.1\r\nContent-Length: 18446744073709551615\r\n\r\nhi", "body extends past end of data"},
        ErrorCase{"error in a later record", kGood + "WARC/1.1\r\n\r\n", "missing Content-Length"}));

TEST(Parser, EmptyAndLineBreakOnlyInputHaveNoRecords) {
    for (std::string_view data : {"", "\r\n", "\n\n\r\r\n", "\r"}) EXPECT_TRUE(parse_ok(data).empty());
}

struct Boundaries {
    const char* why;
    std::string data;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> offset_length;
};

class RecordBoundaries : public testing::TestWithParam<Boundaries> {};

TEST_P(RecordBoundaries, OffsetAndLengthFollowTheSeparatorRules) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
    for (const WarcRecord& record : parse_ok(GetParam().data)) seen.emplace_back(record.offset, record.length);
    EXPECT_EQ(seen, GetParam().offset_length) << GetParam().why;
}

const std::string kRecordHead = "WARC/1.1\r\nContent-Length: 2\r\n\r\nhi";  // 33 bytes, no separator

INSTANTIATE_TEST_SUITE_P(
    Table, RecordBoundaries,
    testing::Values(
        Boundaries{"CR LF CR LF is part of the record", kRecordHead + "\r\n\r\n" + kRecordHead, {{0, 37}, {37, 33}}},
        Boundaries{"LF LF is part of the record", kRecordHead + "\n\n" + kRecordHead, {{0, 35}, {35, 33}}},
        Boundaries{"a lone CR LF is skipped outside records", kRecordHead + "\r\n" + kRecordHead, {{0, 33}, {35, 33}}},
        Boundaries{"leading line breaks move the offset", "\r\n\r\n" + kRecordHead, {{4, 33}}},
        Boundaries{"trailing line breaks are outside", kRecordHead + "\r\n\r\n\r\n\n", {{0, 37}}},
        Boundaries{"a body holding CR LF CR LF", "WARC/1.1\r\nContent-Length: 6\r\n\r\na\r\n\r\nb\r\n\r\n", {{0, 41}}},
        Boundaries{"WARC/1.10 passes the version test", "WARC/1.10\r\nContent-Length: 0\r\n\r\n", {{0, 32}}},
        Boundaries{"an LF LF record end before a later CR LF CR LF is part of the header",
                   "WARC/1.1\nContent-Length: 0\n\nX: y\r\n\r\n", {{0, 36}}}));

TEST(Parser, RecordsJoinedEndToEndChainTheirOffsets) {
    std::string archive;
    for (int i = 0; i < 5; ++i) archive += raw_record("WARC-Type: resource\r\n", std::string(static_cast<std::size_t>(i) * 7, 'x'));
    const std::vector<WarcRecord> records = parse_ok(archive);
    ASSERT_EQ(records.size(), 5u);
    std::uint64_t expected_offset = 0;
    for (const WarcRecord& record : records) {
        EXPECT_EQ(record.offset, expected_offset);
        expected_offset += record.length;
    }
    EXPECT_EQ(expected_offset, archive.size());
}

TEST(Parser, BodyIsTheExactRangeWithAnyBytes) {
    const std::string body("\xFF\x00\r\n\r\nWARC/1.1", 14);
    const std::vector<WarcRecord> records = parse_ok(raw_record("", body) + raw_record("", "z"));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].body.view(), body);
    EXPECT_EQ(records[1].body.view(), "z");
}

struct HeaderCase {
    const char* why;
    std::string header_lines;  // between the version line and the Content-Length line
    std::string key;
    std::optional<std::string> value;
};

class HeaderMaps : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderMaps, KeysAreTrimmedAndLowerCasedValuesTrimmed) {
    const std::vector<WarcRecord> records = parse_ok(raw_record(GetParam().header_lines, ""));
    ASSERT_EQ(records.size(), 1u);
    const HeaderMap& headers = records[0].headers;
    const auto it = headers.find(GetParam().key);
    const std::optional<std::string> value = it == headers.end() ? std::nullopt : std::optional(it->second);
    EXPECT_EQ(value, GetParam().value) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeaderMaps,
    testing::Values(
        HeaderCase{"name case folds", "WARC-TYPE: response\r\n", "warc-type", "response"},
        HeaderCase{"spaces around name and value", "  WARC-Type \t:  response \t\r\n", "warc-type", "response"},
        HeaderCase{"inner white space and case kept", "X: A  b\tC\r\n", "x", "A  b\tC"},
        HeaderCase{"later line replaces earlier", "X: 1\r\nx: 2\r\n", "x", "2"},
        HeaderCase{"split at the first colon", "WARC-Target-URI: http://a:80/\r\n", "warc-target-uri", "http://a:80/"},
        HeaderCase{"empty name", ": nameless\r\n", "", "nameless"},
        HeaderCase{"line without colon ignored", "no colon here\r\n", "no colon here", std::nullopt},
        HeaderCase{"continuation line is a line of its own", "X: a\r\n b: c\r\n", "b", "c"},
        HeaderCase{"only ASCII letters fold", "\xC3\x84X: 1\r\n", "\xC3\x84x", "1"},
        HeaderCase{"Unicode white space trimmed",
                   "\xC2\xA0X\xE3\x80\x80: \xE2\x80\xA8v\xC2\x85\xE1\x9A\x80\xE2\x80\x8A\xE2\x81\x9F\xE2\x80\xAF\r\n", "x",
                   "v"},
        HeaderCase{"non-white space near misses kept", "X: \xE2\x80\x8Bv\xE2\x80\x8B\r\n", "x", "\xE2\x80\x8Bv\xE2\x80\x8B"},
        HeaderCase{"white space alone is an empty value", "X: \xC2\xA0 \r\n", "x", ""},
        HeaderCase{"lone CR inside a line stays", "X: a\rb\r\n", "x", "a\rb"}));

TEST(Parser, VersionLineIsSkippedEvenWithAColon) {
    const std::vector<WarcRecord> records = parse_ok("WARC/1.1 x: y\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].headers.size(), 1u);
    EXPECT_EQ(records[0].headers.count("content-length"), 1u);
}

struct LengthCase {
    std::string line;
    std::uint64_t value;
};

class ContentLengths : public testing::TestWithParam<LengthCase> {};

TEST_P(ContentLengths, AcceptedFormsGiveTheBodyLength) {
    const std::string body(GetParam().value, 'b');
    const std::vector<WarcRecord> records = parse_ok("WARC/1.1\r\n" + GetParam().line + "\r\n\r\n" + body);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].body.size(), GetParam().value) << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(Table, ContentLengths,
                         testing::Values(LengthCase{"Content-Length: +12", 12}, LengthCase{"Content-Length:  007 ", 7},
                                         LengthCase{"CONTENT-LENGTH: 12", 12}, LengthCase{"content-length:0", 0},
                                         LengthCase{"Content-Length: 5\r\nContent-Length: 3", 3},
                                         LengthCase{"Content-Length: 00000000000000000000000000001", 1}));

TEST(Scanner, AgreesWithParseRecordsAndStopsAfterAnError) {
    const std::string archive = raw_record("A: 1\r\n", "one") + "\r\n" + raw_record("B: 2\r\nb: 3\r\n", "two") + "junk";
    RecordScanner scanner(archive);
    std::vector<std::string> bodies;
    Result<bool> more = scanner.next();
    while (more && *more) {
        bodies.emplace_back(scanner.record().body);
        more = scanner.next();
    }
    ASSERT_FALSE(more.has_value());
    EXPECT_EQ(more.error().message(), "expected WARC/1.1 at offset " + std::to_string(archive.size() - 4));
    EXPECT_EQ(bodies, (std::vector<std::string>{"one", "two"}));
    Result<bool> after = scanner.next();
    ASSERT_TRUE(after.has_value());
    EXPECT_FALSE(*after);
}

TEST(Scanner, LookupTakesTheLastFieldOfAName) {
    const std::string archive = raw_record("X: 1\r\nx: 2\r\nY: 3\r\n", "");
    RecordScanner scanner(archive);
    ASSERT_TRUE(*scanner.next());
    EXPECT_EQ(scanner.record().fields.size(), 4u);
    EXPECT_EQ(scanner.record().header("x"), "2");
    EXPECT_EQ(scanner.record().header("z"), std::nullopt);
}

}  // namespace
}  // namespace vellumark
