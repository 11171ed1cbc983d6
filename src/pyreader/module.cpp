// vellumark_tools._reader: the tools' archive reader for Python. A Reader reads
// one archive (a file descriptor, a window of one, or a binary stream) on a
// read-ahead thread and hands out one record at a time as a tuple; a Body reads
// that record's body on demand. The interpreter lock is released while the
// caller waits for the reader.

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "pymodule/guard.hpp"
#include "reader/reader.hpp"
#include "record/text.hpp"

namespace vellumark::py {
namespace {

// Process-wide, made once at import and kept for the life of the process, deliberately.
PyObject* reader_type = nullptr;
PyObject* body_type = nullptr;
PyObject* read_error = nullptr;

PyRef new_bytes(std::string_view data) {
    return new_result(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}
PyRef new_str(std::string_view utf8) {
    return new_result(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogateescape"));
}
PyRef new_int(std::uint64_t value) { return new_result(PyLong_FromUnsignedLongLong(value)); }

// ---------------------------------------------------------------------------- a binary stream as a source

// Reads a Python binary stream from the read-ahead thread, taking the
// interpreter lock for each read. The Reader owns the stream; this borrows it.
class StreamSource final : public ByteSource {
public:
    explicit StreamSource(PyObject* stream) : stream_(stream) {}

    std::size_t read(std::span<char> into, int& error) override {
        const PyGILState_STATE state = PyGILState_Ensure();
        std::size_t got = 0;
        PyObject* data = PyObject_CallMethod(stream_, "read", "n", static_cast<Py_ssize_t>(into.size()));
        char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (data != nullptr && PyBytes_Check(data) && PyBytes_AsStringAndSize(data, &bytes, &size) == 0 &&
            static_cast<std::size_t>(size) <= into.size()) {
            std::memcpy(into.data(), bytes, static_cast<std::size_t>(size));
            got = static_cast<std::size_t>(size);
        } else {
            error = EIO;
            PyErr_Clear();
        }
        Py_XDECREF(data);
        PyGILState_Release(state);
        return got;
    }

private:
    PyObject* stream_;
};

// ---------------------------------------------------------------------------- Reader and Body

struct BodyObject;

struct ReaderObject {
    PyObject_HEAD
    ArchiveReader* reader;  // owned; deleted without the interpreter lock (its thread may want it)
    PyObject* stream;       // owned: a stream the reader reads, or null
    PyObject* warnings;     // owned list of (kind, offset, count, detail)
    PyObject* end;          // owned tuple once the end is reached, else null
    BodyObject* streaming;  // borrowed: the Body whose pieces are still coming, or null
    bool done;
    std::unordered_map<std::string, PyObject*>* names;  // owned: lower-cased header names, made once
};

struct BodyObject {
    PyObject_HEAD
    std::vector<BodyPiece>* pieces;  // owned
    std::string* header;             // owned: the header block (and folded values after it)
    std::size_t header_length;
    std::size_t piece;               // the next piece to read, and where in it
    std::size_t at;
    std::uint64_t size;
    std::uint64_t left;              // bytes not read yet
    ReaderObject* reader;            // owned while the body is streamed, else null
    PyObject* placement;             // owned tuple once the body is over (streamed bodies), else null
    PyObject* whole;                 // owned: a streamed body read whole by tobytes(), else null
    bool passed;                     // the reader moved on before the body was read
    bool pieces_complete;            // every piece of the body is at hand (it was not streamed)
};

void close_reader(ReaderObject* self) {
    ArchiveReader* reader = std::exchange(self->reader, nullptr);
    if (reader == nullptr) return;
    Py_BEGIN_ALLOW_THREADS
    delete reader;  // joins the read-ahead thread, which may be waiting for the lock to read a stream
    Py_END_ALLOW_THREADS
}

// Waits for the read-ahead thread in turns, seeing to signals between them:
// Ctrl-C takes effect while a pipe delivers nothing.
constexpr std::chrono::milliseconds kSignalsEvery{100};

Item next_item(ReaderObject* self) {
    ArchiveReader* reader = self->reader;
    if (reader == nullptr) return ErrorItem{"closed", 0, std::nullopt, {}, {}, 0};
    for (;;) {
        std::optional<Item> item;
        Py_BEGIN_ALLOW_THREADS
        item = reader->next_for(kSignalsEvery);
        Py_END_ALLOW_THREADS
        if (item) return std::move(*item);
        if (PyErr_CheckSignals() != 0) throw PythonError{};
    }
}

[[noreturn]] void raise_read_error(ReaderObject* self, const ErrorItem& error) {
    self->done = true;
    PyRef member = error.member ? new_int(*error.member) : PyRef::new_ref(Py_None);
    PyRef args = new_result(Py_BuildValue("(sKOy#s#i)", error.kind.c_str(), static_cast<unsigned long long>(error.offset),
                                          member.get(), error.head.data(), static_cast<Py_ssize_t>(error.head.size()),
                                          error.detail.data(), static_cast<Py_ssize_t>(error.detail.size()),
                                          error.error_number));
    PyErr_SetObject(read_error, args.get());
    throw PythonError{};
}

void add_warning(ReaderObject* self, const WarningItem& warning) {
    PyRef entry = new_result(Py_BuildValue("(sKKs#)", warning.kind.c_str(), static_cast<unsigned long long>(warning.offset),
                                           static_cast<unsigned long long>(warning.count), warning.detail.data(),
                                           static_cast<Py_ssize_t>(warning.detail.size())));
    check_status(PyList_Append(self->warnings, entry.get()));
}

// (file length or None, own member, separator length)
PyRef placement_tuple(const Placement& placement) {
    PyRef length = placement.file_length ? new_int(*placement.file_length) : PyRef::new_ref(Py_None);
    return new_result(Py_BuildValue("(OOn)", length.get(), placement.own_member ? Py_True : Py_False,
                                    static_cast<Py_ssize_t>(placement.separator)));
}

// The pieces of a streamed body still in the queue: the next, or the
// placement that ends them (stored on the body). Null at the placement.
std::optional<BodyPiece> next_streamed_piece(BodyObject* body) {
    ReaderObject* reader = body->reader;
    Item item = next_item(reader);
    if (auto* piece = std::get_if<BodyPiece>(&item)) return std::move(*piece);
    if (auto* warning = std::get_if<WarningItem>(&item)) {
        add_warning(reader, *warning);
        return next_streamed_piece(body);
    }
    if (auto* placement = std::get_if<Placement>(&item)) {
        body->placement = placement_tuple(*placement).release();
        reader->streaming = nullptr;
        body->reader = nullptr;
        Py_DECREF(reinterpret_cast<PyObject*>(reader));
        return std::nullopt;
    }
    raise_read_error(reader, std::get<ErrorItem>(item));
}

// Reads the rest of a streamed body without keeping it: the reader moves on.
void pass_streamed_body(BodyObject* body) {
    body->passed = body->left > 0;
    while (body->reader != nullptr) {
        std::optional<BodyPiece> piece = next_streamed_piece(body);
        if (piece) body->left -= piece->size;
    }
}

PyRef header_name(ReaderObject* self, std::string_view raw) {
    auto& names = *self->names;
    auto found = names.find(std::string(raw));
    if (found != names.end()) return PyRef::new_ref(found->second);
    PyRef name = new_str(ascii_lower(raw));
    if (names.size() < 256) names.emplace(std::string(raw), PyRef::new_ref(name.get()).release());
    return name;
}

PyRef headers_dict(ReaderObject* self, const RecordItem& record) {
    PyRef headers = new_result(PyDict_New());
    for (const FieldSpan& field : record.fields) {
        PyRef value = new_str(record.field_value(field));
        check_status(PyDict_SetItem(headers.get(), header_name(self, record.field_name(field)).get(), value.get()));
    }
    return headers;
}

PyRef new_body(ReaderObject* self, RecordItem& record) {
    PyRef object = check(PyObject_CallObject(body_type, nullptr));
    auto* body = reinterpret_cast<BodyObject*>(object.get());
    *body->pieces = std::move(record.body);
    *body->header = std::move(record.text);
    body->header_length = static_cast<std::size_t>(record.header_length);
    body->size = body->left = record.body_length;
    body->pieces_complete = !record.streamed;
    if (record.streamed && record.body_length > 0) {
        Py_INCREF(reinterpret_cast<PyObject*>(self));
        body->reader = self;
        self->streaming = body;
    } else if (record.streamed) {
        body->reader = self;  // nothing to read: only the placement is to come
        Py_INCREF(reinterpret_cast<PyObject*>(self));
        self->streaming = body;
    }
    return object;
}

// (headers, version, data offset, header length, body length, file offset,
// placement (None for a streamed body, until it is passed), body, whether it
// starts a gzip member)
PyRef record_tuple(ReaderObject* self, RecordItem& record) {
    PyRef headers = headers_dict(self, record);
    PyRef placement = record.streamed ? PyRef::new_ref(Py_None) : placement_tuple(record.placement);
    PyRef file_offset = new_int(record.placement.file_offset);
    PyRef version = header_name(self, record.version);  // a handful of versions: made once, like the names
    PyRef body = new_body(self, record);
    return new_result(Py_BuildValue("(OOKKKOOOO)", headers.get(), version.get(),
                                    static_cast<unsigned long long>(record.offset),
                                    static_cast<unsigned long long>(record.header_length),
                                    static_cast<unsigned long long>(record.body_length), file_offset.get(),
                                    placement.get(), body.get(), record.starts_member ? Py_True : Py_False));
}

PyObject* reader_next(PyObject* object, PyObject*) {
    return guarded([&]() -> PyRef {
        auto* self = reinterpret_cast<ReaderObject*>(object);
        if (self->streaming != nullptr) pass_streamed_body(self->streaming);
        while (!self->done) {
            Item item = next_item(self);
            if (auto* record = std::get_if<RecordItem>(&item)) return record_tuple(self, *record);
            if (auto* warning = std::get_if<WarningItem>(&item)) {
                add_warning(self, *warning);
                continue;
            }
            if (auto* end = std::get_if<EndItem>(&item)) {
                self->done = true;
                self->end = new_result(Py_BuildValue("(OKKK)", end->compressed ? Py_True : Py_False,
                                                     static_cast<unsigned long long>(end->members),
                                                     static_cast<unsigned long long>(end->size),
                                                     static_cast<unsigned long long>(end->data_end)))
                                .release();
                break;
            }
            raise_read_error(self, std::get<ErrorItem>(item));
        }
        return PyRef::new_ref(Py_None);
    });
}

PyObject* reader_warnings(PyObject* object, PyObject*) {
    return guarded([&] {
        auto* self = reinterpret_cast<ReaderObject*>(object);
        if (PyList_Size(self->warnings) == 0) return PyRef::new_ref(Py_None);  // the common case, once a record
        PyRef taken = PyRef::steal(self->warnings);
        self->warnings = new_result(PyList_New(0)).release();
        return taken;
    });
}

PyObject* reader_end(PyObject* object, PyObject*) {
    auto* self = reinterpret_cast<ReaderObject*>(object);
    PyObject* end = self->end != nullptr ? self->end : Py_None;
    Py_INCREF(end);
    return end;
}

PyObject* reader_close(PyObject* object, PyObject*) {
    auto* self = reinterpret_cast<ReaderObject*>(object);
    self->done = true;
    close_reader(self);
    Py_INCREF(Py_None);
    return Py_None;
}

int reader_init(PyObject* object, PyObject* args, PyObject* kwargs) {
    auto* self = reinterpret_cast<ReaderObject*>(object);
    static const char* names[] = {"source", "start", "length", "member_limit", "threads", "head", nullptr};
    PyObject* source = nullptr;
    unsigned long long start = 0;
    PyObject* length = Py_None;
    unsigned long long member_limit = std::uint64_t{4} << 30;
    unsigned int threads = 1;
    const char* head = nullptr;
    Py_ssize_t head_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|KOKIy#", const_cast<char**>(names), &source, &start, &length,
                                     &member_limit, &threads, &head, &head_size))
        return -1;
    PyObject* result = guarded([&] {
        std::optional<std::uint64_t> window;
        if (length != Py_None) {
            window = PyLong_AsUnsignedLongLong(length);
            if (PyErr_Occurred() != nullptr) throw PythonError{};
        }
        std::unique_ptr<ByteSource> bytes;
        if (PyLong_Check(source)) {
            const int fd = static_cast<int>(PyLong_AsLong(source));
            if (PyErr_Occurred() != nullptr) throw PythonError{};
            if (window)
                bytes = std::make_unique<FdSource>(fd, start, *window);
            else  // a pipe, read from where it stands, after the head the caller read from it
                bytes = std::make_unique<PipeSource>(fd, std::string(head != nullptr ? head : "", static_cast<std::size_t>(head_size)));
        } else {
            Py_INCREF(source);
            Py_XDECREF(self->stream);
            self->stream = source;
            bytes = std::make_unique<StreamSource>(source);
        }
        ReaderOptions options;
        options.member_limit = member_limit;
        options.threads = std::clamp(threads, 1u, 64u);
        close_reader(self);
        self->reader = new ArchiveReader(std::move(bytes), options);
        return PyRef::new_ref(Py_None);
    });
    if (result == nullptr) return -1;
    Py_DECREF(result);
    return 0;
}

PyObject* reader_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* object = PyType_GenericAlloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* self = reinterpret_cast<ReaderObject*>(object);
    self->warnings = PyList_New(0);
    self->names = new (std::nothrow) std::unordered_map<std::string, PyObject*>();
    if (self->warnings == nullptr || self->names == nullptr) {
        Py_DECREF(object);
        return PyErr_NoMemory();
    }
    return object;
}

void reader_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<ReaderObject*>(object);
    close_reader(self);
    Py_XDECREF(self->stream);
    Py_XDECREF(self->warnings);
    Py_XDECREF(self->end);
    if (self->names != nullptr)
        for (auto& [raw, name] : *self->names) Py_DECREF(name);
    delete self->names;
    PyTypeObject* type = Py_TYPE(object);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(object);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// ---------------------------------------------------------------------------- Body

PyObject* body_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* object = PyType_GenericAlloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* self = reinterpret_cast<BodyObject*>(object);
    self->pieces = new (std::nothrow) std::vector<BodyPiece>();
    self->header = new (std::nothrow) std::string();
    if (self->pieces == nullptr || self->header == nullptr) {
        Py_DECREF(object);
        return PyErr_NoMemory();
    }
    return object;
}

void body_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<BodyObject*>(object);
    delete self->pieces;
    delete self->header;
    if (self->reader != nullptr) {
        self->reader->streaming = nullptr;
        Py_DECREF(reinterpret_cast<PyObject*>(self->reader));
    }
    Py_XDECREF(self->placement);
    Py_XDECREF(self->whole);
    PyTypeObject* type = Py_TYPE(object);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(object);
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// Up to `wanted` bytes of the body, from the pieces at hand or the reader.
PyRef read_body(BodyObject* self, std::uint64_t wanted) {
    if (self->passed)
        raise(PyExc_ValueError,
              "this record's body was passed: read a large body before going on to the next record");
    wanted = std::min(wanted, self->left);
    PyRef out = new_result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(wanted)));
    char* into = PyBytes_AsString(out.get());
    std::uint64_t done = 0;
    while (done < wanted) {
        if (self->piece == self->pieces->size()) {
            if (self->reader == nullptr) break;
            std::optional<BodyPiece> piece = next_streamed_piece(self);
            if (!piece) break;
            self->pieces->clear();  // read pieces of a streamed body are let go
            self->pieces->push_back(std::move(*piece));
            self->piece = self->at = 0;
        }
        const std::string_view piece = (*self->pieces)[self->piece].view().substr(self->at);
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), wanted - done));
        std::memcpy(into + done, piece.data(), n);
        done += n;
        self->at += n;
        if (self->at == (*self->pieces)[self->piece].size) {
            ++self->piece;
            self->at = 0;
        }
    }
    // The scanner gave the body's length, and the reader gives all of it or an error.
    if (done < wanted) throw InternalFailure("a body ended before its length");
    self->left -= done;
    return out;
}

PyObject* body_read(PyObject* object, PyObject* args) {
    return guarded([&] {
        Py_ssize_t size = -1;
        if (!PyArg_ParseTuple(args, "|n", &size)) throw PythonError{};
        auto* self = reinterpret_cast<BodyObject*>(object);
        return read_body(self, size < 0 ? self->left : static_cast<std::uint64_t>(size));
    });
}

// The whole body, whatever has been read of it: from the pieces at hand, or
// read once (and kept) when it is streamed and nothing of it was read yet.
PyObject* body_tobytes(PyObject* object, PyObject*) {
    return guarded([&] {
        auto* self = reinterpret_cast<BodyObject*>(object);
        if (self->whole != nullptr) return PyRef::new_ref(self->whole);
        if (self->pieces_complete) {
            PyRef out = new_result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(self->size)));
            char* into = PyBytes_AsString(out.get());
            for (const BodyPiece& piece : *self->pieces) {
                std::memcpy(into, piece.view().data(), piece.size);
                into += piece.size;
            }
            return out;
        }
        if (self->left != self->size || self->passed)
            raise(PyExc_ValueError, "this record's body was read as a stream, and is gone: read it whole before going on");
        PyRef out = read_body(self, self->left);
        self->whole = PyRef::new_ref(out.get()).release();
        return out;
    });
}

PyObject* body_header(PyObject* object, PyObject*) {
    return guarded([&] {
        auto* self = reinterpret_cast<BodyObject*>(object);
        return new_bytes(std::string_view(*self->header).substr(0, self->header_length));
    });
}

PyObject* body_placement(PyObject* object, PyObject*) {
    return guarded([&] {
        auto* self = reinterpret_cast<BodyObject*>(object);
        if (self->reader != nullptr) pass_streamed_body(self);
        return PyRef::new_ref(self->placement != nullptr ? self->placement : Py_None);
    });
}

PyObject* body_size(PyObject* object, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<BodyObject*>(object)->size);
}
PyObject* body_left(PyObject* object, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<BodyObject*>(object)->left);
}

std::array<PyMethodDef, 5> reader_methods = {{
    {"next", reader_next, METH_NOARGS, "next()\n--\n\nThe next record as a tuple, or None at the end."},
    {"warnings", reader_warnings, METH_NOARGS, "warnings()\n--\n\nWarnings since the last call, (kind, offset, count, detail) each, or None."},
    {"end", reader_end, METH_NOARGS, "end()\n--\n\n(compressed, members, size, data end) once the end is reached, else None."},
    {"close", reader_close, METH_NOARGS, "close()\n--\n\nStops reading."},
    {nullptr, nullptr, 0, nullptr},
}};

std::array<PyMethodDef, 5> body_methods = {{
    {"header", body_header, METH_NOARGS, "header()\n--\n\nThe record's version line and header block, the blank line included."},
    {"read", body_read, METH_VARARGS, "read(size=-1)\n--\n\nUp to size bytes of the body (all that is left by default)."},
    {"tobytes", body_tobytes, METH_NOARGS, "tobytes()\n--\n\nThe whole body."},
    {"placement", body_placement, METH_NOARGS,
     "placement()\n--\n\nWhere a streamed record stands, once its body is passed: (offset, length, own member, separator)."},
    {nullptr, nullptr, 0, nullptr},
}};

std::array<PyGetSetDef, 3> body_getset = {{
    {"size", body_size, nullptr, "the body's length", nullptr},
    {"left", body_left, nullptr, "bytes not read yet", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
}};

std::array<PyType_Slot, 6> reader_slots = {{
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_init, reinterpret_cast<void*>(reader_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods.data()},
    {Py_tp_doc, const_cast<char*>("Reader(source, start=0, length=None, member_limit=4 GiB, threads=1, head=b'')\n--\n\n"
                                  "The records of one archive: length bytes of a regular file's descriptor from start; "
                                  "a pipe's descriptor (no length), read from where it stands after head, the bytes "
                                  "already read from it; or a binary stream.")},
    {0, nullptr},
}};

std::array<PyType_Slot, 5> body_slots = {{
    {Py_tp_new, reinterpret_cast<void*>(body_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(body_dealloc)},
    {Py_tp_methods, body_methods.data()},
    {Py_tp_getset, body_getset.data()},
    {0, nullptr},
}};

PyType_Spec reader_spec = {"vellumark_tools._reader.Reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots.data()};
PyType_Spec body_spec = {"vellumark_tools._reader.Body", sizeof(BodyObject), 0, Py_TPFLAGS_DEFAULT, body_slots.data()};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vellumark_tools._reader", "The tools' archive reader.", -1,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

PyRef initialise() {
    PyRef module = check(PyModule_Create(&module_def));
    if (reader_type == nullptr) {
        reader_type = check(PyType_FromSpec(&reader_spec)).release();
        body_type = check(PyType_FromSpec(&body_spec)).release();
        read_error = check(PyErr_NewException("vellumark_tools._reader.ReadError", PyExc_ValueError, nullptr)).release();
    }
    for (auto [name, value] : {std::pair{"Reader", reader_type}, std::pair{"Body", body_type}, std::pair{"ReadError", read_error}}) {
        Py_INCREF(value);
        if (PyModule_AddObject(module.get(), name, value) < 0) {
            Py_DECREF(value);  // PyModule_AddObject steals only on success
            throw PythonError{};
        }
    }
    return module;
}

}  // namespace
}  // namespace vellumark::py

PyMODINIT_FUNC PyInit__reader(void) { return vellumark::py::guarded(vellumark::py::initialise); }
