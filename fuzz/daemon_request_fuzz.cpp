// Feeds arbitrary bytes to the daemon's request parser and crontab checker: whatever arrives on
// the socket must end in a request or a reason, never in a crash, a hang or a stray read.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "CrontabCheck.hpp"
#include "Protocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto parsed = Tvwrapd::Protocol::parse_request(bytes);
    if (const auto* request = std::get_if<Tvwrapd::Protocol::Request>(&parsed)) {
        (void)Tvwrapd::CrontabCheck::check(request->crontab);
    } else {
        (void)Tvwrapd::Protocol::error_answer(
            std::get<Tvwrapd::Protocol::BadRequest>(parsed).reason);
    }
    // The same bytes as a crontab text: the checker sees every line shape the fuzzer invents.
    if (const auto problem = Tvwrapd::CrontabCheck::check(bytes)) {
        (void)Tvwrapd::Protocol::save_answer(false, *problem);
    }
    return 0;
}
