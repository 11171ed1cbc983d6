#include "record/scanner.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "record/text.hpp"
#include "record/utf8.hpp"

namespace vellumark {
namespace {

constexpr std::string_view kVersion = "WARC/1.1";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// Writers put CR LF runs between records, and some a stray one after the last
// record: they belong to no record and are stepped over.
std::size_t skip_line_breaks(std::string_view data, std::size_t pos) noexcept {
    while (pos < data.size() && (data[pos] == '\n' || data[pos] == '\r')) ++pos;
    return pos;
}

// Only the eight bytes are tested: "WARC/1.10" or trailing text on the version
// line passes.
bool starts_with_version(std::string_view data, std::size_t pos) noexcept {
    return data.substr(pos).starts_with(kVersion);
}

// Position of the first CR LF CR LF wholly inside `data` that starts at or after
// `from`. memchr hunts for its first LF, which is rarer than other header bytes,
// so the search never looks before the record and costs one pass.
std::optional<std::size_t> find_header_end(std::string_view data, std::size_t from) noexcept {
    const char* const begin = data.data();
    const char* const end = begin + data.size();
    const char* lf = begin + from + 1;  // the LF follows the CR at `from` or later
    while (end - lf >= 3) {             // room for the LF and the CR LF after it
        lf = static_cast<const char*>(std::memchr(lf, '\n', static_cast<std::size_t>(end - lf - 2)));
        if (lf == nullptr) return std::nullopt;
        if (lf[-1] == '\r' && lf[1] == '\r' && lf[2] == '\n')
            return static_cast<std::size_t>(lf - 1 - begin);
        ++lf;
    }
    return std::nullopt;
}

// A line of the header block: without its LF and a CR right before it.
std::string_view strip_line_end(std::string_view line) noexcept {
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

// Splits a header line at its first ":"; a line without one is no field.
std::optional<HeaderField> split_field(std::string_view line) noexcept {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    return HeaderField{trim_white_space(line.substr(0, colon)),
                       trim_white_space(line.substr(colon + 1))};
}

// Fills `fields` from the header block, skipping its first line, the version
// line (which may itself hold a colon). Continuation lines get no special care.
void split_header_fields(std::string_view block, std::vector<HeaderField>& fields) {
    fields.clear();
    std::size_t line_end = block.find('\n');
    while (line_end != std::string_view::npos) {
        block.remove_prefix(line_end + 1);
        line_end = block.find('\n');
        if (auto field = split_field(strip_line_end(block.substr(0, line_end)))) fields.push_back(*field);
    }
}

// An optional "+", then one or more ASCII digits, below 2^64. Leading zeros
// are fine; "-", inner spaces and anything else are not.
std::optional<std::uint64_t> parse_content_length(std::string_view text) noexcept {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value, 10);
    if (ec != std::errc{} || stop != end) return std::nullopt;  // overflow, or a non-digit
    return value;
}

// Bytes of the record separator at `pos`: CR LF CR LF, or the LF LF that some
// writers use. A lone CR LF is not consumed; the next record skips it.
std::size_t separator_length(std::string_view data, std::size_t pos) noexcept {
    const std::string_view rest = data.substr(pos);
    if (rest.starts_with(kHeaderEnd)) return 4;
    if (rest.starts_with("\n\n")) return 2;
    return 0;
}

}  // namespace

Result<bool> RecordScanner::next() {
    if (failed_) return false;
    const std::size_t pos = skip_line_breaks(data_, pos_);
    if (pos == data_.size()) return false;
    if (Result<void> read = read_record(pos); !read) {
        failed_ = true;
        return std::move(read).error();
    }
    pos_ = record_.offset + record_.length;
    return true;
}

Result<void> RecordScanner::read_record(std::size_t pos) {
    if (!starts_with_version(data_, pos))
        return Error::invalid_record("expected WARC/1.1 at offset " + std::to_string(pos));
    const std::optional<std::size_t> header_end = find_header_end(data_, pos);
    if (!header_end) return Error::invalid_record("unterminated header");
    const std::string_view block = data_.substr(pos, *header_end - pos);
    if (!is_valid_utf8(block)) return Error::invalid_record("non-UTF-8 header");

    split_header_fields(block, fields_);
    record_.fields = fields_;
    const std::optional<std::string_view> length_text = record_.header("content-length");
    if (!length_text) return Error::invalid_record("missing Content-Length");
    const std::optional<std::uint64_t> body_length = parse_content_length(*length_text);
    if (!body_length) return Error::invalid_record("invalid Content-Length");

    const std::size_t body_start = *header_end + kHeaderEnd.size();
    // Compared against what is left, so that no sum can wrap around.
    if (*body_length > data_.size() - body_start)
        return Error::invalid_record("body extends past end of data");
    const std::size_t body_end = body_start + static_cast<std::size_t>(*body_length);

    record_.body = data_.substr(body_start, static_cast<std::size_t>(*body_length));
    record_.offset = pos;
    record_.length = body_end + separator_length(data_, body_end) - pos;
    return {};
}

}  // namespace vellumark
