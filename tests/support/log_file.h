#pragma once
// Reads a log file back: its two header lines, then records cut by the
// prefix length that the second header line shows.
#include <string>
#include <vector>

namespace zarvo::test {

// The format text that ends every file's second header line, written out
// here rather than taken from the program, so that a changed header shows.
extern const char kFormatText[];

struct LogFile {
  std::string sectionLine;  // with its newline
  std::string formatLine;   // with its newline
  std::vector<std::string> prefixes;
  std::vector<std::string> chunks;
  std::string body() const;  // the chunks joined: what the input held
};

// Fails the calling test (via exception) when the header is malformed.
LogFile parseLog(const std::string& bytes);
LogFile readLog(const std::string& path);

// The bytes of file number n: the ".log" while it is there, else its archive
// inflated.
std::string storedFile(const std::string& dir, int n);

// Every chunk stored in a directory, in file-number order: archives inflated,
// ".log" files read raw, the link skipped.
std::string storedInput(const std::string& dir);

}  // namespace zarvo::test
