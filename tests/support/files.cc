#include "tests/support/files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tests/support/gzip_members.h"

namespace zarvo::test {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) throw std::runtime_error("cannot list " + dir);
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string gunzipFile(const std::string& path) {
  std::string out;
  inflateMembers(readFile(path), &out);
  return out;
}

int gzipMemberCount(const std::string& path) {
  try {
    return inflateMembers(readFile(path), nullptr);
  } catch (const std::runtime_error&) {
    return 0;
  }
}

std::string readLink(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  if (n < 0) throw std::runtime_error("cannot readlink " + path);
  return std::string(buf, static_cast<size_t>(n));
}

std::string entryState(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "absent";
  const std::string head = "mode " + std::to_string(st.st_mode) + " uid " +
                           std::to_string(st.st_uid) + " links " + std::to_string(st.st_nlink) + ": ";
  if (S_ISLNK(st.st_mode)) return head + readLink(path);
  return S_ISREG(st.st_mode) ? head + readFile(path) : head;
}

}  // namespace zarvo::test
