#pragma once
// Argument conversion: bytes arguments are borrowed in place, str arguments
// are taken as UTF-8 for the length of the call.

#include <optional>
#include <string>
#include <string_view>

#include "pymodule/py_ref.hpp"

namespace vellumark::py {

/// The UTF-8 form of a str argument. It owns the encoded copy, so the text stays
/// valid for as long as this object lives, whatever happens to the argument.
class Utf8Text {
public:
    explicit Utf8Text(PyRef encoded);
    [[nodiscard]] std::string_view view() const noexcept { return text_; }

private:
    PyRef encoded_;
    std::string_view text_;
};

/// A str as a UTF-8 std::string; raises the encoder's error for lone surrogates.
[[nodiscard]] std::string utf8_copy(PyObject* text);

/// The contents of a bytes argument (or of a bytes subclass), borrowed. Anything
/// else raises TypeError "argument '<param>': '<type>' object cannot be converted to 'PyBytes'".
[[nodiscard]] std::string_view bytes_argument(PyObject* object, const char* param);

/// The UTF-8 form of a str argument (or of a str subclass, whose __str__ is not
/// called). Other types raise TypeError as bytes_argument does, naming 'PyString';
/// a str that cannot be encoded raises the interpreter's UnicodeEncodeError unchanged.
[[nodiscard]] Utf8Text text_argument(PyObject* object, const char* param);

/// As text_argument, but an absent argument or None gives no text.
[[nodiscard]] std::optional<Utf8Text> optional_text_argument(PyObject* object, const char* param);

}  // namespace vellumark::py
