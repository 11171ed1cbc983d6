#pragma once
// An owned, exactly sized byte array: the form of every output of the codec.
// Unlike std::string or std::vector it is allocated without being zero-filled,
// so a writer that knows the final size writes each byte exactly once.

#include <cstddef>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace vellumark {

class ByteBuffer {
public:
    ByteBuffer() = default;

    /// A buffer of `size` bytes whose contents are unspecified until written.
    [[nodiscard]] static ByteBuffer for_overwrite(std::size_t size) {
        // `new char[n]` without () leaves the bytes unset, as
        // make_unique_for_overwrite would; libc++ before 16 lacks that one.
        return ByteBuffer(std::unique_ptr<char[]>(new char[size]), size);
    }
    [[nodiscard]] static ByteBuffer copy_of(std::string_view bytes) {
        ByteBuffer buffer = for_overwrite(bytes.size());
        if (!bytes.empty()) std::memcpy(buffer.data_.get(), bytes.data(), bytes.size());
        return buffer;
    }

    [[nodiscard]] std::string_view view() const noexcept { return {data_.get(), size_}; }
    [[nodiscard]] std::span<char> writable() noexcept { return {data_.get(), size_}; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }

    friend bool operator==(const ByteBuffer& a, const ByteBuffer& b) noexcept {
        return a.view() == b.view();
    }

private:
    ByteBuffer(std::unique_ptr<char[]> data, std::size_t size)
        : data_(std::move(data)), size_(size) {}

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
};

}  // namespace vellumark
