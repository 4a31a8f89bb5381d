#include "Tarvok/JSON.hpp"

#include <fcntl.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "Tarvok/Carp.hpp"
#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"
#include "Tarvok/JSON/Unicode.hpp"
#include "Tarvok/LoadFile/ReadFast.hpp"
#include "Tarvok/UTF8/Strict.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::JSON {
namespace {

using rapidjson::SizeType;

// The reader checks the syntax of numbers but hands them over as text: they are converted here
// (see convert_number), because RapidJSON's own full-precision conversion turns "0e90" into a
// huge negative number, and its fast one is not exact. The iterative reader keeps the call stack
// flat whatever the input; the relaxed syntax adds comments and trailing commas.
constexpr unsigned STRICT_FLAGS =
    rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
constexpr unsigned RELAXED_FLAGS =
    STRICT_FLAGS | rapidjson::kParseTrailingCommasFlag | rapidjson::kParseCommentsFlag;

constexpr int PRETTY_INDENT = 3;

// Done once per process before the first codec use (see copy_boolean).
bool boolean_aliasing_done = false;

void ensure_boolean_aliasing() {
    if (!boolean_aliasing_done) copy_boolean();
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string os_error(int error) {
    return std::strerror(error);
}

// A warning straight to standard error, for the few messages that bypass the logger.
void warn(const std::string& message) {
    FHUtils::WholeIO::write_all(FHUtils::Handle{STDERR_FILENO}, message + "\n");
}

// open() for a path that arrives as bytes: a NUL inside would silently name another file.
int open_path(const std::string& path, int flags, mode_t mode = 0) {
    if (path.find('\0') != std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    return ::open(path.c_str(), flags | O_CLOEXEC, mode);
}

// False with errno saying why, as a failed open or close leaves it.
bool write_all(int fd, std::string_view bytes) {
    const FHUtils::WholeIO::Transfer wrote =
        FHUtils::WholeIO::write_all(FHUtils::Handle{fd}, bytes);
    if (!wrote) errno = wrote.error;
    return static_cast<bool>(wrote);
}

// ---- Encoding

[[noreturn]] void too_deep_to_encode() {
    throw Error("Cannot encode JSON nested deeper than " + std::to_string(MAX_DEPTH) + " levels");
}

// Sends `value` as SAX events to `out`, members sorted by key when `canonical`.
template <class Handler>
void emit(const Value& value, Handler& out, bool canonical, unsigned depth) {
    switch (value.GetType()) {
        case rapidjson::kNullType:
            out.Null();
            return;
        case rapidjson::kFalseType:
        case rapidjson::kTrueType:
            out.Bool(value.GetBool());
            return;
        case rapidjson::kNumberType: {
            bool written;
            if (value.IsInt()) {
                written = out.Int(value.GetInt());
            } else if (value.IsUint()) {
                written = out.Uint(value.GetUint());
            } else if (value.IsInt64()) {
                written = out.Int64(value.GetInt64());
            } else if (value.IsUint64()) {
                written = out.Uint64(value.GetUint64());
            } else {
                written = out.Double(value.GetDouble());
            }
            if (!written) throw Error("Cannot encode a number that is not finite as JSON");
            return;
        }
        case rapidjson::kStringType:
            out.String(value.GetString(), value.GetStringLength());
            return;
        case rapidjson::kArrayType:
            if (depth >= MAX_DEPTH) too_deep_to_encode();
            out.StartArray();
            for (const Value& element : value.GetArray()) emit(element, out, canonical, depth + 1);
            out.EndArray(value.Size());
            return;
        case rapidjson::kObjectType: {
            if (depth >= MAX_DEPTH) too_deep_to_encode();
            out.StartObject();
            if (canonical) {
                std::vector<const Value::Member*> members;
                members.reserve(value.MemberCount());
                for (const auto& m : value.GetObject()) members.push_back(&m);
                std::stable_sort(members.begin(), members.end(), [](const auto* a, const auto* b) {
                    return view(a->name) < view(b->name);
                });
                for (const auto* m : members) {
                    out.Key(m->name.GetString(), m->name.GetStringLength());
                    emit(m->value, out, canonical, depth + 1);
                }
            } else {
                for (const auto& m : value.GetObject()) {
                    out.Key(m.name.GetString(), m.name.GetStringLength());
                    emit(m.value, out, canonical, depth + 1);
                }
            }
            out.EndObject(value.MemberCount());
            return;
        }
    }
}

using CompactWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// The indented form: one member or element per line, PRETTY_INDENT spaces per level, " : "
// between key and value. Scalars are written by RapidJSON's own writer, so strings and numbers
// look exactly as in the compact form.
class SpacedPrettyWriter {
  public:
    explicit SpacedPrettyWriter(rapidjson::StringBuffer& out) : out_(out), scalar_(out) {}

    bool Null() { return scalar().Null(); }
    bool Bool(bool b) { return scalar().Bool(b); }
    bool Int(int i) { return scalar().Int(i); }
    bool Uint(unsigned u) { return scalar().Uint(u); }
    bool Int64(std::int64_t i) { return scalar().Int64(i); }
    bool Uint64(std::uint64_t u) { return scalar().Uint64(u); }
    bool Double(double d) { return scalar().Double(d); }
    bool String(const char* s, SizeType length) { return scalar().String(s, length); }
    bool Key(const char* s, SizeType length) { return String(s, length); }
    bool StartObject() { return open('{', true); }
    bool EndObject(SizeType) { return close('}'); }
    bool StartArray() { return open('[', false); }
    bool EndArray(SizeType) { return close(']'); }

  private:
    struct Level {
        bool in_object;
        unsigned count;  // keys and values written so far at this level
    };

    CompactWriter& scalar() {
        prefix();
        scalar_.Reset(out_);
        return scalar_;
    }
    void newline() {
        out_.Put('\n');
        for (std::size_t i = 0; i < levels_.size() * PRETTY_INDENT; ++i) out_.Put(' ');
    }
    void prefix() {
        if (levels_.empty()) return;
        Level& level = levels_.back();
        if (level.in_object && level.count % 2 == 1) {
            out_.Put(' ');
            out_.Put(':');
            out_.Put(' ');
        } else {
            if (level.count > 0) out_.Put(',');
            newline();
        }
        ++level.count;
    }
    bool open(char bracket, bool in_object) {
        prefix();
        out_.Put(bracket);
        levels_.push_back({in_object, 0});
        return true;
    }
    bool close(char bracket) {
        const bool empty = levels_.back().count == 0;
        levels_.pop_back();
        if (!empty) newline();
        out_.Put(bracket);
        return true;
    }

    rapidjson::StringBuffer& out_;
    CompactWriter scalar_;
    std::vector<Level> levels_;
};

std::string encode(const Value& value, bool pretty, bool canonical) {
    ensure_boolean_aliasing();
    rapidjson::StringBuffer buffer;
    if (pretty) {
        SpacedPrettyWriter writer(buffer);
        emit(value, writer, canonical, 0);
        buffer.Put('\n');
    } else {
        CompactWriter writer(buffer);
        emit(value, writer, canonical, 0);
    }
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool dump_to_fd(int fd, const Value& value, bool pretty, bool canonical) {
    return write_all(fd, encode(value, pretty, canonical));
}

bool dump_to_path(const std::string& path, const Value& value, bool pretty, bool canonical) {
    // Encode first: a value that cannot be encoded must not cost the file its old content.
    const std::string text = encode(value, pretty, canonical);
    UniqueFd fd(open_path(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (!fd) return false;
    if (!write_all(fd.get(), text)) return false;
    // A failing close can be the only sign that the data never reached the disk.
    return fd.close() == 0;
}

// ---- Decoding

// Turns number text that the reader has already checked into the value it stands for:
// integers that fit 64 bits stay integers, everything else becomes the nearest double.
// Returns false for a number too large for a double; one too small becomes zero.
template <class Target>
bool convert_number(std::string_view number, Target& target) {
    const char* const first = number.data();
    const char* const last = first + number.size();
    if (number.find_first_of(".eE") == std::string_view::npos) {
        if (number.front() == '-') {
            std::int64_t value;
            if (std::from_chars(first, last, value).ec == std::errc()) return target.Int64(value);
        } else {
            std::uint64_t value;
            if (std::from_chars(first, last, value).ec == std::errc()) return target.Uint64(value);
        }
    }
    // strtod, not std::from_chars: the latter's check of the rounding mode links libm into every
    // program, and loading it costs a short run such as a crontab listing more than all of its
    // JSON. The program never changes the C locale or the rounding mode, so both agree.
    const ErrnoGuard keep;
    char small[64];
    std::string large;
    const char* text = small;
    if (number.size() < sizeof small) {
        std::memcpy(small, first, number.size());
        small[number.size()] = '\0';
    } else {
        large.assign(number);
        text = large.c_str();
    }
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end != text + number.size()) return false;
    // Too large fails; too small has already become zero (or the nearest subnormal).
    if (errno == ERANGE && std::isinf(value)) return false;
    return target.Double(value);
}

// Forwards the reader's scalar events to the document being built; the handlers below add what
// they do with strings, numbers in text form and nesting.
class ScalarForwarder {
  public:
    explicit ScalarForwarder(Document& target) : target_(target) {}

    bool Null() { return target_.Null(); }
    bool Bool(bool b) { return target_.Bool(b); }
    bool Int(int i) { return target_.Int(i); }
    bool Uint(unsigned u) { return target_.Uint(u); }
    bool Int64(std::int64_t i) { return target_.Int64(i); }
    bool Uint64(std::uint64_t u) { return target_.Uint64(u); }
    bool Double(double d) { return target_.Double(d); }

  protected:
    Document& target_;
};

// Refuses nesting deeper than MAX_DEPTH, so hostile text can neither exhaust memory nor build an
// absurd tree, and numbers that no double can hold; refusal() then says why.
class DepthLimitedHandler : public ScalarForwarder {
  public:
    using ScalarForwarder::ScalarForwarder;

    bool RawNumber(const char* s, SizeType length, bool) {
        if (convert_number(std::string_view(s, length), target_)) return true;
        refusal_ = "Number too big to be stored in a double";
        return false;
    }
    bool String(const char* s, SizeType length, bool copy) {
        return target_.String(s, length, copy);
    }
    bool Key(const char* s, SizeType length, bool copy) { return target_.Key(s, length, copy); }
    bool StartObject() { return enter() && target_.StartObject(); }
    bool EndObject(SizeType count) {
        --depth_;
        return target_.EndObject(count);
    }
    bool StartArray() { return enter() && target_.StartArray(); }
    bool EndArray(SizeType count) {
        --depth_;
        return target_.EndArray(count);
    }

    /// Why the handler stopped the reader; empty when it did not.
    const std::string& refusal() const { return refusal_; }

  private:
    bool enter() {
        if (++depth_ <= MAX_DEPTH) return true;
        refusal_ = "Nesting deeper than " + std::to_string(MAX_DEPTH) + " levels";
        return false;
    }

    unsigned depth_ = 0;
    std::string refusal_;
};

// Copies every string (a value built by a caller may hold strings that only refer to memory it
// does not own).
class CopyingHandler : public ScalarForwarder {
  public:
    using ScalarForwarder::ScalarForwarder;

    bool String(const char* s, SizeType length) { return target_.String(s, length, true); }
    bool Key(const char* s, SizeType length) { return target_.Key(s, length, true); }
    bool StartObject() { return target_.StartObject(); }
    bool EndObject(SizeType count) { return target_.EndObject(count); }
    bool StartArray() { return target_.StartArray(); }
    bool EndArray(SizeType count) { return target_.EndArray(count); }
};

// An object is a map: when a key repeats, the last member wins, as it would in any map the
// text is read into. Objects with few members are checked pairwise, larger ones by sorting.
constexpr SizeType PAIRWISE_LIMIT = 16;

void drop_duplicate_members(Value& object) {
    const SizeType count = object.MemberCount();
    std::vector<bool> drop(count, false);
    bool any = false;
    const auto first = object.MemberBegin();
    if (count <= PAIRWISE_LIMIT) {
        for (SizeType i = 0; i < count; ++i) {
            for (SizeType j = i + 1; j < count; ++j) {
                if (view(first[i].name) == view(first[j].name)) {
                    drop[i] = any = true;
                    break;
                }
            }
        }
    } else {
        std::vector<SizeType> order(count);
        for (SizeType i = 0; i < count; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](SizeType a, SizeType b) {
            return view(first[a].name) < view(first[b].name);
        });
        for (SizeType k = 0; k + 1 < count; ++k) {
            if (view(first[order[k]].name) == view(first[order[k + 1]].name)) {
                drop[order[k]] = any = true;
            }
        }
    }
    if (!any) return;
    SizeType kept = 0;
    for (SizeType i = 0; i < count; ++i) {
        if (drop[i]) continue;
        if (kept != i) {
            first[kept].name.Swap(first[i].name);
            first[kept].value.Swap(first[i].value);
        }
        ++kept;
    }
    object.EraseMember(object.MemberBegin() + kept, object.MemberEnd());
}

void drop_duplicate_keys(Value& value) {
    if (value.IsArray()) {
        for (Value& element : value.GetArray()) drop_duplicate_keys(element);
    } else if (value.IsObject()) {
        // Indexing, not iterating: comparing RapidJSON's mutable member iterators is ambiguous
        // in C++20.
        const auto members = value.MemberBegin();
        for (SizeType i = 0; i < value.MemberCount(); ++i) drop_duplicate_keys(members[i].value);
        if (value.MemberCount() > 1) drop_duplicate_members(value);
    }
}

[[noreturn]] void decode_failure(std::string error, const std::optional<std::string>& source,
                                 const std::string& text) {
    Exception::Params params;
    params.emplace_back("error", std::move(error));
    if (source) params.emplace_back("path", *source);
    params.emplace_back("dataref", text);
    throw Exception::create<Exception::JSONDecodeFailure>(std::move(params));
}

std::string parse_error_text(rapidjson::ParseErrorCode code, std::size_t offset) {
    std::string message = rapidjson::GetParseError_En(code);
    if (!message.empty() && message.back() == '.') message.pop_back();
    return message + ", at byte offset " + std::to_string(offset);
}

template <unsigned Flags>
Loaded decode(std::string& text, const std::optional<std::string>& source) {
    ensure_boolean_aliasing();
    Unicode::replace_unicode_escapes_with_utf8(text);
    if (text.size() > std::numeric_limits<SizeType>::max()) {
        decode_failure("JSON text too long (" + std::to_string(text.size()) + " bytes)", source,
                       text);
    }

    // A memory stream knows where the text ends, so a NUL byte inside it is not taken for the
    // end; the reader stops there and the check below refuses what follows.
    rapidjson::MemoryStream stream(text.data(), text.size());
    rapidjson::ParseResult result;
    std::string refusal;
    Document document;
    auto generate = [&](Document& target) {
        DepthLimitedHandler handler(target);
        rapidjson::Reader reader;
        result = reader.Parse<Flags>(stream, handler);
        refusal = handler.refusal();
        return !result.IsError();
    };
    document.Populate(generate);

    if (!refusal.empty()) {
        decode_failure(refusal + ", at byte offset " + std::to_string(result.Offset()), source,
                       text);
    }
    if (result.IsError()) {
        decode_failure(parse_error_text(result.Code(), result.Offset()), source, text);
    }
    if (stream.Tell() != text.size()) {
        decode_failure(
            parse_error_text(rapidjson::kParseErrorDocumentRootNotSingular, stream.Tell()), source,
            text);
    }
    if (document.IsNull()) return std::nullopt;
    drop_duplicate_keys(document);
    return Loaded(std::move(document));
}

// ---- Files

std::string read_descriptor(int fd, std::size_t limit) {
    std::string content;
    if (limit == MAX_LOAD_LENGTH_UNLIMITED) {
        LoadFile::ReadFast::read_all_fast(fd, content);
        return content;
    }
    // Never more than the limit: what lies beyond it stays unread. A failing read ends the
    // reading and what arrived so far is decoded.
    FHUtils::WholeIO::read_to_end(FHUtils::Handle{fd}, content, limit);
    return content;
}

std::string read_path(const std::string& path) {
    UniqueFd fd(open_path(path, O_RDONLY));
    if (!fd) {
        const int error = errno;
        throw Error(
            Carp::safe_longmess("Cannot open the JSON file '" + path + "': " + os_error(error)));
    }
    std::string content;
    LoadFile::ReadFast::read_all_fast(fd.get(), content);
    if (content.empty()) {
        throw Error(Carp::safe_longmess("The JSON file '" + path + "' is empty"));
    }
    if (fd.close() != 0) {
        warn("Cannot close the JSON file '" + path + "': " + os_error(errno));
    }
    return content;
}

Loaded decode_content(std::string& content, const std::string& source, int check, bool relaxed) {
    if (check == DECODE_UTF8) {
        UTF8::Strict::decode(content);
        return relaxed ? LoadNoSetUTF8Relaxed(content, source) : LoadNoSetUTF8(content, source);
    }
    return relaxed ? LoadRelaxed(content, source) : Load(content, source);
}

Loaded load_file(int fd, std::size_t limit, int check, const std::string& source, bool relaxed) {
    std::string content = read_descriptor(fd, limit);
    const std::string name = source.empty() ? "descriptor " + std::to_string(fd) : source;
    return decode_content(content, name, check, relaxed);
}

Loaded load_file(const std::string& path, int check, const std::string& source, bool relaxed) {
    std::string content = read_path(path);
    return decode_content(content, source.empty() ? path : source, check, relaxed);
}

[[noreturn]] void sniff_failure(int error) {
    throw Error("Cannot sniff the input: " + os_error(error));
}

}  // namespace

// ---- Encoding

std::string Dump(const Value& value) {
    return encode(value, false, false);
}
std::string canonical_dump(const Value& value) {
    return encode(value, false, true);
}
std::string pretty_dump(const Value& value) {
    return encode(value, true, false);
}
std::string pretty_canonical_dump(const Value& value) {
    return encode(value, true, true);
}

std::string SafeDump(const Value& value) {
    const std::string plain = Dump(value);
    const auto slashes = static_cast<std::size_t>(std::count(plain.begin(), plain.end(), '/'));
    if (slashes == 0) return plain;
    // A "/" can only stand inside a string in JSON text, where "\/" means the same.
    std::string safe;
    safe.reserve(plain.size() + slashes);
    for (const char c : plain) {
        if (c == '/') safe.push_back('\\');
        safe.push_back(c);
    }
    return safe;
}

bool DumpFile(int fd, const Value& value) {
    return dump_to_fd(fd, value, false, false);
}
bool DumpFile(const std::string& path, const Value& value) {
    return dump_to_path(path, value, false, false);
}
bool DumpFilePretty(int fd, const Value& value) {
    return dump_to_fd(fd, value, true, false);
}
bool DumpFilePretty(const std::string& path, const Value& value) {
    return dump_to_path(path, value, true, false);
}
bool DumpFileCanonical(int fd, const Value& value) {
    return dump_to_fd(fd, value, false, true);
}
bool DumpFileCanonical(const std::string& path, const Value& value) {
    return dump_to_path(path, value, false, true);
}
bool DumpFilePrettyCanonical(int fd, const Value& value) {
    return dump_to_fd(fd, value, true, true);
}
bool DumpFilePrettyCanonical(const std::string& path, const Value& value) {
    return dump_to_path(path, value, true, true);
}

// ---- Decoding text

Loaded Load(std::string& text, const std::optional<std::string>& source) {
    return decode<STRICT_FLAGS>(text, source);
}
Loaded Load(std::string_view text, const std::optional<std::string>& source) {
    std::string copy(text);
    return Load(copy, source);
}
Loaded LoadRelaxed(std::string& text, const std::optional<std::string>& source) {
    return decode<RELAXED_FLAGS>(text, source);
}
Loaded LoadRelaxed(std::string_view text, const std::optional<std::string>& source) {
    std::string copy(text);
    return LoadRelaxed(copy, source);
}
// Texts are bytes here, so these decode exactly as Load and LoadRelaxed do.
Loaded LoadNoSetUTF8(std::string& text, const std::optional<std::string>& source) {
    return Load(text, source);
}
Loaded LoadNoSetUTF8(std::string_view text, const std::optional<std::string>& source) {
    return Load(text, source);
}
Loaded LoadNoSetUTF8Relaxed(std::string& text, const std::optional<std::string>& source) {
    return LoadRelaxed(text, source);
}
Loaded LoadNoSetUTF8Relaxed(std::string_view text, const std::optional<std::string>& source) {
    return LoadRelaxed(text, source);
}

// ---- Decoding files

Loaded LoadFile(int fd, const std::string& source, int check) {
    return load_file(fd, MAX_LOAD_LENGTH_UNLIMITED, check, source, false);
}
Loaded LoadFile(const std::string& path, const std::string& source, int check) {
    return load_file(path, check, source, false);
}
Loaded LoadFileRelaxed(int fd, const std::string& source, int check) {
    return load_file(fd, MAX_LOAD_LENGTH_UNLIMITED, check, source, true);
}
Loaded LoadFileRelaxed(const std::string& path, const std::string& source, int check) {
    return load_file(path, check, source, true);
}
Loaded SafeLoadFile(int fd, const std::string& source, int check) {
    return load_file(fd, MAX_LOAD_LENGTH, check, source, false);
}
Loaded SafeLoadFile(const std::string& path, const std::string& source, int check) {
    return load_file(path, check, source, false);
}
Loaded LoadFileNoSetUTF8(int fd, std::size_t limit, const std::string& source) {
    return load_file(fd, limit, DECODE_UTF8, source, false);
}
Loaded LoadFileNoSetUTF8(const std::string& path, std::size_t, const std::string& source) {
    return load_file(path, DECODE_UTF8, source, false);
}

// ---- Sniffing

bool looks_like_json(std::string_view text) {
    const auto first = std::find_if_not(text.begin(), text.end(), is_space);
    if (first == text.end()) return false;
    const char c = *first;
    return c == '[' || c == '{' || c == '"' || (c >= '0' && c <= '9');
}

bool looks_like_json(int fd) {
    std::string buffer;
    while (buffer.empty() || is_space(buffer.back())) {
        char byte;
        const ssize_t n = ::read(fd, &byte, 1);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            // Hand the descriptor back where it was before reporting.
            if (!buffer.empty()) ::lseek(fd, -static_cast<off_t>(buffer.size()), SEEK_CUR);
            sniff_failure(error);
        }
        if (n == 0) break;
        buffer.push_back(byte);
    }
    const bool result = looks_like_json(std::string_view(buffer));
    if (!buffer.empty() && ::lseek(fd, -static_cast<off_t>(buffer.size()), SEEK_CUR) < 0) {
        sniff_failure(errno);
    }
    return result;
}

// ---- Booleans

Value true_() {
    ensure_boolean_aliasing();
    return Value(true);
}
Value false_() {
    ensure_boolean_aliasing();
    return Value(false);
}

Value to_bool(const Value& value) {
    if (value.IsString() && view(value) == "false") return false_();
    return is_true(value) ? true_() : false_();
}
Value to_bool(const Value* value) {
    return value ? to_bool(*value) : false_();
}

void copy_boolean() {
    boolean_aliasing_done = true;
}

bool is_true(const Value& value) {
    switch (value.GetType()) {
        case rapidjson::kNullType:
        case rapidjson::kFalseType:
            return false;
        case rapidjson::kTrueType:
        case rapidjson::kObjectType:
        case rapidjson::kArrayType:
            return true;
        case rapidjson::kNumberType:
            if (value.IsInt64()) return value.GetInt64() != 0;
            if (value.IsUint64()) return value.GetUint64() != 0;
            return value.GetDouble() != 0.0;
        case rapidjson::kStringType: {
            const std::string_view bytes = view(value);
            return !bytes.empty() && bytes != "0";
        }
    }
    return false;
}
bool is_true(const Value* value) {
    return value && is_true(*value);
}

// ---- Reading and building values

namespace {
// RapidJSON wants a non-null pointer even for an empty string; an empty string_view may have none.
rapidjson::GenericStringRef<char> reference(std::string_view bytes) {
    static constexpr char empty[] = "";
    return rapidjson::StringRef(bytes.empty() ? empty : bytes.data(),
                                static_cast<SizeType>(bytes.size()));
}
}  // namespace

std::string_view view(const Value& value) {
    if (!value.IsString()) return {};
    return {value.GetString(), value.GetStringLength()};
}

const Value* member(const Value& object, std::string_view name) {
    if (!object.IsObject() || name.size() > std::numeric_limits<SizeType>::max()) return nullptr;
    const Value key(reference(name));
    const auto found = object.FindMember(key);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

Value* member(Value& object, std::string_view name) {
    return const_cast<Value*>(member(static_cast<const Value&>(object), name));
}

Value text(std::string_view bytes, Allocator& allocator) {
    if (bytes.size() > std::numeric_limits<SizeType>::max()) {
        throw Error("Cannot hold a string of " + std::to_string(bytes.size()) + " bytes in JSON");
    }
    const auto ref = reference(bytes);
    return Value(ref.s, ref.length, allocator);
}

Value copy(const Value& value, Allocator& allocator) {
    Document scratch(&allocator);
    auto generate = [&](Document& target) {
        CopyingHandler handler(target);
        emit(value, handler, false, 0);
        return true;
    };
    scratch.Populate(generate);
    return Value(std::move(static_cast<Value&>(scratch)));
}

ObjectBuilder::ObjectBuilder() : document_(rapidjson::kObjectType) {}

ObjectBuilder& ObjectBuilder::add_value(std::string_view name, Value&& value) {
    auto& allocator = document_.GetAllocator();
    document_.AddMember(text(name, allocator), value, allocator);
    return *this;
}

ObjectBuilder& ObjectBuilder::add(std::string_view name, std::nullptr_t) {
    return add_value(name, Value());
}

ObjectBuilder& ObjectBuilder::add(std::string_view name, std::string_view bytes) {
    return add_value(name, text(bytes, document_.GetAllocator()));
}

ObjectBuilder& ObjectBuilder::add(std::string_view name, const Value& value) {
    return add_value(name, copy(value, document_.GetAllocator()));
}

ObjectBuilder& ObjectBuilder::add(std::string_view name,
                                  const std::map<std::string, std::string>& strings) {
    auto& allocator = document_.GetAllocator();
    Value object(rapidjson::kObjectType);
    for (const auto& [key, bytes] : strings) {
        object.AddMember(text(key, allocator), text(bytes, allocator), allocator);
    }
    return add_value(name, std::move(object));
}

Document ObjectBuilder::release() {
    Document built(std::move(document_));
    document_ = Document(rapidjson::kObjectType);
    return built;
}

}  // namespace Tarvok::JSON
