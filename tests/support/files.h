#pragma once
// File helpers for tests: whole-file reads and writes, directory listings and
// gzip inflation, all failing the calling test (via exceptions) when the
// file system refuses.
#include <string>
#include <vector>

namespace zarvo::test {

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);  // lstat: a dangling link exists too
// Names in a directory, sorted byte-wise, without "." and "..".
std::vector<std::string> listDir(const std::string& dir);
// Every member of a gzip file, inflated and concatenated.
std::string gunzipFile(const std::string& path);
// Number of gzip members in a file (0 when it is not gzip at all).
int gzipMemberCount(const std::string& path);
std::string readLink(const std::string& path);
// An entry itself, never followed: its type and mode, owner and link count,
// then its content (a regular file) or its text (a link); "absent".
std::string entryState(const std::string& path);

}  // namespace zarvo::test
