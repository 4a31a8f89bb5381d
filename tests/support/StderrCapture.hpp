// Sends this process's standard error (descriptor 2) into a temporary file while the object
// lives, or onto a given descriptor (/dev/full, a closed one) to make writes fail.
#pragma once

#include <string>

namespace TestSupport {

class StderrCapture {
  public:
    /// Captures into a temporary file.
    StderrCapture();
    /// Points descriptor 2 at `path` opened for writing; with an empty path, closes it.
    explicit StderrCapture(const std::string& path);
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    /// Everything written so far (capturing into a temporary file only).
    std::string text() const;

  private:
    int saved_ = -1;
    std::string file_;
};

}  // namespace TestSupport
