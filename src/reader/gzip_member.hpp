#pragma once
// The gzip members of a .warc.gz, inflated one after the other. Crawlers gzip
// each record as a member of its own and indexes point at members by their
// compressed offset, so each member's offset and length are told exactly.
// Output goes into the caller's buffer, so a member is never held whole, and
// the member limit stops a gzip bomb on the way.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace vellumark {

enum class MemberFault {
    NotGzip,    ///< bytes between members that start no member
    Corrupt,    ///< the deflate data or the trailer is wrong
    Truncated,  ///< the data ends inside a member
    TooLarge,   ///< a member inflates past the limit
};

struct MemberError {
    MemberFault fault = MemberFault::NotGzip;
    std::uint64_t offset = 0;  ///< compressed offset of the member (or of the bytes that are none)
    std::string detail;
};

/// What one call of MemberInflater::inflate did.
struct Inflated {
    enum class Status {
        Output,     ///< output was written, or input taken; the member goes on
        MemberEnd,  ///< a member ended: member_offset() and member_length() tell where it stood
        NeedInput,  ///< all input taken; call again with more (or final)
        End,        ///< no member follows (end of the data, or padding: trailing() tells)
        Failed,     ///< error() says why
    };
    Status status = Status::Output;
    std::size_t consumed = 0;  ///< input bytes taken
    std::size_t produced = 0;  ///< output bytes written
};

class MemberInflater {
public:
    explicit MemberInflater(std::uint64_t member_limit);
    ~MemberInflater();
    MemberInflater(const MemberInflater&) = delete;
    MemberInflater& operator=(const MemberInflater&) = delete;

    /// Inflates from `input` (the compressed bytes from position() on) into
    /// `out`. `final`: no input follows what is given.
    [[nodiscard]] Inflated inflate(std::span<const char> input, std::span<char> out, bool final);

    /// A whole member at once, when `input` (at a member's start, between
    /// members) holds all of it and `out` has room for all it inflates to: the
    /// fast way for the small members crawlers write. MemberEnd when it was
    /// done; nothing is taken otherwise, and the caller streams the member with
    /// inflate(), which also gives any error its message.
    [[nodiscard]] Inflated inflate_whole(std::span<const char> input, std::span<char> out);

    /// The compressed position of the next input byte.
    [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
    /// The member being inflated, or the last one that ended.
    [[nodiscard]] std::uint64_t member_offset() const noexcept { return member_offset_; }
    [[nodiscard]] std::uint64_t member_length() const noexcept { return position_ - member_offset_; }
    /// Bytes the current member has inflated to so far.
    [[nodiscard]] std::uint64_t member_output() const noexcept { return member_output_; }
    [[nodiscard]] std::uint64_t members() const noexcept { return members_; }
    [[nodiscard]] bool in_member() const noexcept { return in_member_; }
    /// At End: bytes after the last member that are not data (zero padding, a stray line end).
    [[nodiscard]] std::size_t trailing() const noexcept { return trailing_; }
    /// At End: whether those bytes are a line end, which a careless writer left.
    [[nodiscard]] bool trailing_line_end() const noexcept { return trailing_line_end_; }
    [[nodiscard]] const MemberError& error() const noexcept { return error_; }
    /// Starts over at compressed `position`, between members.
    void restart(std::uint64_t position) noexcept;

private:
    Inflated between_members(std::span<const char> input, bool final);
    Inflated fail(MemberFault fault, std::uint64_t offset, std::string detail = {});

    struct Stream;
    std::unique_ptr<Stream> stream_;
    struct Whole;
    std::unique_ptr<Whole> whole_;
    std::uint64_t limit_;
    std::uint64_t position_ = 0;
    std::uint64_t member_offset_ = 0;
    std::uint64_t member_output_ = 0;
    std::uint64_t members_ = 0;
    std::size_t trailing_ = 0;
    bool trailing_line_end_ = false;
    bool in_member_ = false;
    MemberError error_;
};

/// Whether `data` starts with a gzip member header as crawlers write it: the
/// magic, deflate, and no reserved flag bits.
[[nodiscard]] bool looks_like_member_start(std::span<const char> data) noexcept;

}  // namespace vellumark
