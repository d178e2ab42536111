// Windows backend, internal: the executable's path as the service manager is given it. No
// <windows.h>, so that it stays a plain function of text.
#pragma once

#include <string>

namespace plat::win32 {

// The service manager takes a command line, not a path: unquoted, its program runs to the first
// blank, so for "C:\Program Files\Kelm\kelmservice.exe" it would start C:\Program.exe if there
// were one. A path with a blank (space or tab) is put in double quotes; any other, and one that
// is quoted already, is given as it is, as it always was.
inline std::string ServiceCommandPath(const char* exePath) {
  const std::string path = exePath != nullptr ? exePath : "";
  if (path.empty() || path[0] == '"' || path.find_first_of(" \t") == std::string::npos) {
    return path;
  }
  return "\"" + path + "\"";
}

}  // namespace plat::win32
