// Linux backend, internal: splitting a parameter text into arguments the way a Windows program's
// C run-time splits the rest of its command line, so a program started on Linux receives the
// arguments it would receive on Windows.
#pragma once

#include <string>
#include <vector>

namespace plat::lnx {

// Splits text by the rules of the Microsoft C run-time (Visual C++ 2008 and later, the
// universal CRT) for the arguments after the program name:
//  - blanks and tabs outside double quotes separate arguments; runs of them count as one;
//  - a double quote toggles quoting and is removed; inside quotes, "" gives one literal quote
//    and quoting goes on;
//  - 2n backslashes followed by a quote give n backslashes, and the quote acts as above;
//    2n+1 backslashes followed by a quote give n backslashes and a literal quote;
//  - backslashes not followed by a quote are literal;
//  - a quoted empty text ("") is an empty argument; every other byte (percent signs, control
//    bytes other than the tab, bytes above 0x7f) is copied unchanged.
// Empty or blank text gives no arguments.
std::vector<std::string> SplitCommandLine(const char* text);

}  // namespace plat::lnx
