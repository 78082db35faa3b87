#pragma once
// One finished log file into a gzip archive beside it (path + ".gz"). Runs
// on the archive thread; it never deletes, renames or prints: the caller
// decides what to keep.
#include <system_error>

#include <boost/filesystem/path.hpp>

namespace zarvo {

// output becomes input's text + ".gz" before anything can fail.
// archiveOpened is true once this call created or truncated the archive:
// only then may the caller remove output after a failure.
// Value 0 (system category): the archive is complete and durable, archive
// and directory entry synced, so input may go. Otherwise the failure, input
// untouched. An exception other than std::system_error ends the process.
std::error_code compressFile(const boost::filesystem::path& input,
                             boost::filesystem::path& output, bool& archiveOpened) noexcept;

}  // namespace zarvo
