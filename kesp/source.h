#pragma once
// Kesp::Source presents a device with read(char*, int, std::error_code&) as
// a Boost.Iostreams Source that throws the device's error. It refers to the
// device, which must outlive it; copies share that device, and closing a
// stream over it leaves the device open.
#include <ios>
#include <system_error>

#include <boost/iostreams/concepts.hpp>

#include "kesp/device_count.h"

namespace Kesp {

template <typename Device>
class Source : public boost::iostreams::device<boost::iostreams::input, char> {
 public:
  explicit Source(Device& target) : device(target) {}

  // Bytes read, or -1 at the end of the input; a device error is thrown
  // as std::system_error carrying exactly the device's code.
  std::streamsize read(char* s, std::streamsize n) {
    std::error_code ec;
    const int result = device.read(s, deviceCount(n), ec);
    if (ec.value() != 0) throw std::system_error(ec);
    return result;
  }

 private:
  Device& device;
};

}  // namespace Kesp
