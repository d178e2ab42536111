// Linux backend, internal: the unit file of a service, as registration.cpp writes and rewrites
// it, and the atomic file writes that keep systemd and readers from ever seeing half a file.
#pragma once

#include <string>

namespace plat::lnx {

// Puts bytes at path through a hidden temporary file beside it, flushed to disk first, so that
// neither systemd nor a reader ever sees half a file. mustBeNew: link() into place, which fails
// with EEXIST when path exists, and does so atomically; otherwise rename() replaces what is there.
bool PutFile(const std::string& path, const std::string& bytes, bool mustBeNew);
bool ReadWholeFile(const std::string& path, std::string* bytes);

// A value for a unit setting that takes free text: on one line (a line break would start a
// setting of its own), with % doubled so systemd does not expand it as a specifier, and
// without an odd trailing backslash, which would join the next line to it.
std::string UnitText(const std::string& text);
// The executable for ExecStart=: systemd splits the line at blanks, takes both kinds of quotes
// and C escapes, and expands specifiers, so a path with any of those is quoted and escaped.
std::string ExecPath(const char* path);

// The whole unit file of the service: its description, its executable, started on demand
// (an [Install] section, so that it can be enabled for boot), restarted after a crash.
std::string UnitFile(const char* description, const char* exePath);
// unit with the Description= line of its [Unit] section set to description (added, and the
// section too, where there is none).
std::string WithDescription(const std::string& unit, const std::string& description);

}  // namespace plat::lnx
