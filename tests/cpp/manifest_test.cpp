// Finding and replacing the manifest store record.

#include <gtest/gtest.h>

#include <string>

#include "record/builder.hpp"
#include "record/parser.hpp"
#include "writer/manifest.hpp"

namespace vellumark {
namespace {

constexpr std::uint64_t kNow = 1709788141;

std::string record(std::string_view type, std::string_view content_type, std::string_view body) {
    Result<ByteBuffer> built = build_record({type, content_type, "urn:uuid:1", std::nullopt, body}, kNow);
    return built ? std::string(built->view()) : std::string();
}
std::string manifest_record(std::string_view body) { return record("c2paprovenance", "application/c2pa", body); }

std::string append_ok(std::string_view archive, std::string_view manifest) {
    Result<ByteBuffer> out = append_manifest(archive, manifest, "urn:uuid:m", kNow);
    EXPECT_TRUE(out.has_value()) << (out ? "" : out.error().display());
    return out ? std::string(out->view()) : std::string();
}

const std::string kInfo = record("warcinfo", "application/warc-fields", "software: test\r\n");
const std::string kResponse = record("response", "application/http", "HTTP/1.1 200 OK\r\n\r\nbody");
const std::string kNewManifest =
    "WARC/1.1\r\nWARC-Type: c2paprovenance\r\nWARC-Record-ID: <urn:uuid:m>\r\nWARC-Date: 2024-03-07T05:09:01Z\r\n"
    "Content-Type: application/c2pa\r\nContent-Length: 3\r\n\r\nnew\r\n\r\n";

TEST(FindManifest, NoneInAnArchiveWithoutOne) {
    for (const std::string& archive : {std::string(), std::string("\r\n\r\n"), kInfo + kResponse}) {
        Result<ByteBuffer> found = find_manifest(archive);
        ASSERT_FALSE(found.has_value());
        EXPECT_EQ(found.error().kind(), ErrorKind::NoManifest);
    }
}

TEST(FindManifest, TheLastManifestWins) {
    Result<ByteBuffer> found = find_manifest(manifest_record("first") + kInfo + manifest_record("second") + kResponse);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->view(), "second");
}

TEST(FindManifest, AParseErrorAfterTheManifestStillFails) {
    Result<ByteBuffer> found = find_manifest(manifest_record("m") + "WARC/1.1\r\n\r\n");
    ASSERT_FALSE(found.has_value());
    EXPECT_EQ(found.error().display(), "invalid WARC record: missing Content-Length");
}

struct AppendCase {
    const char* why;
    std::string archive;
    std::string expected;
};

class AppendManifest : public testing::TestWithParam<AppendCase> {};

TEST_P(AppendManifest, KeepsOtherRecordsAndEndsWithTheNewManifest) {
    EXPECT_EQ(append_ok(GetParam().archive, "new"), GetParam().expected) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AppendManifest,
    testing::Values(
        AppendCase{"plain archive", kInfo + kResponse, kInfo + kResponse + kNewManifest},
        AppendCase{"manifest in the middle", kInfo + manifest_record("old") + kResponse, kInfo + kResponse + kNewManifest},
        AppendCase{"two manifests", manifest_record("a") + kInfo + manifest_record("b"), kInfo + kNewManifest},
        AppendCase{"lone CR LF between records dropped", kInfo + "\r\n" + kResponse + "\r\n", kInfo + kResponse + kNewManifest},
        AppendCase{"line breaks only", "\r\n\n\r", kNewManifest},
        AppendCase{"last record without separator kept as it stands",
                   "WARC/1.1\r\nContent-Length: 1\r\n\r\nx", "WARC/1.1\r\nContent-Length: 1\r\n\r\nx" + kNewManifest},
        AppendCase{"an earlier append replaced", append_ok(kInfo, "old"), kInfo + kNewManifest}));

TEST(AppendManifest, EmptyManifestGivesContentLengthZero) {
    const std::string out = append_ok(kInfo, "");
    Result<std::vector<WarcRecord>> parsed = parse_records(out);
    ASSERT_TRUE(parsed.has_value());
    ASSERT_EQ(parsed->size(), 2u);
    EXPECT_TRUE(parsed->back().is_c2pa_manifest());
    EXPECT_EQ(parsed->back().headers.at("content-length"), "0");
    Result<ByteBuffer> found = find_manifest(out);
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(found->empty());
}

struct FailureCase {
    const char* why;
    std::string archive;
    std::string record_id;
    std::string display;
};

class AppendFailures : public testing::TestWithParam<FailureCase> {};

TEST_P(AppendFailures, ReportTheFirstCheckThatFails) {
    Result<ByteBuffer> out = append_manifest(GetParam().archive, "m", GetParam().record_id, kNow);
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(out.error().display(), GetParam().display) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AppendFailures,
    testing::Values(
        FailureCase{"empty data", "", "id", "invalid WARC record: empty WARC data"},
        FailureCase{"empty data before the record ID", "", "id\r\n", "invalid WARC record: empty WARC data"},
        FailureCase{"record ID with LF", kInfo, "id\nWARC-Type: x", "invalid WARC record: CR or LF in WARC-Record-ID"},
        FailureCase{"record ID before the parse", "junk", "\r", "invalid WARC record: CR or LF in WARC-Record-ID"},
        FailureCase{"malformed archive", "WARC/1.1\r\n\r\n", "id", "invalid WARC record: missing Content-Length"},
        FailureCase{"error after good records", kInfo + "WARC/1.0", "id",
                    "invalid WARC record: expected WARC/1.1 at offset " + std::to_string(kInfo.size())}));

}  // namespace
}  // namespace vellumark
