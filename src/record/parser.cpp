#include "record/parser.hpp"

#include "record/scanner.hpp"
#include "record/text.hpp"

namespace vellumark {

WarcRecord to_owned(const RecordView& view) {
    WarcRecord record;
    for (const HeaderField& field : view.fields)
        record.headers.insert_or_assign(ascii_lower(field.name), std::string(field.value));
    record.body = ByteBuffer::copy_of(view.body);
    record.offset = view.offset;
    record.length = view.length;
    return record;
}

Result<std::vector<WarcRecord>> parse_records(std::string_view data) {
    std::vector<WarcRecord> records;
    Result<void> scanned = for_each_record(data, [&](const RecordView& view) {
        records.push_back(to_owned(view));
    });
    if (!scanned) return std::move(scanned).error();
    return records;
}

}  // namespace vellumark
