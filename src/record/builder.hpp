#pragma once
// The record writer: the one place that decides the bytes of a record this
// library writes.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "record/byte_buffer.hpp"

namespace vellumark {

/// What a built record holds. Texts are UTF-8; record_id goes without angle brackets.
struct RecordFields {
    std::string_view warc_type;
    std::string_view content_type;
    std::string_view record_id;
    std::optional<std::string_view> target_uri;  ///< absent: no WARC-Target-URI field
    std::string_view body;
};

/// A record whose bytes are decided but not yet written, so that the caller can
/// allocate the exact output first. It borrows the texts and body of its fields.
class RecordLayout {
public:
    [[nodiscard]] std::size_t size() const noexcept;
    /// Writes the record into `out`, which must be exactly size() bytes long.
    void write_to(std::span<char> out) const noexcept;

private:
    friend Result<RecordLayout> lay_out_record(const RecordFields& fields, std::uint64_t now);
    RecordLayout(const RecordFields& fields, std::string date);

    RecordFields fields_;
    std::string date_;
    std::string content_length_;
};

/// Lays out a record stamped with `now` (seconds since the Unix epoch). Fails
/// with InvalidRecord "CR or LF in <field name>" for a text holding CR or LF,
/// since such a header block would not read back as written.
[[nodiscard]] Result<RecordLayout> lay_out_record(const RecordFields& fields, std::uint64_t now);

/// Builds a record stamped with `now`, or with the wall clock when `now` is absent.
[[nodiscard]] Result<ByteBuffer> build_record(const RecordFields& fields,
                                              std::optional<std::uint64_t> now = std::nullopt);

/// Refuses a header text holding CR or LF, naming the field it was meant for.
[[nodiscard]] Result<void> check_header_text(std::string_view text, std::string_view field_name);

/// The WARC-Date text of a moment: 2024-03-07T05:09:01Z, the year padded to
/// four digits and longer when it needs to be.
[[nodiscard]] std::string format_warc_date(std::uint64_t seconds);

/// Whole seconds since the Unix epoch from the system clock; 0 before the epoch.
[[nodiscard]] std::uint64_t wall_clock_seconds() noexcept;

/// Header field names the builder writes.
inline constexpr std::string_view kWarcTypeField = "WARC-Type";
inline constexpr std::string_view kRecordIdField = "WARC-Record-ID";
inline constexpr std::string_view kTargetUriField = "WARC-Target-URI";
inline constexpr std::string_view kDateField = "WARC-Date";
inline constexpr std::string_view kContentTypeField = "Content-Type";
inline constexpr std::string_view kContentLengthField = "Content-Length";

}  // namespace vellumark
