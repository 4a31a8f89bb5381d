// Tarvok::SV: the trust marker applied to generated file names.
//
// Taint checking does not exist in C++, so there is nothing to clear: untaint() hands its
// argument back unchanged. It stays as the one named place where a value built from outside
// data is declared fit to be used as a path.
#pragma once

namespace Tarvok::SV {

/// Returns `value` itself.
template <class T>
constexpr T untaint(T value) {
    return value;
}

}  // namespace Tarvok::SV
