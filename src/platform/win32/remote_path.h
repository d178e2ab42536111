// Windows backend, internal: whether a folder is on another machine, by its full path and the
// type the system gives its drive. No <windows.h>: the native build tests it too.
#pragma once

namespace plat::win32 {

// GetDriveType's answer for a drive on another machine (DRIVE_REMOTE).
constexpr unsigned kDriveRemote = 4;

// Whether the folder at fullPath (as GetFullPathName gives it) is on another machine: a UNC
// path (\\server\share\..., or \\?\UNC\server\share\...), or a drive the system reports as
// remote (driveType: what GetDriveType answered for the path's root). Device paths (\\.\,
// \\?\ followed by a drive) are judged by their drive's type alone.
bool RemoteFolder(const char* fullPath, unsigned driveType);

// The root of fullPath's drive or share, with its separator, which GetDriveType is asked about:
// C:\, \\server\share\, \\?\UNC\server\share\, \\?\C:\. False (root untouched) for a path with no
// such root, or a root that does not fit size.
bool DriveRoot(const char* fullPath, char* root, unsigned long size);

}  // namespace plat::win32
