// Windows tests: a document type of the tests' own, opened by the recorder, so that a launch
// through the shell's document path ends in a program that records how it was started and
// ends by itself. (The test prefix has no association for .txt.)
#pragma once

#include <windows.h>

#include <string>

namespace testenv {

// Registers ext machine-wide, its "open" verb running the recorder with the record file and
// the document as arguments. True when both keys were written. The registration is shared by
// every test of the run: tests that may run at once each take an extension of their own.
inline bool RegisterRecorderDocumentType(const std::string& ext, const std::string& recorder,
                                         const std::string& record) {
  auto setDefault = [](const std::string& key, const std::string& value) {
    HKEY h = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h,
                        nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const bool ok =
        RegSetValueExA(h, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(h);
    return ok;
  };
  const std::string type = "KelmTest" + ext;
  return setDefault("Software\\Classes\\" + ext, type) &&
         setDefault("Software\\Classes\\" + type + "\\shell\\open\\command",
                    "\"" + recorder + "\" \"" + record + "\" \"%1\"");
}

}  // namespace testenv
