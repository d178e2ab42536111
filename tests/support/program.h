// Driving the real executable from an installation: its copy beside the settings files, the
// exact bytes of its log, and its message boxes (Linux: the terminal; Wine: real windows under
// an X display, found and pressed by the win32_boxclick helper).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/install.h"
#include "support/testenv.h"

namespace testenv {

// Copies the built executable into the installation's folder, so that it finds its settings
// and writes its log there. The copy's path, "" on failure.
std::string CopyServiceExe(const Installation& inst);

// The log's line end on this build: the run time's text mode (CR LF on Windows, LF on Linux).
const char* LogEol();
// One whole log line: text + LogEol().
std::string Line(const std::string& text);
// The separator line's text, spelt out here rather than taken from the product.
std::string SeparatorText();

// Whether the log bytes are exactly the given writes in order, each one the time prefix
// "[yy/mm/dd hh:mm:ss]" followed by exactly the write's bytes (a write that ends a line
// includes LogEol(); one that does not leaves the next prefix on the same line).
::testing::AssertionResult LogIs(const std::string& bytes, const std::vector<std::string>& writes);

// Whether the child has not ended yet; the child stays waitable either way.
bool StillRunning(const Process& p);

// Whether this build can show message boxes to a test. Under Wine they need an X display
// (without one MessageBoxA returns at once); why says what is missing.
bool BoxesCanBeShown(std::string* why);

// Skips the calling test when boxes cannot be shown. GTEST_SKIP ends only the function it is
// written in, so this stays a macro.
#define SKIP_WITHOUT_BOXES()                                  \
  do {                                                        \
    std::string why;                                          \
    if (!testenv::BoxesCanBeShown(&why)) GTEST_SKIP() << why; \
  } while (0)

// Wine: waits for a top-level window of owner with this caption, reads its text into *text
// and presses OK; the helper leaves its output in workDir. The helper's exit code: 0 when done,
// non-zero when no box appeared in time or it stayed.
int PressBox(const Process& owner, const std::string& workDir, const std::string& caption,
             std::string* text, std::chrono::milliseconds deadline = std::chrono::seconds(30));

}  // namespace testenv
