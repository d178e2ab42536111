// A throw-away installation for tests of tasks and of the program: a folder with the settings
// files, a log folder and a watched folder, with the log pointed at it.
#pragma once

#include <string>
#include <vector>

#include "support/recorder_format.h"

namespace testenv {

struct Installation {
  std::string dir;      // the "executable folder"
  std::string watched;  // the watched folder
  std::string logDir;

  // Makes the folders; the watched folder gets the name given. With folderName, the executable
  // folder is a folder of that name inside the test's own.
  explicit Installation(const std::string& watchedName = "in", const std::string& folderName = "");

  void WriteServiceIni(const std::string& checkDir) const;
  void WriteTaskIni(const std::string& text) const;
  // A task section whose program is the recorder, recording into recordFile, with extra
  // parameter text after the record file's quoted path.
  std::string RecorderTask(const std::string& section, const std::string& checkFile,
                           const std::string& recordFile,
                           const std::string& extraParams = "") const;

  std::string Path(const std::string& name) const;     // in dir
  std::string Watched(const std::string& name) const;  // in the watched folder
  // Every log line written so far (all day files, in day order), line ends removed.
  std::vector<std::string> LogLines() const;
  std::string LogBytes() const;
  std::vector<recorder::Record> Records(const std::string& recordFile) const;
};

// The message as WriteLog would write it after the prefix, without its line end.
std::string Msg(const char* format, const std::string& a = "", const std::string& b = "",
                const std::string& c = "");
// Counts the log lines that end with text (after the prefix).
int CountLines(const std::vector<std::string>& lines, const std::string& text);

}  // namespace testenv
