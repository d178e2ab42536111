// Win32 backend of platform/handle.h: releasing handles, each with the call its kind needs.
#include "platform/handle.h"

#include <windows.h>

#include "platform/win32/handles.h"

namespace plat {

void CloseObject(Handle h) {
  if (h == nullptr || h == kNoHandle) return;
  if (win32::ReleaseIfNotification(h)) return;
  CloseHandle(h);
}

}  // namespace plat
