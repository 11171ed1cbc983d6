// The four functions of the module. Each one binds, converts, calls the codec
// and builds its result, all inside the guard.

#include "pymodule/entry_points.hpp"

#include <array>

#include "pymodule/binding.hpp"
#include "pymodule/conversion.hpp"
#include "pymodule/errors.hpp"
#include "pymodule/guard.hpp"
#include "pymodule/records.hpp"
#include "record/builder.hpp"
#include "writer/manifest.hpp"

namespace vellumark::py {
namespace {

constexpr std::array<const char*, 3> kAppendManifestNames = {"warc", "manifest", "record_id"};
constexpr std::array<const char*, 1> kWarcNames = {"warc"};
constexpr std::array<const char*, 5> kBuildRecordNames = {"warc_type", "content_type", "record_id", "body",
                                                          "target_uri"};
constexpr Signature kAppendManifest{"append_manifest", kAppendManifestNames, 3};
constexpr Signature kReadManifest{"read_manifest", kWarcNames, 1};
constexpr Signature kReadRecords{"read_records", kWarcNames, 1};
constexpr Signature kBuildRecord{"build_record", kBuildRecordNames, 4};

// A bytes object of exactly the layout's size, filled by the layout before
// anyone else can see it: the output is written once, straight into its final place.
template <class Layout>
PyRef bytes_from_layout(const Layout& layout) {
    const std::size_t size = layout.size();
    PyRef bytes = new_result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    layout.write_to(std::span<char>(PyBytes_AsString(bytes.get()), size));
    return bytes;
}

PyObject* append_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const Slots slots = bind(kAppendManifest, args, kwargs);
        const std::string_view warc = bytes_argument(slots[0].get(), "warc");
        const std::string_view manifest = bytes_argument(slots[1].get(), "manifest");
        const Utf8Text record_id = text_argument(slots[2].get(), "record_id");
        const Result<ManifestAppend> plan =
            plan_manifest_append(warc, manifest, record_id.view(), wall_clock_seconds());
        if (!plan) raise_error(plan.error());
        return bytes_from_layout(*plan);
    });
}

PyObject* read_manifest(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const Slots slots = bind(kReadManifest, args, kwargs);
        const std::string_view warc = bytes_argument(slots[0].get(), "warc");
        const Result<std::string_view> body = locate_manifest(warc);
        if (body) return new_result(PyBytes_FromStringAndSize(body->data(), static_cast<Py_ssize_t>(body->size())));
        if (body.error().kind() == ErrorKind::NoManifest) return PyRef::new_ref(Py_None);
        raise_error(body.error());
    });
}

PyObject* read_records(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const Slots slots = bind(kReadRecords, args, kwargs);
        return read_records_list(bytes_argument(slots[0].get(), "warc"));
    });
}

PyObject* build_record(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const Slots slots = bind(kBuildRecord, args, kwargs);
        const Utf8Text warc_type = text_argument(slots[0].get(), "warc_type");
        const Utf8Text content_type = text_argument(slots[1].get(), "content_type");
        const Utf8Text record_id = text_argument(slots[2].get(), "record_id");
        const std::string_view body = bytes_argument(slots[3].get(), "body");
        const std::optional<Utf8Text> target_uri = optional_text_argument(slots[4].get(), "target_uri");
        const Result<RecordLayout> layout = lay_out_record(
            {.warc_type = warc_type.view(),
             .content_type = content_type.view(),
             .record_id = record_id.view(),
             .target_uri = target_uri ? std::optional(target_uri->view()) : std::nullopt,
             .body = body},
            wall_clock_seconds());
        if (!layout) raise_error(layout.error());
        return bytes_from_layout(*layout);
    });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

// CPython keeps pointers into this table for the life of the functions.
std::array<PyMethodDef, 4> methods = {{
    {"append_manifest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(append_manifest)), kFlags,
     "append_manifest(warc, manifest, record_id)\n--\n\n"
     "Append a C2PA Manifest Store to a WARC archive as a new record."},
    {"read_manifest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_manifest)), kFlags,
     "read_manifest(warc)\n--\n\n"
     "Read the embedded C2PA Manifest Store, or `None` when the archive carries\n"
     "no provenance."},
    {"read_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_records)), kFlags,
     "read_records(warc)\n--\n\n"
     "Every record in the archive, as a list of dicts with `headers`, `body`,\n"
     "`offset`, and `length`."},
    {"build_record", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_record)), kFlags,
     "build_record(warc_type, content_type, record_id, body, target_uri=None)\n--\n\n"
     "Build a single WARC record."},
}};

}  // namespace

std::span<PyMethodDef> entry_points() noexcept { return methods; }

}  // namespace vellumark::py
