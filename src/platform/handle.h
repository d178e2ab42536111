// Handles of the platform layer: events, threads, change notifications, open files and
// service-manager objects are all opaque handles, released with CloseObject.
#pragma once

#include <cstdint>

namespace plat {

using Handle = void*;

// "No handle": a handle slot that was never filled (all bits set). It is distinct from the
// null handle, which is what a failed creation of an event or a thread returns.
inline Handle const kNoHandle = reinterpret_cast<Handle>(static_cast<std::intptr_t>(-1));

// Releases any handle this layer handed out. Null and kNoHandle are ignored.
void CloseObject(Handle h);

}  // namespace plat
