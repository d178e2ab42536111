// Win32 backend of platform/ui.h: a message box with no owner.
#include "platform/ui.h"

#include <windows.h>

namespace plat {

void ShowMessage(const char* text, const char* caption) {
  MessageBoxA(nullptr, text != nullptr ? text : "", caption, MB_OK);
}

void HoldDismissSignals() {}

void ShowNotice(const char* text, const char* caption) { ShowMessage(text, caption); }

void ShowOutcome(const char*) {}  // nothing on screen: the log holds the line

}  // namespace plat
