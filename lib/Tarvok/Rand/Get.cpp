#include "Tarvok/Rand/Get.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <unordered_map>
#include <vector>

#include "Tarvok/Exception.hpp"
#include "Tarvok/FHUtils/Blocking.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::Rand::Get {
namespace {

using Tarvok::Exception::BadArgument;
using Tarvok::Exception::create;

// What getrandom's buffer is pre-filled with; only the bytes the kernel reports are used.
constexpr char GETRANDOM_FILLER = '\0';
constexpr std::string_view FINGERPRINT_SEPARATOR = ":";

long _sys_getrandom(void* buffer, std::size_t length, unsigned flags) {
    return ::syscall(SYS_GETRANDOM, buffer, length, flags);
}
int _sys_open(const char* path, int flags) {
    return ::open(path, flags);
}
ssize_t _sys_read(int fd, void* buffer, std::size_t length) {
    return ::read(fd, buffer, length);
}

// Characters prepared for one alphabet. Handed out from the front; `pos` marks what is gone, so
// a short draw is a copy and not a shift of the whole pool.
struct Pool {
    std::string data;
    std::size_t pos = 0;

    std::size_t size() const { return data.size() - pos; }
    void clear() {
        data.clear();
        pos = 0;
    }
    void move_to(std::string& out, std::size_t count) {
        out.append(data, pos, count);
        pos += count;
        if (pos == data.size()) clear();
    }
    void compact() {
        if (pos == 0) return;
        data.erase(0, pos);
        pos = 0;
    }
};

// The prepared rejection and translation of one alphabet of n entries: a byte b is kept only
// when b <= last_good (last_good + 1 is a multiple of n), and then becomes entry b mod n.
struct Translator {
    std::array<char, NUMBER_OF_ASCII_CHARS> to_char{};
    unsigned last_good = 255;
    bool identity = false;

    // Appends the translation of `bytes` to `pool`.
    void append(std::string_view bytes, Pool& pool) const {
        pool.compact();
        if (identity) {
            pool.data.append(bytes);
            return;
        }
        std::size_t out = pool.data.size();
        pool.data.resize(out + bytes.size());
        char* dst = pool.data.data();
        for (unsigned char b : bytes) {
            if (b <= last_good) dst[out++] = to_char[b];
        }
        pool.data.resize(out);
    }
};

Translator _prepare_translator(std::string_view entries) {
    Translator tr;
    const std::size_t n = entries.size();
    const std::size_t first_bad = NUMBER_OF_ASCII_CHARS - (NUMBER_OF_ASCII_CHARS % n);
    tr.last_good = static_cast<unsigned>(first_bad - 1);
    for (std::size_t b = 0; b <= tr.last_good; ++b) tr.to_char[b] = entries[b % n];
    return tr;
}

struct State {
    KernelSources sources = real_kernel_sources();
    // Alphabet key (the entries joined; empty for raw bytes) -> prepared characters.
    std::unordered_map<std::string, Pool> entropy_pool;
    pid_t last_entropy_pool_owner = -1;
    std::optional<bool> getrandom_syscall_is_usable;
    std::unordered_map<std::string, Translator> translators;
    // The default alphabet's pool and translator, found once (map nodes never move).
    Pool* default_pool = nullptr;
    const Translator* default_translator = nullptr;
    std::string fingerprint;
    std::mt19937_64 weak;
    std::string buffer;
};

State& state() {
    static State s;
    return s;
}

// The process id, kept in a page that the kernel zeroes in every child (MADV_WIPEONFORK), so
// the pool owner check costs no system call yet still sees any fork. Without that facility
// every check asks the kernel.
pid_t _current_pid() {
    static pid_t* const cached = [] {
        const long page = ::sysconf(_SC_PAGESIZE);
        void* p = ::mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return static_cast<pid_t*>(nullptr);
        if (::madvise(p, static_cast<std::size_t>(page), MADV_WIPEONFORK) != 0) {
            ::munmap(p, static_cast<std::size_t>(page));
            return static_cast<pid_t*>(nullptr);
        }
        return static_cast<pid_t*>(p);
    }();
    if (cached == nullptr) return ::getpid();
    volatile pid_t* slot = cached;
    if (*slot == 0) *slot = ::getpid();
    return *slot;
}

void _warn(const std::string& text) {
    std::string line = text;
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::size_t _parse_length(std::string_view wanted) {
    if (wanted.empty()) return 0;
    std::size_t value = 0;
    const bool digits =
        std::all_of(wanted.begin(), wanted.end(), [](char c) { return c >= '0' && c <= '9'; });
    const auto [end, ec] = std::from_chars(wanted.data(), wanted.data() + wanted.size(), value);
    if (!digits || ec != std::errc() || end != wanted.data() + wanted.size()) {
        throw create<BadArgument>("The requested length '%s' is not a count.",
                                  std::vector<std::string>{std::string(wanted)});
    }
    return value;
}

std::string _fingerprint() {
    std::string groups = std::to_string(::getegid());
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> list(static_cast<std::size_t>(count));
        const int got = ::getgroups(count, list.data());
        for (int i = 0; i < got; ++i)
            groups += " " + std::to_string(list[static_cast<std::size_t>(i)]);
    }
    std::string fp = std::to_string(::geteuid());
    fp += FINGERPRINT_SEPARATOR;
    fp += std::to_string(::getuid());
    fp += FINGERPRINT_SEPARATOR;
    fp += groups;
    fp += FINGERPRINT_SEPARATOR;
    fp += std::to_string(::getpid());
    return fp;
}

void _reseed(std::mt19937_64& weak) {
    std::vector<std::uint64_t> seed = {
        static_cast<std::uint64_t>(
            std::chrono::high_resolution_clock::now().time_since_epoch().count()),
        static_cast<std::uint64_t>(::getpid()), reinterpret_cast<std::uintptr_t>(&weak)};
    try {
        std::random_device device;
        for (int i = 0; i < 4; ++i) seed.push_back(device());
    } catch (...) {
        // Both kernel sources have already failed; the clock and the process id have to do.
    }
    std::seed_seq sequence(seed.begin(), seed.end());
    weak.seed(sequence);
}

// The last resort: `count` characters from the process's pseudo-random generator, reseeded
// whenever the process or its credentials changed since the last seeding.
void _assemble_random_data_collection_without_random_device(std::string& out, std::size_t count,
                                                            std::string_view entries) {
    State& s = state();
    std::string fp = _fingerprint();
    if (fp != s.fingerprint) {
        s.fingerprint = std::move(fp);
        _reseed(s.weak);
    }
    const std::size_t n = entries.empty() ? NUMBER_OF_ASCII_CHARS : entries.size();
    std::uniform_int_distribution<std::size_t> index(0, n - 1);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t k = index(s.weak);
        out.push_back(entries.empty() ? static_cast<char>(k) : entries[k]);
    }
}

// The random device as used by one getranddata call: opened on first need, closed at the end.
class Device {
  public:
    // Fills `buffer` with up to `request` bytes. False when the device is given up for this
    // call (after a warning); true with an empty buffer when the caller should simply retry.
    bool read(State& s, std::string& buffer, std::size_t request) {
        if (!usable_) return false;
        if (!fd_ && !open(s)) return false;
        buffer.resize(request);
        const ssize_t got = s.sources.read(fd_.get(), buffer.data(), request);
        if (got > 0) {
            buffer.resize(static_cast<std::size_t>(got));
            return true;
        }
        const int error = got < 0 ? errno : 0;
        buffer.clear();
        if (++failed_reads_ > MAX_READ_ATTEMPTS) {
            _warn("Failed " + std::to_string(MAX_READ_ATTEMPTS) + " times to read data from " +
                  std::string(random_source) + "; giving up on it: " + std::strerror(error));
            usable_ = false;
            return false;
        }
        // poll rather than select: a descriptor number above FD_SETSIZE must not overrun a set.
        struct pollfd readable = {fd_.get(), POLLIN, 0};
        const struct timespec wait = {0, 12500000};
        ::ppoll(&readable, 1, &wait, nullptr);
        return true;
    }

  private:
    bool open(State& s) {
        const std::string path(random_source);
        fd_.reset(s.sources.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
        if (!fd_) {
            _warn("Failed to open " + path + ": " + std::strerror(errno));
            usable_ = false;
            return false;
        }
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0 || !S_ISCHR(st.st_mode)) {
            _warn("The " + path + " is not a character device, so it cannot be trusted for " +
                  "randomness.");
            fd_.reset();
            usable_ = false;
            return false;
        }
        FHUtils::Blocking::set_non_blocking(fd_);
        return true;
    }

    UniqueFd fd_;
    bool usable_ = true;
    int failed_reads_ = 0;
};

// One kernel request of `request` bytes into `buffer`. False when the random device has been
// given up for this call.
bool _fill_from_kernel(State& s, Device& device, std::string& buffer, std::size_t request) {
    if (s.getrandom_syscall_is_usable.value_or(true)) {
        buffer.assign(request, GETRANDOM_FILLER);
        long got;
        do {
            got = s.sources.getrandom(buffer.data(), request, GRND_NONBLOCK);
        } while (got == -1 && errno == _EINTR);
        if (got == -1) {
            const int error = errno;
            s.getrandom_syscall_is_usable = false;
            if (error != _ENOSYS) {
                _warn("getrandom() failed (" + std::string(std::strerror(error)) +
                      "); falling back to " + std::string(random_source));
            }
        } else {
            s.getrandom_syscall_is_usable = got > 0;
            // Only the bytes the kernel wrote are random; the filler beyond them is not.
            buffer.resize(static_cast<std::size_t>(std::max(got, 0L)));
        }
    }
    if (!*s.getrandom_syscall_is_usable) return device.read(s, buffer, request);
    return true;
}

std::string _getranddata(std::size_t wanted, const Alphabet& alphabet, std::size_t preload_count) {
    State& s = state();
    const pid_t pid = _current_pid();
    if (pid != s.last_entropy_pool_owner) {
        for (auto& [key, pool] : s.entropy_pool) pool.clear();
        s.last_entropy_pool_owner = pid;
    }
    const std::size_t preload = (preload_count ? preload_count : DEFAULT_PRELOAD_16TH) * 16;
    if (wanted == 0) wanted = DEFAULT_LENGTH;

    Pool* pool;
    const Translator* translator;
    std::string_view entries;
    if (std::holds_alternative<std::monostate>(alphabet)) {
        if (s.default_pool == nullptr) {
            const std::string key(DEFAULT_CHARACTERS);
            s.default_pool = &s.entropy_pool[key];
            s.default_translator =
                &s.translators.try_emplace(key, _prepare_translator(DEFAULT_CHARACTERS))
                     .first->second;
        }
        pool = s.default_pool;
        translator = s.default_translator;
        entries = DEFAULT_CHARACTERS;
    } else if (std::holds_alternative<RawBytes>(alphabet)) {
        static const Translator identity = [] {
            Translator t;
            t.identity = true;
            return t;
        }();
        pool = &s.entropy_pool[std::string()];
        translator = &identity;
    } else {
        const std::string& key = std::get<std::string>(alphabet);
        if (key.empty() || key.size() > NUMBER_OF_ASCII_CHARS) {
            throw create<BadArgument>(
                std::string("The character set for random data must hold from 1 to 256 "
                            "characters."));
        }
        pool = &s.entropy_pool[key];
        auto found = s.translators.find(key);
        if (found == s.translators.end()) {
            found = s.translators.emplace(key, _prepare_translator(key)).first;
        }
        translator = &found->second;
        entries = key;
    }

    std::string collected;
    collected.reserve(wanted);
    Device device;
    std::string& buffer = s.buffer;
    while (collected.size() < wanted) {
        for (;;) {
            if (pool->size() + collected.size() >= wanted) break;
            const std::size_t remaining = wanted - collected.size();
            const std::size_t pool_gap = preload > pool->size() ? preload - pool->size() : 0;
            if (!_fill_from_kernel(s, device, buffer, std::max(pool_gap, remaining))) break;
            translator->append(buffer, *pool);
        }
        const std::size_t remaining = wanted - collected.size();
        if (pool->size() > 0) {
            pool->move_to(collected, std::min(remaining, pool->size()));
        } else {
            _warn("Using a weak random generator.");
            _assemble_random_data_collection_without_random_device(collected, remaining, entries);
        }
    }
    return collected;
}

}  // namespace

KernelSources real_kernel_sources() {
    return {_sys_getrandom, _sys_open, _sys_read};
}

std::string getranddata(std::size_t wanted, const Alphabet& alphabet, std::size_t preload_count) {
    return _getranddata(wanted, alphabet, preload_count);
}

std::string getranddata(std::string_view wanted, const Alphabet& alphabet,
                        std::size_t preload_count) {
    return _getranddata(_parse_length(wanted), alphabet, preload_count);
}

void clear_pool() {
    for (auto& [key, pool] : state().entropy_pool) pool.clear();
}

void set_kernel_sources(const KernelSources& sources) {
    state().sources = sources;
}

std::optional<bool> getrandom_syscall_is_usable() {
    return state().getrandom_syscall_is_usable;
}

void reset() {
    state() = State();
}

}  // namespace Tarvok::Rand::Get
