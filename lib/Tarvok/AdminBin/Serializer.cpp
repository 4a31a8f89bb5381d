#include "Tarvok/AdminBin/Serializer.hpp"

namespace Tarvok::AdminBin::Serializer {

Loaded LoadFile(int fd, std::size_t limit, const std::string& source) {
    return JSON::LoadFileNoSetUTF8(fd, limit, source);
}
Loaded LoadFile(const std::string& path, std::size_t limit, const std::string& source) {
    return JSON::LoadFileNoSetUTF8(path, limit, source);
}

Loaded SafeLoadFile(int fd, const std::string& source) {
    return JSON::LoadFileNoSetUTF8(fd, MAX_LOAD_LENGTH, source);
}
Loaded SafeLoadFile(const std::string& path, const std::string& source) {
    return JSON::LoadFileNoSetUTF8(path, MAX_LOAD_LENGTH, source);
}

// Reading well-formed UTF-8 text as characters changes none of its bytes, and the decoder
// hands strings back as bytes anyway, so the text goes straight to the decoder.
Loaded SafeLoad(std::string& text, const std::optional<std::string>& source) {
    return JSON::LoadNoSetUTF8(text, source);
}
Loaded SafeLoad(std::string_view text, const std::optional<std::string>& source) {
    return JSON::LoadNoSetUTF8(text, source);
}

Loaded clone(const Value& value) {
    std::string text = Dump(value);
    return JSON::LoadNoSetUTF8(text);
}

bool looks_like_serialized_data(std::string_view text) {
    return JSON::looks_like_json(text);
}
bool looks_like_serialized_data(int fd) {
    return JSON::looks_like_json(fd);
}

}  // namespace Tarvok::AdminBin::Serializer
