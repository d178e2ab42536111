// Win32 backend of platform/pause.h. Windows does not report a writer's close, so the pause ends
// early only on the stop event, and no close mark is kept.
#include "platform/pause.h"

#include <windows.h>

namespace plat {

std::uint32_t CloseMark(Handle /*notification*/) { return 0; }

int PauseForFile(Handle /*notification*/, std::uint32_t /*mark*/, Handle stop, std::uint32_t ms) {
  if (stop != nullptr && stop != kNoHandle) {
    const DWORD r = WaitForSingleObject(stop, ms);
    if (r == WAIT_OBJECT_0) return 1;
    if (r == WAIT_TIMEOUT) return 0;
  }
  // No usable stop event: the pause must still last, or the caller's retries would spin.
  Sleep(ms);
  return 0;
}

}  // namespace plat
