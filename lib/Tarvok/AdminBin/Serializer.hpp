// Tarvok::AdminBin::Serializer: the JSON codec as the request client and the daemon use it.
//
// Requests are encoded with Dump (compact, member order kept, bytes as they are) and answers
// decoded with Load; everything here is Tarvok::JSON underneath (see JSON.hpp for the rules on
// bytes, escapes, nothing-for-null and decode failures). The loaders of this facade always check
// file contents as UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Tarvok/JSON.hpp"
#include "Tarvok/Wire.hpp"

namespace Tarvok::AdminBin::Serializer {

/// Sent as `serializer_version` in every request; the daemon refuses any other.
inline constexpr std::string_view VERSION = Wire::SERIALIZER_VERSION;
inline constexpr std::size_t MAX_LOAD_LENGTH = JSON::MAX_LOAD_LENGTH;
inline constexpr std::size_t MAX_PRIV_LOAD_LENGTH = JSON::MAX_PRIV_LOAD_LENGTH;

using JSON::Document;
using JSON::Loaded;
using JSON::Value;

using JSON::Dump;
using JSON::DumpFile;
using JSON::Load;
using JSON::SafeDump;

/// JSON::LoadFileNoSetUTF8: the UTF-8 check, and `limit` bytes at most from a descriptor.
Loaded LoadFile(int fd, std::size_t limit = JSON::MAX_LOAD_LENGTH_UNLIMITED,
                const std::string& source = {});
Loaded LoadFile(const std::string& path, std::size_t limit = JSON::MAX_LOAD_LENGTH_UNLIMITED,
                const std::string& source = {});

/// LoadFile with MAX_LOAD_LENGTH for descriptors.
Loaded SafeLoadFile(int fd, const std::string& source = {});
Loaded SafeLoadFile(const std::string& path, const std::string& source = {});

/// Decodes text that may or may not be UTF-8. Strings stay bytes either way, so this decodes
/// exactly as Load does; it never fails for the encoding alone.
Loaded SafeLoad(std::string& text, const std::optional<std::string>& source = std::nullopt);
Loaded SafeLoad(std::string_view text, const std::optional<std::string>& source = std::nullopt);

/// A deep copy made through JSON text: only what JSON carries survives, and the copy shares no
/// memory with `value`. Nothing for null.
Loaded clone(const Value& value);

/// JSON::looks_like_json.
bool looks_like_serialized_data(std::string_view text);
bool looks_like_serialized_data(int fd);

}  // namespace Tarvok::AdminBin::Serializer
