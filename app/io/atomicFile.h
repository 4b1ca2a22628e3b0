// Output files that appear whole or not at all: the one way the tool
// writes a file (NIfTI volumes, preview pictures).
//
// An AtomicFile writes to a fresh temporary file beside the destination
// (same folder, so the final rename stays within one file system) and
// renames it into place only in commit(), after fsync. Invariant: until
// commit() succeeds the destination is untouched, and no temporary
// outlives its AtomicFile: one destroyed without a successful commit()
// removes it, and while temporaries exist, SIGINT, SIGTERM and SIGHUP
// (when their action is the default) remove them before the process ends
// by the signal as it would have. Temporary names are short and of fixed
// length ("dticut-" + 8 hex digits of the process id + "-" + 2 digits +
// ".tmp"), so they fit wherever the destination's name fits. Every failure
// throws AppError naming the destination. Not thread-safe: the tool writes
// from its one thread.
#ifndef DTICUT_APP_IO_ATOMICFILE_H
#define DTICUT_APP_IO_ATOMICFILE_H

#include <cstddef>

#include "app/io/byteStream.h"

class AtomicFile : public ByteSink {
 public:
  // Creates the temporary for `path`, which must outlive the object.
  explicit AtomicFile(const char* path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends all `length` bytes to the temporary.
  void write(const unsigned char* bytes, size_t length) override;
  // Flushes the temporary to disk and renames it to the destination.
  void commit();

 private:
  [[noreturn]] void fail(const char* what);
  // Ends the temporary's registration with the signal handler.
  void release();

  const char* m_path;
  char* m_temp;  // owned
  int m_fd;      // open temporary, or -1 once closed
  int m_slot;    // where the signal handler finds m_temp, or -1
};

#endif  // DTICUT_APP_IO_ATOMICFILE_H
