#include "common/Records.h"

#include <nlohmann/json.hpp>

namespace vf {
namespace {

using nlohmann::json;

json toJson(const RecoveredFileInfo& f) {
    json j{{"id", f.id},
           {"fileName", f.fileName},
           {"fileType", f.fileType},
           {"fileSize", f.fileSize},
           {"offsetOnDisk", f.offsetOnDisk}};
    if (f.dateTaken) j["dateTaken"] = *f.dateTaken;
    if (f.thumbName) j["thumbName"] = *f.thumbName;
    return j;
}

json headerJson(const ProgressInfo& p) {
    json j{{"bytesScanned", p.bytesScanned}, {"filesFound", p.filesFound},
           {"currentOffset", p.currentOffset}, {"totalBytes", p.totalBytes},
           {"phase", p.phase},               {"isComplete", p.isComplete}};
    if (p.errorMessage) j["errorMessage"] = *p.errorMessage;
    return j;
}

std::string dump(const json& j) {
    // Invalid UTF-8 from a card name is replaced rather than failing the record.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

template <typename T>
bool take(const json& j, const char* key, T& out) {
    auto it = j.find(key);
    if (it == j.end()) return false;
    if constexpr (std::is_same_v<T, std::string>) {
        if (!it->is_string()) return false;
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!it->is_boolean()) return false;
    } else if constexpr (std::is_unsigned_v<T>) {
        if (!it->is_number_unsigned()) return false;
    } else {
        if (!it->is_number_integer()) return false;
    }
    out = it->get<T>();
    return true;
}

bool takeOptional(const json& j, const char* key, std::optional<std::string>& out) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

std::optional<RecoveredFileInfo> fileFromJson(const json& j) {
    if (!j.is_object()) return std::nullopt;
    RecoveredFileInfo f;
    if (!take(j, "id", f.id) || !take(j, "fileName", f.fileName) || !take(j, "fileType", f.fileType) ||
        !take(j, "fileSize", f.fileSize) || !take(j, "offsetOnDisk", f.offsetOnDisk) ||
        !takeOptional(j, "dateTaken", f.dateTaken) || !takeOptional(j, "thumbName", f.thumbName))
        return std::nullopt;
    return f;
}

}  // namespace

std::string encodeFileEntry(const RecoveredFileInfo& file) { return dump(toJson(file)); }

std::string encodeProgress(const ProgressInfo& info) {
    json j = headerJson(info);
    if (info.newFiles && !info.newFiles->empty()) {
        json list = json::array();
        for (const auto& f : *info.newFiles) list.push_back(toJson(f));
        j["newFiles"] = std::move(list);
    }
    return dump(j);
}

std::string encodeProgress(const ProgressInfo& info, const std::vector<std::string>& entries) {
    ProgressInfo header = info;
    header.newFiles.reset();
    std::string text = dump(headerJson(header));
    if (entries.empty()) return text;
    std::size_t extra = 16;
    for (const auto& e : entries) extra += e.size() + 1;
    text.reserve(text.size() + extra);
    text.pop_back();  // the closing brace
    text += ",\"newFiles\":[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) text += ',';
        text += entries[i];
    }
    text += "]}";
    return text;
}

std::optional<ProgressInfo> decodeProgress(std::string_view text) {
    json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    ProgressInfo p;
    if (!take(j, "bytesScanned", p.bytesScanned) || !take(j, "filesFound", p.filesFound) ||
        !take(j, "currentOffset", p.currentOffset) || !take(j, "totalBytes", p.totalBytes) ||
        !take(j, "phase", p.phase) || !take(j, "isComplete", p.isComplete) ||
        !takeOptional(j, "errorMessage", p.errorMessage))
        return std::nullopt;
    if (auto it = j.find("newFiles"); it != j.end() && !it->is_null()) {
        if (!it->is_array()) return std::nullopt;
        std::vector<RecoveredFileInfo> files;
        files.reserve(it->size());
        for (const auto& e : *it) {
            auto f = fileFromJson(e);
            if (!f) return std::nullopt;
            files.push_back(std::move(*f));
        }
        // An empty list says what an absent one says, and encodes as absent.
        if (!files.empty()) p.newFiles = std::move(files);
    }
    return p;
}

std::optional<RecoveredFileInfo> decodeFileEntry(std::string_view text) {
    json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return fileFromJson(j);
}

}  // namespace vf
