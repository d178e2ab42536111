// Opening a program or document the way the desktop shell's "open" verb does.
#pragma once

namespace plat {

// Opens file with the verb "open", shown normally, no working directory given. An executable
// program is started with params handed to it as one parameter text (empty allowed), which the
// program splits by the Windows command-line rules; a document is opened with the application
// associated with its type. The started program outlives the caller and inherits no handle.
// Returns true when the platform accepted the request; false, with the thread's last error
// saying why (no such file, not a program that can start, no application to open it), when
// it refused.
bool ShellOpen(const char* file, const char* params);

}  // namespace plat
