// Test helper (Windows only): win32_boxclick <caption> <text-file> [deadline-ms [pid]]
// Waits for a visible top-level window whose caption is exactly <caption> (a message box some
// other program shows; with pid, only one of that process, since tests running side by side
// show boxes of the same caption), writes the text of its static control to <text-file> and presses
// OK. Exit codes: 0 done; 2 usage; 3 no such window before the deadline; 4 the text could not be
// written; 5 the box was still there well after OK was pressed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Search {
  const char* caption;
  DWORD pid;  // 0: any process
  HWND found;
};

BOOL CALLBACK MatchCaption(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  if (!IsWindowVisible(hwnd)) return TRUE;
  DWORD owner = 0;
  GetWindowThreadProcessId(hwnd, &owner);
  if (search->pid != 0 && owner != search->pid) return TRUE;
  char title[512];
  int n = GetWindowTextA(hwnd, title, sizeof title);
  if (n >= 0 && std::strcmp(title, search->caption) == 0) {
    search->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK FirstStaticText(HWND child, LPARAM param) {
  auto* text = reinterpret_cast<std::string*>(param);
  char cls[32];
  if (GetClassNameA(child, cls, sizeof cls) == 0 || lstrcmpiA(cls, "Static") != 0) return TRUE;
  char buf[2048];
  int n = GetWindowTextA(child, buf, sizeof buf);
  if (n <= 0) return TRUE;  // the icon, for one
  text->assign(buf, static_cast<std::size_t>(n));
  return FALSE;
}

// The box's message: the static control with the dialog item id message boxes give it, else
// the first static control that holds text.
std::string BoxText(HWND box) {
  char buf[2048];
  UINT n = GetDlgItemTextA(box, 0xFFFF, buf, sizeof buf);
  if (n > 0) return std::string(buf, n);
  std::string text;
  EnumChildWindows(box, FirstStaticText, reinterpret_cast<LPARAM>(&text));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 5) {
    std::fputs("usage: win32_boxclick <caption> <text-file> [deadline-ms [pid]]\n", stderr);
    return 2;
  }
  const DWORD deadline = argc >= 4 ? static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) : 30000;
  const DWORD pid = argc >= 5 ? static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10)) : 0;
  const DWORD begin = GetTickCount();

  Search search{argv[1], pid, nullptr};
  for (;;) {
    EnumWindows(MatchCaption, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) break;
    if (GetTickCount() - begin >= deadline) {
      std::fprintf(stderr, "no window \"%s\" within %lu ms\n", argv[1],
                   static_cast<unsigned long>(deadline));
      return 3;
    }
    Sleep(50);
  }

  std::string text = BoxText(search.found);
  std::FILE* f = std::fopen(argv[2], "wb");
  if (f == nullptr) return 4;
  bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !written) return 4;

  PostMessageA(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  const DWORD pressed = GetTickCount();
  while (IsWindow(search.found)) {
    if (GetTickCount() - pressed >= 10000) {
      std::fputs("the box stayed after OK was pressed\n", stderr);
      return 5;
    }
    Sleep(20);
  }
  return 0;
}
