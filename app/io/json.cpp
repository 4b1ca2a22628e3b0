#include "app/io/json.h"

#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/segmentation/energyWeights.h"

namespace {

// The length of the UTF-8 sequence at `s` (at most `left` bytes), or 0 when
// it is not a well-formed one (overlong forms, surrogates and values beyond
// U+10FFFF included).
size_t utf8Length(const unsigned char* s, size_t left) {
  const unsigned char c = s[0];
  size_t length;
  unsigned low = 0x80, high = 0xbf;  // the range of the second byte
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) {
    length = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    length = 3;
    if (c == 0xe0) low = 0xa0;
    if (c == 0xed) high = 0x9f;
  } else if (c >= 0xf0 && c <= 0xf4) {
    length = 4;
    if (c == 0xf0) low = 0x90;
    if (c == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (left < length || s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (s[i] < 0x80 || s[i] > 0xbf) return 0;
  return length;
}

}  // namespace

void JsonWriter::beforeValue() {
  if (m_afterKey) {
    m_afterKey = false;
    return;
  }
  if (m_levels.empty()) return;
  Level& level = m_levels.back();
  if (!level.empty) m_text += level.inline_ ? ", " : ",";
  if (!level.inline_) {
    m_text += '\n';
    m_text.append(2 * m_levels.size(), ' ');
  }
  level.empty = false;
}

void JsonWriter::open(char bracket, bool inlined) {
  beforeValue();
  m_text += bracket;
  m_levels.push_back({true, inlined});
}

void JsonWriter::close(char bracket) {
  assert(!m_levels.empty() && !m_afterKey);
  const Level level = m_levels.back();
  m_levels.pop_back();
  if (!level.empty && !level.inline_) {
    m_text += '\n';
    m_text.append(2 * m_levels.size(), ' ');
  }
  m_text += bracket;
  if (m_levels.empty()) m_text += '\n';
}

void JsonWriter::beginObject() { open('{', false); }
void JsonWriter::endObject() { close('}'); }
void JsonWriter::beginArray() { open('[', false); }
void JsonWriter::beginInlineArray() { open('[', true); }
void JsonWriter::endArray() { close(']'); }

void JsonWriter::key(const char* name) {
  assert(!m_afterKey);
  string(name);
  m_text += ": ";
  m_afterKey = true;
}

void JsonWriter::raw(const char* token) {
  beforeValue();
  m_text += token;
  if (m_levels.empty()) m_text += '\n';
}

void JsonWriter::string(const char* value) {
  if (value == nullptr) return null();
  beforeValue();
  m_text += '"';
  const unsigned char* s = reinterpret_cast<const unsigned char*>(value);
  size_t left = 0;
  while (s[left] != '\0') ++left;
  while (left > 0) {
    const unsigned char c = *s;
    if (c == '"' || c == '\\') {
      m_text += '\\';
      m_text += static_cast<char>(c);
    } else if (c == '\n') {
      m_text += "\\n";
    } else if (c == '\t') {
      m_text += "\\t";
    } else if (c == '\r') {
      m_text += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      m_text += escaped;
    } else {
      const size_t length = utf8Length(s, left);
      if (length == 0) {
        m_text += "\\ufffd";
      } else {
        m_text.append(reinterpret_cast<const char*>(s), length);
        s += length - 1;
        left -= length - 1;
      }
    }
    ++s;
    --left;
  }
  m_text += '"';
  if (m_levels.empty()) m_text += '\n';
}

void JsonWriter::integer(long long value) {
  char text[24];
  snprintf(text, sizeof text, "%lld", value);
  raw(text);
}

void JsonWriter::weight(float value) {
  char text[16];
  weightText(value, text);
  raw(text);
}

void JsonWriter::real(double value) {
  if (!std::isfinite(value)) return null();
  char text[32];
  for (int digits = 1; digits <= 17; ++digits) {
    snprintf(text, sizeof text, "%.*g", digits, value);
    if (strtod(text, nullptr) == value) break;
  }
  raw(text);
}

void JsonWriter::seconds(double value) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", value);
  raw(text);
}

void JsonWriter::boolean(bool value) { raw(value ? "true" : "false"); }
void JsonWriter::null() { raw("null"); }
