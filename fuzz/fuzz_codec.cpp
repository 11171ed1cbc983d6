// libFuzzer harness over the codec. Beyond "no crash", every input is held to
// the reader's and the appender's invariants; a broken one aborts the run.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "record/builder.hpp"
#include "record/parser.hpp"
#include "record/scanner.hpp"
#include "require.hpp"
#include "writer/manifest.hpp"

using namespace vellumark;

namespace {

constexpr std::uint64_t kNow = 1709788141;

bool only_line_breaks(std::string_view bytes) {
    return bytes.find_first_not_of("\r\n") == std::string_view::npos;
}

// The scanner's views: in range, chained, and the same records parse_records owns.
void check_reader(std::string_view data) {
    Result<std::vector<WarcRecord>> owned = parse_records(data);
    std::vector<WarcRecord> scanned;
    std::size_t end_of_last = 0;
    Result<void> scan = for_each_record(data, [&](const RecordView& view) {
        REQUIRE(view.offset >= end_of_last && view.length <= data.size() - view.offset);
        REQUIRE(only_line_breaks(data.substr(end_of_last, view.offset - end_of_last)));
        REQUIRE(data.substr(view.offset).starts_with("WARC/1.1"));
        const std::size_t body_at = static_cast<std::size_t>(view.body.data() - data.data());
        REQUIRE(body_at >= view.offset && body_at + view.body.size() <= view.offset + view.length);
        REQUIRE(data.substr(body_at - 4, 4) == "\r\n\r\n");
        end_of_last = view.offset + view.length;
        scanned.push_back(to_owned(view));
    });
    REQUIRE(scan.has_value() == owned.has_value());
    if (!owned) {
        REQUIRE(scan.error() == owned.error());
        REQUIRE(owned.error().kind() == ErrorKind::InvalidRecord);
        return;
    }
    REQUIRE(only_line_breaks(data.substr(end_of_last)));
    REQUIRE(owned->size() == scanned.size());
    for (std::size_t i = 0; i < scanned.size(); ++i) {
        const WarcRecord& a = (*owned)[i];
        const WarcRecord& b = scanned[i];
        REQUIRE(a.offset == b.offset && a.length == b.length && a.body == b.body && a.headers == b.headers);
        REQUIRE(a.headers.count("content-length") == 1);
    }
}

// The appender keeps every other record byte for byte and ends with exactly one
// manifest store record, which the lookup finds.
void check_appender(std::string_view data, std::string_view manifest) {
    Result<ByteBuffer> out = append_manifest(data, manifest, "urn:uuid:fuzz", kNow);
    Result<std::vector<WarcRecord>> before = parse_records(data);
    if (data.empty()) {
        REQUIRE(!out && out.error().message() == "empty WARC data");
        return;
    }
    REQUIRE(out.has_value() == before.has_value());
    if (!out) {
        REQUIRE(out.error() == before.error());
        return;
    }
    const std::string_view written = out->view();
    Result<std::vector<WarcRecord>> after = parse_records(written);
    REQUIRE(after.has_value() && !after->empty());
    REQUIRE(after->back().is_c2pa_manifest() && after->back().body.view() == manifest);
    std::string kept;
    for (const WarcRecord& record : *before)
        if (!record.is_c2pa_manifest()) kept.append(data.substr(record.offset, record.length));
    REQUIRE(written.starts_with(kept));
    REQUIRE(after->size() == 1 + static_cast<std::size_t>(std::count_if(
                                     before->begin(), before->end(), [](const WarcRecord& r) { return !r.is_c2pa_manifest(); })));
    Result<ByteBuffer> found = find_manifest(written);
    REQUIRE(found.has_value() && found->view() == manifest);
}

// Texts cut from the input: the built record either is refused for CR or LF, or
// reads back with exactly the fields written.
void check_builder(std::string_view data) {
    const std::size_t quarter = data.size() / 4;
    const RecordFields fields{data.substr(0, quarter), data.substr(quarter, quarter), data.substr(2 * quarter, quarter),
                              data.size() % 2 ? std::optional(data.substr(3 * quarter, 3)) : std::nullopt,
                              data.substr(3 * quarter)};
    Result<ByteBuffer> built = build_record(fields, kNow);
    const bool has_line_break = data.substr(0, 3 * quarter).find_first_of("\r\n") != std::string_view::npos ||
                                (fields.target_uri && fields.target_uri->find_first_of("\r\n") != std::string_view::npos);
    REQUIRE(built.has_value() != has_line_break);
    if (!built) return;
    Result<std::vector<WarcRecord>> parsed = parse_records(built->view());
    // Texts that are not UTF-8 make a header block the reader refuses; that is the
    // only way a record built from texts free of CR and LF may fail to read back.
    if (!parsed) {
        REQUIRE(parsed.error().message() == "non-UTF-8 header");
        return;
    }
    REQUIRE(parsed->size() == 1);
    const WarcRecord& record = (*parsed)[0];
    REQUIRE(record.offset == 0 && record.length == built->size() && record.body.view() == fields.body);
    REQUIRE(record.headers.size() == (fields.target_uri ? 6u : 5u));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    check_reader(data);
    check_appender(data, data.substr(0, size % 64));
    check_builder(data);
    return 0;
}
