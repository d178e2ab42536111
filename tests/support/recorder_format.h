// The record line the recorder helper appends for each start, and its parser. Header-only and
// standard C++ only, so the helper (a Windows program in the Wine build) shares it with the tests.
//
// One line per start, fields separated by '|', each field ended by '|', then '\n':
//   time=<microseconds since the epoch>|argc=<n>|prog=<argv[0]>|<arg 1>|...|<arg n>|
// where n counts the arguments after the record file. In argv[0] and the arguments a backslash
// is written "\\", '|' is "\|", line feed "\n", carriage return "\r", and every other byte below
// 0x20 and 0x7f is "\xHH"; all other bytes, those above 0x7f included, are written unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace recorder {

struct Record {
  std::int64_t timeUs = 0;
  std::string program;
  std::vector<std::string> args;
};

inline std::string Escape(const std::string& s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '|') {
      out += "\\|";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += ch;
    }
  }
  return out;
}

inline std::string FormatLine(std::int64_t timeUs, const std::string& program,
                              const std::vector<std::string>& args) {
  std::string line = "time=" + std::to_string(timeUs) + "|argc=" + std::to_string(args.size()) +
                     "|prog=" + Escape(program) + "|";
  for (const std::string& a : args) line += Escape(a) + "|";
  return line + "\n";
}

namespace detail {

inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Splits the line (without its '\n') into unescaped fields; false on a malformed escape, a
// stray byte after the last '|' or an unescaped control byte.
inline bool SplitFields(const std::string& line, std::vector<std::string>* fields) {
  std::string cur;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '|') {
      fields->push_back(cur);
      cur.clear();
    } else if (c == '\\') {
      if (++i >= line.size()) return false;
      char e = line[i];
      if (e == '\\' || e == '|') {
        cur += e;
      } else if (e == 'n') {
        cur += '\n';
      } else if (e == 'r') {
        cur += '\r';
      } else if (e == 'x' && i + 2 < line.size() && HexValue(line[i + 1]) >= 0 &&
                 HexValue(line[i + 2]) >= 0) {
        cur += static_cast<char>(HexValue(line[i + 1]) * 16 + HexValue(line[i + 2]));
        i += 2;
      } else {
        return false;
      }
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      return false;
    } else {
      cur += c;
    }
  }
  return cur.empty();
}

inline bool ParseNumber(const std::string& text, std::int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *value = v;
  return true;
}

}  // namespace detail

// Parses one line, with or without its '\n'.
inline bool ParseLine(std::string line, Record* out) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  std::vector<std::string> fields;
  if (!detail::SplitFields(line, &fields) || fields.size() < 3) return false;
  std::int64_t count = 0;
  Record r;
  if (fields[0].compare(0, 5, "time=") != 0 || !detail::ParseNumber(fields[0].substr(5), &r.timeUs))
    return false;
  if (fields[1].compare(0, 5, "argc=") != 0 || !detail::ParseNumber(fields[1].substr(5), &count))
    return false;
  if (fields[2].compare(0, 5, "prog=") != 0) return false;
  if (static_cast<std::size_t>(count) != fields.size() - 3) return false;
  r.program = fields[2].substr(5);
  r.args.assign(fields.begin() + 3, fields.end());
  *out = r;
  return true;
}

// Every complete line of a record file; a line still being written (no '\n' yet) is left out,
// and so is a malformed one.
inline std::vector<Record> ParseFile(const std::string& text) {
  std::vector<Record> records;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    Record r;
    if (ParseLine(text.substr(start, end - start), &r)) records.push_back(r);
    start = end + 1;
  }
  return records;
}

}  // namespace recorder
