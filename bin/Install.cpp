// Giving the account a new crontab: the install request every install goes through, and the
// installs from a named file and from standard input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Answer.hpp"
#include "Frontend.hpp"
#include "Operations.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"
#include "Tarvok/JSON.hpp"
#include "Tarvok/Process.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace PenSafeCrontab {
namespace {

namespace JSON = Tarvok::JSON;
namespace Key = Tarvok::Wire::Key;

constexpr std::string_view INSTALL_FAILED =
    "Your crontab could not be installed by the crontab service: ";
constexpr std::string_view INSTALLED = ": your crontab has been updated";
constexpr std::string_view REFUSED_WITHOUT_REASON =
    "The crontab service did not install your crontab and gave no reason.";

// Part of a crontab is worse than none: after a failed read nothing is sent.
[[noreturn]] void _unreadable(const std::string& what, int error) {
    if (error == EFBIG) {
        print(too_large_notice() + "\n");
    } else {
        print(program().invocation_name + ": could not read " + what + ": " + std::strerror(error) +
              ".\n");
    }
    Tarvok::Process::exit(1);
}

void _install_and_report(std::string_view text) {
    const StatusText installed = _install_new_crontab(text);
    print(installed.text + "\n");
    // `crontab jobs && echo installed` must not say so when nothing was installed.
    if (!installed.status) Tarvok::Process::exit(1);
}

}  // namespace

int read_crontab(int fd, std::string& text) {
    namespace WholeIO = Tarvok::FHUtils::WholeIO;
    const WholeIO::Transfer got =
        WholeIO::read_to_end(Tarvok::FHUtils::Handle{fd}, text, MAX_CRONTAB_LENGTH + 1);
    if (got.error != 0) return got.error;
    return text.size() > MAX_CRONTAB_LENGTH ? EFBIG : 0;
}

int load_crontab(const std::string& path, std::string& text) {
    const Tarvok::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) return errno;
    return read_crontab(fd.get(), text);
}

std::string too_large_notice() {
    return program().invocation_name + ": crontab too large (more than " +
           std::to_string(MAX_CRONTAB_LENGTH) + " bytes).";
}

StatusText _install_new_crontab(std::string_view text) {
    const Tarvok::Wrap::Result saved =
        ask_crontab_service(SAVE_FUNCTION, JSON::ObjectBuilder().add(Key::CRONTAB, text).release());
    const JSON::Value* data = saved.get(Key::DATA);
    if (!saved.status() || !JSON::is_true(data)) {
        return {false, std::string(INSTALL_FAILED) + saved.statusmsg()};
    }
    // A text in place of the map can only be the daemon's word on why it failed.
    if (data->IsString())
        return {false, std::string(INSTALL_FAILED) + std::string(JSON::view(*data))};
    if (!data->IsObject()) return {false, unusable_answer(Key::DATA, *data)};

    if (JSON::is_true(JSON::member(*data, Key::STATUS))) {
        return {true, program().invocation_name + std::string(INSTALLED)};
    }
    const JSON::Value* reason = JSON::member(*data, Key::STATUSMSG);
    if (says_nothing(reason)) {
        // An empty line after a refused install would read like success.
        return {false, std::string(REFUSED_WITHOUT_REASON)};
    }
    if (!reason->IsString()) return {false, unusable_answer(Key::STATUSMSG, *reason)};
    return {false, std::string(JSON::view(*reason))};
}

void _install_crontab_from_file() {
    const Program& values = program();
    const std::string file(values.first_argument().value_or(""));

    // A directory passes here and fails in reading; an entry we may not even look at is left
    // to the read as well, which then names the real reason.
    struct stat status {};
    if (stat(file.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        print("'" + file + "' does not exist.\n");
        _usage();
    }

    std::string text;
    if (const int error = load_crontab(file, text)) _unreadable("'" + file + "'", error);
    if (text.empty()) {
        print(values.invocation_name + ": file '" + file + "' is empty.\n");
        _usage();
    }
    _install_and_report(text);
}

void _install_crontab_from_stdin() {
    std::string text;
    if (const int error = read_crontab(STDIN_FILENO, text)) _unreadable("standard input", error);
    if (text.empty()) {
        print("Nothing to install: standard input is empty.\n");
        _usage();
    }
    _install_and_report(text);
}

}  // namespace PenSafeCrontab
