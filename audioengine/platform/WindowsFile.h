// SPDX-License-Identifier: MIT
// Files on Windows, named in the ANSI code page as a host passes them. Kept apart
// from the engine's own headers, whose DWORD is not <windows.h>'s.
#pragma once
#ifdef _WIN32

#include <cstdint>
#include <string>

namespace ae {

// Opens `path` for reading if it names a file on disk; nullptr otherwise: a
// directory, pipe, console or device is refused, and the open never waits. Others
// may go on writing, renaming or deleting the file while it is open.
// Threads: any.
void* OpenDiskFile(const std::string& path);
// Reads up to `bytes` at `offset` without a file position, as pread: -1 on an error
// before anything was read, else the bytes read (0 at the end).
// Threads: any, concurrently on one file.
int64_t ReadDiskFileAt(void* file, int64_t offset, void* buffer, int64_t bytes);
// The file's current size; -1 on error.
int64_t DiskFileSize(void* file);
void CloseDiskFile(void* file);
// `path` (in the ANSI code page) as the wide file functions take it at any length: a
// path whose full form reaches MAX_PATH characters becomes that full form behind the
// \\?\ prefix (\\?\UNC\ for a share), which lifts the limit on every Windows
// version; shorter ones stay as they are. "" when `path` is not text of the code page.
std::wstring FileSystemPath(const std::string& path);
// `path` made absolute, in the ANSI code page; "" when that fails.
std::string AbsoluteAnsiPath(const std::string& path);

}  // namespace ae

#endif
