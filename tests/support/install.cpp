#include "support/install.h"

#include <cstdio>

#include "support/testenv.h"

namespace testenv {

Installation::Installation(const std::string& watchedName, const std::string& folderName) {
  dir = FreshDir();
  if (!folderName.empty()) {
    dir = Join(dir, folderName);
    MakeDir(dir);
  }
  watched = Join(dir, watchedName);
  logDir = Join(dir, "log");
  MakeDir(watched);
  MakeDir(logDir);
}

void Installation::WriteServiceIni(const std::string& checkDir) const {
  WriteFile(Path("kelmservice.ini"), "[CheckDir]\r\nCheckDir=" + checkDir + "\r\n");
}

void Installation::WriteTaskIni(const std::string& text) const {
  WriteFile(Path("task.ini"), text);
}

std::string Installation::RecorderTask(const std::string& section, const std::string& checkFile,
                                       const std::string& recordFile,
                                       const std::string& extraParams) const {
  std::string para = "\"" + recordFile + "\"";
  if (!extraParams.empty()) para += " " + extraParams;
  return "[" + section + "]\r\nCheckFile=" + checkFile + "\r\nTask=" + ToolPath("recorder") +
         "\r\nPara=" + para + "\r\n";
}

std::string Installation::Path(const std::string& name) const { return Join(dir, name); }
std::string Installation::Watched(const std::string& name) const { return Join(watched, name); }

std::string Installation::LogBytes() const {
  std::string all;
  for (int d = 1; d <= 31; ++d) {
    char name[32];
    std::snprintf(name, sizeof name, "service-%02d.log", d);
    all += ReadFile(Join(logDir, name));
  }
  return all;
}

std::vector<std::string> Installation::LogLines() const {
  std::string all = LogBytes();
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find('\n', pos);
    if (end == std::string::npos) {
      lines.push_back(all.substr(pos));
      break;
    }
    std::string line = all.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

std::vector<recorder::Record> Installation::Records(const std::string& recordFile) const {
  return recorder::ParseFile(ReadFile(recordFile));
}

std::string Msg(const char* format, const std::string& a, const std::string& b,
                const std::string& c) {
  std::vector<char> buf(4096 + a.size() + b.size() + c.size());
  std::snprintf(buf.data(), buf.size(), format, a.c_str(), b.c_str(), c.c_str());
  std::string s(buf.data());
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

int CountLines(const std::vector<std::string>& lines, const std::string& text) {
  int n = 0;
  for (const auto& l : lines) {
    if (l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0) ++n;
  }
  return n;
}

}  // namespace testenv
