#include "pymodule/guard.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <string_view>

namespace vellumark::py {
namespace {

constexpr const char* kPanicName = "vellumark_native.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created on first use and kept for the life of the interpreter, deliberately:
// callers may hold on to the class, and it must stay the same object.
PyObject* panic_type = nullptr;

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr)
        panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    return panic_type;
}

void report_internal_failure(std::string_view message, SourceSite where) noexcept {
    std::fprintf(stderr, "vellumark: internal failure at %s:%u: %.*s\n", where.file, where.line,
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
}

// If this itself fails (no memory for the class or the message), the
// exception of that failure stays pending instead.
void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

}  // namespace

void forget_panic_exception_type() noexcept { panic_type = nullptr; }

void prepare_thread_for_exceptions() noexcept {
    // The runtime declares uncaught_exceptions() pure: without the volatile
    // store the compiler would drop the call, and with it the TLS access.
    volatile int uncaught = std::uncaught_exceptions();
    static_cast<void>(uncaught);
}

PyRef check(PyObject* object) {
    if (object == nullptr) throw PythonError{};
    return PyRef::steal(object);
}

void check_status(int status) {
    if (status < 0) throw PythonError{};
}

void clear_ordinary_exception() {
    if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    PyErr_Clear();
}

PyRef new_result(PyObject* object, const char* file, unsigned line) {
    if (object == nullptr) {
        // Printed without setting sys.last_exc and friends, which would keep the
        // failing frames, and the archive in their locals, alive after the call.
        PyErr_PrintEx(0);
        throw InternalFailure("Python API call failed", file, line);
    }
    return PyRef::steal(object);
}

void raise(PyRef exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw PythonError{};
}

PyRef new_exception(PyObject* type, std::string_view message) {
    PyRef text = new_result(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyRef args = new_result(PyTuple_Pack(1, text.get()));
    return check(PyObject_Call(type, args.get(), nullptr));
}

void raise(PyObject* type, std::string_view message) { raise(new_exception(type, message)); }

void set_exception_for_current(SourceSite guard_site) noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        if (PyErr_Occurred() == nullptr)
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalFailure& failure) {
        report_internal_failure(failure.message(), failure.where());
        raise_panic(failure.message());
    } catch (const std::exception& failure) {
        report_internal_failure(failure.what(), guard_site);
        raise_panic(failure.what());
    } catch (...) {
        report_internal_failure("unknown C++ exception", guard_site);
        raise_panic("unknown C++ exception");
    }
}

}  // namespace vellumark::py
