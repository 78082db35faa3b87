// Feeds a file into the writer through a pipe:
//   feed_hold [--gate FILE] [--stamp FILE] INPUT [DIRECTORY] | zarvo-accesslogwriter ...
// --gate FILE   wait until FILE exists before feeding (so that a tracer can
//               attach to the writer's threads first)
// --stamp FILE  write the monotonic clock, in seconds, as feeding starts
// DIRECTORY     once everything is fed, hold the pipe open until the writer
//               has read it all and DIRECTORY holds a single uncompressed
//               `.log` file (the current one), seen on three polls in a row so
//               that a rotation in flight is not missed. The writer exits as
//               soon as its input ends; holding it open times the whole job,
//               archive thread included. Gives up with status 1 after 600 s.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

bool copyAll(int from, int to) {
  static char buffer[1 << 16];
  for (;;) {
    ssize_t n = read(from, buffer, sizeof buffer);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t m = write(to, buffer + done, static_cast<size_t>(n - done));
      if (m < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += m;
    }
  }
}

// Bytes still in the pipe; FIONREAD answers on either end of a pipe.
int unread(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

bool endsWith(const std::string& s, const char* suffix) {
  size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Regular files named *.log; the link to the current file does not count.
int uncompressedFiles(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (!endsWith(name, ".log")) continue;
    struct stat st {};
    if (lstat((directory + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) ++count;
  }
  closedir(dir);
  return count;
}

bool waitFor(bool (*done)(const char*), const char* what, const char* argument) {
  const auto deadline = Clock::now() + std::chrono::seconds(600);
  for (int settled = 0; settled < 3;) {
    if (Clock::now() > deadline) {
      std::fprintf(stderr, "feed_hold: gave up waiting for %s %s\n", what, argument);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    settled = done(argument) ? settled + 1 : 0;
  }
  return true;
}

bool exists(const char* path) { return access(path, F_OK) == 0; }

bool archived(const char* directory) {
  return unread(STDOUT_FILENO) == 0 && uncompressedFiles(directory) == 1;
}

bool writeStamp(const char* path) {
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) return false;
  std::fprintf(out, "%.6f\n", std::chrono::duration<double>(Clock::now().time_since_epoch()).count());
  return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char *gate = nullptr, *stamp = nullptr;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    if (std::strcmp(argv[i], "--gate") == 0) gate = argv[i + 1];
    else if (std::strcmp(argv[i], "--stamp") == 0) stamp = argv[i + 1];
    else break;
  }
  if (i >= argc || argc - i > 2) {
    std::fprintf(stderr, "usage: feed_hold [--gate FILE] [--stamp FILE] INPUT [DIRECTORY]\n");
    return 2;
  }
  const char* inputPath = argv[i];
  const char* directory = i + 1 < argc ? argv[i + 1] : nullptr;
  const int input = open(inputPath, O_RDONLY | O_CLOEXEC);
  if (input < 0) {
    std::fprintf(stderr, "feed_hold: %s: %s\n", inputPath, std::strerror(errno));
    return 1;
  }
  if (gate && !waitFor(exists, "the gate", gate)) return 1;
  if (stamp && !writeStamp(stamp)) {
    std::fprintf(stderr, "feed_hold: %s: %s\n", stamp, std::strerror(errno));
    return 1;
  }
  if (!copyAll(input, STDOUT_FILENO)) {
    std::fprintf(stderr, "feed_hold: feeding %s: %s\n", inputPath, std::strerror(errno));
    return 1;
  }
  close(input);
  if (directory && !waitFor(archived, "the archives in", directory)) return 1;
  return 0;
}
