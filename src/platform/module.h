// The running executable and the system's text: where the program lies, how paths are joined
// and how the system code page steps through characters.
#pragma once

#include <cstddef>

namespace plat {

// The separator between the parts of a path ('\\' on Windows, '/' on Linux).
extern const char kPathSeparator;

// Writes the full path of the running executable into buf (size bytes with the terminating
// zero) and returns its length; 0 when the platform gives no path. A path that does not fit
// is cut to size - 1 bytes, still terminated, and size is returned (LastError says so), so a
// caller can tell a cut path from a whole one.
std::size_t ModuleFileName(char* buf, std::size_t size);

// The position of the next character after p in the system code page: a double-byte
// character is stepped over as a whole, so its second byte is never seen on its own.
// At the terminating zero it returns p.
const char* NextChar(const char* p);

}  // namespace plat
