// The entry and the foreground run.
#include "entry/win_main.h"

#include "diag/event_log.h"
#include "diag/log.h"
#include "platform/service.h"
#include "platform/ui.h"
#include "service/install.h"
#include "service/service.h"
#include "tasks/task_set.h"
#include "text/messages.h"

namespace kelm {

namespace {

bool IsBlankOrControl(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 0x01 && u <= 0x20;
}

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
  }
  return *a == *b;
}

}  // namespace

std::string CommandLineText(const char* whole) {
  const char* p = whole ? whole : "";
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && !IsBlankOrControl(*p)) ++p;
  }
  while (IsBlankOrControl(*p)) ++p;
  return p;
}

Switch ParseSwitch(const char* text) {
  if (text == nullptr || (text[0] != '-' && text[0] != '/')) return Switch::Dispatch;
  const char* word = text + 1;
  if (EqualsIgnoringCase(word, msg::kSwitchInstall)) return Switch::Install;
  if (EqualsIgnoringCase(word, msg::kSwitchRemove)) return Switch::Remove;
  if (EqualsIgnoringCase(word, msg::kSwitchVersion)) return Switch::Version;
  if (EqualsIgnoringCase(word, msg::kSwitchDebug)) return Switch::Debug;
  return Switch::Dispatch;
}

void RunForeground() {
  // A stop signal while the tasks are being built must not end the process half-way: it waits
  // for the box, which it dismisses at once.
  plat::HoldDismissSignals();
  StartTasks();
  plat::ShowMessage(msg::kDebugBoxText, msg::kDebugBoxCaption);
  StopTasks();
}

int WinMain(void*, void*, const char* commandLine, int) {
  // The first line of every start; it also makes the log lock while there is one thread.
  WriteLog(msg::kSeparatorLine);
  switch (ParseSwitch(commandLine)) {
    // A script that runs these must be able to tell that they failed.
    case Switch::Install:
      return InstallService() ? 0 : kExitActionFailed;
    case Switch::Remove:
      return RemoveService() ? 0 : kExitActionFailed;
    case Switch::Version:
      plat::ShowNotice(msg::kVersionText, msg::kVersionText);
      return 0;
    case Switch::Debug:
      RunForeground();
      return 0;
    case Switch::Dispatch:
      break;
  }
  if (!plat::RunServiceDispatcher(msg::kServiceName, &ServiceMain)) {
    WriteLog(msg::kDispatcherFailed);
    WriteEvent(EventDispatcherFailed);
  }
  return 0;
}

}  // namespace kelm
