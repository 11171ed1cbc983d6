#pragma once
// The codec's one error value, and the result type every codec operation returns.
// The codec reports failure only through these; it never throws on any input
// (allocation failure, std::bad_alloc, is the one exception it lets through).

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace vellumark {

enum class ErrorKind {
    InvalidRecord,  ///< the data is not a WARC record this codec accepts; carries a message
    NoManifest,     ///< the archive holds no manifest store record; carries nothing
};

class Error {
public:
    [[nodiscard]] static Error invalid_record(std::string message) {
        return Error(ErrorKind::InvalidRecord, std::move(message));
    }
    [[nodiscard]] static Error no_manifest() { return Error(ErrorKind::NoManifest, {}); }

    [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
    /// The message an InvalidRecord carries; empty for NoManifest.
    [[nodiscard]] const std::string& message() const noexcept { return message_; }
    /// The text users see, e.g. "invalid WARC record: unterminated header".
    [[nodiscard]] std::string display() const;

    friend bool operator==(const Error&, const Error&) = default;

private:
    Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    ErrorKind kind_;
    std::string message_;
};

namespace detail {
/// Reading the value of an error, or the error of a value, is a bug in the
/// caller, never a property of the input. It is checked in every build type:
/// the exception reaches the Python boundary's guard as an internal failure
/// (PanicException and a diagnostic) instead of reading the wrong variant.
[[noreturn]] inline void wrong_side_of_result(const char* what) {
    throw std::logic_error(what);
}
}  // namespace detail

/// Either a value or an Error. Check it before use: dereferencing an error is a bug.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    [[nodiscard]] T& operator*() & { return *checked_value(); }
    [[nodiscard]] const T& operator*() const& { return *checked_value(); }
    [[nodiscard]] T&& operator*() && { return std::move(*checked_value()); }
    [[nodiscard]] T* operator->() { return checked_value(); }
    [[nodiscard]] const T* operator->() const { return checked_value(); }

    [[nodiscard]] const Error& error() const& { return *checked_error(); }
    [[nodiscard]] Error&& error() && { return std::move(*checked_error()); }

private:
    T* checked_value() {
        if (T* value = std::get_if<0>(&state_)) return value;
        detail::wrong_side_of_result("Result: value read from an error");
    }
    const T* checked_value() const {
        if (const T* value = std::get_if<0>(&state_)) return value;
        detail::wrong_side_of_result("Result: value read from an error");
    }
    Error* checked_error() {
        if (Error* error = std::get_if<1>(&state_)) return error;
        detail::wrong_side_of_result("Result: error read from a value");
    }
    const Error* checked_error() const {
        if (const Error* error = std::get_if<1>(&state_)) return error;
        detail::wrong_side_of_result("Result: error read from a value");
    }

    std::variant<T, Error> state_;
};

/// Success without a value, or an Error.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}  // NOLINT: implicit by design

    [[nodiscard]] bool has_value() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }

    [[nodiscard]] const Error& error() const& {
        if (!error_) detail::wrong_side_of_result("Result: error read from a success");
        return *error_;
    }
    [[nodiscard]] Error&& error() && {
        if (!error_) detail::wrong_side_of_result("Result: error read from a success");
        return std::move(*error_);
    }

private:
    std::optional<Error> error_;
};

}  // namespace vellumark
