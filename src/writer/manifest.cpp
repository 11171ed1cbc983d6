#include "writer/manifest.hpp"

#include <cassert>
#include <cstring>

#include "record/model.hpp"
#include "record/scanner.hpp"

namespace vellumark {

Result<std::string_view> locate_manifest(std::string_view archive) {
    // The last match wins, so remember it and read on: the archive must still
    // parse to its end.
    std::optional<std::string_view> body;
    Result<void> scanned = for_each_record(archive, [&](const RecordView& record) {
        if (record.is_c2pa_manifest()) body = record.body;
    });
    if (!scanned) return std::move(scanned).error();
    if (!body) return Error::no_manifest();
    return *body;
}

Result<ByteBuffer> find_manifest(std::string_view archive) {
    Result<std::string_view> body = locate_manifest(archive);
    if (!body) return std::move(body).error();
    return ByteBuffer::copy_of(*body);
}

ManifestAppend::ManifestAppend(std::string_view archive, std::vector<Range> kept,
                               RecordLayout record) noexcept
    : archive_(archive), kept_(std::move(kept)), record_(std::move(record)), size_(record_.size()) {
    for (const Range& range : kept_) size_ += range.length;
}

Result<ManifestAppend> plan_manifest_append(std::string_view archive, std::string_view manifest,
                                            std::string_view record_id, std::uint64_t now) {
    // Unlike the reader, which takes empty data for an archive without records.
    if (archive.empty()) return Error::invalid_record("empty WARC data");
    Result<RecordLayout> record = lay_out_record(
        {.warc_type = kManifestWarcType, .content_type = kManifestContentType,
         .record_id = record_id, .target_uri = std::nullopt, .body = manifest},
        now);
    if (!record) return std::move(record).error();

    std::vector<ManifestAppend::Range> kept;
    Result<void> scanned = for_each_record(archive, [&](const RecordView& view) {
        if (view.is_c2pa_manifest()) return;
        const auto offset = static_cast<std::size_t>(view.offset);
        const auto length = static_cast<std::size_t>(view.length);
        if (!kept.empty() && kept.back().offset + kept.back().length == offset)
            kept.back().length += length;
        else
            kept.push_back({offset, length});
    });
    if (!scanned) return std::move(scanned).error();
    return ManifestAppend(archive, std::move(kept), std::move(*record));
}

void ManifestAppend::write_to(std::span<char> out) const noexcept {
    assert(out.size() == size_);
    for (const Range& range : kept_) {
        std::memcpy(out.data(), archive_.data() + range.offset, range.length);
        out = out.subspan(range.length);
    }
    record_.write_to(out);
}

Result<ByteBuffer> append_manifest(std::string_view archive, std::string_view manifest,
                                   std::string_view record_id, std::optional<std::uint64_t> now) {
    Result<ManifestAppend> plan =
        plan_manifest_append(archive, manifest, record_id, now ? *now : wall_clock_seconds());
    if (!plan) return std::move(plan).error();
    ByteBuffer output = ByteBuffer::for_overwrite(plan->size());
    plan->write_to(output.writable());
    return output;
}

}  // namespace vellumark
