#include "reader/gzip_member.hpp"

#include <algorithm>
#include <limits>

#include <libdeflate.h>
#include <zlib-ng.h>

namespace vellumark {
namespace {

constexpr int kGzipOnly = 15 + 16;  // the largest window, and a gzip header and trailer
constexpr unsigned char kMagic0 = 0x1F;
constexpr unsigned char kMagic1 = 0x8B;
constexpr unsigned char kDeflate = 8;
constexpr unsigned char kHeaderCrc = 0x02;  // FHCRC

// zlib-ng takes 32-bit counts; larger spans are fed in turns.
constexpr std::size_t kMaxChunk = std::numeric_limits<std::uint32_t>::max();

unsigned char byte_at(std::span<const char> data, std::size_t i) noexcept { return static_cast<unsigned char>(data[i]); }

bool all_zero(std::span<const char> data) noexcept {
    return std::all_of(data.begin(), data.end(), [](char c) { return c == 0; });
}

bool is_line_end(std::span<const char> data) noexcept {
    const std::string_view text(data.data(), data.size());
    return text == "\n" || text == "\r\n";
}

}  // namespace

struct MemberInflater::Stream {
    zng_stream z{};
    Stream() {
        if (zng_inflateInit2(&z, kGzipOnly) != Z_OK) throw std::bad_alloc();
    }
    ~Stream() { zng_inflateEnd(&z); }
};

struct MemberInflater::Whole {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    Whole() {
        if (d == nullptr) throw std::bad_alloc();
    }
    ~Whole() { libdeflate_free_decompressor(d); }
};

Inflated MemberInflater::inflate_whole(std::span<const char> input, std::span<char> out) {
    if (in_member_ || trailing_ > 0 || input.size() < 18 || byte_at(input, 0) != kMagic0 || byte_at(input, 1) != kMagic1)
        return {Inflated::Status::NeedInput, 0, 0};
    // libdeflate skips a header CRC unchecked, zlib-ng checks it: such a member
    // is left to streaming, so that it reads the same however it was fed.
    if ((byte_at(input, 3) & kHeaderCrc) != 0) return {Inflated::Status::NeedInput, 0, 0};
    std::size_t consumed = 0, produced = 0;
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), limit_));
    const libdeflate_result result =
        libdeflate_gzip_decompress_ex(whole_->d, input.data(), input.size(), out.data(), room, &consumed, &produced);
    if (result != LIBDEFLATE_SUCCESS) return {Inflated::Status::NeedInput, 0, 0};
    member_offset_ = position_;
    position_ += consumed;
    member_output_ = produced;
    ++members_;
    return {Inflated::Status::MemberEnd, consumed, produced};
}

bool looks_like_member_start(std::span<const char> data) noexcept {
    return data.size() >= 4 && byte_at(data, 0) == kMagic0 && byte_at(data, 1) == kMagic1 &&
           byte_at(data, 2) == kDeflate && (byte_at(data, 3) & 0xE0) == 0;
}

MemberInflater::MemberInflater(std::uint64_t member_limit)
    : stream_(std::make_unique<Stream>()), whole_(std::make_unique<Whole>()), limit_(member_limit) {}

MemberInflater::~MemberInflater() = default;

void MemberInflater::restart(std::uint64_t position) noexcept {
    zng_inflateReset(&stream_->z);
    position_ = member_offset_ = position;
    member_output_ = 0;
    trailing_ = 0;
    trailing_line_end_ = false;
    in_member_ = false;
}

Inflated MemberInflater::fail(MemberFault fault, std::uint64_t offset, std::string detail) {
    error_ = MemberError{fault, offset, std::move(detail)};
    return {Inflated::Status::Failed, 0, 0};
}

// Between members: a new member, or the end of the data. Zero padding to the
// end (which gzip itself accepts) and one line end a careless writer left after
// the last member end it too.
Inflated MemberInflater::between_members(std::span<const char> input, bool final) {
    if (input.empty()) return {final ? Inflated::Status::End : Inflated::Status::NeedInput, 0, 0};
    const bool padding = trailing_ > 0 && !trailing_line_end_;
    if (!padding && input.size() >= 2 && byte_at(input, 0) == kMagic0 && byte_at(input, 1) == kMagic1) {
        zng_inflateReset(&stream_->z);
        member_offset_ = position_;
        member_output_ = 0;
        in_member_ = true;
        return {Inflated::Status::Output, 0, 0};
    }
    const std::uint64_t start = position_ - trailing_;
    if (all_zero(input) && !trailing_line_end_) {
        trailing_ += input.size();
        position_ += input.size();
        return {final ? Inflated::Status::End : Inflated::Status::NeedInput, input.size(), 0};
    }
    if (padding) return fail(MemberFault::NotGzip, start);
    if (input.size() <= 2 && (input[0] == '\r' || input[0] == '\n' || byte_at(input, 0) == kMagic0)) {
        if (!final) return {Inflated::Status::NeedInput, 0, 0};
        if (is_line_end(input)) {
            trailing_ = input.size();
            trailing_line_end_ = true;
            position_ += input.size();
            return {Inflated::Status::End, input.size(), 0};
        }
        if (input.size() == 1 && byte_at(input, 0) == kMagic0)
            return fail(MemberFault::Truncated, position_, "the file ends inside it");
    }
    return fail(MemberFault::NotGzip, position_);
}

Inflated MemberInflater::inflate(std::span<const char> input, std::span<char> out, bool final) {
    if (!in_member_) {
        const Inflated between = between_members(input, final);
        if (between.status != Inflated::Status::Output) return between;
    }
    zng_stream& z = stream_->z;
    const std::size_t in_size = std::min(input.size(), kMaxChunk);
    const std::size_t out_size = std::min(out.size(), kMaxChunk);
    z.next_in = reinterpret_cast<const uint8_t*>(input.data());
    z.avail_in = static_cast<uint32_t>(in_size);
    z.next_out = reinterpret_cast<uint8_t*>(out.data());
    z.avail_out = static_cast<uint32_t>(out_size);
    const int status = zng_inflate(&z, Z_NO_FLUSH);
    const std::size_t consumed = in_size - z.avail_in;
    const std::size_t produced = out_size - z.avail_out;
    position_ += consumed;
    member_output_ += produced;
    if (member_output_ > limit_)
        return fail(MemberFault::TooLarge, member_offset_, std::to_string(limit_));
    if (status == Z_STREAM_END) {
        in_member_ = false;
        ++members_;
        return {Inflated::Status::MemberEnd, consumed, produced};
    }
    if (status == Z_OK || (status == Z_BUF_ERROR && (consumed > 0 || produced > 0)))
        return {Inflated::Status::Output, consumed, produced};
    if (status == Z_BUF_ERROR) {
        if (z.avail_in == 0 && !final) return {Inflated::Status::NeedInput, consumed, produced};
        if (z.avail_in == 0) return fail(MemberFault::Truncated, member_offset_, "the file ends inside it");
        return {Inflated::Status::Output, consumed, produced};  // no room for output: the caller makes some
    }
    return fail(MemberFault::Corrupt, member_offset_, z.msg != nullptr ? z.msg : "invalid data");
}

}  // namespace vellumark
