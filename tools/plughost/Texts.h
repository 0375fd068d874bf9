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

// "MM:SS", or "H:MM:SS" from one hour on; "--:--" for a negative value.
std::string FormatClock(int64_t seconds);

// The text with control characters shown as blanks, for one-line display.
std::string OneLine(const std::string& text);

// A JSON string literal: quotes, backslashes and control characters escaped; bytes
// that are not valid UTF-8 are taken as Latin-1 (the plug-in's texts are in a
// single-byte code page or UTF-8).
std::string JsonString(const std::string& text);

// A double-quoted text with C escapes (\" \\ \n \t \xHH for other control bytes),
// as the script command reads and prints texts.
std::string QuoteText(const std::string& text);

}  // namespace plughost
