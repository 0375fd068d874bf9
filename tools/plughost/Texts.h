// SPDX-License-Identifier: MIT
// Reading the plug-in's result texts and writing texts for people and programs.
// Every parser accepts any byte string: a malformed text gives no value, never a
// crash, since the plug-in on the other side may be any library.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace plughost {

// The number of values in a spectrum text.
constexpr int kSpectrumBands = 20;

// A decimal text ("44100", "-3"): an optional minus sign and digits, nothing else,
// within the signed 32-bit range.
std::optional<int32_t> ParseDecimal(const std::string& text);

// Splits a field list ("75#01:15#": each field followed by '#') into exactly
// `count` fields; false when the text has another shape.
bool SplitFields(const std::string& text, int count, std::string* fields);

// The whole seconds of a time text ("75#01:15#" gives 75).
std::optional<int32_t> ParseTime(const std::string& text);

// A level text "RIGHT#LEFT#" (right channel first), each half 0..65535. Both
// halves at 65535 means the stream is not playing.
struct Level {
    bool playing = false;
    uint16_t left = 0;
    uint16_t right = 0;
};
std::optional<Level> ParseLevel(const std::string& text);

// A spectrum text: 20 fields, each the bit pattern of a single-precision
// magnitude read as a signed integer. Gives the magnitudes.
std::optional<std::array<float, kSpectrumBands>> ParseSpectrum(const std::string& text);

// Decibels of a level half (0..32768 is silence..full scale): -infinity for 0.
double LevelDb(uint16_t level);
// Decibels of a spectrum magnitude (1.0 is a full-scale sine): -infinity for 0,
// negative, or not-a-number magnitudes.
double MagnitudeDb(float magnitude);
// Where `db` lies between `floorDb` (0) and 0 dB (1), clamped.
double DbFraction(double db, double floorDb = -60.0);

// "MM:SS", or "H:MM:SS" from one hour on or when `hours` is set; "--:--" for a
// negative value.
std::string FormatClock(int64_t seconds, bool hours = false);
// "00:12 / 00:30": a position and a length in one format, both with hours when
// either has some ("0:09:56 / 2:00:00").
std::string FormatClockPair(int64_t position, int64_t length);

// A time as people write it: seconds with an optional fraction ("90", "1.5"),
// "M:SS" or "H:MM:SS" (the last field may have a fraction: "1:02:03.5"). Minutes
// and seconds after a colon are below 60. Nothing for anything else, or a negative
// or absurd (over a year) time.
std::optional<double> ParseTimeSpec(const std::string& text);

// The code points of a text read as UTF-8; a byte that starts no valid sequence
// stands for the Latin-1 character of its value (texts in a single-byte code page
// stay readable).
std::u32string DecodeText(const std::string& text);
// Appends a code point as UTF-8.
void AppendUtf8(std::string& out, char32_t code);
// True when the whole text is valid UTF-8.
bool IsUtf8(const std::string& text);

// The columns a terminal gives a code point: 2 for wide characters (CJK, most
// emoji), 0 for combining marks and other zero-width ones, else 1.
int CodePointColumns(char32_t code);
// The columns of a text as the terminal shows it (after OneLine).
int TextColumns(const std::string& text);

// The text as valid UTF-8 on one line: decoded as DecodeText does, with control
// characters (below U+0020, U+007F and U+0080..U+009F) shown as blanks. On Windows,
// where texts are in the system's code page, its bytes with the control bytes
// (below 0x20, 0x7F) blanked.
std::string OneLine(const std::string& text);

// A JSON string literal: quotes, backslashes and control characters escaped; bytes
// that are not valid UTF-8 are taken as Latin-1 (the plug-in's texts are in a
// single-byte code page or UTF-8). On Windows the text is in the system's code page
// and is converted from it to UTF-8 first.
std::string JsonString(const std::string& text);

// A double-quoted text with C escapes (\" \\ \n \t \xHH for other control bytes),
// as the script command reads and prints texts.
std::string QuoteText(const std::string& text);

}  // namespace plughost
