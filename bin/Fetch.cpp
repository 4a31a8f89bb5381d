// Fetching the account's crontab (the gate every operation passes), listing and removing it.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Answer.hpp"
#include "Operations.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"
#include "Tarvok/JSON.hpp"
#include "Tarvok/Process.hpp"

namespace PenSafeCrontab {
namespace {

namespace JSON = Tarvok::JSON;
namespace Key = Tarvok::Wire::Key;

constexpr std::string_view FETCH_FAILED =
    "Your crontab could not be fetched from the crontab service: ";
constexpr std::string_view NO_CRONTAB = "The crontab service sent no crontab: ";

std::string _refusal(const Program& values) {
    // Only a password database that changed under us leaves the name unknown here.
    const std::string who = values.username.value_or("uid " + std::to_string(geteuid()));
    return "User " + who + " is not allowed to manage a crontab with " + values.invocation_name +
           "; ask your hosting provider to enable it.";
}

}  // namespace

StatusText _get_crontab_text() {
    const Tarvok::Wrap::Result fetched = ask_crontab_service(FETCH_FUNCTION);
    if (!fetched.status()) return {false, std::string(FETCH_FAILED) + fetched.statusmsg()};

    const JSON::Value* data = fetched.get(Key::DATA);
    if (says_nothing(data)) {
        // Say what is missing instead.
        return {false, std::string(NO_CRONTAB) + fetched.statusmsg()};
    }
    // A text in place of the map is the daemon's own failure message.
    if (data->IsString()) return {false, std::string(JSON::view(*data))};
    if (!data->IsObject()) return {false, unusable_answer(Key::DATA, *data)};

    // A refusal wins even over an answer that carries a crontab.
    if (JSON::is_true(JSON::member(*data, Key::DENIED))) return {false, _refusal(program())};

    const JSON::Value* crontab = JSON::member(*data, Key::CRONTAB);
    if (crontab == nullptr) return {false, std::string(NO_CRONTAB) + fetched.statusmsg()};
    if (crontab->IsNull()) return {true, {}};
    if (!crontab->IsString()) return {false, unusable_answer(Key::CRONTAB, *crontab)};
    return {true, std::string(JSON::view(*crontab))};
}

void _display_crontab() {
    // Whatever was printed before goes first; the crontab is written straight to the descriptor,
    // as a buffer for standard output would only be one more copy and the pages to hold it.
    int error = std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : (errno != 0 ? errno : EIO);
    if (error == 0) {
        error = Tarvok::FHUtils::WholeIO::write_all(Tarvok::FHUtils::Handle{STDOUT_FILENO},
                                                    program().crontab_text)
                    .error;
    }
    // A listing that did not arrive must not end as a success.
    if (error != 0) {
        std::fprintf(stderr, "%s: could not write the crontab to standard output: %s\n",
                     program().invocation_name.c_str(), std::strerror(error));
        Tarvok::Process::exit(1);
    }
    // Nothing that owns a file is alive here, so the run may end without unwinding: throwing
    // the exit request would cost the commonest command a fifth of its start-up in the
    // unwinder and the memory it touches.
    std::exit(0);
}

void _remove_crontab() {
    // Removing is installing the empty crontab.
    const StatusText removed = _install_new_crontab("");
    print(removed.text + "\n");
    Tarvok::Process::exit(removed.status ? 0 : 1);
}

}  // namespace PenSafeCrontab
