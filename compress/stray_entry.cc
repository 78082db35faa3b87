#include "compress/stray_entry.h"

#include <unistd.h>

#include <string>

namespace zarvo {
namespace {

enum Reason { kNotRegular = 1, kSymbolicLink, kOtherLinks, kOtherOwner };

class StrayEntryCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "stray entry"; }
  std::string message(int reason) const override {
    switch (reason) {
      case kSymbolicLink:
        return "Is a symbolic link";
      case kOtherLinks:
        return "Has other hard links";
      case kOtherOwner:
        return "Owned by another user";
      default:
        return "Not a regular file";
    }
  }
};

const StrayEntryCategory& category() {
  static const StrayEntryCategory instance;
  return instance;
}

}  // namespace

std::error_code strayEntry(const struct stat& status) noexcept {
  if (S_ISLNK(status.st_mode)) return symbolicLinkEntry();
  if (!S_ISREG(status.st_mode)) return notRegularFile();
  // A second name may be anywhere on the file system: its content is not
  // the writer's to copy into an archive.
  if (status.st_nlink != 1) return {kOtherLinks, category()};
  if (status.st_uid != geteuid()) return {kOtherOwner, category()};
  return {};
}

std::error_code symbolicLinkEntry() noexcept { return {kSymbolicLink, category()}; }

std::error_code notRegularFile() noexcept { return {kNotRegular, category()}; }

bool isStrayEntry(const std::error_code& error) noexcept {
  return error.value() != 0 && error.category() == category();
}

}  // namespace zarvo
