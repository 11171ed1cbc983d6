#include "record/scanner.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <string>

#include "record/text.hpp"
#include "record/utf8.hpp"

namespace vellumark {
namespace {

constexpr std::string_view kVersion = "WARC/1.1";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
// Enough to decide any version line read: "WARC/0.18" and the byte after it.
constexpr std::size_t kVersionBytes = 10;
// A stray line is a few bytes a short Content-Length left; past this it is data.
constexpr std::size_t kMaxStrayLine = 64 << 10;

// The versions before 1.1 that share its record grammar, each followed by one
// of these bytes so that "WARC/1.05" is not taken for 1.0.
constexpr std::array<std::string_view, 3> kOldVersions = {"1.0", "0.18", "0.17"};
constexpr std::string_view kVersionEnds = "\r\n \t";

bool is_line_break(char c) noexcept { return c == '\n' || c == '\r'; }

// Writers put CR LF runs between records, and some a stray one after the last
// record: they belong to no record and are stepped over.
std::size_t skip_line_breaks(std::string_view data, std::size_t pos) noexcept {
    while (pos < data.size() && is_line_break(data[pos])) ++pos;
    return pos;
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

bool is_prefix_of(std::string_view part, std::string_view whole) noexcept { return whole.starts_with(part); }

// Whether the first bytes could still grow into a version line.
bool could_start_version(std::string_view rest) noexcept {
    const std::string_view head = rest.substr(0, 5);
    return equals_lowered(head, std::string_view("warc/").substr(0, head.size()));
}

bool is_ascii_white_space(std::string_view text) noexcept {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

std::optional<std::string_view> RecordHead::header(std::string_view lower_name) const noexcept {
    return last_field(fields, lower_name);
}

Step StreamScanner::fail(ScanFault fault, std::uint64_t offset, std::string detail) {
    error_ = ScanError{fault, offset, std::move(detail)};
    return Step::Failed;
}

Step StreamScanner::need(std::size_t consumed, std::size_t wanted) {
    consumed_ = consumed;
    position_ += consumed;
    wanted_ = wanted;
    return Step::NeedMore;
}

// Only the first bytes are tested for 1.1: "WARC/1.10" or trailing text on the
// version line passes, as the module has always read it.
std::optional<std::string_view> StreamScanner::version_at(std::string_view rest) const noexcept {
    if (rest.starts_with(kVersion)) return kVersion.substr(5);
    if (!grammar_.old_versions || rest.size() < 5 || !equals_lowered(rest.substr(0, 5), "warc/")) return std::nullopt;
    const std::string_view number = rest.substr(5);
    if (number.starts_with("1.1")) return kVersion.substr(5);
    for (std::string_view old : kOldVersions)
        // The end of the data counts as the end of the line: such an archive is truncated, not of another version.
        if (number.starts_with(old) &&
            (number.size() == old.size() || kVersionEnds.find(number[old.size()]) != std::string_view::npos))
            return old;
    return std::nullopt;
}

Step StreamScanner::read_head(std::string_view input, bool final) {
    consumed_ = wanted_ = trailing_ = 0;
    const std::size_t start = skip_line_breaks(input, 0);
    const std::string_view rest = input.substr(start);
    if (rest.empty()) {
        if (final) return position_ += start, consumed_ = start, Step::End;
        return need(start, 1);
    }
    if (rest.size() < kVersionBytes && !final && could_start_version(rest)) return need(start, kVersionBytes);
    if (!final && grammar_.trailing_white_space && rest.size() < kMaxStrayLine && is_ascii_white_space(rest))
        return need(start, rest.size() + 1);  // white space the end of the data may follow
    if (final && grammar_.trailing_white_space && is_ascii_white_space(rest)) {
        trailing_ = rest.size();
        consumed_ = input.size();
        position_ += input.size();
        return Step::End;
    }
    const std::uint64_t offset = position_ + start;
    const std::optional<std::string_view> version = version_at(rest);
    if (!version) return fail(ScanFault::BadVersion, offset);

    const std::size_t from = searched_ > 3 ? searched_ - 3 : 0;
    const std::optional<std::size_t> header_end = find_header_end(rest, from);
    if (!header_end) {
        if (rest.size() > grammar_.max_header) return fail(ScanFault::HeaderTooLong, offset);
        if (final) return fail(ScanFault::UnterminatedHeader, offset);
        searched_ = rest.size();
        // Twice as much before the next search keeps a long header linear, however it is fed.
        return need(start, rest.size() * 2 + 4);
    }
    searched_ = 0;
    if (*header_end + kHeaderEnd.size() > grammar_.max_header) return fail(ScanFault::HeaderTooLong, offset);
    head_ = RecordHead{};
    head_.version = *version;
    head_.offset = offset;
    head_.header_length = *header_end + kHeaderEnd.size();
    const Step block = read_block(rest.substr(0, *header_end));
    if (block != Step::Done) return block;
    consumed_ = start + head_.header_length;
    position_ += consumed_;
    in_body_ = true;
    return Step::Done;
}

Step StreamScanner::read_block(std::string_view block) {
    if (!is_valid_utf8(block)) return fail(ScanFault::NonUtf8Header, head_.offset);
    split_fields(block);
    return read_length();
}

// Fills the fields from the header block, skipping its first line, the version
// line (which may itself hold a colon). A line without a colon is no field.
void StreamScanner::split_fields(std::string_view block) {
    fields_.clear();
    unfolded_.clear();
    std::size_t line_end = block.find('\n');
    while (line_end != std::string_view::npos) {
        block.remove_prefix(line_end + 1);
        line_end = block.find('\n');
        const std::string_view line = strip_line_end(block.substr(0, line_end));
        if (grammar_.folded_lines && !fields_.empty() && (line.starts_with(' ') || line.starts_with('\t'))) {
            // As warcio joins them: the continuation line as it stands, appended.
            std::string& joined = unfolded_.emplace_back(fields_.back().value);
            joined.append(line);
            fields_.back().value = trim_white_space(joined);
            head_.folded = true;
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view raw_name = line.substr(0, colon);
        const std::string_view name = trim_white_space(raw_name);
        head_.padded_name = head_.padded_name || name.size() != raw_name.size();
        fields_.push_back({name, trim_white_space(line.substr(colon + 1))});
    }
    head_.fields = fields_;
}

Step StreamScanner::read_length() {
    const std::optional<std::string_view> text = head_.header("content-length");
    if (!text) return fail(ScanFault::MissingLength, head_.offset);
    const std::optional<std::uint64_t> length = parse_content_length(*text);
    if (!length) return fail(ScanFault::InvalidLength, head_.offset);
    if (grammar_.refuse_differing_lengths) {
        // Other readers take the first field, the module the last: where they
        // differ, a record could hide another from one reader.
        for (const HeaderField& field : fields_) {
            if (!equals_lowered(field.name, "content-length") || field.value == *text) continue;
            if (parse_content_length(field.value) != length)
                return fail(ScanFault::DifferingLengths, head_.offset,
                            std::string(field.value) + " and " + std::string(*text));
        }
    }
    head_.body_length = *length;
    return Step::Done;
}

Step StreamScanner::read_tail(std::string_view input, bool final) {
    consumed_ = wanted_ = 0;
    if (in_body_) {
        position_ += head_.body_length;
        in_body_ = false;
    }
    tail_ = RecordTail{};
    if (input.empty() && !final) return need(0, 1);
    // CR LF CR LF, or the LF LF some writers use. A lone CR LF is not taken;
    // the next record steps over it.
    for (std::string_view separator : {kHeaderEnd, std::string_view("\n\n")}) {
        const std::string_view seen = input.substr(0, separator.size());
        if (seen.empty() || seen[0] != separator[0]) continue;
        if (seen == separator) {
            tail_.separator = separator.size();
            break;
        }
        if (!final && is_prefix_of(seen, separator)) return need(0, separator.size());
    }
    if (tail_.separator == 0 && grammar_.stray_lines && !input.empty() && !is_line_break(input[0])) {
        bool need_more = false;
        tail_.stray = stray_line(input, final, need_more);
        if (need_more) return need(0, input.size() + kVersionBytes);
    }
    consumed_ = tail_.separator + tail_.stray;
    position_ += consumed_;
    return Step::Done;
}

// Like warcio, one line of stray bytes right after a body (a Content-Length a
// few bytes short leaves them) is stepped over when a record or the end of the
// data follows it. Its length, or 0 when it is no such line.
std::size_t StreamScanner::stray_line(std::string_view input, bool final, bool& need_more) const noexcept {
    if (version_at(input)) return 0;  // a record glued to the body: no stray bytes
    const std::size_t line_end = input.substr(0, kMaxStrayLine).find('\n');
    if (line_end == std::string_view::npos) {
        if (!final && input.size() < kMaxStrayLine) need_more = true;
        return final && input.size() < kMaxStrayLine ? input.size() : 0;
    }
    const std::size_t after = skip_line_breaks(input, line_end + 1);
    const std::string_view next = input.substr(after);
    if (next.empty() && final) return line_end + 1;
    if (next.size() < kVersionBytes && !final) {
        need_more = true;
        return 0;
    }
    return version_at(next) ? line_end + 1 : 0;
}

Error module_error(const ScanError& error) {
    switch (error.fault) {
        case ScanFault::BadVersion:
            return Error::invalid_record("expected WARC/1.1 at offset " + std::to_string(error.offset));
        case ScanFault::UnterminatedHeader:
        case ScanFault::HeaderTooLong:
            return Error::invalid_record("unterminated header");
        case ScanFault::NonUtf8Header:
            return Error::invalid_record("non-UTF-8 header");
        case ScanFault::MissingLength:
            return Error::invalid_record("missing Content-Length");
        case ScanFault::InvalidLength:
        case ScanFault::DifferingLengths:
            break;
    }
    return Error::invalid_record("invalid Content-Length");
}

Result<bool> RecordScanner::next() {
    if (failed_) return false;
    const Step head = scanner_.read_head(data_.substr(pos_), true);
    pos_ += scanner_.consumed();
    if (head == Step::End) return false;
    if (head == Step::Failed) {
        failed_ = true;
        return module_error(scanner_.error());
    }
    const RecordHead& read = scanner_.head();
    // Compared against what is left, so that no sum can wrap around.
    if (read.body_length > data_.size() - pos_) {
        failed_ = true;
        return Error::invalid_record("body extends past end of data");
    }
    const auto body_length = static_cast<std::size_t>(read.body_length);
    record_.fields = read.fields;
    record_.body = data_.substr(pos_, body_length);
    record_.offset = read.offset;
    pos_ += body_length;
    const Step tail = scanner_.read_tail(data_.substr(pos_), true);
    static_cast<void>(tail);  // with all the data at hand, a tail is always read
    pos_ += scanner_.consumed();
    record_.length = pos_ - read.offset;
    return true;
}

}  // namespace vellumark
