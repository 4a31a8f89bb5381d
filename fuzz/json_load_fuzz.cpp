// Feeds arbitrary bytes to the decoder, then checks that whatever decodes survives encoding and
// decoding again unchanged. The first byte picks how the rest is fed:
//   0 mod 3: as it is;  1 mod 3: every "%" turned into "\u", so the escape pass gets work;
//   2 mod 3: with the relaxed syntax.
// Give libFuzzer a scratch directory first so that the seeds stay as they are:
//   mkdir -p build-fuzz/corpus
//   build-fuzz/fuzz/json_load_fuzz -max_total_time=60 build-fuzz/corpus fuzz/corpus/json_load
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Tarvok/AdminBin/Serializer.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"

namespace JSON = Tarvok::JSON;

namespace {

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

}  // namespace

// Undefined behaviour counts as a crash, not as a line in the log.
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned mode = data[0] % 3;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (mode == 1) {
        std::string with_escapes;
        for (const char c : text) with_escapes += c == '%' ? std::string("\\u") : std::string(1, c);
        text.swap(with_escapes);
    }

    JSON::Loaded value;
    try {
        value = mode == 2 ? JSON::LoadRelaxed(text) : Tarvok::AdminBin::Serializer::Load(text);
    } catch (const Tarvok::Exception::JSONDecodeFailure&) {
        return 0;
    } catch (const Tarvok::Error&) {
        return 0;  // a misplaced surrogate escape
    }
    if (!value) return 0;

    std::string compact = JSON::Dump(*value);
    const std::string canonical = JSON::canonical_dump(*value);
    std::string pretty = JSON::pretty_canonical_dump(*value);
    std::string safe = JSON::SafeDump(*value);

    const JSON::Loaded again = JSON::Load(compact);
    check(again && *again == *value, "Load(Dump(x)) == x");
    check(JSON::canonical_dump(*again) == canonical, "canonical form is stable");
    const JSON::Loaded from_pretty = JSON::Load(pretty);
    check(from_pretty && JSON::canonical_dump(*from_pretty) == canonical, "pretty form decodes");
    const JSON::Loaded from_safe = JSON::Load(safe);
    check(from_safe && JSON::canonical_dump(*from_safe) == canonical, "safe form decodes");
    const JSON::Loaded cloned = Tarvok::AdminBin::Serializer::clone(*value);
    check(cloned && *cloned == *value, "clone is equal");
    return 0;
}
