// Errors, the manifest store predicate, and the byte-level text rules.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "error/error.hpp"
#include "record/parser.hpp"
#include "record/scanner.hpp"
#include "record/text.hpp"
#include "record/utf8.hpp"

namespace vellumark {
namespace {

TEST(Error, DisplayTexts) {
    EXPECT_EQ(Error::invalid_record("unterminated header").display(), "invalid WARC record: unterminated header");
    EXPECT_EQ(Error::no_manifest().display(), "no C2PA manifest record found");
    EXPECT_EQ(Error::no_manifest().kind(), ErrorKind::NoManifest);
}

// Reading the wrong side of a Result was undefined behaviour in release builds;
// it must be caught in every build type.
TEST(Result, ReadingTheWrongSideThrowsInEveryBuildType) {
    Result<int> failed = Error::no_manifest();
    EXPECT_THROW((void)*failed, std::logic_error);
    EXPECT_THROW((void)std::move(failed).operator*(), std::logic_error);
    Result<std::string> text = std::string("value");
    EXPECT_EQ(text->size(), 5u);
    EXPECT_THROW((void)text.error(), std::logic_error);
    Result<void> done;
    EXPECT_THROW((void)done.error(), std::logic_error);
}

struct PredicateCase {
    const char* why;
    std::string header_lines;
    bool is_manifest;
};

class ManifestPredicate : public testing::TestWithParam<PredicateCase> {};

// The owned record and the borrowed view must agree on every case.
TEST_P(ManifestPredicate, MatchesOnlyTheExactValues) {
    const std::string data = "WARC/1.1\r\n" + GetParam().header_lines + "Content-Length: 0\r\n\r\n";
    Result<std::vector<WarcRecord>> records = parse_records(data);
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 1u);
    EXPECT_EQ((*records)[0].is_c2pa_manifest(), GetParam().is_manifest) << GetParam().why;
    RecordScanner scanner(data);
    ASSERT_TRUE(*scanner.next());
    EXPECT_EQ(scanner.record().is_c2pa_manifest(), GetParam().is_manifest) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ManifestPredicate,
    testing::Values(
        PredicateCase{"both marks", "WARC-Type: c2paprovenance\r\nContent-Type: application/c2pa\r\n", true},
        PredicateCase{"names in lower case", "warc-type: c2paprovenance\r\ncontent-type: application/c2pa\r\n", true},
        PredicateCase{"names in upper case", "WARC-TYPE: c2paprovenance\r\nCONTENT-TYPE: application/c2pa\r\n", true},
        PredicateCase{"values trimmed", "WARC-Type:  c2paprovenance \r\nContent-Type:\tapplication/c2pa\r\n", true},
        PredicateCase{"value case counts", "WARC-Type: C2PAProvenance\r\nContent-Type: application/c2pa\r\n", false},
        PredicateCase{"hyphenated type", "WARC-Type: c2pa-provenance\r\nContent-Type: application/c2pa\r\n", false},
        PredicateCase{"parameter after the type",
                      "WARC-Type: c2paprovenance\r\nContent-Type: application/c2pa; charset=utf-8\r\n", false},
        PredicateCase{"no Content-Type", "WARC-Type: c2paprovenance\r\n", false},
        PredicateCase{"no WARC-Type", "Content-Type: application/c2pa\r\n", false},
        PredicateCase{"no headers but the length", "", false},
        PredicateCase{"last WARC-Type counts",
                      "WARC-Type: c2paprovenance\r\nContent-Type: application/c2pa\r\nWARC-Type: resource\r\n", false},
        PredicateCase{"last Content-Type counts",
                      "Content-Type: text/plain\r\nWARC-Type: c2paprovenance\r\nContent-Type: application/c2pa\r\n",
                      true}));

struct TrimCase {
    std::string text;
    std::string trimmed;
};

class Trimming : public testing::TestWithParam<TrimCase> {};

TEST_P(Trimming, RemovesUnicodeWhiteSpaceAtBothEnds) { EXPECT_EQ(trim_white_space(GetParam().text), GetParam().trimmed); }

INSTANTIATE_TEST_SUITE_P(
    Table, Trimming,
    testing::Values(TrimCase{"", ""}, TrimCase{" \t\n\v\f\r", ""}, TrimCase{" a b ", "a b"},
                    TrimCase{"\xC2\x85x\xC2\xA0", "x"}, TrimCase{"\xE1\x9A\x80x\xE2\x80\x80", "x"},
                    TrimCase{"\xE2\x80\x8Ax\xE2\x80\xA8", "x"}, TrimCase{"\xE2\x80\xA9x\xE2\x80\xAF", "x"},
                    TrimCase{"\xE2\x81\x9Fx\xE3\x80\x80", "x"},
                    // near misses: ZERO WIDTH SPACE, U+2010, U+00A1, U+180E (no longer White_Space)
                    TrimCase{"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"}, TrimCase{"x\xE2\x80\x90", "x\xE2\x80\x90"},
                    TrimCase{"\xC2\xA1x", "\xC2\xA1x"}, TrimCase{"x\xE1\xA0\x8E", "x\xE1\xA0\x8E"},
                    TrimCase{"\x1F" "x\x7F", "\x1F" "x\x7F"}));

TEST(Text, AsciiLowerChangesOnlyAToZ) {
    EXPECT_EQ(ascii_lower("Content-LENGTH@[`{\xC3\x84"), "content-length@[`{\xC3\x84");
    EXPECT_TRUE(equals_lowered("WARC-Type", "warc-type"));
    EXPECT_FALSE(equals_lowered("WARC-Type", "warc-typ"));
    EXPECT_FALSE(equals_lowered("WARC_Type", "warc-type"));
}

struct Utf8Case {
    std::string bytes;
    bool valid;
};

class Utf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, FollowsRfc3629) { EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid) << testing::PrintToString(GetParam().bytes); }

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8,
    testing::Values(Utf8Case{"", true}, Utf8Case{"plain ASCII, longer than eight bytes", true},
                    Utf8Case{"\xC2\x80\xDF\xBF", true},                                  // two-byte bounds
                    Utf8Case{"\xE0\xA0\x80\xEF\xBF\xBF\xED\x9F\xBF\xEE\x80\x80", true},  // three-byte bounds
                    Utf8Case{"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", true},                  // four-byte bounds
                    Utf8Case{"\xC0\x80", false}, Utf8Case{"\xC1\xBF", false},            // overlong two
                    Utf8Case{"\xE0\x9F\xBF", false}, Utf8Case{"\xF0\x8F\xBF\xBF", false},  // overlong
                    Utf8Case{"\xED\xA0\x80", false}, Utf8Case{"\xED\xBF\xBF", false},      // surrogates
                    Utf8Case{"\xF4\x90\x80\x80", false}, Utf8Case{"\xF5\x80\x80\x80", false},
                    Utf8Case{"\xFF", false}, Utf8Case{"\x80", false}, Utf8Case{"abcdefgh\xBF", false},
                    Utf8Case{"\xE2\x82", false}, Utf8Case{"\xF0\x9F\x98", false},  // cut off
                    Utf8Case{"\xE2\x28\xA1", false}, Utf8Case{"\xC2" "a", false}));

}  // namespace
}  // namespace vellumark
