// Tarvok::Error: the plain error with a text that a few low-level helpers raise (read failures,
// over-long socket names). It stands outside the Tarvok::Exception family.
#pragma once

#include <stdexcept>
#include <string>

namespace Tarvok {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& text) : std::runtime_error(text) {}
};

}  // namespace Tarvok
