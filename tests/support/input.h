#pragma once
// Inputs the tests feed the writer.
#include <cstddef>
#include <string>

namespace zarvo::test {

// `count` distinct access-log lines, so that a record stored twice or out of
// place shows; the hex field, different for each tag, keeps an archive from
// shrinking to a single write.
std::string requests(const std::string& tag, int count);

// `size` bytes from a generator seeded with `seed`: the same bytes every run.
std::string randomBytes(size_t size, unsigned seed);

}  // namespace zarvo::test
