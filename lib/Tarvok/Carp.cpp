#include "Tarvok/Carp.hpp"

#include "Tarvok/ErrnoGuard.hpp"

namespace Tarvok::Carp {

std::string safe_longmess(std::string_view message, const char* file_name, unsigned line) {
    ErrnoGuard keep;
    std::string_view file = file_name;
    if (const auto slash = file.rfind('/'); slash != std::string_view::npos) {
        file.remove_prefix(slash + 1);
    }
    std::string text(message);
    text += " at ";
    text += file;
    text += " line ";
    text += std::to_string(line);
    text += '.';
    return text;
}

}  // namespace Tarvok::Carp
