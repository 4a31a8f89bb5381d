// Tarvok::Error: the plain error with a text that a few low-level helpers raise (read failures,
// over-long socket names). It stands outside the Tarvok::Exception family.
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>

namespace Tarvok {

class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& text) : Error(text, errno) {}

    /// errno as it was when the error was created (the failure's own error, before destructors
    /// running during the unwinding could change it).
    int saved_errno() const { return saved_errno_; }

  private:
    Error(const std::string& text, int saved) : std::runtime_error(text), saved_errno_(saved) {}

    int saved_errno_;
};

}  // namespace Tarvok
