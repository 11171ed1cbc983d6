#pragma once
// Carrying a C2PA Manifest Store in an archive: finding the manifest store
// record, and rewriting an archive so that it ends with exactly one.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "record/builder.hpp"
#include "record/byte_buffer.hpp"

namespace vellumark {

/// The body of the manifest store record nearest the end of `archive`, borrowed
/// from it; NoManifest when there is none, or the parse error.
[[nodiscard]] Result<std::string_view> locate_manifest(std::string_view archive);

/// As locate_manifest, but a copy of the body.
[[nodiscard]] Result<ByteBuffer> find_manifest(std::string_view archive);

/// An appended archive whose bytes are decided but not yet written: the parts
/// of the old archive to keep, then the new manifest store record. It borrows
/// the archive and the manifest.
class ManifestAppend {
public:
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// Writes the new archive into `out`, which must be exactly size() bytes long.
    void write_to(std::span<char> out) const noexcept;

private:
    friend Result<ManifestAppend> plan_manifest_append(std::string_view, std::string_view,
                                                       std::string_view, std::uint64_t);
    struct Range {
        std::size_t offset;
        std::size_t length;
    };
    ManifestAppend(std::string_view archive, std::vector<Range> kept, RecordLayout record) noexcept;

    std::string_view archive_;
    std::vector<Range> kept_;  // adjacent records merged into one range
    RecordLayout record_;
    std::size_t size_;
};

/// Plans the archive that keeps every record of `archive` except manifest store
/// records, byte for byte and in order, and ends with a new manifest store record
/// holding `manifest`, stamped with `now`. Fails, in this order, on empty archive
/// data, on a record ID holding CR or LF, and on an archive that does not parse.
[[nodiscard]] Result<ManifestAppend> plan_manifest_append(std::string_view archive,
                                                          std::string_view manifest,
                                                          std::string_view record_id,
                                                          std::uint64_t now);

/// Writes the planned archive; the wall clock stamps it when `now` is absent.
[[nodiscard]] Result<ByteBuffer> append_manifest(std::string_view archive, std::string_view manifest,
                                                 std::string_view record_id,
                                                 std::optional<std::uint64_t> now = std::nullopt);

}  // namespace vellumark
