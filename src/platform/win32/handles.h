// Win32 backend, internal: how CloseObject reaches the release of a change notification, the
// one kind of handle of this layer that is more than a single system handle (see notify.cpp).
#pragma once

namespace plat::win32 {

// Releases h and returns true when h is a change notification of this layer; false (and
// nothing done) for any other handle.
bool ReleaseIfNotification(void* h);

}  // namespace plat::win32
