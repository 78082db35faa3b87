#include "compress/compress_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <boost/iostreams/copy.hpp>
#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filtering_streambuf.hpp>
#include <boost/iostreams/stream.hpp>

#include "compress/sync_directory.h"
#include "compress/stray_entry.h"
#include "compress/temporary_name.h"
#include "kesp/device_error.h"
#include "kesp/file_sink.h"
#include "kesp/file_source.h"
#include "kesp/sink.h"
#include "kesp/source.h"

namespace zarvo {

namespace {

namespace io = boost::iostreams;

// Fixed header fields (no name, no comment, mtime 0) make the archive of
// the same input and level the same bytes on every run; only the level is
// not the library's default.
io::gzip_params archiveParams(int level) {
  return io::gzip_params(level, io::gzip::deflated,
                         io::gzip::default_window_bits, io::gzip::default_mem_level,
                         io::gzip::default_strategy, "", "", 0);
}

constexpr std::streamsize kCompressorBufferSize = 4096;

// The input, read block by block until the caller gives the file up: a
// file retention has dropped is not worth another block.
class AbandonableSource : public io::device<io::input, char> {
 public:
  AbandonableSource(Kesp::FileSource& source, const CompressionWatch* watch)
      : input(source), watched(watch) {}
  std::streamsize read(char* s, std::streamsize n) {
    if (watched != nullptr &&
        watched->state.load(std::memory_order_relaxed) == CompressionWatch::kAbandoned)
      throw std::system_error(Kesp::errnoCode(ECANCELED));
    return input.read(s, n);
  }

 private:
  Kesp::Source<Kesp::FileSource> input;
  const CompressionWatch* watched;
};

// The stream layer absorbs a write failure met while it syncs, and every
// later call on the failed sink gives EIO: the sink's first error is the
// cause to report (a full disk, not an I/O error).
std::error_code firstFailure(std::error_code seen, const Kesp::FileSink& sink) {
  const std::error_code first = sink.firstError();
  return first.value() != 0 ? first : seen;
}

// The rename would replace a link planted at the archive's name, and
// writing there never followed one: such a name is refused and kept.
std::error_code refuseLinkOrDirectory(const boost::filesystem::path& archive) {
  struct stat status;
  if (lstat(archive.c_str(), &status) != 0)
    return errno == ENOENT ? std::error_code() : Kesp::errnoCode(errno);
  if (S_ISLNK(status.st_mode)) return Kesp::errnoCode(ELOOP);
  if (S_ISDIR(status.st_mode)) return Kesp::errnoCode(EISDIR);
  return {};
}

// Under the watcher's lock, an archive given up never takes its name, and
// one that took it is known to have: the watcher then removes it.
std::error_code takeName(const boost::filesystem::path& temporary,
                         const boost::filesystem::path& archive, CompressionWatch* watch) {
  std::unique_lock<std::mutex> guard;
  if (watch != nullptr) {
    guard = std::unique_lock<std::mutex>(watch->lock);
    if (watch->state.load(std::memory_order_relaxed) == CompressionWatch::kAbandoned)
      return Kesp::errnoCode(ECANCELED);
  }
  if (std::rename(temporary.c_str(), archive.c_str()) != 0) return Kesp::errnoCode(errno);
  if (watch != nullptr) watch->state.store(CompressionWatch::kNamed, std::memory_order_relaxed);
  return {};
}

// The archive takes its name only once it is synced; the directory entry
// of that name must be on disk too before the caller deletes the input.
std::error_code publish(const boost::filesystem::path& temporary,
                        const boost::filesystem::path& archive, CompressionWatch* watch) {
  if (const std::error_code named = takeName(temporary, archive, watch)) return named;
  const std::error_code synced = syncDirectory(archive.parent_path());
  // The input stays; an archive beside it that may not survive a crash
  // would only be read twice.
  if (synced.value() != 0) unlink(archive.c_str());
  return synced;
}

// The writer's own files only: never one reached through a link, one with
// a second name elsewhere, or another user's.
std::error_code openInput(Kesp::FileSource& source, const boost::filesystem::path& input,
                          struct stat& status) {
  const std::error_code opened = source.open(input.c_str());
  if (opened.value() == ELOOP) return symbolicLinkEntry();
  if (opened.value() != 0) return opened;
  if (!source.status(status)) return Kesp::errnoCode(errno);
  return strayEntry(status);
}

// Nothing that is already at the temporary's name is written to: a file
// there was planted, or left by an attempt whose removal failed.
std::error_code createTemporary(Kesp::FileSink& sink, const boost::filesystem::path& temporary) {
  const std::error_code created = sink.create(temporary.c_str());
  if (created.value() != EEXIST) return created;
  struct stat status;
  if (lstat(temporary.c_str(), &status) != 0) return created;
  const std::error_code stray = strayEntry(status);
  return stray ? stray : created;
}

}  // namespace

boost::filesystem::path temporaryArchivePath(const boost::filesystem::path& archive) {
  return archive.parent_path() / temporaryName(archive.filename().string());
}

std::error_code compressFile(const boost::filesystem::path& input,
                             boost::filesystem::path& output, bool& archiveOpened,
                             boost::filesystem::path* failed, int level,
                             CompressionWatch* watch) noexcept {
  archiveOpened = false;
  output = input;
  output += ".gz";
  boost::filesystem::path unused;
  boost::filesystem::path& culprit = failed != nullptr ? *failed : unused;
  culprit = input;

  Kesp::FileSource source;
  struct stat inputStatus;
  if (const std::error_code refused = openInput(source, input, inputStatus)) return refused;
  culprit = output;
  if (const std::error_code refused = refuseLinkOrDirectory(output)) return refused;
  const boost::filesystem::path temporary = temporaryArchivePath(output);
  culprit = temporary;
  Kesp::FileSink sink;
  if (const std::error_code created = createTemporary(sink, temporary)) return created;
  archiveOpened = true;
  // Made 0600, so that nobody opens it before it has the input's own mode:
  // the umask the operator chose for the logs holds for their archives.
  if (const std::error_code moded = sink.setMode(inputStatus.st_mode & 0777); moded.value() != 0)
    return moded;
  culprit = input;

  io::stream<AbandonableSource> inputStream{AbandonableSource{source, watch}};
  io::stream<Kesp::Sink<Kesp::FileSink>> outputStream{Kesp::Sink<Kesp::FileSink>{sink}};
  io::filtering_streambuf<io::output> chain;
  // The link in front of the compressor would otherwise buffer only 128
  // bytes: deflate and the CRC would then run once per 128 bytes, which costs
  // about 5 % of the compression time. The archive's bytes do not change.
  chain.push(io::gzip_compressor(archiveParams(level), kCompressorBufferSize), kCompressorBufferSize);
  chain.push(outputStream);

  try {
    // Streams the file in 4096-byte blocks and closes the chain, which
    // writes the deflate end and the gzip trailer into the sink.
    io::copy(inputStream, chain);
  } catch (const std::system_error& failure) {
    return firstFailure(failure.code(), sink);
  }
  // A write failure the stream layer absorbed while syncing still shows
  // here: the sink has failed.
  if (const std::error_code flushed = sink.flush(); flushed.value() != 0)
    return firstFailure(flushed, sink);
  // The caller deletes the input on success: the archive and its directory
  // entry must be on disk first, or a crash could leave neither.
  if (const std::error_code synced = sink.sync(); synced.value() != 0) return synced;
  return publish(temporary, output, watch);
}

}  // namespace zarvo
