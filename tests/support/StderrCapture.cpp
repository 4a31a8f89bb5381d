#include "support/StderrCapture.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/SandboxRoot.hpp"

namespace TestSupport {

StderrCapture::StderrCapture() : saved_(dup(STDERR_FILENO)) {
    char name[] = "/tmp/tarvok-stderr-XXXXXX";
    const int fd = mkstemp(name);
    if (saved_ < 0 || fd < 0) throw std::runtime_error("cannot capture standard error");
    file_ = name;
    std::fflush(stderr);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

StderrCapture::StderrCapture(const std::string& path) : saved_(dup(STDERR_FILENO)) {
    if (saved_ < 0) throw std::runtime_error("cannot capture standard error");
    std::fflush(stderr);
    if (path.empty()) {
        close(STDERR_FILENO);
        return;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    if (!file_.empty()) unlink(file_.c_str());
}

std::string StderrCapture::text() const {
    return file_.empty() ? std::string() : read_file(file_);
}

}  // namespace TestSupport
