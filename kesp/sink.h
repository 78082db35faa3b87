#pragma once
// Kesp::Sink presents a device with write(const char*, int, std::error_code&)
// as a Boost.Iostreams Sink that throws the device's error. It refers to the
// device, which must outlive it; copies share that device, and closing a
// stream over it neither flushes nor closes the device.
#include <ios>
#include <system_error>

#include <boost/iostreams/concepts.hpp>

#include "kesp/device_count.h"

namespace Kesp {

template <typename Device>
class Sink : public boost::iostreams::device<boost::iostreams::output, char> {
 public:
  explicit Sink(Device& target) : device(target) {}

  // Bytes taken; a device error is thrown as std::system_error carrying
  // exactly the device's code.
  std::streamsize write(const char* s, std::streamsize n) {
    std::error_code ec;
    const int result = device.write(s, deviceCount(n), ec);
    if (ec.value() != 0) throw std::system_error(ec);
    return result;
  }

 private:
  Device& device;
};

}  // namespace Kesp
