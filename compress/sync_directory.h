#pragma once
// Makes a directory's entries (a newly created archive) durable.
#include <system_error>

#include <boost/filesystem/path.hpp>

namespace zarvo {

// fsyncs directory ("." when empty) once, never retried. Value 0 (system
// category) on success, else the errno of open or fsync, generic category.
std::error_code syncDirectory(const boost::filesystem::path& directory) noexcept;

}  // namespace zarvo
