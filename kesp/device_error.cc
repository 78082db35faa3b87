#include "kesp/device_error.h"

#include <cerrno>

namespace Kesp {

std::error_code errnoCode(int value) noexcept {
  return std::error_code(value != 0 ? value : EIO, std::generic_category());
}

std::error_code notUsableCode() noexcept { return std::error_code(EIO, std::generic_category()); }

}  // namespace Kesp
