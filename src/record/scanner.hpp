#pragma once
// The archive reader: walks WARC/1.1 records in place, yielding borrowed
// views. Nothing is copied; bodies are located by Content-Length, never read.

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "record/model.hpp"

namespace vellumark {

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
    [[nodiscard]] Result<void> read_record(std::size_t pos);

    std::string_view data_;
    std::size_t pos_ = 0;
    bool failed_ = false;
    std::vector<HeaderField> fields_;  // reused from record to record
    RecordView record_;
};

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
