// JSON text for the records the tool writes (the run report, the weights
// table): objects, arrays, strings and numbers, indented two spaces a level.
//
// Invariant: text() is valid JSON once every begun object and array has
// ended, whatever bytes the strings held: quotes, backslashes and control
// characters are escaped, and bytes that are not UTF-8 (a path is any bytes)
// become U+FFFD, so that every JSON reader takes the file. Members and
// elements appear in the order written. Cost: the text is built in memory.
#ifndef DTICUT_APP_IO_JSON_H
#define DTICUT_APP_IO_JSON_H

#include <string>
#include <vector>

class JsonWriter {
 public:
  void beginObject();
  void endObject();
  void beginArray();
  // An array of numbers on one line, as in [128, 128, 70].
  void beginInlineArray();
  void endArray();
  // The next member's name, inside an object; its value follows.
  void key(const char* name);

  void string(const char* value);  // null gives JSON null
  void integer(long long value);
  // A weight as the shortest decimal that reads back as it (weightText).
  void weight(float value);
  // A double that reads back exactly (17 significant digits at most);
  // non-finite values, which JSON has no word for, give null.
  void real(double value);
  // Seconds to the millisecond, as the command's -v lines print them.
  void seconds(double value);
  void boolean(bool value);
  void null();

  void member(const char* name, const char* value) { key(name), string(value); }
  void member(const char* name, long long value) { key(name), integer(value); }

  // The text so far, ending in a newline once the outermost value ended.
  const std::string& text() const { return m_text; }

 private:
  // Before a value: the separator and indentation its place needs.
  void beforeValue();
  void open(char bracket, bool inlined);
  void close(char bracket);
  void raw(const char* token);

  std::string m_text;
  struct Level {
    bool empty;   // nothing in it yet
    bool inline_;  // its elements on one line
  };
  std::vector<Level> m_levels;  // the open containers, outermost first
  bool m_afterKey = false;
};

#endif  // DTICUT_APP_IO_JSON_H
