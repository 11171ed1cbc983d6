#include "record/model.hpp"
#include "record/text.hpp"

namespace vellumark {

bool marks_c2pa_manifest(std::optional<std::string_view> warc_type,
                         std::optional<std::string_view> content_type) noexcept {
    return warc_type == kManifestWarcType && content_type == kManifestContentType;
}

bool WarcRecord::is_c2pa_manifest() const noexcept {
    auto value_of = [this](const std::string& key) -> std::optional<std::string_view> {
        const auto it = headers.find(key);
        if (it == headers.end()) return std::nullopt;
        return it->second;
    };
    return marks_c2pa_manifest(value_of("warc-type"), value_of("content-type"));
}

std::optional<std::string_view> last_field(std::span<const HeaderField> fields, std::string_view lower_name) noexcept {
    for (auto it = fields.rbegin(); it != fields.rend(); ++it)
        if (equals_lowered(it->name, lower_name)) return it->value;
    return std::nullopt;
}

std::optional<std::string_view> RecordView::header(std::string_view lower_name) const noexcept {
    return last_field(fields, lower_name);
}

bool RecordView::is_c2pa_manifest() const noexcept {
    return marks_c2pa_manifest(header("warc-type"), header("content-type"));
}

}  // namespace vellumark
