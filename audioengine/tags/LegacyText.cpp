// SPDX-License-Identifier: MIT
#include "audioengine/tags/LegacyText.h"

#ifdef _WIN32
#include <windows.h>

#include "audioengine/platform/WindowsText.h"
#else
#include <iconv.h>
#endif

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace audioengine {

namespace {

// Windows-1252's characters for 0x80..0x9F; the five bytes it leaves undefined map
// to the C1 control of the same value, as Windows itself decodes them.
constexpr char32_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        AppendUtf8(out, b >= 0x80 && b < 0xA0 ? kWindows1252High[b - 0x80] : char32_t{b});
    }
    return out;
}

// Bytes of the longest character of the code pages a legacy text may be in (GB18030).
constexpr size_t kLongestCharacter = 4;

bool IsAscii(std::string_view bytes) {
    for (const char ch : bytes)
        if (static_cast<unsigned char>(ch) >= 0x80) return false;
    return true;
}

// A bare number names a Windows code page; iconv knows 1250..1258 as CP125x and the
// East Asian ones as CP932, CP936, CP949, CP950.
std::string IconvName(const std::string& name) {
    bool digits = !name.empty();
    for (const char ch : name) digits = digits && std::isdigit(static_cast<unsigned char>(ch));
    return digits ? "CP" + name : name;
}

bool IsWindows1252(const std::string& iconvName) {
    std::string upper;
    for (const char ch : iconvName) upper += static_cast<char>(std::toupper(ch));
    return upper == "CP1252" || upper == "WINDOWS-1252";
}

#ifdef _WIN32
// Windows has no iconv: a code page is named by its number ("CP1251"), and Windows
// itself decodes it.
unsigned CodePageNumber(const std::string& iconvName) {
    if (iconvName.size() < 3 || std::toupper(static_cast<unsigned char>(iconvName[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(iconvName[1])) != 'P')
        return 0;
    unsigned number = 0;
    for (size_t i = 2; i < iconvName.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(iconvName[i])) || number > 100000) return 0;
        number = number * 10 + static_cast<unsigned>(iconvName[i] - '0');
    }
    return number;
}

bool KnownEncoding(const std::string& iconvName) {
    const unsigned number = CodePageNumber(iconvName);
    return number != 0 && IsValidCodePage(number);
}

bool IconvToUtf8(const std::string& from, std::string_view bytes, std::string* out) {
    return ae::CodePageToUtf8(CodePageNumber(from), bytes, out);
}
#else
bool KnownEncoding(const std::string& iconvName) {
    const iconv_t cd = iconv_open("UTF-8", iconvName.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
    return true;
}

// `bytes` decoded from `from` by iconv; false when iconv does not know the encoding
// or the bytes are not valid in it.
bool IconvToUtf8(const std::string& from, std::string_view bytes, std::string* out) {
    const iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string result(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* to = result.data();
    size_t toLeft = result.size();
    const bool ok = iconv(cd, &in, &inLeft, &to, &toLeft) != static_cast<size_t>(-1) &&
                    iconv(cd, nullptr, nullptr, &to, &toLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok) return false;
    result.resize(result.size() - toLeft);
    *out = std::move(result);
    return true;
}
#endif

}  // namespace

LegacyCodePage::LegacyCodePage(const std::string& name) {
    const std::string iconvName = IconvName(name);
    if (iconvName.empty() || IsWindows1252(iconvName) || !KnownEncoding(iconvName)) return;
    iconvName_ = iconvName;
}

LegacyCodePage LegacyCodePage::FromEnvironment() {
    const char* name = std::getenv(kTagCodePageVariable);
#ifdef _WIN32
    // Windows tools write these texts in the system's code page, the one the host
    // reads texts in: decoded in it, they come back to the host unchanged.
    if (name == nullptr || *name == '\0') return LegacyCodePage(std::to_string(GetACP()));
#endif
    return LegacyCodePage(name ? name : "");
}

std::string LegacyCodePage::ToUtf8(std::string_view bytes) const {
#ifdef _WIN32
    // Bytes that happen to read as UTF-8 are taken in the code page all the same, so
    // that the host gets them back as they are in the file.
    if (IsAscii(bytes)) return std::string(bytes);
#else
    if (IsAscii(bytes) || IsValidUtf8(bytes)) return std::string(bytes);
#endif
    std::string out;
    if (iconvName_.empty()) return Windows1252ToUtf8(bytes);
    if (IconvToUtf8(iconvName_, bytes, &out)) return out;
    // A fixed-size field (ID3v1 keeps 30 bytes) cut inside a character of a multi-byte
    // code page (932, 936, 949, 950, GB18030): the characters before the cut, without
    // its half. Only when what is left has characters beyond ASCII in the code page:
    // "Caf\xE9" is Windows-1252's, not a text in 932 with half a character at its end.
    for (size_t cut = 1; cut < kLongestCharacter && cut < bytes.size(); ++cut) {
        const std::string_view whole = bytes.substr(0, bytes.size() - cut);
        if (!IsAscii(whole) && IconvToUtf8(iconvName_, whole, &out)) return out;
    }
    return Windows1252ToUtf8(bytes);
}

bool IsValidUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        int length;
        char32_t c;
        if (b < 0x80) {
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
            c = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            c = b & 0x0F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            c = b & 0x07;
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

}  // namespace audioengine
