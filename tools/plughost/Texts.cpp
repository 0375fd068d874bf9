// SPDX-License-Identifier: MIT
#include "tools/plughost/Texts.h"

#include <cmath>
#include <cstdio>
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

std::string FormatClock(int64_t seconds) {
    if (seconds < 0) return "--:--";
    char text[32];
    const int64_t hours = seconds / 3600;
    const int minutes = static_cast<int>(seconds / 60 % 60);
    const int secs = static_cast<int>(seconds % 60);
    if (hours > 0)
        std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(hours), minutes,
                      secs);
    else
        std::snprintf(text, sizeof text, "%02d:%02d", minutes, secs);
    return text;
}

std::string OneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return line;
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

}  // namespace

std::string JsonString(const std::string& text) {
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
