#include "Tarvok/PwCache/Find.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "Tarvok/LoadFile/ReadFast.hpp"
#include "Tarvok/PwCache/FindDetail.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace Tarvok::PwCache::Find {
namespace {

constexpr std::size_t npos = std::string_view::npos;

std::size_t _find_plain(std::string_view haystack, std::string_view needle, std::size_t from) {
    if (from > haystack.size()) return npos;
    const void* hit =
        ::memmem(haystack.data() + from, haystack.size() - from, needle.data(), needle.size());
    return hit == nullptr ? npos : static_cast<const char*>(hit) - haystack.data();
}

#if defined(__x86_64__)
// Account files are mostly the same few bytes (letters, digits, ':', '/'), so no single byte of a
// needle is rare enough for a memchr scan. Instead each vector step tests three bytes of the
// needle at once, its first, its last and the one before the last, which for our needles are the
// separator, the value's last character and the closing separator: a position has to match all
// three before the rest of it is compared, so only a few positions per thousand lines get compared.

// Compares in line: a library call inside the scan loops would make the compiler spill the
// vector registers around it on every step.
inline bool _same_bytes(const char* a, const char* b, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

__attribute__((target("avx2"))) inline std::uint32_t _probe_avx2(const char* at, std::size_t inner,
                                                                 std::size_t last,
                                                                 __m256i first_byte,
                                                                 __m256i inner_byte,
                                                                 __m256i last_byte) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + inner));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + last));
    const __m256i hits = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpeq_epi8(a, first_byte), _mm256_cmpeq_epi8(b, inner_byte)),
        _mm256_cmpeq_epi8(c, last_byte));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(hits));
}

__attribute__((target("avx2"))) std::size_t _find_avx2(std::string_view haystack,
                                                       std::string_view needle, std::size_t from) {
    const char* hay = haystack.data();
    const char* pattern = needle.data();
    const std::size_t n = haystack.size();
    const std::size_t m = needle.size();
    const std::size_t last = m - 1;
    const std::size_t inner = m - 2;
    const __m256i first_byte = _mm256_set1_epi8(pattern[0]);
    const __m256i inner_byte = _mm256_set1_epi8(pattern[inner]);
    const __m256i last_byte = _mm256_set1_epi8(pattern[last]);
    std::size_t i = from;
    for (; i + last + 64 <= n; i += 64) {
        std::uint64_t mask = _probe_avx2(hay + i, inner, last, first_byte, inner_byte, last_byte) |
                             static_cast<std::uint64_t>(_probe_avx2(
                                 hay + i + 32, inner, last, first_byte, inner_byte, last_byte))
                                 << 32;
        for (; mask != 0; mask &= mask - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctzll(mask));
            if (_same_bytes(hay + at + 1, pattern + 1, m - 1)) return at;
        }
    }
    return _find_plain(haystack, needle, i);
}

std::size_t _find_sse2(std::string_view haystack, std::string_view needle, std::size_t from) {
    const char* hay = haystack.data();
    const char* pattern = needle.data();
    const std::size_t n = haystack.size();
    const std::size_t m = needle.size();
    const std::size_t last = m - 1;
    const std::size_t inner = m - 2;
    const __m128i first_byte = _mm_set1_epi8(pattern[0]);
    const __m128i inner_byte = _mm_set1_epi8(pattern[inner]);
    const __m128i last_byte = _mm_set1_epi8(pattern[last]);
    std::size_t i = from;
    for (; i + last + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + inner));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + last));
        const __m128i hits = _mm_and_si128(
            _mm_and_si128(_mm_cmpeq_epi8(a, first_byte), _mm_cmpeq_epi8(b, inner_byte)),
            _mm_cmpeq_epi8(c, last_byte));
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits)); mask != 0;
             mask &= mask - 1) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (_same_bytes(hay + at + 1, pattern + 1, m - 1)) return at;
        }
    }
    return _find_plain(haystack, needle, i);
}

using Finder = std::size_t (*)(std::string_view, std::string_view, std::size_t);

// AVX2 is usable when the processor has it and the kernel saves the YMM registers. Asked here,
// when a search first needs it: __builtin_cpu_supports would link in libgcc's CPU survey, which
// runs a dozen CPUID instructions in every process at start-up, and under a hypervisor each of
// them costs a trap.
bool _has_avx2() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) {
        return false;
    }
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 0x6) != 0x6) return false;  // XMM and YMM state
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_AVX2) != 0;
}

Finder _pick_finder() {
    return _has_avx2() ? _find_avx2 : _find_sse2;
}
#endif

void _lower_ascii(char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    }
}

}  // namespace

std::vector<std::string> split_pw_line(std::string_view line) {
    std::vector<std::string> fields;
    for (;;) {
        const std::size_t colon = line.find(':');
        fields.emplace_back(line.substr(0, colon));
        if (colon == npos) break;
        line.remove_prefix(colon + 1);
    }
    while (!fields.empty() && fields.back().empty()) fields.pop_back();
    return fields;
}

namespace {

// The line of `haystack` (which starts with a line feed and holds whole lines) that carries
// `needle` as its field number `field`.
std::optional<std::string_view> _matching_line(std::string_view haystack, std::size_t field,
                                               std::string_view needle) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t p = detail::find_needle(haystack, needle, from);
        if (p == npos) return std::nullopt;
        const std::size_t after = p + needle.size();
        std::size_t line_start = p + 1;
        bool accepted = true;
        if (field != 0) {
            // The needle's leading ":" must be the field-th separator of its line, and the value
            // must end the field: ":100" in "x:x:1000:" or in the gid column is no uid 100.
            const void* line_feed = ::memrchr(haystack.data(), '\n', p + 1);
            line_start = line_feed == nullptr
                             ? 0
                             : static_cast<const char*>(line_feed) - haystack.data() + 1;
            const std::string_view head = haystack.substr(line_start, p + 1 - line_start);
            const auto separators =
                static_cast<std::size_t>(std::count(head.begin(), head.end(), ':'));
            accepted = separators == field && (after == haystack.size() || haystack[after] == ':' ||
                                               haystack[after] == '\n');
        }
        if (accepted) {
            std::size_t line_end = haystack.find('\n', after);
            if (line_end == npos) line_end = haystack.size();
            return haystack.substr(line_start, line_end - line_start);
        }
        from = after;
    }
}

// The read buffer of the file search: raw memory (zero-filling each chunk before the kernel
// overwrites it would cost a fifth of the search), and every read lands on a page boundary with
// the incomplete line from the previous read moved just in front of it. The kernel's copy into a
// destination a few bytes past a page boundary (where a plain heap buffer plus a short carried
// line usually puts it) runs several times slower on common x86 CPUs than an aligned one, and the
// copy is already the larger part of a search. A small file is read whole by one read (and its
// end found by the next) into a buffer of its size, aligned to a cache line only: its bytes and
// the line feed in front of them then share their pages with the rest of the heap instead of
// taking two pages of their own.
class ReadBuffer {
  public:
    /// Room for the reads of `fd`.
    explicit ReadBuffer(int fd)
        : chunk_(_chunk_for(fd)), align_(chunk_ < PW_CHUNK_SIZE ? CACHE_LINE : PAGE) {
        _allocate(align_);
    }
    char* read_at() const { return base_ + headroom_; }
    std::size_t chunk() const { return chunk_; }
    /// Moves `length` bytes at `text` to end right where the next read starts.
    void keep_before_read_at(const char* text, std::size_t length) {
        if (length <= headroom_) {
            std::memmove(read_at() - length, text, length);
            return;
        }
        // A line longer than the room in front: grow, keeping the bytes.
        std::unique_ptr<char[]> old = std::move(storage_);
        _allocate((length + align_ - 1) / align_ * align_);
        std::memcpy(read_at() - length, text, length);
    }

  private:
    static constexpr std::size_t PAGE = 4096;
    static constexpr std::size_t CACHE_LINE = 64;
    static std::size_t _chunk_for(int fd) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return PW_CHUNK_SIZE;
        return std::min((static_cast<std::size_t>(st.st_size) + PAGE) / PAGE * PAGE, PW_CHUNK_SIZE);
    }
    void _allocate(std::size_t headroom) {
        storage_.reset(new char[align_ + headroom + chunk_]);
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.get());
        base_ = storage_.get() + ((align_ - address % align_) % align_);
        headroom_ = headroom;
    }
    std::size_t chunk_;
    std::size_t align_;
    std::unique_ptr<char[]> storage_;
    char* base_ = nullptr;
    std::size_t headroom_ = 0;
};

}  // namespace

namespace detail {

namespace {
template <class Search>
std::size_t _find_short_or(std::string_view haystack, std::string_view needle, std::size_t from,
                           Search search) {
    if (from > haystack.size()) return npos;
    if (needle.empty()) return from;
    if (needle.size() == 1) {
        const void* hit = std::memchr(haystack.data() + from, needle[0], haystack.size() - from);
        return hit == nullptr ? npos : static_cast<const char*>(hit) - haystack.data();
    }
    return search(haystack, needle, from);
}
}  // namespace

std::size_t find_needle(std::string_view haystack, std::string_view needle, std::size_t from) {
#if defined(__x86_64__)
    static const Finder finder = _pick_finder();
    return _find_short_or(haystack, needle, from, finder);
#else
    return _find_short_or(haystack, needle, from, _find_plain);
#endif
}

std::size_t find_needle_baseline(std::string_view haystack, std::string_view needle,
                                 std::size_t from) {
#if defined(__x86_64__)
    return _find_short_or(haystack, needle, from, _find_sse2);
#else
    return _find_short_or(haystack, needle, from, _find_plain);
#endif
}

}  // namespace detail

bool is_single_field_value(std::string_view value) {
    return value.find_first_of(std::string_view(":\n\r\0", 4)) == npos;
}

std::vector<std::string> field_with_value_in_pw_file(int fd, std::size_t field,
                                                     std::string_view value, bool lc_flag) {
    if (!is_single_field_value(value)) return {};
    // The needle carries its separators (and for the name its line start) so that most false
    // hits never reach the separator count.
    std::string needle = field == 0 ? "\n" + std::string(value) + ":" : ":" + std::string(value);
    if (lc_flag) _lower_ascii(needle.data(), needle.size());

    // The searched text always begins with a line feed: the one that ended the previous piece,
    // or for the first line of the file one of our own. Each pass searches the whole lines read
    // so far and keeps the incomplete last line for the next read to extend, so that a line
    // straddling two reads is seen whole.
    ReadBuffer buffer(fd);
    std::size_t tail = 1;
    buffer.read_at()[-1] = '\n';
    for (;;) {
        const std::size_t n = LoadFile::ReadFast::read_fast(fd, buffer.read_at(), buffer.chunk());
        char* const begin = buffer.read_at() - tail;
        const std::size_t used = tail + n;
        if (n == 0 && used <= 1) break;
        std::size_t whole = used;
        if (n > 0) whole = static_cast<const char*>(::memrchr(begin, '\n', used)) - begin;
        if (lc_flag) _lower_ascii(begin, whole);
        if (const auto line = _matching_line(std::string_view(begin, whole), field, needle)) {
            return split_pw_line(*line);
        }
        if (n == 0) break;
        tail = used - whole;
        buffer.keep_before_read_at(begin + whole, tail);
    }
    return {};
}

}  // namespace Tarvok::PwCache::Find
