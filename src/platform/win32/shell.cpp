// Win32 backend of platform/shell.h: the shell's "open" verb.
#include "platform/shell.h"

#include <windows.h>
// shellapi.h needs the definitions of windows.h first.
#include <objbase.h>
#include <shellapi.h>

#include <cstdint>

namespace plat {

namespace {

// The system error for a refusal of the shell (a result of 32 or less). ShellExecuteA's own
// codes are older than the system's and do not always set the last error.
DWORD ShellError(std::intptr_t result) {
  switch (result) {
    case SE_ERR_FNF:
    case SE_ERR_PNF:
    case SE_ERR_ACCESSDENIED:
    case SE_ERR_OOM:
    case ERROR_BAD_FORMAT:
      return static_cast<DWORD>(result);  // the same numbers as the system errors
    case SE_ERR_SHARE:
      return ERROR_SHARING_VIOLATION;
    case SE_ERR_ASSOCINCOMPLETE:
    case SE_ERR_NOASSOC:
      return ERROR_NO_ASSOCIATION;
    case SE_ERR_DDETIMEOUT:
    case SE_ERR_DDEFAIL:
    case SE_ERR_DDEBUSY:
      return ERROR_DDE_FAIL;
    case SE_ERR_DLLNOTFOUND:
      return ERROR_DLL_NOT_FOUND;
    case 0:  // out of memory or resources
      return ERROR_NOT_ENOUGH_MEMORY;
    default:  // no other is documented; the low system errors share their numbers
      return static_cast<DWORD>(result);
  }
}

}  // namespace

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
  const std::intptr_t result = reinterpret_cast<std::intptr_t>(r);
  if (result > 32) return true;
  SetLastError(ShellError(result));
  return false;
}

}  // namespace plat
