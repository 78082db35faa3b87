#include "filestore/file_name.h"

#include <boost/lexical_cast/try_lexical_convert.hpp>

namespace zarvo {

bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

std::string logFileName(std::string_view prefix, uint64_t number) {
  std::string name(prefix);
  name.append("-").append(std::to_string(number)).append(kLogSuffix);
  return name;
}

std::optional<uint64_t> parseFileNumber(std::string_view name, std::string_view prefix,
                                        std::string_view suffix) {
  if (endsWith(name, kCompressedSuffix)) name.remove_suffix(kCompressedSuffix.size());
  if (name.size() < prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
      !endsWith(name, suffix))
    return std::nullopt;
  std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  int64_t value = 0;
  if (!boost::conversion::try_lexical_convert(digits.data(), digits.size(), value))
    return std::nullopt;
  // Negating in unsigned arithmetic keeps the magnitude of the smallest value.
  return value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

}  // namespace zarvo
