#include "Tarvok/TVERROR.hpp"

namespace Tarvok {

std::map<std::string, std::string> TVERROR;
std::optional<std::string> context;

}  // namespace Tarvok
