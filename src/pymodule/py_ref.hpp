#pragma once
// The one owner of Python references in this module.
//
// Rules: every new reference a call hands us goes straight into a PyRef
// (PyRef::steal); a borrowed one becomes owned only through PyRef::new_ref.
// Raw PyObject* stays for borrowed references and for the hand-over of a
// result to CPython (release()).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vellumark::py {

class PyRef {
public:
    PyRef() noexcept = default;
    /// Takes over a new reference (which may be null).
    [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    /// Takes a new reference to a borrowed object (which may be null).
    [[nodiscard]] static PyRef new_ref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    /// Gives up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace vellumark::py
