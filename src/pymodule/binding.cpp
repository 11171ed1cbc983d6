#include "pymodule/binding.hpp"

#include <algorithm>
#include <cassert>
#include <string>
#include <vector>

#include "pymodule/conversion.hpp"
#include "pymodule/guard.hpp"

namespace vellumark::py {
namespace {

std::string call_name(const Signature& signature) { return std::string(signature.function) + "()"; }

[[noreturn]] void raise_too_many(const Signature& signature, Py_ssize_t given) {
    const std::size_t n = signature.names.size();
    // CPython keeps "arguments" plural in both forms, also when n is 1.
    const std::string takes = signature.required == n
                                  ? std::to_string(n)
                                  : "from " + std::to_string(signature.required) + " to " + std::to_string(n);
    raise(PyExc_TypeError, call_name(signature) + " takes " + takes + " positional arguments but " +
                               std::to_string(given) + " were given");
}

// The text of str(key) for a message: encoded with surrogatepass so that lone
// surrogates survive, then decoded with each bad sequence replaced by U+FFFD.
std::string keyword_text(PyObject* key) {
    PyRef text = PyRef::steal(PyObject_Str(key));
    if (!text) {
        clear_ordinary_exception();
        return "<unprintable keyword>";
    }
    PyRef raw = check(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    PyRef clean = check(PyUnicode_DecodeUTF8(PyBytes_AsString(raw.get()), PyBytes_Size(raw.get()), "replace"));
    return utf8_copy(clean.get());
}

// Index of the parameter named exactly `key`, or names.size(). A key that is
// not a str matches nothing; comparison is by code point, so case matters.
std::size_t parameter_index(const Signature& signature, PyObject* key) noexcept {
    if (PyUnicode_Check(key)) {
        for (std::size_t i = 0; i < signature.names.size(); ++i)
            if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0) return i;
    }
    return signature.names.size();
}

void bind_keywords(const Signature& signature, PyObject* kwargs, Py_ssize_t positional, Slots& slots) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        const std::size_t index = parameter_index(signature, key);
        if (index == signature.names.size()) {
            // str(key) runs Python code, which may empty the dict: hold the key.
            const PyRef owned_key = PyRef::new_ref(key);
            raise(PyExc_TypeError, call_name(signature) + " got an unexpected keyword argument '" +
                                       keyword_text(owned_key.get()) + "'");
        }
        if (static_cast<Py_ssize_t>(index) < positional)
            raise(PyExc_TypeError, call_name(signature) + " got multiple values for argument '" +
                                       signature.names[index] + "'");
        slots[index] = PyRef::new_ref(value);
    }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the names of missing arguments.
std::string join_quoted_names(std::span<const std::string_view> names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) joined += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        joined.append("'").append(names[i]).append("'");
    }
    return joined;
}

void check_required(const Signature& signature, const Slots& slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < signature.required; ++i)
        if (!slots[i]) missing.emplace_back(signature.names[i]);
    if (missing.empty()) return;
    raise(PyExc_TypeError, call_name(signature) + " missing " + std::to_string(missing.size()) +
                               " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                               ": " + join_quoted_names(missing));
}

}  // namespace

Slots bind(const Signature& signature, PyObject* args, PyObject* kwargs) {
    assert(signature.names.size() <= kMaxParameters);
    Slots slots{};
    const Py_ssize_t positional = PyTuple_Size(args);
    const auto accepted = std::min(positional, static_cast<Py_ssize_t>(signature.names.size()));
    for (Py_ssize_t i = 0; i < accepted; ++i)
        slots[static_cast<std::size_t>(i)] = PyRef::new_ref(PyTuple_GetItem(args, i));
    // Checked before any keyword, so it wins over every keyword problem of the call.
    if (positional > accepted) raise_too_many(signature, positional);
    if (kwargs != nullptr) bind_keywords(signature, kwargs, positional, slots);
    check_required(signature, slots);
    return slots;
}

}  // namespace vellumark::py
