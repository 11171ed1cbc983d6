#include "pymodule/conversion.hpp"

#include <string>

#include "pymodule/guard.hpp"

namespace vellumark::py {
namespace {

constexpr std::string_view kUnknownTypeName = "<failed to extract type name>";

// The __qualname__ of the object's type, which gives a dotted path for a
// nested class. An ordinary failure reading it gives the fallback instead.
std::string type_name(PyObject* object) {
    // Held: a metaclass's __getattribute__ may reassign the object's __class__.
    const PyRef type = PyRef::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    PyRef name = PyRef::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        try {
            return utf8_copy(name.get());
        } catch (const PythonError&) {
        }
    }
    clear_ordinary_exception();
    return std::string(kUnknownTypeName);
}

// The first stage of a refused conversion: a TypeError without the argument's name.
[[noreturn]] void refuse(PyObject* object, std::string_view target) {
    std::string message = "'";
    message.append(type_name(object)).append("' object cannot be converted to '").append(target).append("'");
    raise(PyExc_TypeError, message);
}

// The second stage: a conversion's TypeError (that exact class, not a subclass)
// is raised again with the argument's name in front. The new exception takes
// over the first one's cause, which is none, so it shows no cause and no context.
// Every other exception, UnicodeEncodeError among them, passes through unchanged.
[[noreturn]] void name_argument_in_error(const char* param) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        throw PythonError{};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef first_type = PyRef::steal(type);
    PyRef first = PyRef::steal(value);
    PyRef first_traceback = PyRef::steal(traceback);
    PyRef text = check(PyObject_Str(first.get()));
    const std::string message = std::string("argument '") + param + "': " + utf8_copy(text.get());
    PyRef renamed = new_exception(PyExc_TypeError, message);
    PyException_SetCause(renamed.get(), PyException_GetCause(first.get()));  // steals the cause
    raise(std::move(renamed));
}

// The contents of a bytes object (or subclass), borrowed for as long as it lives.
std::string_view contents_of(PyObject* bytes) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes, &data, &size));
    return {data, static_cast<std::size_t>(size)};
}

template <class Convert>
auto converting(const char* param, Convert&& convert) {
    try {
        return convert();
    } catch (const PythonError&) {
        name_argument_in_error(param);
    }
}

}  // namespace

std::string utf8_copy(PyObject* text) {
    const Utf8Text utf8(check(PyUnicode_AsUTF8String(text)));
    return std::string(utf8.view());
}

Utf8Text::Utf8Text(PyRef encoded) : encoded_(std::move(encoded)), text_(contents_of(encoded_.get())) {}

std::string_view bytes_argument(PyObject* object, const char* param) {
    return converting(param, [&] {
        if (!PyBytes_Check(object)) refuse(object, "PyBytes");
        return contents_of(object);
    });
}

Utf8Text text_argument(PyObject* object, const char* param) {
    return converting(param, [&] {
        if (!PyUnicode_Check(object)) refuse(object, "PyString");
        return Utf8Text(check(PyUnicode_AsUTF8String(object)));
    });
}

std::optional<Utf8Text> optional_text_argument(PyObject* object, const char* param) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return text_argument(object, param);
}

}  // namespace vellumark::py
