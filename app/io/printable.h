// How messages show text that came from outside: arguments, paths and bytes
// read from files. Every tool quotes such text in its messages through this
// one function, so that a name or a token holding terminal control bytes
// (an escape sequence, a carriage return) is shown, never acted on by the
// terminal that displays the message.
//
// Invariant: the result holds no C0 control byte (0x00-0x1f), no DEL (0x7f)
// and no C1 control (U+0080-U+009F), and is valid UTF-8; each such byte,
// and each byte that is not part of a valid UTF-8 sequence (overlong forms,
// surrogates and code points beyond U+10FFFF included), is written as \xHH
// (two lowercase hex digits). Everything else is copied as it is: printable
// ASCII, a backslash too, and valid UTF-8 beyond ASCII. So text without
// such bytes comes out unchanged, and a message that quoted none reads as
// it always has.
#ifndef DTICUT_APP_IO_PRINTABLE_H
#define DTICUT_APP_IO_PRINTABLE_H

#include <cstddef>
#include <string>

// Writes the `length` bytes at `text`, shown as above, into `out` (room for
// `capacity` bytes, at least 1) and returns `out`, always NUL-terminated.
// Text that does not fit is cut before the first escape or character that
// does not; 4 * length + 1 bytes always suffice. Allocates nothing, so that
// a message can be shown when memory has run out.
char* printable(const char* text, size_t length, char* out, size_t capacity);

// The same, as a string.
std::string printable(const std::string& text);

#endif  // DTICUT_APP_IO_PRINTABLE_H
