// platform/settle.h where the exclusive open always tells (Windows: share modes decide, so it is
// never undecided): settled is what that open says.
#include "platform/settle.h"

#include "platform/fs.h"

namespace plat {

Handle OpenSettled(Handle /*notification*/, const char* path) { return OpenExclusive(path); }

}  // namespace plat
