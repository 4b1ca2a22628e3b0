#include "app/io/printable.h"

namespace {

// The length of the valid UTF-8 sequence of two to four bytes at `text`
// (`length` bytes available) that encodes a code point other than a C1
// control, or 0.
size_t utf8Sequence(const unsigned char* text, size_t length) {
  const unsigned char lead = text[0];
  size_t size;
  unsigned long codePoint, least;
  if (lead >= 0xc2 && lead <= 0xdf) {
    size = 2, codePoint = lead & 0x1fu, least = 0xa0;  // below U+00A0: C1 or overlong
  } else if (lead >= 0xe0 && lead <= 0xef) {
    size = 3, codePoint = lead & 0x0fu, least = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    size = 4, codePoint = lead & 0x07u, least = 0x10000;
  } else {
    return 0;
  }
  if (size > length) return 0;
  for (size_t i = 1; i < size; ++i) {
    if ((text[i] & 0xc0u) != 0x80u) return 0;
    codePoint = codePoint << 6 | (text[i] & 0x3fu);
  }
  if (codePoint < least || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
    return 0;
  return size;
}

}  // namespace

char* printable(const char* text, size_t length, char* out, size_t capacity) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
  size_t used = 0;
  for (size_t i = 0; i < length;) {
    const unsigned char byte = in[i];
    // How many bytes go out as they are: one of printable ASCII, a whole
    // UTF-8 sequence, or none (the byte is escaped).
    size_t size = byte >= 0x20 && byte < 0x7f ? 1
                  : byte >= 0x80              ? utf8Sequence(in + i, length - i)
                                              : 0;
    if (size > 0) {
      if (used + size >= capacity) break;
      for (size_t k = 0; k < size; ++k) out[used++] = static_cast<char>(in[i + k]);
      i += size;
      continue;
    }
    if (used + 4 >= capacity) break;
    out[used++] = '\\';
    out[used++] = 'x';
    out[used++] = kHex[byte >> 4];
    out[used++] = kHex[byte & 0xfu];
    ++i;
  }
  out[used] = '\0';
  return out;
}

std::string printable(const std::string& text) {
  std::string shown(4 * text.size() + 1, '\0');
  shown.resize(std::string::traits_type::length(
      printable(text.data(), text.size(), &shown[0], shown.size())));
  return shown;
}
