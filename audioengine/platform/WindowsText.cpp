// SPDX-License-Identifier: MIT
#include "audioengine/platform/WindowsText.h"

#include <windows.h>

#include <climits>

namespace ae {

namespace {

std::wstring ToWide(unsigned codePage, DWORD flags, std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int length = static_cast<int>(text.size());
    const int wide = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
    if (wide <= 0) return {};
    std::wstring out(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), length, out.data(), wide);
    return out;
}

std::string FromWide(unsigned codePage, std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const int length = static_cast<int>(text.size());
    const int bytes =
        WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), length, out.data(), bytes, nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring AnsiToWide(std::string_view text) { return ToWide(CP_ACP, 0, text); }

std::string WideToAnsi(std::wstring_view text) { return FromWide(CP_ACP, text); }

std::string AnsiToUtf8(std::string_view text) { return FromWide(CP_UTF8, AnsiToWide(text)); }

std::string Utf8ToAnsi(std::string_view text) {
    return WideToAnsi(ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, text));
}

bool CodePageToUtf8(unsigned codePage, std::string_view bytes, std::string* out) {
    if (bytes.empty()) {
        out->clear();
        return true;
    }
    const std::wstring wide = ToWide(codePage, MB_ERR_INVALID_CHARS, bytes);
    if (wide.empty()) return false;
    *out = FromWide(CP_UTF8, wide);
    return !out->empty();
}

}  // namespace ae
