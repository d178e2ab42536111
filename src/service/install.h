// The -install and -remove actions: registering the program as a service with its event
// source and description, and taking it out again. Both report through the log (and, on
// Linux, standard error).
#pragma once

#include <cstdint>

#include "platform/registration.h"

namespace kelm {

// True when the service is installed now (newly or already); false when the install failed.
bool InstallService();
// True when the service is gone now (removed, or it was not installed); false otherwise.
bool RemoveService();

bool SetRegString(plat::RegistryRoot root, const char* keyPath, const char* valueName,
                  const char* text, std::uint32_t byteCount);
bool SetRegDword(plat::RegistryRoot root, const char* keyPath, const char* valueName,
                 std::uint32_t value);

constexpr std::uint32_t kTypesSupported = 8;
constexpr std::uint32_t kRemovePollMs = 1000;

}  // namespace kelm
