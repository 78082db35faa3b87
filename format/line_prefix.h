#pragma once
// The prefix written before every input chunk:
//   <timestamp> info zarvo[<thread id>] [Originator@8461 sub=Default] 
// LinePrefix belongs to the record loop's thread: it is formatted once and
// afterwards only its time digits are patched in place, so a record costs no
// allocation and no formatting beyond those digits.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <streambuf>

#include "format/clock_reading.h"

namespace zarvo {

// Writes the whole prefix for the calling thread at the stream's position.
void formatPrefix(std::ostream& stream, ClockReading reading);

class LinePrefix {
 public:
  explicit LinePrefix(ClockReading reading);
  LinePrefix(const LinePrefix&) = delete;
  LinePrefix& operator=(const LinePrefix&) = delete;

  const char* data() const { return buffer; }
  std::size_t size() const { return length; }

 private:
  friend void updatePrefix(LinePrefix& prefix, ClockReading reading);

  // Makes the fixed buffer the put area of an output stream.
  class FixedBuffer : public std::streambuf {
   public:
    FixedBuffer(char* begin, std::size_t size) { setp(begin, begin + size); }
    std::size_t written() const { return static_cast<std::size_t>(pptr() - pbase()); }
  };

  char buffer[128];
  FixedBuffer put;
  std::size_t length;
  int64_t cachedSeconds;
  int64_t cachedMillis;
};

// Brings the time digits up to date: the whole timestamp when the second
// changed, the three millisecond digits when only they did.
void updatePrefix(LinePrefix& prefix, ClockReading reading);

}  // namespace zarvo
