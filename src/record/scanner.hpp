#pragma once
// The record grammar, in one place: a scanner fed bytes as they come, which
// reads each record's header block in place and never its body (where the body
// starts and how long it is are told; the caller skips it or hands it out).
// The module reads whole WARC/1.1 archives with it; the tools' reader feeds it
// archives of every version a piece at a time.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "record/model.hpp"

namespace vellumark {

/// What is read beyond WARC/1.1 as the module reads it. Each leniency is one
/// that warcio also has, so that both read such an archive alike.
struct Grammar {
    bool old_versions = false;              ///< WARC/1.0, 0.18 and 0.17 too, and "warc/" in lower case
    bool folded_lines = false;              ///< a line that starts with SP or HT continues the field before it
    bool stray_lines = false;               ///< one line of stray bytes right after a body is stepped over
    bool refuse_differing_lengths = false;  ///< two Content-Length fields that disagree: readers would differ
    bool trailing_white_space = false;      ///< white space after the last record ends the archive
    std::size_t max_header = SIZE_MAX;      ///< a longer header block is refused instead of gathered
};

/// The module's grammar: WARC/1.1 only, the last of several Content-Length fields counts.
inline constexpr Grammar kModuleGrammar{};
/// The tools' grammar: every version that shares the record grammar, and warcio's leniencies.
inline constexpr Grammar kToolsGrammar{true, true, true, true, true, std::size_t{16} << 20};

enum class ScanFault {
    BadVersion,          ///< no version line this grammar reads where a record must start
    UnterminatedHeader,  ///< the data ends before CR LF CR LF
    HeaderTooLong,       ///< no CR LF CR LF within Grammar::max_header
    NonUtf8Header,
    MissingLength,
    InvalidLength,
    DifferingLengths,    ///< detail: the two values
};

struct ScanError {
    ScanFault fault = ScanFault::BadVersion;
    std::uint64_t offset = 0;  ///< where the record starts (or should)
    std::string detail;
};

/// A record's header block, borrowed from the input of the call that read it
/// (folded values from the scanner): valid until the next call.
struct RecordHead {
    std::span<const HeaderField> fields;  ///< in line order, the version line left out
    std::string_view version;             ///< "1.1", "1.0", "0.18" or "0.17"
    std::uint64_t offset = 0;             ///< of the version line in the stream
    std::size_t header_length = 0;        ///< the version line through CR LF CR LF
    std::uint64_t body_length = 0;
    bool padded_name = false;  ///< a field name with white space around it, which other readers do not read
    bool folded = false;       ///< a field continued on another line

    /// The value of the last field whose lower-cased name is `lower_name`.
    [[nodiscard]] std::optional<std::string_view> header(std::string_view lower_name) const noexcept;
};

/// What ends a record after its body.
struct RecordTail {
    std::size_t separator = 0;  ///< CR LF CR LF, LF LF, or nothing
    std::size_t stray = 0;      ///< a line of stray bytes stepped over after the body (Grammar::stray_lines)
};

enum class Step {
    Done,      ///< a header or a tail was read
    NeedMore,  ///< call again with more input (at least wanted() bytes)
    End,       ///< no record follows
    Failed,    ///< error() says why; the scan is over
};

/// The resumable scanner. Each call takes `input`, the unread bytes from
/// position() on, and `final`, true when no more will follow; afterwards the
/// caller drops consumed() bytes from the front of its input. Calls alternate:
/// read_head(), then (after the caller has passed head().body_length bytes of
/// body, which the scanner never sees) read_tail(), and so on.
class StreamScanner {
public:
    explicit StreamScanner(Grammar grammar = kModuleGrammar) noexcept : grammar_(grammar) {}

    [[nodiscard]] Step read_head(std::string_view input, bool final);
    [[nodiscard]] Step read_tail(std::string_view input, bool final);

    [[nodiscard]] const RecordHead& head() const noexcept { return head_; }
    [[nodiscard]] const RecordTail& tail() const noexcept { return tail_; }
    [[nodiscard]] const ScanError& error() const noexcept { return error_; }
    [[nodiscard]] std::size_t consumed() const noexcept { return consumed_; }
    [[nodiscard]] std::size_t wanted() const noexcept { return wanted_; }
    /// Bytes of white space after the last record (Grammar::trailing_white_space), at End.
    [[nodiscard]] std::size_t trailing() const noexcept { return trailing_; }
    /// Where the next unread byte stands in the stream.
    [[nodiscard]] std::uint64_t position() const noexcept { return position_; }

private:
    Step fail(ScanFault fault, std::uint64_t offset, std::string detail = {});
    Step need(std::size_t consumed, std::size_t wanted);
    [[nodiscard]] std::optional<std::string_view> version_at(std::string_view rest) const noexcept;
    Step read_block(std::string_view block);
    void split_fields(std::string_view block);
    Step read_length();
    [[nodiscard]] std::size_t stray_line(std::string_view input, bool final, bool& need_more) const noexcept;

    Grammar grammar_;
    bool in_body_ = false;
    std::uint64_t position_ = 0;
    std::size_t consumed_ = 0;
    std::size_t wanted_ = 0;
    std::size_t searched_ = 0;  // bytes of an unterminated header already searched for its end
    std::size_t trailing_ = 0;
    std::vector<HeaderField> fields_;  // reused from record to record
    std::deque<std::string> unfolded_;  // folded values joined; a deque keeps them in place as it grows
    RecordHead head_;
    RecordTail tail_;
    ScanError error_;
};

/// A whole archive in memory, read record by record with the module's grammar
/// and messages: the module's reader.
class RecordScanner {
public:
    /// `data` must outlive the scanner and every view it yields.
    explicit RecordScanner(std::string_view data) noexcept : data_(data) {}

    /// Reads the next record: true when one was read, false at the end of the
    /// data, or the error that makes the next record malformed (which ends the scan).
    [[nodiscard]] Result<bool> next();

    /// The record the last successful next() read; valid until next() is called again.
    [[nodiscard]] const RecordView& record() const noexcept { return record_; }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
    bool failed_ = false;
    StreamScanner scanner_;
    RecordView record_;
};

/// The module's message for a scan error ("unterminated header", ...).
[[nodiscard]] Error module_error(const ScanError& error);

/// Calls `visit(const RecordView&)` for every record of `data` in order, and
/// returns the first parse error, if any. Records before the error have been visited.
template <class Visit>
[[nodiscard]] Result<void> for_each_record(std::string_view data, Visit&& visit) {
    RecordScanner scanner(data);
    for (;;) {
        Result<bool> more = scanner.next();
        if (!more) return std::move(more).error();
        if (!*more) return {};
        visit(scanner.record());
    }
}

}  // namespace vellumark
