// Registering the program as a service, and the registry values that go with it.
//
// Windows: the service control manager and the registry under HKEY_LOCAL_MACHINE.
// Linux: systemd; the service is a unit file named after it. Of the registry only a service
// key's "Description" has a place there (the unit's description); every other value and key
// is refused with ENOTSUP, since nothing on Linux would read it.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace plat {

constexpr std::uint32_t kErrorServiceExists = 1073;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;

// Opens the local service manager with all access. Null on failure (LastError tells why).
Handle OpenServiceManager();

// Registers an own-process service that may interact with the desktop (type 0x110), started
// on demand, normal error control, no group, dependencies or account. exePath is the bare path;
// the backend writes it as its service manager needs it (Windows: in quotes when it holds a
// blank; Linux: quoted and escaped for ExecStart=).
// Null on failure; LastError is kErrorServiceExists when it is already registered.
Handle CreateServiceEntry(Handle manager, const char* name, const char* displayName,
                          const char* exePath);

// Opens a registered service with all access. Null on failure; LastError is
// kErrorServiceDoesNotExist when there is no such service.
Handle OpenServiceEntry(Handle manager, const char* name);

// Sends the stop control. *state receives the state the service answered with (also when
// refused, if the platform gave one). False when the control was refused.
bool StopServiceEntry(Handle service, std::uint32_t* state);

// The service's current state, a ServiceState of platform/service.h. False on failure.
bool QueryServiceEntryState(Handle service, std::uint32_t* state);

// Marks the service for deletion. False when refused (LastError tells why).
bool DeleteServiceEntry(Handle service);

// Closes a manager or service handle from the functions above.
void CloseServiceEntry(Handle h);

enum class RegistryRoot { LocalMachine };

// Creates or opens the key (non-volatile, all access, default security), sets the value and
// closes the key. byteCount is the size of data with its terminating zero. True when the
// value was set.
bool RegistrySetString(RegistryRoot root, const char* keyPath, const char* valueName,
                       const char* data, std::uint32_t byteCount);
bool RegistrySetDword(RegistryRoot root, const char* keyPath, const char* valueName,
                      std::uint32_t value);
// Deletes a key (one level, no subkeys). False on failure.
bool RegistryDeleteKey(RegistryRoot root, const char* keyPath);

}  // namespace plat
