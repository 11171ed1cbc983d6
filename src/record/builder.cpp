#include "record/builder.hpp"

#include <cassert>
#include <cstring>
#include <string>

namespace vellumark {
namespace {

constexpr std::string_view kVersionLine = "WARC/1.1\r\n";
constexpr std::string_view kNameEnd = ": ";
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kSeparator = "\r\n\r\n";  // consumed by the reader as part of the record

// Writes the pieces of a record front to back into a buffer already sized for them.
class Cursor {
public:
    explicit Cursor(std::span<char> out) noexcept : out_(out) {}
    Cursor& put(std::string_view bytes) noexcept {
        assert(bytes.size() <= out_.size());
        if (!bytes.empty()) std::memcpy(out_.data(), bytes.data(), bytes.size());
        out_ = out_.subspan(bytes.size());
        return *this;
    }
    [[nodiscard]] bool at_end() const noexcept { return out_.empty(); }

private:
    std::span<char> out_;
};

// One "Name: value" CR LF line, in the order a record holds them; the sizes
// and the writing both walk this list, so they cannot disagree.
struct Line {
    std::string_view name;
    std::string_view prefix;  // between ": " and the value (the "<" of a record ID)
    std::string_view value;
    std::string_view suffix;
};

template <class Visit>
void for_each_line(const RecordFields& fields, std::string_view date, std::string_view length,
                   Visit&& visit) {
    visit(Line{kWarcTypeField, {}, fields.warc_type, {}});
    visit(Line{kRecordIdField, "<", fields.record_id, ">"});
    if (fields.target_uri) visit(Line{kTargetUriField, {}, *fields.target_uri, {}});
    visit(Line{kDateField, {}, date, {}});
    visit(Line{kContentTypeField, {}, fields.content_type, {}});
    visit(Line{kContentLengthField, {}, length, {}});
}

}  // namespace

Result<void> check_header_text(std::string_view text, std::string_view field_name) {
    if (text.find_first_of(kCrLf) != std::string_view::npos)
        return Error::invalid_record("CR or LF in " + std::string(field_name));
    return {};
}

RecordLayout::RecordLayout(const RecordFields& fields, std::string date)
    : fields_(fields), date_(std::move(date)), content_length_(std::to_string(fields.body.size())) {}

Result<RecordLayout> lay_out_record(const RecordFields& fields, std::uint64_t now) {
    // Checked in parameter order, so the first bad text is the one named.
    for (auto [text, name] : {std::pair{fields.warc_type, kWarcTypeField},
                              std::pair{fields.content_type, kContentTypeField},
                              std::pair{fields.record_id, kRecordIdField}}) {
        if (Result<void> ok = check_header_text(text, name); !ok) return std::move(ok).error();
    }
    if (fields.target_uri) {
        if (Result<void> ok = check_header_text(*fields.target_uri, kTargetUriField); !ok)
            return std::move(ok).error();
    }
    return RecordLayout(fields, format_warc_date(now));
}

std::size_t RecordLayout::size() const noexcept {
    std::size_t size = kVersionLine.size() + kCrLf.size() + fields_.body.size() + kSeparator.size();
    for_each_line(fields_, date_, content_length_, [&](const Line& line) {
        size += line.name.size() + kNameEnd.size() + line.prefix.size() + line.value.size() +
                line.suffix.size() + kCrLf.size();
    });
    return size;
}

void RecordLayout::write_to(std::span<char> out) const noexcept {
    assert(out.size() == size());
    Cursor cursor(out);
    cursor.put(kVersionLine);
    for_each_line(fields_, date_, content_length_, [&](const Line& line) {
        cursor.put(line.name).put(kNameEnd).put(line.prefix).put(line.value).put(line.suffix).put(kCrLf);
    });
    cursor.put(kCrLf).put(fields_.body).put(kSeparator);
    assert(cursor.at_end());
}

Result<ByteBuffer> build_record(const RecordFields& fields, std::optional<std::uint64_t> now) {
    Result<RecordLayout> layout = lay_out_record(fields, now ? *now : wall_clock_seconds());
    if (!layout) return std::move(layout).error();
    ByteBuffer record = ByteBuffer::for_overwrite(layout->size());
    layout->write_to(record.writable());
    return record;
}

}  // namespace vellumark
