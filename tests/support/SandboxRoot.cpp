#include "support/SandboxRoot.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Tarvok/SysRoot.hpp"

namespace TestSupport {

SandboxRoot::SandboxRoot() {
    char tmpl[] = "/tmp/tarvok-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    // mkdtemp gives 0700; programs run as other accounts must reach the root too.
    if (chmod(dir_.c_str(), 0755) != 0) {
        remove_tree(dir_);
        throw std::runtime_error("chmod " + dir_ + ": " + std::strerror(errno));
    }
    setenv("TARVOK_SANDBOX_ROOT", dir_.c_str(), 1);
    Tarvok::SysRoot::reset();
}

SandboxRoot::~SandboxRoot() {
    remove_tree(dir_);
    unsetenv("TARVOK_SANDBOX_ROOT");
    Tarvok::SysRoot::reset();
}

void SandboxRoot::write(std::string_view absolute, std::string_view content, mode_t mode) const {
    const std::string full = path(absolute);
    make_dirs(full.substr(0, full.rfind('/')));
    write_file(full, content, mode);
}

void SandboxRoot::mkdirs(std::string_view absolute, mode_t mode) const {
    make_dirs(path(absolute), mode);
}

void make_dirs(const std::string& path, mode_t mode) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty() && mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            throw std::runtime_error("mkdir " + partial + ": " + std::strerror(errno));
        }
    }
}

void write_file(const std::string& path, std::string_view content, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        closedir(d);
    }
    return names;
}

void remove_tree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int flag, struct FTW*) {
            if (flag == FTW_DP) {
                chmod(p, 0700);
                rmdir(p);
            } else {
                unlink(p);
            }
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

std::string built(std::string_view relative) {
    return std::string(TARVOK_BUILD_DIR) + "/" + std::string(relative);
}

}  // namespace TestSupport
