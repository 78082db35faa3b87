#pragma once
// The error codes the devices make: a failed C library call gives its errno in
// the generic category; any use of a device that is not usable gives EIO.
#include <system_error>

namespace Kesp {

// errno as a device error. A failing call that left errno at 0 still gives a
// failure (EIO), so it can never read as success.
std::error_code errnoCode(int value) noexcept;

// What an operation on a device that is not open or has failed reports.
std::error_code notUsableCode() noexcept;

}  // namespace Kesp
