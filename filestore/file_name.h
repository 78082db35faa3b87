#pragma once
// The names of log files: generated as <prefix>-<n>.log, recognised at
// start-up as <prefix><number text>.log with an optional ".gz".
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarvo {

// Every file of the writer's directory is named after this.
constexpr std::string_view kFilePrefix = "zarvo-access";
constexpr std::string_view kLogSuffix = ".log";
constexpr std::string_view kCompressedSuffix = ".gz";
constexpr std::string_view kLinkSuffix = ".log";  // <prefix>.log names the current file

// The file's number when `name` is prefix, a number text, suffix and at most
// one ".gz". The number text is a signed 64-bit decimal with an optional sign;
// the number is its absolute value, so the '-' of generated names reads back
// as a sign.
std::optional<uint64_t> parseFileNumber(std::string_view name, std::string_view prefix,
                                        std::string_view suffix);

// <prefix>-<number>.log, as new files are named.
std::string logFileName(std::string_view prefix, uint64_t number);

bool endsWith(std::string_view text, std::string_view tail);

}  // namespace zarvo
