// scanDirectory over a real directory made from the input: up to eight
// entries of several kinds, named to qualify or nearly. The listing must be
// exactly the qualifying regular files (never a link, not even to one), ascending
// by number and then by name byte for byte, each once, joined to the
// directory text as given; the highest number is that of any qualifying
// entry, whatever its kind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "filestore/scan_directory.h"
#include "tests/fuzz/file_name_reference.h"
#include "tests/fuzz/fuzz_input.h"

using namespace zarvo;
using namespace zarvo::fuzz;

namespace {

const std::string kPrefix = "zarvo-access";

// One scratch tree per process: tmpfs when there is one, since every input
// creates and removes files.
struct Scratch {
  std::string top, dir, file, subdir;
  Scratch() {
    std::string pattern =
        (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/zarvo-scan-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    top = pattern;
    dir = top + "/d";
    file = top + "/target";
    subdir = top + "/target-dir";
    mkdir(dir.c_str(), 0755);
    close(open(file.c_str(), O_WRONLY | O_CREAT, 0644));
    mkdir(subdir.c_str(), 0755);
  }
  ~Scratch() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(top, ignored);
  }
};

enum Kind { kRegular, kDirectory, kLinkToFile, kDanglingLink, kLinkToDirectory, kKinds };

std::string entryName(FuzzInput& in) {
  static const char* const kEndings[] = {".log", ".log.gz", ".gz", ".log.gz.gz", ""};
  const uint8_t shape = in.take<uint8_t>();
  std::string middle = in.takeString(in.take<uint8_t>() % 24);
  for (char& c : middle)
    if (c == '/' || c == '\0') c = '5';
  std::string name = (shape & 0x80 ? "" : kPrefix) + middle + kEndings[shape % 5];
  return name.substr(0, 255);
}

bool create(const Scratch& s, Kind kind, const std::string& path) {
  switch (kind) {
    case kRegular: {
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      return fd >= 0 && close(fd) == 0;
    }
    case kDirectory: return mkdir(path.c_str(), 0755) == 0;
    case kLinkToFile: return symlink(s.file.c_str(), path.c_str()) == 0;
    case kDanglingLink: return symlink((s.top + "/missing").c_str(), path.c_str()) == 0;
    default: return symlink(s.subdir.c_str(), path.c_str()) == 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  FuzzInput in(data, size);
  const bool trailingSlash = in.take<uint8_t>() & 1;

  std::vector<std::tuple<uint64_t, std::string>> expected;
  std::vector<std::string> created;
  uint64_t highestWanted = 0;  // of any kind: numbering passes them all
  for (int i = 0; i < 8 && !in.empty(); ++i) {
    const Kind kind = static_cast<Kind>(in.take<uint8_t>() % kKinds);
    const std::string name = entryName(in);
    if (name.empty() || name == "." || name == "..") continue;
    const std::string path = scratch.dir + "/" + name;
    if (!create(scratch, kind, path)) continue;  // a name taken twice
    created.push_back(path);
    const auto number = referenceFileNumber(name, kPrefix, ".log");
    if (number && kind == kRegular) expected.emplace_back(*number, name);
    if (number) highestWanted = std::max(highestWanted, *number);
  }
  // std::string compares bytes as unsigned char, as path elements do.
  std::sort(expected.begin(), expected.end());

  boost::system::error_code error;
  NumberedFile highest;
  const std::vector<NumberedFile> found =
      scanDirectory(scratch.dir + (trailingSlash ? "/" : ""), kPrefix, error, ".log", highest);
  check(!error, "listing succeeds", error.message());
  check(highest.number == highestWanted, "highest number",
        std::to_string(highest.number) + " != " + std::to_string(highestWanted));
  std::string got, want;
  for (const NumberedFile& f : found) got += std::to_string(f.number) + " " + f.path.string() + "\n";
  for (const auto& [number, name] : expected)
    want += std::to_string(number) + " " + scratch.dir + "/" + name + "\n";
  check(got == want, "listing", "\ngot:\n" + printable(got) + "\nwant:\n" + printable(want));

  for (const std::string& path : created)
    if (unlink(path.c_str()) != 0) rmdir(path.c_str());
  return 0;
}
