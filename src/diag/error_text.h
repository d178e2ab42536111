// The system's description of the last error, and string resources by number.
#pragma once

namespace kelm {

// "<system text> (0x<code>)\n" for the calling thread's last error, in a process-wide buffer
// that each call overwrites; the empty text when the system has no text or it is too long.
const char* GetLastErrorText();

// String resource id of the executable in a process-wide buffer; empty when there is none.
const char* LoadResString(unsigned id);

}  // namespace kelm
