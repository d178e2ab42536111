// Linux backend, internal: systemctl, run without a shell, its output read through a pipe; it
// inherits no descriptor of ours but the pipe, nor our raised descriptor limit.
#pragma once

#include <initializer_list>
#include <string>

namespace plat::lnx {

// Runs systemctl with args; its standard output (up to 4 KiB, more is read and dropped) goes to
// *out when out is given. Returns its exit status, or -1 with errno set when it could not be run.
int RunSystemctl(std::initializer_list<const char*> args, std::string* out);

// True when systemctl ran and succeeded; otherwise false with errno set (EIO when it ran and
// failed: its own message went to standard error).
bool Systemctl(std::initializer_list<const char*> args, std::string* out = nullptr);

// Has systemd read the unit files again.
bool DaemonReload();

}  // namespace plat::lnx
