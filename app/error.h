// The app's one error type, and the one place that reports it.
//
// Every failure of the app's layers (a file that cannot be read, decoded,
// combined with the others or written; the picture; standard output) throws
// an AppError whose message names the file or stream, what is wrong and what
// was expected. Only the command catches it, in reportError, which prints it
// on standard error and ends the process with status 1. The message lives in
// a fixed buffer, so carrying an error never needs an allocation.
#ifndef DTICUT_APP_ERROR_H
#define DTICUT_APP_ERROR_H

#include <exception>

class AppError : public std::exception {
 public:
  static const int kMaxMessage = 4400;

  // `subject` names the file or stream; the rest is a printf-style
  // description of the problem.
  AppError(const char* subject, const char* format, ...) __attribute__((format(printf, 3, 4)));

  const char* what() const noexcept override { return m_message; }

  // A file that is not recognised as a volume at all is also announced as
  // "Unable to read file." on standard output, as the tool always has.
  void markUnrecognised() { m_unrecognised = true; }
  bool isUnrecognised() const { return m_unrecognised; }

 private:
  char m_message[kMaxMessage];
  bool m_unrecognised;
};

// Prints "Unable to read file." on standard output for an unrecognised file,
// then "dticut: error: <message>" on standard error.
void printError(const AppError& error);
// printError, then exit with status 1.
[[noreturn]] void reportError(const AppError& error);

#endif  // DTICUT_APP_ERROR_H
