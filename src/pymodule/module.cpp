// Module initialisation: single-phase, for one interpreter per process.

#include <atomic>
#include <cstdint>

#include "pymodule/entry_points.hpp"
#include "pymodule/guard.hpp"

namespace vellumark::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vellumark",
    "",       // so that __doc__ is an empty str, not None
    0,        // no per-module state
    nullptr,  // functions are added by the initialiser, which also lists them in __all__
    nullptr, nullptr, nullptr, nullptr,
};

// Process-wide, each set once under the interpreter lock. The module object is
// never released: later imports in this interpreter return it as it stands.
std::atomic<std::int64_t> initialised_interpreter{-1};
PyObject* module_object = nullptr;

// Everything above belongs to the interpreter that made it. When an embedding
// host finalises that interpreter and starts another, the next import must
// build a fresh module, not hand back the old one with its attributes cleared.
// Runs from Py_FinalizeEx after the interpreter is gone: no Python object may
// be touched, so the dead references are dropped, not released.
void forget_finalised_interpreter() noexcept {
    module_object = nullptr;
    forget_panic_exception_type();
    initialised_interpreter.store(-1);
}

// Single-phase modules keep one object per process, which another interpreter
// must not share.
void claim_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw PythonError{};
    std::int64_t recorded = -1;
    if (initialised_interpreter.compare_exchange_strong(recorded, id)) {
        // A full table of exit functions (32 of them) only keeps the state as it
        // was before this hook existed: a later interpreter in this process is refused.
        static_cast<void>(Py_AtExit(forget_finalised_interpreter));
        return;
    }
    if (recorded != id)
        raise(PyExc_ImportError,
              "vellumark can be loaded in only one interpreter per process: native modules do not yet support "
              "subinterpreters");
}

PyRef module_all(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (all) return all;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = new_result(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    return all;
}

// Adds a public name: listed in __all__, then set as an attribute.
void add_public(PyObject* module, PyObject* name, PyObject* value) {
    PyRef all = module_all(module);
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();  // replaced by the internal failure, which is what the import raises
        throw InternalFailure("could not append __name__ to __all__");
    }
    check_status(PyObject_SetAttr(module, name, value));
}

void add_functions(PyObject* module) {
    PyRef module_name = check(PyModule_GetNameObject(module));
    for (PyMethodDef& method : entry_points()) {
        PyRef function = check(PyCFunction_NewEx(&method, module, module_name.get()));
        PyRef name = check(PyObject_GetAttrString(function.get(), "__name__"));
        add_public(module, name.get(), function.get());
    }
}

void add_version(PyObject* module) {
    PyRef name = new_result(PyUnicode_FromString("__version__"));
    PyRef version = new_result(PyUnicode_FromString(VELLUMARK_VERSION));
    add_public(module, name.get(), version.get());
}

PyRef initialise() {
    claim_interpreter();
    if (module_object != nullptr) return PyRef::new_ref(module_object);
    // On failure the half-made module is released and nothing is stored, so a
    // later import starts over.
    PyRef module = check(PyModule_Create(&module_def));
    add_functions(module.get());
    add_version(module.get());
    module_object = PyRef::new_ref(module.get()).release();
    return module;
}

}  // namespace
}  // namespace vellumark::py

PyMODINIT_FUNC PyInit_vellumark(void) { return vellumark::py::guarded(vellumark::py::initialise); }
