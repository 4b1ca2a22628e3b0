// Output files that appear whole or not at all: the one way the tool
// writes a file (NIfTI volumes, preview pictures, the run report).
//
// An AtomicFile opens the destination's folder once and, relative to that
// folder, writes a fresh temporary file in it (so the final rename stays
// within one file system) and renames it into place only in commit(),
// after fsync. The temporary's own full path is never formed, so every
// destination the system accepts works, however near PATH_MAX its path.
// Invariant: until commit() succeeds the destination is untouched, and no
// temporary outlives its AtomicFile: one destroyed without a successful
// commit() removes it, and while temporaries exist, SIGINT, SIGTERM and
// SIGHUP (when their action is the default) remove them before the process
// ends by the signal as it would have. Those signals are blocked from just
// before a temporary is created until the handler knows it (by its folder's
// descriptor and its short name), so there is no moment at which a signal
// would leave one behind. Temporary names are short and of fixed length
// ("dticut-" + 8 hex digits of the process id + "-" + 2 digits + ".tmp").
//
// A file that replaces an earlier regular file keeps that file's
// permission bits, and its owner and group where the process may set them
// (the group when it is one of the process's groups, the owner as root;
// where it may not, the new file has the process's); a new file gets 0666
// less the umask, as any new file does. Every failure throws AppError
// naming the destination. Not thread-safe: the tool writes from its one
// thread.
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
  // Gives the temporary the earlier file's mode, owner and group (if there
  // is one), flushes it to disk and renames it to the destination.
  void commit();

 private:
  [[noreturn]] void fail(const char* what);
  void keepEarlierOwnership();
  // Ends the temporary's registration with the signal handler.
  void release();
  // How many bytes of the path's folder ("out/") messages show before the
  // temporary's name: all of them, unless that would not fit a message.
  int shownFolder() const;

  const char* m_path;
  const char* m_name;  // the destination's name in its folder, inside m_path
  int m_folder;        // the destination's folder, open
  char m_temp[32];     // the temporary's name in that folder
  int m_fd;            // open temporary, or -1 once closed
  int m_slot;          // where the signal handler finds the temporary, or -1
};

// Opens the folder that holds `path` (the working folder for a bare name)
// as a descriptor that names it, needing no permission on the folder
// itself, and sets *name to the path's last component, inside `path`.
// Returns the descriptor, or -1 with errno set. Outputs are told apart by
// this folder's identity and that name (command/outputs.h).
int openParentFolder(const char* path, const char** name);

#endif  // DTICUT_APP_IO_ATOMICFILE_H
