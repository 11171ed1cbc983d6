// The resumable scanner: any split of the input reads as the whole, and the
// tools' grammar reads what the module refuses where warcio reads it too.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record/scanner.hpp"

namespace vellumark {
namespace {

struct Seen {
    std::uint64_t offset;
    std::string version;
    std::string fields;  // "name=value;" each
    std::string body;
    std::size_t separator;
    std::size_t stray;
    bool operator==(const Seen&) const = default;
};

struct Scan {
    std::vector<Seen> records;
    std::string failure;  // "fault@offset detail", empty when the scan ended well
    std::size_t trailing = 0;
};

// Feeds `data` to a scanner `piece` bytes at a time, as a reader of a file would.
Scan scan(const std::string& data, Grammar grammar, std::size_t piece) {
    StreamScanner scanner(grammar);
    Scan out;
    std::string input;
    std::size_t fed = 0;
    auto feed = [&] {
        const std::size_t n = std::min(piece, data.size() - fed);
        input.append(data, fed, n);
        fed += n;
    };
    auto drop = [&] { input.erase(0, scanner.consumed()); };
    for (;;) {
        Step step = scanner.read_head(input, fed == data.size());
        if (step == Step::NeedMore) {
            drop();
            feed();
            continue;
        }
        if (step == Step::End) {
            out.trailing = scanner.trailing();
            return out;
        }
        if (step == Step::Failed) {
            out.failure = std::to_string(static_cast<int>(scanner.error().fault)) + "@" +
                          std::to_string(scanner.error().offset) + " " + scanner.error().detail;
            return out;
        }
        Seen seen{scanner.head().offset, std::string(scanner.head().version), "", "", 0, 0};
        for (const HeaderField& field : scanner.head().fields)
            seen.fields += std::string(field.name) + "=" + std::string(field.value) + ";";
        drop();  // the views point into the input: read before it changes
        while (input.size() < scanner.head().body_length && fed < data.size()) feed();
        if (input.size() < scanner.head().body_length) {
            out.failure = "body past end";
            return out;
        }
        seen.body = input.substr(0, scanner.head().body_length);
        input.erase(0, scanner.head().body_length);
        while ((step = scanner.read_tail(input, fed == data.size())) == Step::NeedMore) feed();
        seen.separator = scanner.tail().separator;
        seen.stray = scanner.tail().stray;
        drop();
        out.records.push_back(seen);
    }
}

std::string record(const std::string& version, const std::string& headers, const std::string& body,
                   const std::string& separator = "\r\n\r\n") {
    return version + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body + separator;
}

struct SplitCase {
    const char* why;
    Grammar grammar;
    std::string data;
};

class AnySplit : public testing::TestWithParam<SplitCase> {};

TEST_P(AnySplit, ReadsAsTheWhole) {
    const Scan whole = scan(GetParam().data, GetParam().grammar, GetParam().data.size() + 1);
    for (std::size_t piece : {1u, 2u, 3u, 7u, 64u}) {
        const Scan split = scan(GetParam().data, GetParam().grammar, piece);
        EXPECT_EQ(split.records, whole.records) << GetParam().why << ", pieces of " << piece;
        EXPECT_EQ(split.failure, whole.failure) << GetParam().why << ", pieces of " << piece;
        EXPECT_EQ(split.trailing, whole.trailing) << GetParam().why << ", pieces of " << piece;
    }
}

const std::string kOne = record("WARC/1.1", "WARC-Type: resource\r\n", "hello");
const std::string kOld = record("WARC/1.0", "WARC-Type: response\r\n", "WARC/1.0\r\n\r\n");

INSTANTIATE_TEST_SUITE_P(
    Table, AnySplit,
    testing::Values(
        SplitCase{"records and line breaks", kModuleGrammar, "\r\n" + kOne + "\r\n\r\n" + kOne + "\n\n"},
        SplitCase{"LF LF separator", kModuleGrammar, record("WARC/1.1", "", "x", "\n\n") + kOne},
        SplitCase{"no separator at the end", kModuleGrammar, record("WARC/1.1", "", "x", "")},
        SplitCase{"an error after a record", kModuleGrammar, kOne + "junk"},
        SplitCase{"old versions", kToolsGrammar, kOld + record("WARC/0.18", "", "") + record("warc/1.0", "", "a")},
        SplitCase{"a stray line", kToolsGrammar, record("WARC/1.0", "", "abc", "m\r\n\r\n\r\n") + kOne},
        SplitCase{"a stray line at the end", kToolsGrammar, record("WARC/1.0", "", "abc", "mm")},
        SplitCase{"trailing space", kToolsGrammar, kOne + " "},
        SplitCase{"folded lines", kToolsGrammar, record("WARC/1.0", "X: a\r\n  b\r\n\tc\r\n", "")},
        SplitCase{"differing lengths", kToolsGrammar, "WARC/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab"},
        SplitCase{"a truncated header", kToolsGrammar, kOne + "WARC/1.0\r\nX: y"}));

struct ToolsCase {
    const char* why;
    std::string data;
    std::string fields;   // of the first record, or the failure
    std::string version;  // of the first record
};

class ToolsGrammar : public testing::TestWithParam<ToolsCase> {};

TEST_P(ToolsGrammar, ReadsWhatWarcioReads) {
    const Scan got = scan(GetParam().data, kToolsGrammar, 5);
    if (!got.failure.empty()) {
        EXPECT_EQ(got.failure, GetParam().fields) << GetParam().why;
        return;
    }
    ASSERT_FALSE(got.records.empty()) << GetParam().why;
    EXPECT_EQ(got.records[0].fields, GetParam().fields) << GetParam().why;
    EXPECT_EQ(got.records[0].version, GetParam().version) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolsGrammar,
    testing::Values(
        ToolsCase{"lower-case version line", record("warc/1.0", "", ""), "Content-Length=0;", "1.0"},
        ToolsCase{"draft version, space after it", record("WARC/0.17 ", "", ""), "Content-Length=0;", "0.17"},
        ToolsCase{"1.05 is no version read", record("WARC/1.05", "", ""), "0@0 ", ""},
        ToolsCase{"folded value joined as warcio joins it", record("WARC/1.0", "X: a\r\n  b\r\n", ""),
                  "X=a  b;Content-Length=0;", "1.0"},
        ToolsCase{"the same length twice is fine", "WARC/1.1\r\nContent-Length: 1\r\nContent-Length: +1\r\n\r\nx",
                  "Content-Length=1;Content-Length=+1;", "1.1"},
        ToolsCase{"lengths that differ are refused, both named",
                  "WARC/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxx", "6@0 1 and 2", ""},
        ToolsCase{"a header block past the limit", "WARC/1.1\r\nX: " + std::string((16 << 20) + 8, 'a'), "2@0 ", ""}));

TEST(ToolsGrammar, FlagsNamesWithWhiteSpaceAroundThem) {
    StreamScanner scanner(kToolsGrammar);
    const std::string data = record("WARC/1.1", "  WARC-Type  : response\r\n", "");
    ASSERT_EQ(scanner.read_head(data, true), Step::Done);
    EXPECT_TRUE(scanner.head().padded_name);
    EXPECT_EQ(scanner.head().header("warc-type"), "response");
    StreamScanner plain(kToolsGrammar);
    ASSERT_EQ(plain.read_head(kOne, true), Step::Done);
    EXPECT_FALSE(plain.head().padded_name);
}

TEST(ModuleGrammar, RefusesWhatOnlyTheToolsRead) {
    for (const std::string& data : {record("WARC/1.0", "", ""), record("warc/1.1", "", ""), kOne + " "}) {
        const Scan got = scan(data, kModuleGrammar, 4);
        EXPECT_FALSE(got.failure.empty()) << data;
    }
    // Continuation lines get no special care, and the last length counts.
    const Scan folded = scan("WARC/1.1\r\nX: a\r\n b:c\r\nContent-Length: 9\r\nContent-Length: 1\r\n\r\nx", kModuleGrammar, 3);
    ASSERT_EQ(folded.records.size(), 1u);
    EXPECT_EQ(folded.records[0].fields, "X=a;b=c;Content-Length=9;Content-Length=1;");
    EXPECT_EQ(folded.records[0].body, "x");
}

// An unterminated header fed a byte at a time must not be searched from its
// start each time: the scanner asks for twice as much before it searches again.
TEST(StreamScanner, AsksForMoreGeometricallyOnALongHeader) {
    StreamScanner scanner(kToolsGrammar);
    std::string input = "WARC/1.1\r\nX: " + std::string(1000, 'a');
    ASSERT_EQ(scanner.read_head(input, false), Step::NeedMore);
    EXPECT_GE(scanner.wanted(), 2 * input.size());
}

}  // namespace
}  // namespace vellumark
