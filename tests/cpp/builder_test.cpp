// The writer: the exact byte layout, the timestamp, and the CR/LF refusal.

#include <gtest/gtest.h>

#include <string>

#include "record/builder.hpp"
#include "record/parser.hpp"

namespace vellumark {
namespace {

constexpr std::uint64_t kMarch7th2024 = 1709788141;  // 2024-03-07T05:09:01Z

std::string build_ok(const RecordFields& fields, std::uint64_t now = kMarch7th2024) {
    Result<ByteBuffer> record = build_record(fields, now);
    EXPECT_TRUE(record.has_value()) << (record ? "" : record.error().display());
    return record ? std::string(record->view()) : std::string();
}

struct DateCase {
    std::uint64_t seconds;
    const char* text;
};

class WarcDates : public testing::TestWithParam<DateCase> {};

TEST_P(WarcDates, FormatAsProlepticGregorianUtc) { EXPECT_EQ(format_warc_date(GetParam().seconds), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, WarcDates,
    testing::Values(DateCase{0, "1970-01-01T00:00:00Z"}, DateCase{kMarch7th2024, "2024-03-07T05:09:01Z"},
                    DateCase{951782400, "2000-02-29T00:00:00Z"}, DateCase{951868800, "2000-03-01T00:00:00Z"},
                    DateCase{951782399, "2000-02-28T23:59:59Z"}, DateCase{4102444799, "2099-12-31T23:59:59Z"},
                    DateCase{4107542400, "2100-03-01T00:00:00Z"},  // 2100 is no leap year
                    DateCase{4107456000, "2100-02-28T00:00:00Z"}, DateCase{1709164800, "2024-02-29T00:00:00Z"},
                    DateCase{1704067199, "2023-12-31T23:59:59Z"}, DateCase{1706745600, "2024-02-01T00:00:00Z"},
                    DateCase{253402300799, "9999-12-31T23:59:59Z"}, DateCase{253402300800, "10000-01-01T00:00:00Z"},
                    DateCase{18446744073709551615ULL, "584554051223-11-09T07:00:15Z"}));

TEST(Builder, LaysOutTheRecordByteForByte) {
    EXPECT_EQ(build_ok({.warc_type = "resource", .content_type = "text/plain", .record_id = "urn:uuid:1",
                        .target_uri = std::nullopt, .body = "hi"}),
              "WARC/1.1\r\n"
              "WARC-Type: resource\r\n"
              "WARC-Record-ID: <urn:uuid:1>\r\n"
              "WARC-Date: 2024-03-07T05:09:01Z\r\n"
              "Content-Type: text/plain\r\n"
              "Content-Length: 2\r\n"
              "\r\n"
              "hi\r\n\r\n");
}

TEST(Builder, TargetUriStandsBetweenRecordIdAndDate) {
    EXPECT_EQ(build_ok({.warc_type = "response", .content_type = "application/http", .record_id = "<x>",
                        .target_uri = "http://example.com/", .body = ""}),
              "WARC/1.1\r\n"
              "WARC-Type: response\r\n"
              "WARC-Record-ID: <<x>>\r\n"
              "WARC-Target-URI: http://example.com/\r\n"
              "WARC-Date: 2024-03-07T05:09:01Z\r\n"
              "Content-Type: application/http\r\n"
              "Content-Length: 0\r\n"
              "\r\n\r\n\r\n");
}

TEST(Builder, EmptyTargetUriStillWritesTheField) {
    const std::string record = build_ok({.warc_type = "a", .content_type = "b", .record_id = "c", .target_uri = "", .body = ""});
    EXPECT_NE(record.find("\r\nWARC-Target-URI: \r\nWARC-Date: "), std::string::npos);
}

TEST(Builder, ABuiltRecordParsesBackWhole) {
    const std::string body("\x00\xFF\r\n\r\nbody", 10);
    const std::string record = build_ok(
        {.warc_type = "resource", .content_type = "text/plain", .record_id = "id", .target_uri = "u", .body = body});
    Result<std::vector<WarcRecord>> parsed = parse_records(record);
    ASSERT_TRUE(parsed.has_value());
    ASSERT_EQ(parsed->size(), 1u);
    const WarcRecord& back = (*parsed)[0];
    EXPECT_EQ(back.body.view(), body);
    EXPECT_EQ(back.offset, 0u);
    EXPECT_EQ(back.length, record.size());
    EXPECT_EQ(back.headers, (HeaderMap{{"warc-type", "resource"},
                                       {"warc-record-id", "<id>"},
                                       {"warc-target-uri", "u"},
                                       {"warc-date", "2024-03-07T05:09:01Z"},
                                       {"content-type", "text/plain"},
                                       {"content-length", "10"}}));
}

struct InjectionCase {
    RecordFields fields;
    const char* field_named;
};

class HeaderInjection : public testing::TestWithParam<InjectionCase> {};

TEST_P(HeaderInjection, CrOrLfInAnyTextIsRefused) {
    Result<ByteBuffer> record = build_record(GetParam().fields, kMarch7th2024);
    ASSERT_FALSE(record.has_value());
    EXPECT_EQ(record.error().display(), std::string("invalid WARC record: CR or LF in ") + GetParam().field_named);
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeaderInjection,
    testing::Values(
        InjectionCase{{"resource\r\nWARC-Type: forged", "t", "i", std::nullopt, ""}, "WARC-Type"},
        InjectionCase{{"r", "text/plain\nContent-Length: 9", "i", std::nullopt, ""}, "Content-Type"},
        InjectionCase{{"r", "t", "id\r", std::nullopt, ""}, "WARC-Record-ID"},
        InjectionCase{{"r", "t", "i", "http://x/\n", ""}, "WARC-Target-URI"},
        InjectionCase{{"r", "t", "i", "\r", ""}, "WARC-Target-URI"},
        // the first bad text in parameter order is the one named
        InjectionCase{{"r", "t\n", "i\n", "\n", ""}, "Content-Type"},
        InjectionCase{{"r\r", "t", "i", "\n", ""}, "WARC-Type"}));

TEST(Builder, CrAndLfInTheBodyAreFine) {
    EXPECT_TRUE(build_record({"r", "t", "i", std::nullopt, "\r\n\r\n"}, 0).has_value());
}

TEST(Builder, WallClockStampsWhenNoTimeIsGiven) {
    const std::uint64_t before = wall_clock_seconds();
    Result<ByteBuffer> record = build_record({"r", "t", "i", std::nullopt, ""});
    const std::uint64_t after = wall_clock_seconds();
    ASSERT_TRUE(record.has_value());
    const std::string text(record->view());
    const bool stamped = text.find(format_warc_date(before)) != std::string::npos ||
                         text.find(format_warc_date(after)) != std::string::npos;
    EXPECT_TRUE(stamped) << text;
}

}  // namespace
}  // namespace vellumark
