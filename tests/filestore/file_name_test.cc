#include <cstdint>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "filestore/file_name.h"

namespace zarvo {
namespace {

TEST(FileName, AcceptsNumberedLogsAndArchivesOnly) {
  struct Case {
    const char* name;
    std::optional<uint64_t> number;
  } cases[] = {
      {"zarvo-access-1.log", 1},
      {"zarvo-access-12.log.gz", 12},
      {"zarvo-access12.log", 12},
      {"zarvo-access+12.log", 12},
      {"zarvo-access-012.log", 12},
      {"zarvo-access-0.log", 0},
      {"zarvo-access-9223372036854775807.log", 9223372036854775807ull},
      {"zarvo-access-9223372036854775808.log", 9223372036854775808ull},
      {"zarvo-access9223372036854775808.log", std::nullopt},
      {"zarvo-access.log", std::nullopt},
      {"zarvo-access-.log", std::nullopt},
      {"zarvo-access--5.log", std::nullopt},
      {"zarvo-access-5a.log", std::nullopt},
      {"zarvo-access-5.log.gz.gz", std::nullopt},
      {"zarvo-access-5.gz", std::nullopt},
      {"zarvo-access-5.LOG", std::nullopt},
      {"Zarvo-access-5.log", std::nullopt},
      {"zarvo-access- 5.log", std::nullopt},
      {"notes.txt", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseFileNumber(c.name, "zarvo-access", ".log"), c.number) << c.name;
  }
}

}  // namespace
}  // namespace zarvo
