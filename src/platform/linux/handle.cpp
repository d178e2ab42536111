// Linux backend of platform/handle.h: every handle is an Object, and releasing it deletes it.
#include "platform/handle.h"

#include "platform/linux/object.h"

namespace plat {

void CloseObject(Handle h) { delete lnx::AsObject(h); }

}  // namespace plat
