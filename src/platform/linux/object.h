// Every handle of the Linux backend points to an Object; CloseObject deletes it.
// A waitable object exposes a descriptor that poll() reports readable while it is signalled.
#pragma once

#include "platform/handle.h"

namespace plat::lnx {

class Object {
 public:
  virtual ~Object() = default;
  // The descriptor poll() watches for readability; -1 for objects that cannot be waited on.
  virtual int WaitFd() const { return -1; }
  // Called after poll() reported this object signalled: a change notification consumes what
  // it reported here; events and threads stay signalled.
  virtual void OnWaitSatisfied() {}
};

inline Object* AsObject(Handle h) {
  return (h == nullptr || h == kNoHandle) ? nullptr : static_cast<Object*>(h);
}

}  // namespace plat::lnx
