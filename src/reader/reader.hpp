#pragma once
// The tools' archive reader: bytes from a source (a file descriptor, a window
// of one, a stream), inflated member by member when gzipped, scanned record by
// record, and handed out as items of a bounded queue that a read-ahead thread
// fills while the caller handles the records before. No Python here.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "reader/thread.hpp"

namespace vellumark {

/// Where the archive's bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    /// Up to `into.size()` bytes, 0 at the end; a failure sets `error` (an errno value).
    virtual std::size_t read(std::span<char> into, int& error) = 0;
    /// Bytes left, when known (a regular file): a record cannot claim more.
    [[nodiscard]] virtual std::optional<std::uint64_t> size() const { return std::nullopt; }
    /// Ends a read that waits now, and every later one, with ECANCELED: the
    /// reader is closing (from another thread than the one reading).
    virtual void cancel() noexcept {}
};

/// `length` bytes of a regular file from `start`, read by position (pread), so
/// that the descriptor's own offset is left alone. (Anything else, a pipe, is
/// read as a stream through the caller's source.)
class FdSource final : public ByteSource {
public:
    FdSource(int fd, std::uint64_t start, std::uint64_t length) noexcept
        : fd_(fd), position_(start), left_(length), size_(length) {}
    std::size_t read(std::span<char> into, int& error) override;
    [[nodiscard]] std::optional<std::uint64_t> size() const override { return size_; }

private:
    int fd_;
    std::uint64_t position_;
    std::uint64_t left_;
    std::uint64_t size_;
};

/// A pipe, FIFO or socket read from where it stands, after `head` (bytes the
/// caller read from it already). A read waits in poll() beside a wake-up pipe,
/// so that closing the reader never waits for a writer that sends nothing.
class PipeSource final : public ByteSource {
public:
    PipeSource(int fd, std::string head);
    ~PipeSource() override;
    PipeSource(const PipeSource&) = delete;
    PipeSource& operator=(const PipeSource&) = delete;
    std::size_t read(std::span<char> into, int& error) override;
    void cancel() noexcept override;

private:
    int fd_;
    std::string head_;
    std::size_t head_taken_ = 0;
    int wake_[2] = {-1, -1};  // cancel() writes to [1]; a read waits on [0] too
};

/// A piece of storage the reader fills; bodies handed out borrow it.
struct Block {
    explicit Block(std::size_t size) : data(new char[size]), capacity(size) {}
    std::unique_ptr<char[]> data;
    std::size_t capacity;
};

/// A stretch of a body, borrowed from the reader's storage (never copied).
struct BodyPiece {
    std::shared_ptr<const Block> block;
    std::size_t offset = 0;
    std::size_t size = 0;
    [[nodiscard]] std::string_view view() const noexcept { return {block->data.get() + offset, size}; }
};

/// A header field as offsets into RecordItem::text.
struct FieldSpan {
    std::uint32_t name = 0, name_size = 0, value = 0, value_size = 0;
};

/// Where a record stands in the file: in a .warc.gz, its gzip member.
struct Placement {
    std::uint64_t file_offset = 0;
    std::optional<std::uint64_t> file_length;  ///< none: it shares or spans gzip members
    bool own_member = false;
    std::size_t separator = 0;
};

struct RecordItem {
    std::string text;  // the header block, then any folded values
    std::vector<FieldSpan> fields;
    std::string version;
    std::uint64_t offset = 0;  // in the uncompressed archive
    std::uint64_t header_length = 0;
    std::uint64_t body_length = 0;
    Placement placement;  // final unless `streamed`: then a PlacementItem follows the body
    bool streamed = false;  // the body follows as BodyPiece items instead of `body`
    bool starts_member = false;  // it starts where a gzip member starts
    std::vector<BodyPiece> body;

    [[nodiscard]] std::string_view field_name(const FieldSpan& f) const { return {text.data() + f.name, f.name_size}; }
    [[nodiscard]] std::string_view field_value(const FieldSpan& f) const {
        return {text.data() + f.value, f.value_size};
    }
};

/// Something unusual the reader stepped over, for a warning.
struct WarningItem {
    std::string kind;  // "stray", "trailing", "trailing-line-end", "padded-name", "folded", "lower-case-version"
    std::uint64_t offset = 0;
    std::uint64_t count = 0;
    std::string detail;
};

/// Why reading stopped early. Messages are made by the caller from these parts.
struct ErrorItem {
    std::string kind;  // a scan fault, "truncated-body", "record-too-large", or a gzip fault
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> member;  // compressed offset of the member it stands in
    std::string head;                     // the bytes where it stands (up to 64)
    std::string detail;
    int error_number = 0;  // a read failure
};

struct EndItem {
    bool compressed = false;
    std::uint64_t members = 0;
    std::uint64_t size = 0;      // uncompressed bytes
    std::uint64_t data_end = 0;  // where the data ends in the file (padding after it is not data)
};

using Item = std::variant<RecordItem, BodyPiece, Placement, WarningItem, ErrorItem, EndItem>;

struct ReaderOptions {
    std::uint64_t member_limit = std::uint64_t{4} << 30;
    std::size_t queue_bytes = std::size_t{4} << 20;  // bodies held ahead of the caller (twice this at most)
    std::size_t attach_limit = std::size_t{4} << 20;  // larger bodies are streamed through the queue
    unsigned threads = 1;  // inflating the members of a .warc.gz at once
};

/// The records of one archive, as queue items in archive order.
class ArchiveReader {
public:
    ArchiveReader(std::unique_ptr<ByteSource> source, ReaderOptions options);
    ~ArchiveReader();
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    /// The next item; blocks until the read-ahead thread has one. After an
    /// ErrorItem or the EndItem there are no more.
    [[nodiscard]] Item next();
    /// The same, or none when `wait` passed first (the caller may then see to
    /// its signals, and ask again).
    [[nodiscard]] std::optional<Item> next_for(std::chrono::milliseconds wait);

private:
    class Producer;
    void run();
    void push(Item item);
    void publish();
    [[nodiscard]] static std::size_t weight(const Item& item) noexcept;

    std::unique_ptr<Producer> producer_;
    ReaderOptions options_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Item> queue_;     // published, not taken yet
    std::size_t queued_bytes_ = 0;
    std::vector<Item> pending_;  // the producer's, not published yet: items go over in batches
    std::size_t pending_bytes_ = 0;
    std::deque<Item> taken_;     // the consumer's, taken in one go
    bool stopping_ = false;
    bool finished_ = false;  // the producer pushed its last item
    Thread thread_;
};

}  // namespace vellumark
