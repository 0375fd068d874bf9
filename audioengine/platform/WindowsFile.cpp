// SPDX-License-Identifier: MIT
#include "audioengine/platform/WindowsFile.h"

#include <windows.h>

#include <algorithm>

#include "audioengine/platform/WindowsText.h"

namespace ae {

namespace {

// The full form of a wide path; "" when it has none.
std::wstring FullWidePath(const std::wstring& wide) {
    const DWORD length = wide.empty() ? 0 : GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (length == 0) return {};
    std::wstring full(length, L'\0');
    const DWORD written = GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
    if (written == 0 || written >= length) return {};
    full.resize(written);
    return full;
}

}  // namespace

std::wstring FileSystemPath(const std::string& path) {
    const std::wstring wide = AnsiToWide(path);
    // Already in the long form, or a device's name (\\.\): used as it stands.
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
    // The prefix turns off the name's normalisation (relative parts, "/" for "\"),
    // hence the full form.
    const std::wstring full = FullWidePath(wide);
    if (full.size() < MAX_PATH - 1) return wide;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

void* OpenDiskFile(const std::string& path) {
    const std::wstring wide = FileSystemPath(path);
    if (wide.empty()) return nullptr;
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return nullptr;
    }
    return file;
}

int64_t ReadDiskFileAt(void* file, int64_t offset, void* buffer, int64_t bytes) {
    if (offset < 0 || bytes < 0) return -1;
    auto* out = static_cast<unsigned char*>(buffer);
    int64_t done = 0;
    while (done < bytes) {
        // An explicit offset per read: no shared file position between threads.
        OVERLAPPED at{};
        const uint64_t position = static_cast<uint64_t>(offset + done);
        at.Offset = static_cast<DWORD>(position);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        const DWORD ask = static_cast<DWORD>(std::min<int64_t>(bytes - done, 1 << 30));
        DWORD got = 0;
        if (!ReadFile(static_cast<HANDLE>(file), out + done, ask, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return done > 0 ? done : -1;
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

int64_t DiskFileSize(void* file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(static_cast<HANDLE>(file), &size)) return -1;
    return static_cast<int64_t>(size.QuadPart);
}

void CloseDiskFile(void* file) { CloseHandle(static_cast<HANDLE>(file)); }

std::string AbsoluteAnsiPath(const std::string& path) {
    const std::wstring full = FullWidePath(AnsiToWide(path));
    return full.empty() ? std::string() : WideToAnsi(full);
}

}  // namespace ae
