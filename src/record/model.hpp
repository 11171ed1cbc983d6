#pragma once
// The record model: a parsed record, borrowed (RecordView, from the scanner)
// or owned (WarcRecord, from parse_records), and the manifest store marks.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "record/byte_buffer.hpp"

namespace vellumark {

/// The two header values that make a record the manifest store record.
inline constexpr std::string_view kManifestWarcType = "c2paprovenance";
inline constexpr std::string_view kManifestContentType = "application/c2pa";

/// Header name (trimmed, lower-cased) to value (trimmed). Iteration order is unspecified.
using HeaderMap = std::unordered_map<std::string, std::string>;

/// One header line as it stands in the archive, split at its first ":" and
/// trimmed. The name keeps its case: lookups compare it lower-cased.
struct HeaderField {
    std::string_view name;
    std::string_view value;
};

/// The value of the last of `fields` whose lower-cased name is `lower_name`:
/// where a name stands more than once, the last occurrence counts.
[[nodiscard]] std::optional<std::string_view> last_field(std::span<const HeaderField> fields,
                                                         std::string_view lower_name) noexcept;

/// A record borrowed from the archive: every view points into the scanned data.
struct RecordView {
    /// The header lines in archive order, the version line left out. A name may
    /// stand more than once; the last occurrence is the one that counts.
    std::span<const HeaderField> fields;
    std::string_view body;
    std::uint64_t offset = 0;  ///< position of the "W" of the version line
    std::uint64_t length = 0;  ///< bytes from offset through the consumed separator

    /// The value of the last field whose lower-cased name is `lower_name`.
    [[nodiscard]] std::optional<std::string_view> header(std::string_view lower_name) const noexcept;
    [[nodiscard]] bool is_c2pa_manifest() const noexcept;
};

/// A record that owns its data and keeps no reference into the archive.
struct WarcRecord {
    HeaderMap headers;
    ByteBuffer body;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;

    [[nodiscard]] bool is_c2pa_manifest() const noexcept;
};

/// The manifest store rule, given a record's WARC-Type and Content-Type values.
/// Values compare exactly: case, hyphens and parameters all count.
[[nodiscard]] bool marks_c2pa_manifest(std::optional<std::string_view> warc_type,
                                       std::optional<std::string_view> content_type) noexcept;

}  // namespace vellumark
