#include "tests/support/temp_dir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>

namespace zarvo::test {

TempDir::TempDir() {
  std::string pattern = "/tmp/zarvo-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  chmod(pattern.c_str(), 0755);
  path_ = pattern;
}

TempDir::~TempDir() {
  boost::system::error_code ec;
  // A test may leave parts read-only; give write and search back before removing.
  for (boost::filesystem::recursive_directory_iterator it(path_, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->symlink_status(ec).type() == boost::filesystem::directory_file)
      chmod(it->path().c_str(), 0755);
  }
  chmod(path_.c_str(), 0755);
  boost::filesystem::remove_all(path_, ec);
}

std::string TempDir::operator/(const std::string& name) const { return (path_ / name).string(); }

}  // namespace zarvo::test
