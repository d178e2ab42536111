// Win32 backend of platform/shell.h: the shell's "open" verb.
#include "platform/shell.h"

#include <windows.h>
// shellapi.h needs the definitions of windows.h first.
#include <objbase.h>
#include <shellapi.h>

#include <cstdint>

namespace plat {

bool ShellOpen(const char* file, const char* params) {
  if (file == nullptr) return false;
  // The shell may hand a document to an extension or a DDE server, which needs COM on the
  // calling thread. The apartment lasts for this launch only: a watcher then waits without
  // dispatching messages, and anything sent meanwhile to an apartment it kept would wait for
  // ever, and with it a later launch that depends on the answer, and the stop that joins it.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  HINSTANCE r =
      ShellExecuteA(nullptr, "open", file, params != nullptr ? params : "", nullptr, SW_SHOW);
  if (SUCCEEDED(com)) CoUninitialize();
  // Values up to 32 are the shell's error codes.
  return reinterpret_cast<std::intptr_t>(r) > 32;
}

}  // namespace plat
