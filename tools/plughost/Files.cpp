// SPDX-License-Identifier: MIT
#include "tools/plughost/Files.h"

#ifdef _WIN32
#include <windows.h>

#include "audioengine/platform/WindowsFile.h"
#else
#include <sys/stat.h>
#endif

namespace plughost {

#ifdef _WIN32
namespace {

// A file's identity: its volume and index.
bool Identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE file = CreateFileW(ae::FileSystemPath(path).c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return ok;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION first, second;
    return Identity(a, &first) && Identity(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// libsndfile takes a char* name as UTF-8 on Windows; ours is in the system's code
// page, and may be longer than MAX_PATH.
SNDFILE* OpenSoundFile(const std::string& path, int mode, SF_INFO* info) {
    return sf_wchar_open(ae::FileSystemPath(path).c_str(), mode, info);
}
#else
bool SameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

SNDFILE* OpenSoundFile(const std::string& path, int mode, SF_INFO* info) {
    return sf_open(path.c_str(), mode, info);
}
#endif

}  // namespace plughost
