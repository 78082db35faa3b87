#pragma once
// Counts cross from the stream layer (std::streamsize) to the devices (int).
#include <climits>
#include <ios>

namespace Kesp {

// The stream layer asks for one buffer (4096 bytes) at a time; a larger
// request is cut to what an int holds instead of wrapping, and the stream
// layer comes back for the rest.
inline int deviceCount(std::streamsize n) noexcept {
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

}  // namespace Kesp
