// Tarvok::JSON: the system's JSON layer over RapidJSON, for text, files and descriptors.
//
// Text is bytes throughout. Nothing is validated or transcoded as UTF-8 in either direction:
// whatever bytes a string holds are written as they are and read back as they were, so a crontab
// in Latin-1 or with broken UTF-8 survives a round trip. Before decoding, \uXXXX escapes are
// turned into UTF-8 bytes (Tarvok::JSON::Unicode), so decoded strings never depend on whether a
// character arrived raw or escaped. Strings carry their length; embedded NUL bytes survive.
//
// Decoded values live in a Document, which owns its memory and can be moved. JSON null at the
// top is "nothing" (std::nullopt), distinct from 0, false and "":
//
//     std::string answer = read_answer();
//     Tarvok::JSON::Loaded value = Tarvok::JSON::Load(answer);   // may rewrite `answer`
//     if (value && value->IsObject()) use(Tarvok::JSON::member(*value, "status"));
//
// Text that is not one JSON value (empty, only white space, anything but white space after the
// value, nesting deeper than MAX_DEPTH) raises Tarvok::Exception::JSONDecodeFailure with the
// codec's message, the source name and the text. Every call builds its own reader or writer;
// no setting outlives a call.
//
// Values to encode are RapidJSON values; ObjectBuilder makes the usual flat object easy. A type
// that converts itself offers `Value TO_JSON(Allocator&) const` and is accepted by every encoder.
#pragma once

#include <rapidjson/document.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace Tarvok::JSON {

using Value = rapidjson::Value;
using Document = rapidjson::Document;
using Allocator = Document::AllocatorType;

/// What the decoders return: the value, or std::nullopt for JSON null.
using Loaded = std::optional<Document>;

/// File loads: check the input as UTF-8 before decoding.
inline constexpr int DECODE_UTF8 = 1;
inline constexpr int NO_DECODE_UTF8 = 0;
/// Standard JSON syntax.
inline constexpr int LOAD_STRICT = 0;
/// Also allows comments and trailing commas.
inline constexpr int LOAD_RELAXED = 1;
/// Byte limit of SafeLoadFile when it reads from a descriptor.
inline constexpr std::size_t MAX_LOAD_LENGTH = 65535;
/// A larger limit offered to privileged callers.
inline constexpr std::size_t MAX_PRIV_LOAD_LENGTH = 4194304;
inline constexpr std::size_t MAX_LOAD_LENGTH_UNLIMITED = 0;
/// Deepest nesting of arrays and objects that is decoded or encoded.
inline constexpr unsigned MAX_DEPTH = 512;

/// A type that converts itself to a JSON value.
template <class T>
concept ConvertsItself = requires(const T& object, Allocator& allocator) {
    { object.TO_JSON(allocator) } -> std::same_as<Value>;
};

// ---- Encoding. A value that cannot be encoded (a NaN or infinite number, nesting deeper than
// MAX_DEPTH) raises Tarvok::Error.

/// Compact; members in the order the object holds them; "/" and non-ASCII bytes as they are.
std::string Dump(const Value& value);
/// Compact, members sorted by key (bytewise) at every depth.
std::string canonical_dump(const Value& value);
/// Indented by three spaces per level, " : " between key and value, one member per line.
std::string pretty_dump(const Value& value);
/// pretty_dump with members sorted by key at every depth.
std::string pretty_canonical_dump(const Value& value);
/// Dump with every "/" written as "\/", safe to embed in an HTML script element.
std::string SafeDump(const Value& value);

// ---- Encoding to a file: a descriptor is written to (and left open), a path is created or
// truncated. True on success; false when the path cannot be opened or the write fails.

bool DumpFile(int fd, const Value& value);
bool DumpFile(const std::string& path, const Value& value);
bool DumpFilePretty(int fd, const Value& value);
bool DumpFilePretty(const std::string& path, const Value& value);
bool DumpFileCanonical(int fd, const Value& value);
bool DumpFileCanonical(const std::string& path, const Value& value);
bool DumpFilePrettyCanonical(int fd, const Value& value);
bool DumpFilePrettyCanonical(const std::string& path, const Value& value);

// ---- Decoding text. The text is rewritten in place by the escape pass (see above); `source`
// names the text in a JSONDecodeFailure. Strings always come back as bytes, so the NoSetUTF8
// forms decode exactly as the others do; they exist for the callers that name them.
// The std::string_view forms decode a copy and leave the caller's text alone.

Loaded Load(std::string& text, const std::optional<std::string>& source = std::nullopt);
Loaded Load(std::string_view text, const std::optional<std::string>& source = std::nullopt);
Loaded LoadRelaxed(std::string& text, const std::optional<std::string>& source = std::nullopt);
Loaded LoadRelaxed(std::string_view text, const std::optional<std::string>& source = std::nullopt);
Loaded LoadNoSetUTF8(std::string& text, const std::optional<std::string>& source = std::nullopt);
Loaded LoadNoSetUTF8(std::string_view text,
                     const std::optional<std::string>& source = std::nullopt);
Loaded LoadNoSetUTF8Relaxed(std::string& text,
                            const std::optional<std::string>& source = std::nullopt);
Loaded LoadNoSetUTF8Relaxed(std::string_view text,
                            const std::optional<std::string>& source = std::nullopt);

// ---- Decoding a file. A descriptor is read from its current position (and left open); a
// path is opened, read whole and closed. `source` names the input in failures (empty: the
// path, or "descriptor N"). `check` DECODE_UTF8 refuses content that is not well-formed UTF-8.
// A non-zero `limit` caps the bytes read from a descriptor (the rest stays unread, and the cut
// text usually fails to decode); a path is always read whole. An unopenable or empty path
// raises Tarvok::Error naming it.

Loaded LoadFile(int fd, const std::string& source = {}, int check = NO_DECODE_UTF8);
Loaded LoadFile(const std::string& path, const std::string& source = {},
                int check = NO_DECODE_UTF8);
Loaded LoadFileRelaxed(int fd, const std::string& source = {}, int check = NO_DECODE_UTF8);
Loaded LoadFileRelaxed(const std::string& path, const std::string& source = {},
                       int check = NO_DECODE_UTF8);
/// LoadFile reading at most MAX_LOAD_LENGTH bytes from a descriptor.
Loaded SafeLoadFile(int fd, const std::string& source = {}, int check = NO_DECODE_UTF8);
Loaded SafeLoadFile(const std::string& path, const std::string& source = {},
                    int check = NO_DECODE_UTF8);
/// LoadFile with the UTF-8 check and a caller's limit.
Loaded LoadFileNoSetUTF8(int fd, std::size_t limit = MAX_LOAD_LENGTH_UNLIMITED,
                         const std::string& source = {});
Loaded LoadFileNoSetUTF8(const std::string& path, std::size_t limit = MAX_LOAD_LENGTH_UNLIMITED,
                         const std::string& source = {});

// ---- Sniffing: true when, after leading white space (space, tab, CR, LF), the first byte is
// "[", "{", a double quote or a digit. A descriptor is read byte by byte from its position
// through the white space and then set back where it was; a failing read or seek raises
// Tarvok::Error (so does a descriptor that cannot seek, such as a pipe).

bool looks_like_json(std::string_view text);
bool looks_like_json(int fd);

// ---- Booleans. true_ and false_ stand for the names true and false, which C++ keeps for itself.

/// JSON true (a boolean value, distinct from numbers and strings).
Value true_();
/// JSON false.
Value false_();
/// The value's truth as a JSON boolean; the string "false" counts as false.
Value to_bool(const Value& value);
/// to_bool of an absent value: false.
Value to_bool(const Value* value);
/// Makes the decoded booleans the ones true_() and false_() give. RapidJSON has one boolean
/// type, so this only records that it was done; the other entry points call it.
void copy_boolean();
/// The value's truth: null, false, 0, "" and "0" are false; everything else (lists and maps
/// included) is true. An absent value (nullptr) is false.
bool is_true(const Value& value);
bool is_true(const Value* value);

// ---- Reading and building values without ever treating strings as NUL-terminated.

/// The bytes of a string value; empty for any other value.
std::string_view view(const Value& value);
/// The member `name` of an object, or nullptr (also when `object` is not an object).
const Value* member(const Value& object, std::string_view name);
Value* member(Value& object, std::string_view name);
/// A string value holding a copy of `bytes`, allocated from `allocator`.
Value text(std::string_view bytes, Allocator& allocator);
/// A deep copy of `value`, allocated from `allocator`.
Value copy(const Value& value, Allocator& allocator);

/// Builds an object member by member, in order. Every value is copied into the object's own
/// document, so it may come from anywhere:
///
///     Document request = ObjectBuilder()
///                            .add("serializer_version", "1.0")
///                            .add("data", data)      // a Value, copied
///                            .add("action", nullptr) // JSON null
///                            .release();
class ObjectBuilder {
  public:
    ObjectBuilder();

    ObjectBuilder& add(std::string_view name, std::nullptr_t);
    ObjectBuilder& add(std::string_view name, std::string_view bytes);
    ObjectBuilder& add(std::string_view name, const char* bytes) {
        return add(name, std::string_view(bytes));
    }
    ObjectBuilder& add(std::string_view name, const std::string& bytes) {
        return add(name, std::string_view(bytes));
    }
    ObjectBuilder& add(std::string_view name, const Value& value);
    /// An object of strings, in key order.
    ObjectBuilder& add(std::string_view name, const std::map<std::string, std::string>& strings);
    /// bool stays a boolean; integers and floating point numbers become numbers.
    template <class T>
    requires std::is_arithmetic_v<T> ObjectBuilder& add(std::string_view name, T number) {
        return add_value(name, number_value(number));
    }
    /// Nothing becomes JSON null.
    template <class T>
    ObjectBuilder& add(std::string_view name, const std::optional<T>& maybe) {
        if (!maybe) return add(name, nullptr);
        return add(name, *maybe);
    }

    /// The object built so far; the builder is left empty.
    Document release();

  private:
    template <class T>
    static Value number_value(T number) {
        if constexpr (std::is_same_v<T, bool>) {
            return Value(number);
        } else if constexpr (std::is_floating_point_v<T>) {
            return Value(static_cast<double>(number));
        } else if constexpr (std::is_signed_v<T>) {
            return Value(static_cast<std::int64_t>(number));
        } else {
            return Value(static_cast<std::uint64_t>(number));
        }
    }
    ObjectBuilder& add_value(std::string_view name, Value&& value);

    Document document_;
};

// ---- Types that convert themselves go through the same encoders.

namespace detail {
template <ConvertsItself T>
Document converted(const T& object) {
    Document document;
    static_cast<Value&>(document) = object.TO_JSON(document.GetAllocator());
    return document;
}
}  // namespace detail

template <ConvertsItself T>
std::string Dump(const T& object) {
    return Dump(detail::converted(object));
}
template <ConvertsItself T>
std::string canonical_dump(const T& object) {
    return canonical_dump(detail::converted(object));
}
template <ConvertsItself T>
std::string pretty_dump(const T& object) {
    return pretty_dump(detail::converted(object));
}
template <ConvertsItself T>
std::string pretty_canonical_dump(const T& object) {
    return pretty_canonical_dump(detail::converted(object));
}
template <ConvertsItself T>
std::string SafeDump(const T& object) {
    return SafeDump(detail::converted(object));
}
template <class File, ConvertsItself T>
bool DumpFile(const File& file, const T& object) {
    return DumpFile(file, detail::converted(object));
}
template <class File, ConvertsItself T>
bool DumpFilePretty(const File& file, const T& object) {
    return DumpFilePretty(file, detail::converted(object));
}
template <class File, ConvertsItself T>
bool DumpFileCanonical(const File& file, const T& object) {
    return DumpFileCanonical(file, detail::converted(object));
}
template <class File, ConvertsItself T>
bool DumpFilePrettyCanonical(const File& file, const T& object) {
    return DumpFilePrettyCanonical(file, detail::converted(object));
}

}  // namespace Tarvok::JSON
