#include "reader/reader.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "reader/gzip_member.hpp"
#include "reader/parallel.hpp"
#include "record/scanner.hpp"

namespace vellumark {
namespace {

constexpr std::size_t kBlock = std::size_t{1} << 20;       // storage the reader fills at a time
constexpr std::size_t kInput = std::size_t{1} << 20;       // compressed bytes read at a time
constexpr std::size_t kPartInput = std::size_t{256} << 10;    // compressed bytes a thread inflates at a time
constexpr std::size_t kMinOutput = std::size_t{64} << 10;  // the least room an inflate call gets
constexpr std::size_t kWholeMember = std::size_t{256} << 10;  // room for a member inflated at once
constexpr std::size_t kHeadBytes = 64;                     // shown of what stands where an error is
// Line ends after a record and before its member ends, looked through to tell
// whether the record has the member to itself; past this, it is taken not to.
constexpr std::size_t kMaxLineEndsInMember = std::size_t{1} << 20;

constexpr std::string_view kGzipMagic = "\x1f\x8b";

struct Failure {
    ErrorItem item;
};
struct Stopped {};

bool only_line_ends(std::string_view text) noexcept { return text.find_first_not_of("\r\n") == std::string_view::npos; }

const char* fault_name(ScanFault fault) noexcept {
    switch (fault) {
        case ScanFault::BadVersion: return "bad-version";
        case ScanFault::UnterminatedHeader: return "unterminated-header";
        case ScanFault::HeaderTooLong: return "header-too-long";
        case ScanFault::NonUtf8Header: return "non-utf8-header";
        case ScanFault::MissingLength: return "missing-length";
        case ScanFault::InvalidLength: return "invalid-length";
        case ScanFault::DifferingLengths: return "differing-lengths";
    }
    return "bad-version";
}

const char* fault_name(MemberFault fault) noexcept {
    switch (fault) {
        case MemberFault::NotGzip: return "not-gzip";
        case MemberFault::Corrupt: return "corrupt-member";
        case MemberFault::Truncated: return "truncated-member";
        case MemberFault::TooLarge: return "member-too-large";
    }
    return "not-gzip";
}

// What the version line's end says about line ends that WARC does not allow
// (header lines must end in CR LF; some writers use LF, or CR CR LF).
std::string line_end_hint(std::string_view head) {
    const std::size_t lf = head.find('\n');
    if (lf == std::string_view::npos) return {};
    if (lf == 0 || head[lf - 1] != '\r') return "bare-lf";
    if (lf >= 2 && head[lf - 2] == '\r') return "cr-cr-lf";
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------- sources

std::size_t FdSource::read(std::span<char> into, int& error) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), left_));
    if (want == 0) return 0;
    for (;;) {
        const ssize_t got = ::pread(fd_, into.data(), want, static_cast<off_t>(position_));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = errno;
            return 0;
        }
        const auto n = static_cast<std::size_t>(got);
        position_ += n;
        left_ -= n;
        return n;
    }
}

PipeSource::PipeSource(int fd, std::string head) : fd_(fd), head_(std::move(head)) {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;  // then reads wait on `fd` alone
}

PipeSource::~PipeSource() {
    for (const int end : wake_)
        if (end >= 0) ::close(end);
}

std::size_t PipeSource::read(std::span<char> into, int& error) {
    if (head_taken_ < head_.size()) {
        const std::size_t n = std::min(into.size(), head_.size() - head_taken_);
        std::memcpy(into.data(), head_.data() + head_taken_, n);
        head_taken_ += n;
        return n;
    }
    for (;;) {
        std::array<pollfd, 2> waits{pollfd{fd_, POLLIN, 0}, pollfd{wake_[0], POLLIN, 0}};
        const int ready = ::poll(waits.data(), wake_[0] >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error = errno;
            return 0;
        }
        if (waits[1].revents != 0) {
            error = ECANCELED;
            return 0;
        }
        const ssize_t got = ::read(fd_, into.data(), into.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) {
            error = errno;
            return 0;
        }
        return static_cast<std::size_t>(got);
    }
}

void PipeSource::cancel() noexcept {
    if (wake_[1] >= 0) [[maybe_unused]] const ssize_t written = ::write(wake_[1], "x", 1);
}

// ---------------------------------------------------------------------------- the producer

class ArchiveReader::Producer {
public:
    Producer(std::unique_ptr<ByteSource> source, const ReaderOptions& options)
        : source_(std::move(source)), options_(options), inflater_(options.member_limit),
          scanner_(kToolsGrammar), input_(options.threads > 1 ? kPartInput * options.threads : kInput) {}

    /// `publish` is called before every read of the source, which may block:
    /// what is ready goes to the consumer first.
    void run(const std::function<void(Item&&)>& push, std::function<void()> publish);
    /// Ends a read of the source that waits, from the consumer's thread.
    void cancel() noexcept { source_->cancel(); }

private:
    struct Member {
        std::uint64_t start;  // uncompressed
        std::optional<std::uint64_t> end;
        std::uint64_t offset;  // compressed
        std::uint64_t length = 0;
    };

    [[nodiscard]] std::string_view unread() const noexcept {
        return block_ ? std::string_view(block_->data.get() + begin_, end_ - begin_) : std::string_view();
    }
    void consume(std::size_t n) noexcept {
        begin_ += n;
        position_ += n;
    }
    std::span<char> room(std::size_t least);
    bool fill();
    bool fill_plain();
    bool fill_inflated();
    bool fill_from_parallel();
    bool inflate_ahead();
    void launch_ahead();
    std::size_t read_input(std::span<char> into);
    void sniff();
    [[nodiscard]] Failure failure(std::string kind, std::uint64_t offset, std::string detail = {}) const;
    [[nodiscard]] std::optional<std::uint64_t> member_at(std::uint64_t offset) const;
    RecordItem item_of(const RecordHead& head) const;
    void warn_about(const RecordHead& head, const std::function<void(Item&&)>& push) const;
    void read_body(RecordItem& item, const std::function<void(Item&&)>& push);
    void read_tail(const std::function<void(Item&&)>& push);
    Placement place(const RecordHead& head);
    bool alone_in_member(const Member& member, std::uint64_t record_start);
    EndItem end_item() const;

    std::unique_ptr<ByteSource> source_;
    ReaderOptions options_;
    MemberInflater inflater_;
    StreamScanner scanner_;
    bool compressed_ = false;
    bool final_ = false;  // no more uncompressed data will come
    std::shared_ptr<Block> block_;
    std::size_t begin_ = 0, end_ = 0;
    std::uint64_t position_ = 0;  // uncompressed, of block_[begin_]
    std::uint64_t produced_ = 0;  // uncompressed bytes made so far
    std::vector<char> input_;     // compressed bytes read, [input_begin_, input_end_) not inflated yet
    std::size_t input_begin_ = 0, input_end_ = 0;
    bool input_done_ = false;
    std::deque<Member> members_;
    std::function<void()> publish_;
    ArenaPool arenas_;
    std::deque<InflatedMember> ready_;  // members inflated on several threads, not handed on yet
    std::uint64_t ready_members_ = 0;   // members that came that way
    std::uint64_t sequential_until_ = 0;  // a guess failed before here: one member at a time up to it
    std::vector<InflatedMember> ahead_members_;
    // Threads last, so that they stop before what they work on goes: `ahead_`
    // inflates the members ahead (over input_, into ahead_members_) with the
    // `helpers_`, while this thread scans the members before.
    std::unique_ptr<Workers> helpers_;
    std::unique_ptr<Workers> ahead_;
    bool ahead_running_ = false;
};

Failure ArchiveReader::Producer::failure(std::string kind, std::uint64_t offset, std::string detail) const {
    ErrorItem item{std::move(kind), offset, std::nullopt, std::string(unread().substr(0, kHeadBytes)), std::move(detail), 0};
    if (compressed_) item.member = member_at(offset);
    return Failure{std::move(item)};
}

std::optional<std::uint64_t> ArchiveReader::Producer::member_at(std::uint64_t offset) const {
    std::optional<std::uint64_t> found;
    for (const Member& member : members_)
        if (member.start <= offset) found = member.offset;
    return found;
}

// Free room at the end of the storage, at least `least` bytes. The unread bytes
// move along when the storage changes: a header or a separator, never a body.
std::span<char> ArchiveReader::Producer::room(std::size_t least) {
    if (block_ && block_->capacity - end_ >= least) return {block_->data.get() + end_, block_->capacity - end_};
    const std::size_t unread_size = end_ - begin_;
    if (block_ && block_.use_count() == 1 && block_->capacity >= unread_size + least) {
        std::memmove(block_->data.get(), block_->data.get() + begin_, unread_size);  // no body borrows it
    } else {
        auto fresh = std::make_shared<Block>(std::max(kBlock, 2 * unread_size + least));
        if (unread_size > 0) std::memcpy(fresh->data.get(), block_->data.get() + begin_, unread_size);
        block_ = std::move(fresh);
    }
    begin_ = 0;
    end_ = unread_size;
    return {block_->data.get() + end_, block_->capacity - end_};
}

std::size_t ArchiveReader::Producer::read_input(std::span<char> into) {
    if (publish_) publish_();
    int error = 0;
    const std::size_t got = source_->read(into, error);
    if (error != 0) {
        Failure f = failure("read-failed", position_);
        f.item.error_number = error;
        throw f;
    }
    return got;
}

void ArchiveReader::Producer::sniff() {
    input_end_ = read_input(input_);
    compressed_ = std::string_view(input_.data(), std::min<std::size_t>(input_end_, 2)) == kGzipMagic;
    if (compressed_) return;
    const std::span<char> space = room(std::max(kBlock, input_end_));
    std::memcpy(space.data(), input_.data(), input_end_);
    end_ += input_end_;
    produced_ = input_end_;
    input_ = {};
    final_ = input_end_ == 0;
}

bool ArchiveReader::Producer::fill() {
    if (final_) return false;
    return compressed_ ? fill_inflated() : fill_plain();
}

bool ArchiveReader::Producer::fill_plain() {
    const std::span<char> space = room(kMinOutput);
    const std::size_t got = read_input(space);
    if (got == 0) {
        final_ = true;
        return false;
    }
    end_ += got;
    produced_ += got;
    return true;
}

// A member inflated ahead, handed on as if the inflater had just made it.
bool ArchiveReader::Producer::fill_from_parallel() {
    while (!ready_.empty()) {
        InflatedMember member = std::move(ready_.front());
        ready_.pop_front();
        ++ready_members_;
        members_.push_back({produced_, produced_ + member.size, member.offset, member.length});
        if (member.size == 0) continue;
        const std::span<char> space = room(std::max(member.size, kMinOutput));
        std::memcpy(space.data(), member.output().data(), member.size);
        end_ += member.size;
        produced_ += member.size;
        return true;
    }
    return false;
}

// Starts inflating the members ahead on several threads, over the compressed
// bytes at hand (topped up first), while the members before are scanned.
void ArchiveReader::Producer::launch_ahead() {
    if (input_end_ - input_begin_ < input_.size() && !input_done_) {
        std::memmove(input_.data(), input_.data() + input_begin_, input_end_ - input_begin_);
        input_end_ -= input_begin_;
        input_begin_ = 0;
        while (input_end_ < input_.size() && !input_done_) {
            const std::size_t got = read_input(std::span<char>(input_).subspan(input_end_));
            input_end_ += got;
            input_done_ = got == 0;
        }
    }
    if (input_begin_ == input_end_) return;
    const std::span<const char> data(input_.data() + input_begin_, input_end_ - input_begin_);
    if (!ahead_) {
        helpers_ = std::make_unique<Workers>(options_.threads - 1);
        ahead_ = std::make_unique<Workers>(1);
    }
    ahead_running_ = true;
    ahead_->submit([this, data, base = inflater_.position()] {
        try {
            ahead_members_ = inflate_in_parallel(data, base, options_.member_limit, arenas_, *helpers_);
        } catch (...) {  // no memory: nothing inflated ahead, one member at a time instead
            ahead_members_.clear();
        }
    });
}

// The members inflated ahead, when there are any: false when none came that
// way, and the single inflater takes the next member (and gives any error).
bool ArchiveReader::Producer::inflate_ahead() {
    if (!ahead_running_) {
        if (options_.threads < 2 || inflater_.in_member() || inflater_.position() < sequential_until_) return false;
        launch_ahead();
        if (!ahead_running_) return false;
    }
    ahead_->wait();
    ahead_running_ = false;
    std::vector<InflatedMember> members = std::move(ahead_members_);
    ahead_members_.clear();
    if (members.empty()) {
        sequential_until_ = inflater_.position() + 1;
        return false;
    }
    const std::uint64_t end = members.back().offset + members.back().length;
    input_begin_ += static_cast<std::size_t>(end - inflater_.position());
    inflater_.restart(end);
    for (InflatedMember& member : members) ready_.push_back(std::move(member));
    launch_ahead();  // the next members, while these are scanned
    return true;
}

bool ArchiveReader::Producer::fill_inflated() {
    for (;;) {
        if (fill_from_parallel()) return true;
        if ((ahead_running_ || !inflater_.in_member()) && inflate_ahead()) continue;
        if (input_begin_ == input_end_ && !input_done_) {
            input_begin_ = 0;
            input_end_ = read_input(input_);
            input_done_ = input_end_ == 0;
        }
        const bool was_in_member = inflater_.in_member();
        if (!was_in_member) {
            const std::span<char> space = room(kWholeMember);
            const Inflated whole = inflater_.inflate_whole(
                std::span<const char>(input_.data() + input_begin_, input_end_ - input_begin_), space);
            if (whole.status == Inflated::Status::MemberEnd) {
                input_begin_ += whole.consumed;
                members_.push_back({produced_, produced_ + whole.produced, inflater_.member_offset(), whole.consumed});
                end_ += whole.produced;
                produced_ += whole.produced;
                if (whole.produced > 0) return true;
                continue;
            }
        }
        const std::span<char> space = room(kMinOutput);
        const Inflated step = inflater_.inflate(
            std::span<const char>(input_.data() + input_begin_, input_end_ - input_begin_), space, input_done_);
        input_begin_ += step.consumed;
        end_ += step.produced;
        produced_ += step.produced;
        if (!was_in_member && (inflater_.in_member() || step.status == Inflated::Status::MemberEnd))
            members_.push_back({produced_ - step.produced, std::nullopt, inflater_.member_offset()});
        switch (step.status) {
            case Inflated::Status::MemberEnd:
                members_.back().end = produced_;
                members_.back().length = inflater_.member_length();
                if (step.produced > 0) return true;
                continue;
            case Inflated::Status::Output:
                if (step.produced > 0) return true;
                continue;
            case Inflated::Status::NeedInput:
                if (input_begin_ < input_end_) {  // a few bytes that may start a member or a line end: keep them
                    std::memmove(input_.data(), input_.data() + input_begin_, input_end_ - input_begin_);
                    input_end_ -= input_begin_;
                    input_begin_ = 0;
                    const std::size_t got = read_input(std::span<char>(input_).subspan(input_end_));
                    input_end_ += got;
                    input_done_ = got == 0;
                }
                continue;
            case Inflated::Status::End:
                final_ = true;
                return step.produced > 0;
            case Inflated::Status::Failed:
                break;
        }
        const MemberError& error = inflater_.error();
        ErrorItem item{fault_name(error.fault), error.offset, error.offset, "", error.detail, 0};
        if (error.fault == MemberFault::NotGzip)
            item.head.assign(input_.data() + input_begin_, std::min<std::size_t>(input_end_ - input_begin_, 8));
        throw Failure{std::move(item)};
    }
}

RecordItem ArchiveReader::Producer::item_of(const RecordHead& head) const {
    RecordItem item;
    const std::string_view block = unread().substr(scanner_.consumed() - head.header_length, head.header_length);
    item.text.reserve(head.header_length);
    item.text.assign(block);
    auto place_text = [&](std::string_view text) -> std::uint32_t {
        if (text.data() >= block.data() && text.data() + text.size() <= block.data() + block.size())
            return static_cast<std::uint32_t>(text.data() - block.data());
        const auto at = static_cast<std::uint32_t>(item.text.size());  // a folded value, joined by the scanner
        item.text.append(text);
        return at;
    };
    item.fields.reserve(head.fields.size());
    for (const HeaderField& field : head.fields) {
        FieldSpan span;
        span.name = place_text(field.name);
        span.name_size = static_cast<std::uint32_t>(field.name.size());
        span.value = place_text(field.value);
        span.value_size = static_cast<std::uint32_t>(field.value.size());
        item.fields.push_back(span);
    }
    item.version = head.version;
    item.offset = head.offset;
    item.header_length = head.header_length;
    item.body_length = head.body_length;
    item.streamed = head.body_length > options_.attach_limit;
    return item;
}

void ArchiveReader::Producer::warn_about(const RecordHead& head, const std::function<void(Item&&)>& push) const {
    const std::string_view block = unread().substr(scanner_.consumed() - head.header_length, 5);
    if (block != "WARC/") push(WarningItem{"lower-case-version", head.offset, 0, std::string(block)});
    if (head.padded_name) push(WarningItem{"padded-name", head.offset, 0, {}});
    if (head.folded) push(WarningItem{"folded", head.offset, 0, {}});
}

void ArchiveReader::Producer::read_body(RecordItem& item, const std::function<void(Item&&)>& push) {
    std::uint64_t left = item.body_length;
    while (left > 0) {
        if (begin_ == end_ && !fill()) throw failure("truncated-body", item.offset);
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(end_ - begin_, left));
        BodyPiece piece{block_, begin_, n};
        consume(n);
        left -= n;
        if (item.streamed)
            push(std::move(piece));
        else
            item.body.push_back(std::move(piece));
    }
}

void ArchiveReader::Producer::read_tail(const std::function<void(Item&&)>& push) {
    const std::uint64_t body_end = position_;
    Step step;
    while ((step = scanner_.read_tail(unread(), final_)) == Step::NeedMore)
        if (!fill()) final_ = true;
    const RecordTail tail = scanner_.tail();
    consume(scanner_.consumed());
    if (tail.stray > 0) push(WarningItem{"stray", body_end + tail.separator, tail.stray, {}});
}

// Whether the record starting at `record_start` and ending where the reader
// stands is all its member holds (line ends after it aside).
bool ArchiveReader::Producer::alone_in_member(const Member& member, std::uint64_t record_start) {
    if (member.start != record_start) return false;
    for (;;) {
        if (member.end) {
            if (position_ > *member.end) return false;
            const auto rest = static_cast<std::size_t>(*member.end - position_);
            if (rest > kMaxLineEndsInMember) return false;
            while (end_ - begin_ < rest && fill()) {
            }
            return only_line_ends(unread().substr(0, rest));
        }
        if (!only_line_ends(unread()) || end_ - begin_ > kMaxLineEndsInMember) return false;
        if (!fill()) return false;
    }
}

Placement ArchiveReader::Producer::place(const RecordHead& head) {
    Placement placement;
    placement.separator = scanner_.tail().separator;
    if (!compressed_) {
        placement.file_offset = head.offset;
        placement.file_length = position_ - head.offset - scanner_.tail().stray;
        return placement;
    }
    auto member = std::find_if(members_.rbegin(), members_.rend(), [&](const Member& m) { return m.start <= head.offset; });
    if (member == members_.rend()) return placement;
    const Member& found = *member;  // a deque keeps it in place while alone_in_member adds members
    placement.file_offset = found.offset;
    if (scanner_.tail().stray == 0 && alone_in_member(found, head.offset)) {
        placement.own_member = true;
        placement.file_length = found.length;
    }
    // Members that ended before this record are of no more use.
    while (members_.size() > 1 && members_.front().end && *members_.front().end <= head.offset) members_.pop_front();
    return placement;
}

EndItem ArchiveReader::Producer::end_item() const {
    EndItem end{compressed_, inflater_.members() + ready_members_, produced_, produced_};
    if (compressed_) end.data_end = inflater_.position() - inflater_.trailing();
    return end;
}

void ArchiveReader::Producer::run(const std::function<void(Item&&)>& push, std::function<void()> publish) {
    publish_ = std::move(publish);
    sniff();
    const std::optional<std::uint64_t> data_size = compressed_ ? std::nullopt : source_->size();
    for (;;) {
        const Step step = scanner_.read_head(unread(), final_);
        if (step == Step::NeedMore) {
            consume(scanner_.consumed());
            const std::size_t wanted = scanner_.wanted();
            while (end_ - begin_ < wanted && fill()) {
            }
            if (end_ - begin_ < wanted) final_ = true;
            continue;
        }
        if (step == Step::End) {
            consume(scanner_.consumed());
            if (scanner_.trailing() > 0) push(WarningItem{"trailing", position_ - scanner_.trailing(), scanner_.trailing(), {}});
            if (compressed_ && inflater_.trailing_line_end())
                push(WarningItem{"trailing-line-end", inflater_.position() - inflater_.trailing(), inflater_.trailing(), {}});
            push(end_item());
            return;
        }
        if (step == Step::Failed) {
            const ScanError& error = scanner_.error();
            consume(static_cast<std::size_t>(error.offset - position_));
            std::string detail = error.detail;
            if (error.fault == ScanFault::UnterminatedHeader || error.fault == ScanFault::MissingLength)
                detail = line_end_hint(unread().substr(0, kHeadBytes));
            throw failure(fault_name(error.fault), error.offset, detail);
        }
        const RecordHead& head = scanner_.head();
        if (data_size && head.body_length > *data_size - std::min(*data_size, head.offset + head.header_length))
            throw failure("truncated-body", head.offset, "declared");
        if (compressed_ && head.body_length > options_.member_limit - std::min(options_.member_limit, std::uint64_t{head.header_length}))
            throw failure("record-too-large", head.offset, std::to_string(head.header_length + head.body_length));
        warn_about(head, push);
        RecordItem item = item_of(head);
        item.placement.file_offset = compressed_ ? member_at(head.offset).value_or(0) : head.offset;
        item.starts_member = compressed_ && std::any_of(members_.begin(), members_.end(),
                                                        [&](const Member& m) { return m.start == head.offset; });
        const RecordHead kept = head;  // the views in it are not used past this point
        consume(scanner_.consumed());
        if (item.streamed) push(RecordItem(item));  // its body follows
        read_body(item, push);
        read_tail(push);
        const Placement placement = place(kept);
        if (item.streamed)
            push(Placement(placement));
        else {
            item.placement = placement;
            push(std::move(item));
        }
    }
}

// ---------------------------------------------------------------------------- the queue

ArchiveReader::ArchiveReader(std::unique_ptr<ByteSource> source, ReaderOptions options)
    : producer_(std::make_unique<Producer>(std::move(source), options)), options_(options) {
    thread_ = Thread([this] { run(); });
}

ArchiveReader::~ArchiveReader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    room_.notify_all();
    producer_->cancel();
    thread_.join();
}

std::size_t ArchiveReader::weight(const Item& item) noexcept {
    if (const auto* record = std::get_if<RecordItem>(&item)) {
        std::size_t size = record->text.size() + 256;
        for (const BodyPiece& piece : record->body) size += piece.size;
        return size;
    }
    if (const auto* piece = std::get_if<BodyPiece>(&item)) return piece->size;
    return 64;
}

// Items go over to the consumer in batches: one lock and one wake-up for
// many records, not one each.
void ArchiveReader::push(Item item) {
    pending_bytes_ += weight(item);
    pending_.push_back(std::move(item));
    if (pending_.size() >= 64 || pending_bytes_ >= (std::size_t{1} << 20)) publish();
}

void ArchiveReader::publish() {
    if (pending_.empty()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return stopping_ || queued_bytes_ < options_.queue_bytes; });
    if (stopping_) throw Stopped{};
    const bool was_empty = queue_.empty();
    for (Item& item : pending_) queue_.push_back(std::move(item));
    queued_bytes_ += pending_bytes_;
    pending_.clear();
    pending_bytes_ = 0;
    lock.unlock();
    if (was_empty) ready_.notify_one();
}

// Not noexcept: a thread waiting for the interpreter lock (to read a Python
// stream) as the interpreter ends is ended by it, by an unwinding that must
// pass through here.
void ArchiveReader::run() {
    try {
        try {
            producer_->run([this](Item&& item) { push(std::move(item)); }, [this] { publish(); });
        } catch (Failure& failure) {
            push(std::move(failure.item));
        } catch (const std::bad_alloc&) {
            push(ErrorItem{"out-of-memory", 0, std::nullopt, {}, {}, 0});
        }
        publish();
    }
#ifdef __GLIBCXX__
    catch (abi::__forced_unwind&) {  // that ending: it must go on
        throw;
    }
#endif
    catch (...) {  // Stopped, or no memory even for the error: the consumer is gone or told below
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    ready_.notify_all();
}

Item ArchiveReader::next() {
    for (;;)
        if (std::optional<Item> item = next_for(std::chrono::seconds(1))) return std::move(*item);
}

std::optional<Item> ArchiveReader::next_for(std::chrono::milliseconds wait) {
    if (taken_.empty()) {
        std::unique_lock<std::mutex> lock(mutex_);
        // By the system clock: a wait by the steady clock calls pthread_cond_clockwait,
        // which glibc has only since 2.30, and the wheel must load on 2.17. A
        // clock that jumps only makes one of the caller's turns longer or shorter.
        const auto deadline = std::chrono::system_clock::now() + wait;
        if (!ready_.wait_until(lock, deadline, [&] { return !queue_.empty() || finished_; })) return std::nullopt;
        if (queue_.empty()) return ErrorItem{"out-of-memory", 0, std::nullopt, {}, {}, 0};
        taken_.swap(queue_);
        queued_bytes_ = 0;
        lock.unlock();
        room_.notify_one();
    }
    Item item = std::move(taken_.front());
    taken_.pop_front();
    return item;
}

}  // namespace vellumark
