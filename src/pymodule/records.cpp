#include "pymodule/records.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "pymodule/errors.hpp"
#include "pymodule/guard.hpp"
#include "record/scanner.hpp"
#include "record/text.hpp"

namespace vellumark::py {
namespace {

// Header blocks are validated as UTF-8 before any field reaches us, so decoding
// can only fail for want of memory.
PyRef new_str(std::string_view utf8) {
    return new_result(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}

// The same few header names stand in every record: each distinct spelling gets
// one lower-cased str per call instead of one per record. The table is small
// and fixed; names past its capacity are simply made afresh each time.
class HeaderNameCache {
public:
    PyRef lowered_name(std::string_view raw) {
        const std::size_t home = hash(raw) & (kSlots - 1);
        for (std::size_t probe = 0; probe < kSlots; ++probe) {
            Slot& slot = slots_[(home + probe) & (kSlots - 1)];
            if (!slot.name) {
                if (used_ == kMaxUsed) break;
                slot.raw = raw;
                slot.name = new_str(ascii_lower(raw));
                ++used_;
            }
            if (slot.raw == raw) return PyRef::new_ref(slot.name.get());
        }
        return new_str(ascii_lower(raw));
    }

private:
    static constexpr std::size_t kSlots = 128;  // a power of two
    static constexpr std::size_t kMaxUsed = 96;
    struct Slot {
        std::string_view raw;  // borrowed from the archive, which outlives the call
        PyRef name;
    };

    static std::size_t hash(std::string_view text) noexcept {  // FNV-1a
        std::uint64_t h = 0xcbf29ce484222325ULL;
        for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
        return static_cast<std::size_t>(h);
    }

    std::array<Slot, kSlots> slots_{};
    std::size_t used_ = 0;
};

// Pauses the cyclic garbage collector for the rest of a call that makes many
// objects, and restores its prior state on every way out.
//
// Each new record dict counts towards the collector's next run, and the runs
// (which walk every tracked object the list already holds) would take about
// half the time of a call over many small records. Pausing is safe: the call
// makes only acyclic objects (dicts and a list of str, bytes and int), so no
// garbage waits for the collector; no Python code runs while it is paused;
// and the counts keep growing, so the collector runs as usual right after.
class CollectorPause {
public:
    CollectorPause() = default;
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

    void engage() {
        if (gc_) return;
        PyRef gc = check(PyImport_ImportModule("gc"));
        const int enabled = PyObject_IsTrue(check(PyObject_CallMethod(gc.get(), "isenabled", nullptr)).get());
        check_status(enabled);
        if (enabled) {
            const PyRef disabled = check(PyObject_CallMethod(gc.get(), "disable", nullptr));
        }
        gc_ = std::move(gc);
        was_enabled_ = enabled != 0;
    }

    // Runs while an exception may be pending (the call is failing): keep it.
    ~CollectorPause() {
        if (!gc_ || !was_enabled_) return;
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        if (PyRef done = PyRef::steal(PyObject_CallMethod(gc_.get(), "enable", nullptr)); !done)
            PyErr_WriteUnraisable(gc_.get());
        PyErr_Restore(type, value, traceback);
    }

private:
    PyRef gc_;
    bool was_enabled_ = false;
};

// Below this many records a call is too short for the collector to matter.
constexpr std::size_t kRecordsBeforePause = 256;

// The call holds the interpreter lock throughout, so a pending Ctrl-C is only
// seen where we look for it: every few MB of archive, which costs nothing
// measurable and keeps a multi-GB call interruptible within milliseconds.
class SignalCheck {
public:
    // Runs the Python handlers of pending signals; their exception ends the call.
    void at(std::size_t archive_position) {
        if (archive_position < next_) return;
        next_ = archive_position + kInterval;
        check_status(PyErr_CheckSignals());
    }

private:
    static constexpr std::size_t kInterval = std::size_t{4} << 20;
    std::size_t next_ = kInterval;
};

// The keys of a record dict, made once per call.
struct RecordKeys {
    PyRef headers = new_result(PyUnicode_InternFromString("headers"));
    PyRef body = new_result(PyUnicode_InternFromString("body"));
    PyRef offset = new_result(PyUnicode_InternFromString("offset"));
    PyRef length = new_result(PyUnicode_InternFromString("length"));
};

void set_item(PyObject* dict, PyObject* key, const PyRef& value) {
    check_status(PyDict_SetItem(dict, key, value.get()));
}

// Headers in line order: a name that stands twice keeps its first place and
// takes the later value, as the dict assignment does by itself.
PyRef headers_dict(const RecordView& record, HeaderNameCache& names) {
    PyRef headers = new_result(PyDict_New());
    for (const HeaderField& field : record.fields)
        set_item(headers.get(), names.lowered_name(field.name).get(), new_str(field.value));
    return headers;
}

PyRef record_dict(const RecordView& record, const RecordKeys& keys, HeaderNameCache& names) {
    PyRef dict = new_result(PyDict_New());
    set_item(dict.get(), keys.headers.get(), headers_dict(record, names));
    set_item(dict.get(), keys.body.get(),
             new_result(PyBytes_FromStringAndSize(record.body.data(), static_cast<Py_ssize_t>(record.body.size()))));
    set_item(dict.get(), keys.offset.get(), new_result(PyLong_FromUnsignedLongLong(record.offset)));
    set_item(dict.get(), keys.length.get(), new_result(PyLong_FromUnsignedLongLong(record.length)));
    return dict;
}

}  // namespace

PyRef read_records_list(std::string_view archive) {
    const RecordKeys keys;
    HeaderNameCache names;
    CollectorPause pause;
    SignalCheck signals;
    std::size_t count = 0;
    PyRef list = new_result(PyList_New(0));
    Result<void> scanned = for_each_record(archive, [&](const RecordView& record) {
        check_status(PyList_Append(list.get(), record_dict(record, keys, names).get()));
        if (++count == kRecordsBeforePause) pause.engage();
        signals.at(record.offset + record.length);
    });
    if (!scanned) raise_error(scanned.error());
    return list;
}

}  // namespace vellumark::py
