#pragma once
// The grammar of numbered log file names, written out a second way for the
// fuzz targets to hold the writer's parser against: the name is prefix,
// number text, suffix and at most one ".gz", tried as each of the two
// splits rather than by first cutting ".gz" off.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarvo::fuzz {

// An optional sign, one or more digits, the value within signed 64 bits;
// the result is the magnitude.
inline std::optional<uint64_t> referenceNumber(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);
  const std::string_view limit = negative ? "9223372036854775808" : "9223372036854775807";
  if (text.size() > limit.size() || (text.size() == limit.size() && text > limit))
    return std::nullopt;
  uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<uint64_t>(c - '0');
  return value;
}

// Only for a suffix that does not itself end in ".gz": for those the two
// splits cannot both match, so the grammar is unambiguous.
inline std::optional<uint64_t> referenceFileNumber(std::string_view name, std::string_view prefix,
                                                   std::string_view suffix) {
  for (std::string_view archive : {std::string_view(), std::string_view(".gz")}) {
    const std::string ending = std::string(suffix) + std::string(archive);
    if (name.size() < prefix.size() + ending.size()) continue;
    if (name.substr(0, prefix.size()) != prefix) continue;
    if (name.substr(name.size() - ending.size()) != ending) continue;
    if (auto number =
            referenceNumber(name.substr(prefix.size(), name.size() - prefix.size() - ending.size())))
      return number;
  }
  return std::nullopt;
}

}  // namespace zarvo::fuzz
