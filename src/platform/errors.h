// The system's error codes and texts, and string resources.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// The calling thread's last system error code, and setting it.
std::uint32_t LastError();
void SetLastErrorCode(std::uint32_t code);

// Copies the system's text for an error code into buf, in the shape of the Windows system
// texts: a sentence ended by CR LF. Insertion markers in a text are never expanded from
// arguments that do not exist. Returns the full length of the system's text (which may exceed
// size; then nothing usable is in buf), 0 when the system has no text for the code.
std::size_t SystemErrorText(std::uint32_t code, char* buf, std::size_t size);

// Loads string resource id of the running executable into buf. Returns its length; 0 (and the
// empty text) when there is none.
std::size_t LoadStringResource(unsigned id, char* buf, std::size_t size);

}  // namespace plat
