#pragma once
// Reads a log file back: its two header lines, then records cut by the
// prefix length that the second header line shows.
#include <cstdint>
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

// A record prefix equals the one in its file's second header line
// (`reference`) but for the digits of the timestamp, its first 24
// characters; a prefix cut short matches as far as it goes.
bool prefixMatches(const std::string& prefix, const std::string& reference);

// The bytes of file number n: the ".log" while it is there, else its archive
// inflated.
std::string storedFile(const std::string& dir, uint64_t n);

// Checks (as GoogleTest failures) that every file in dir rotated where
// maxFileSize says: no record follows one that took the file past it (the
// header counts), a rotated file holds records and is past it, and a file
// that ended with a run (`lastOfRun`) is within it, or only its header.
void expectRotation(const std::string& dir, uint64_t maxFileSize,
                    const std::vector<uint64_t>& lastOfRun);

// Every chunk stored in a directory, in file-number order: archives inflated,
// ".log" files read raw, the link skipped.
std::string storedInput(const std::string& dir);

}  // namespace zarvo::test
