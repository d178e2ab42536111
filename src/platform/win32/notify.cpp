// temporary
#include "platform/notify.h"
#include <windows.h>
#include "platform/win32/handles.h"
namespace plat {
bool win32::ReleaseIfNotification(void*) { return false; }
Handle ArmNotification(const char* dir, const char*) {
  HANDLE h = FindFirstChangeNotificationA(dir, FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE);
  return h == INVALID_HANDLE_VALUE ? kNoHandle : h;
}
bool RearmNotification(Handle n) { return FindNextChangeNotification(n) != 0; }
std::uint32_t CloseMark(Handle) { return 0; }
int PauseForFile(Handle, std::uint32_t, Handle stop, std::uint32_t ms) {
  return WaitForSingleObject(stop, ms) == WAIT_OBJECT_0 ? 1 : 0;
}
}  // namespace plat
