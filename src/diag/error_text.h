// The system's description of the last error, and string resources by number.
#pragma once

#include <cstddef>

namespace kelm {

// "<system text> (0x<code>)\n" for the calling thread's last error, in a process-wide buffer
// that each call overwrites; the empty text when the system has no text or it is too long.
const char* GetLastErrorText();

// The same text for the calling thread's last error, written into buf for a thread that may
// not use the shared buffer; when the system has no text, the code alone, "(0x<code>)\n", so
// that a line embedding it always ends. Returns buf.
const char* LastErrorTextInto(char* buf, std::size_t size);

// String resource id of the executable in a process-wide buffer; empty when there is none.
const char* LoadResString(unsigned id);

}  // namespace kelm
