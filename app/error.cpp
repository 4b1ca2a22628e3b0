#include "app/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

AppError::AppError(const char* subject, const char* format, ...) : m_unrecognised(false) {
  int used = snprintf(m_message, kMaxMessage, "%s: ", subject);
  if (used < 0) used = 0;
  if (used < kMaxMessage) {
    va_list args;
    va_start(args, format);
    vsnprintf(m_message + used, kMaxMessage - used, format, args);
    va_end(args);
  }
}

void printError(const AppError& error) {
  if (error.isUnrecognised()) puts("Unable to read file.");
  fflush(stdout);
  fprintf(stderr, "dticut: error: %s\n", error.what());
}

void reportError(const AppError& error) {
  printError(error);
  exit(1);
}
