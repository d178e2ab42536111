// Win32 backend of platform/shell.h: the shell's "open" verb.
#include "platform/shell.h"

#include <windows.h>
// shellapi.h needs the definitions of windows.h first.
#include <objbase.h>
#include <shellapi.h>

#include <cstdint>

namespace plat {

namespace {

// The system error for the shell's own code of a refusal (32 or less), for a refusal that left
// the thread's last error unset.
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

// The reason for a refusal. Where the shell's code is a reason of its own (no application for
// the type, a DDE conversation that failed), that is the reason: the last error may then be
// one the shell met on its way (Wine leaves ERROR_BAD_EXE_FORMAT from trying the document as
// a program). Otherwise the last error is the more precise (a missing folder rather than a
// missing file), and the shell's code stands in where none was set.
DWORD RefusalError(DWORD lastError, std::intptr_t shellCode) {
  const DWORD shell = ShellError(shellCode);
  if (shell == ERROR_NO_ASSOCIATION || shell == ERROR_DDE_FAIL) return shell;
  return lastError != 0 ? lastError : shell;
}

}  // namespace

bool ShellOpen(const char* file, const char* params) {
  if (file == nullptr) return false;
  // The shell may hand a document to an extension or a DDE server, which needs COM on the
  // calling thread. The apartment lasts for this launch only: a watcher then waits without
  // dispatching messages, and anything sent meanwhile to an apartment it kept would wait for
  // ever, and with it a later launch that depends on the answer, and the stop that joins it.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  // No error box: in a service nobody could dismiss it, and the watcher would wait on it. No
  // asynchronous finish: the launch is complete when the call returns, as a watcher has no
  // message loop to carry on a DDE conversation. No process handle is asked for, so none is
  // left to close.
  info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = "open";
  info.lpFile = file;
  info.lpParameters = params != nullptr ? params : "";
  info.nShow = SW_SHOW;
  SetLastError(0);
  const BOOL ok = ShellExecuteExA(&info);
  const DWORD error = ok ? 0 : GetLastError();
  if (SUCCEEDED(com)) CoUninitialize();
  if (ok) return true;
  SetLastError(RefusalError(error, reinterpret_cast<std::intptr_t>(info.hInstApp)));
  return false;
}

}  // namespace plat
