// Win32 backend of platform/process.h.
#include "platform/process.h"

#include <windows.h>

namespace plat {

void PrepareProcess() {}

const char* WholeCommandLine() { return GetCommandLineA(); }

}  // namespace plat
