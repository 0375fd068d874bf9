// SPDX-License-Identifier: MIT
#include "tools/plughost/Texts.h"

#ifdef _WIN32
#include "audioengine/platform/WindowsText.h"
#endif
#include <locale.h>
#include <wchar.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace plughost {

std::optional<int32_t> ParseDecimal(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > int64_t{1} << 31) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(value);
}

bool SplitFields(const std::string& text, int count, std::string* fields) {
    size_t start = 0;
    for (int i = 0; i < count; ++i) {
        const size_t end = text.find('#', start);
        if (end == std::string::npos) return false;
        fields[i] = text.substr(start, end - start);
        start = end + 1;
    }
    return start == text.size();
}

std::optional<int32_t> ParseTime(const std::string& text) {
    std::string fields[2];
    if (!SplitFields(text, 2, fields)) return std::nullopt;
    return ParseDecimal(fields[0]);
}

std::optional<Level> ParseLevel(const std::string& text) {
    std::string fields[2];
    if (!SplitFields(text, 2, fields)) return std::nullopt;
    const auto right = ParseDecimal(fields[0]);
    const auto left = ParseDecimal(fields[1]);
    if (!right || !left || *right < 0 || *right > 65535 || *left < 0 || *left > 65535)
        return std::nullopt;
    Level level;
    level.right = static_cast<uint16_t>(*right);
    level.left = static_cast<uint16_t>(*left);
    level.playing = !(level.right == 65535 && level.left == 65535);
    return level;
}

std::optional<std::array<float, kSpectrumBands>> ParseSpectrum(const std::string& text) {
    std::string fields[kSpectrumBands];
    if (!SplitFields(text, kSpectrumBands, fields)) return std::nullopt;
    std::array<float, kSpectrumBands> magnitudes{};
    for (int i = 0; i < kSpectrumBands; ++i) {
        const auto bits = ParseDecimal(fields[i]);
        if (!bits) return std::nullopt;
        const uint32_t pattern = static_cast<uint32_t>(*bits);
        std::memcpy(&magnitudes[static_cast<size_t>(i)], &pattern, sizeof pattern);
    }
    return magnitudes;
}

double LevelDb(uint16_t level) {
    if (level == 0) return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(level / 32768.0);
}

double MagnitudeDb(float magnitude) {
    if (std::isnan(magnitude) || magnitude <= 0.0f) return -std::numeric_limits<double>::infinity();
    return 20.0 * std::log10(static_cast<double>(magnitude));
}

double DbFraction(double db, double floorDb) {
    if (std::isnan(db) || db <= floorDb) return 0.0;
    if (db >= 0.0) return 1.0;
    return (db - floorDb) / -floorDb;
}

std::string FormatClock(int64_t seconds, bool hours) {
    if (seconds < 0) return "--:--";
    char text[32];
    const int64_t wholeHours = seconds / 3600;
    const int minutes = static_cast<int>(seconds / 60 % 60);
    const int secs = static_cast<int>(seconds % 60);
    if (hours || wholeHours > 0)
        std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(wholeHours),
                      minutes, secs);
    else
        std::snprintf(text, sizeof text, "%02d:%02d", minutes, secs);
    return text;
}

std::string FormatClockPair(int64_t position, int64_t length) {
    const bool hours = position >= 3600 || length >= 3600;
    return FormatClock(position, hours) + " / " + FormatClock(length, hours);
}

std::optional<double> ParseTimeSpec(const std::string& text) {
    // Up to three fields separated by colons; only the last may have a fraction.
    double total = 0;
    size_t start = 0;
    for (int field = 0; field < 3; ++field) {
        const size_t colon = text.find(':', start);
        const bool last = colon == std::string::npos;
        const std::string part = text.substr(start, last ? std::string::npos : colon - start);
        if (part.empty() || part == "." || part.size() > 12) return std::nullopt;
        bool dot = false;
        for (const char c : part) {
            if (c == '.' && last && !dot) {
                dot = true;
            } else if (c < '0' || c > '9') {
                return std::nullopt;
            }
        }
        const double value = std::strtod(part.c_str(), nullptr);
        // A field after a colon counts minutes or seconds: 0..59.
        if (field > 0 && value >= 60) return std::nullopt;
        total = total * 60 + value;
        if (last) return total <= 366.0 * 86400 ? std::optional<double>(total) : std::nullopt;
        start = colon + 1;
    }
    return std::nullopt;
}

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when none starts there.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    uint32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    uint32_t code = lead & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

// Where a terminal needs no columns: combining marks, zero-width spaces and joiners,
// variation selectors. Used when the C.UTF-8 locale is missing.
bool ZeroWidth(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0xFE00 && c <= 0xFE0F) || (c >= 0xFE20 && c <= 0xFE2F);
}

// Wide characters by their blocks, for the same case: CJK, Hangul, fullwidth forms
// and the emoji planes.
bool Wide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) ||
           (c >= 0x1F300 && c <= 0x1FAFF) || (c >= 0x20000 && c <= 0x3FFFD);
}

#ifndef _WIN32
// The C library's character widths follow the system's Unicode data; they are read
// in the C.UTF-8 locale whatever locale the program runs in.
locale_t Utf8Locale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    return locale;
}
#endif

}  // namespace

std::u32string DecodeText(const std::string& text) {
    std::u32string codes;
    codes.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : Utf8SequenceLength(text, i);
        if (length <= 1) {
            codes.push_back(lead);  // ASCII, or a stray byte read as Latin-1
            ++i;
            continue;
        }
        char32_t code = lead & (0x3F >> (length - 1));
        for (size_t k = 1; k < length; ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        codes.push_back(code);
        i += length;
    }
    return codes;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

int CodePointColumns(char32_t code) {
    if (code < 0x7F) return 1;
#ifndef _WIN32  // Windows' C library has no character widths: the table below serves
    if (const locale_t locale = Utf8Locale()) {
        const locale_t previous = uselocale(locale);
        const int width = wcwidth(static_cast<wchar_t>(code));
        uselocale(previous);
        // Unassigned and control code points: one column, as terminals draw them.
        return width < 0 ? 1 : width;
    }
#endif
    return ZeroWidth(code) ? 0 : Wide(code) ? 2 : 1;
}

int TextColumns(const std::string& text) {
    int columns = 0;
    for (const char32_t code : DecodeText(text)) columns += CodePointColumns(code);
    return columns;
}

#ifdef _WIN32
// On Windows the plug-in's texts and the file names are in the system's code page,
// and so is the console plughost prints to (ShowSystemCodePageOnConsole): the bytes
// stay as they are. Only the control bytes are blanked; none of them is ever the
// second byte of a double-byte character.
std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) ch = ' ';
    }
    return line;
}

#else
std::string OneLine(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (const char32_t code : DecodeText(text)) {
        const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
        AppendUtf8(line, control ? U' ' : code);
    }
    return line;
}
#endif

std::string JsonString(const std::string& original) {
#ifdef _WIN32
    // JSON is UTF-8; the texts are in the system's code page.
    const std::string text = ae::AnsiToUtf8(original);
#else
    const std::string& text = original;
#endif
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c >= 0x80) {
            const size_t length = Utf8SequenceLength(text, i);
            if (length > 0) {
                out.append(text, i, length);
                i += length;
                continue;
            }
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string QuoteText(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

}  // namespace plughost
