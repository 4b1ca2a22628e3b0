// Output files that appear whole or not at all: the one way the tool
// writes a file (NIfTI volumes, preview pictures).
//
// An AtomicFile writes to a fresh temporary file beside the destination
// (same folder, so the final rename stays within one file system) and
// renames it into place only in commit(), after fsync. Invariant: until
// commit() succeeds the destination is untouched, and an AtomicFile that
// is destroyed without a successful commit() has removed its temporary,
// so a failure at any point leaves the earlier file, if any, as it was and
// no temporary behind. Every failure throws AppError naming the
// destination.
#ifndef DTICUT_APP_ATOMICFILE_H
#define DTICUT_APP_ATOMICFILE_H

#include <cstddef>

#include "app/gzip.h"

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

  const char* m_path;
  char* m_temp;  // owned
  int m_fd;      // open temporary, or -1 once closed
};

#endif  // DTICUT_APP_ATOMICFILE_H
