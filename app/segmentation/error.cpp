#include "app/segmentation/error.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

AppError::AppError(const char* subject, const char* format, ...)
    : m_unrecognised(false),
      m_outOfMemory(strcmp(subject, kOutOfMemory) == 0),
      m_optimizerMessage(nullptr) {
  int used = snprintf(m_message, kMaxMessage, "%s: ", subject);
  if (used < 0) used = 0;
  if (used < kMaxMessage) {
    va_list args;
    va_start(args, format);
    vsnprintf(m_message + used, kMaxMessage - used, format, args);
    va_end(args);
  }
}
