// The app's one error type.
//
// Every failure of the app's layers (a file that cannot be read, decoded,
// combined with the others or written; a volume the segmentation cannot
// take; the picture; standard output; running out of memory) throws an
// AppError whose message names the file or stream, what is wrong and what
// was expected. Only the callers at the top catch it: the command reports it
// (command/report.h) and the Python package raises it. The message lives in
// a fixed buffer, so carrying an error never needs an allocation.
#ifndef DTICUT_APP_SEGMENTATION_ERROR_H
#define DTICUT_APP_SEGMENTATION_ERROR_H

#include <exception>

class AppError : public std::exception {
 public:
  static const int kMaxMessage = 4400;
  // The subject of every error about running out of memory.
  static constexpr const char* kOutOfMemory = "out of memory";

  // `subject` names the file or stream; the rest is a printf-style
  // description of the problem.
  AppError(const char* subject, const char* format, ...) __attribute__((format(printf, 3, 4)));

  const char* what() const noexcept override { return m_message; }

  // A file that is not recognised as a volume at all is also announced as
  // "Unable to read file." on standard output, as the tool always has.
  void markUnrecognised() { m_unrecognised = true; }
  bool isUnrecognised() const { return m_unrecognised; }

  // The subject was kOutOfMemory: an allocation failed.
  bool isOutOfMemory() const { return m_outOfMemory; }

  // The optimizer ran out of memory: its own fixed message (not owned),
  // which the command prints on standard output after this error.
  void setOptimizerMessage(const char* message) { m_optimizerMessage = message; }
  const char* optimizerMessage() const { return m_optimizerMessage; }

 private:
  char m_message[kMaxMessage];
  bool m_unrecognised;
  bool m_outOfMemory;
  const char* m_optimizerMessage;  // or null
};

#endif  // DTICUT_APP_SEGMENTATION_ERROR_H
