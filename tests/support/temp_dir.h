#pragma once
// A fresh directory under /tmp for one test, removed with everything in it
// when the object goes. Mode 0755 so an unprivileged child can search it.
#include <boost/filesystem/path.hpp>

namespace zarvo::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const boost::filesystem::path& path() const { return path_; }
  // path() / name, as text.
  std::string operator/(const std::string& name) const;

 private:
  boost::filesystem::path path_;
};

}  // namespace zarvo::test
