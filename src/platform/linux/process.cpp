// Linux backend of platform/process.h.
#include "platform/process.h"

#include "platform/linux/spawn.h"

namespace plat {

void PrepareProcess() { lnx::RaiseDescriptorLimit(); }

const char* WholeCommandLine() { return nullptr; }

}  // namespace plat
