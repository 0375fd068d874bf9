// SPDX-License-Identifier: MIT
// A recording test double of the engine API (engine/Bass.h, engine/tags.h).
//
// Every engine function records its call, with its exact arguments, as one text
// "Name(arg, arg, ...)": integers in decimal, floats with 9 and doubles with 17
// significant digits (both read back exactly), window handles as "null" or hex, text
// arguments quoted byte for byte, records by their contents ("{80, 36, -15}"), and
// out-buffers as "buffer" or "null".
//
// Each function returns scripted results: the next one queued for it, else its
// default. Reset() empties the queues and the record, and sets every default to
// 0 / FALSE / a null text / "fills nothing".
#ifndef TESTS_DOUBLE_ENGINEDOUBLE_H
#define TESTS_DOUBLE_ENGINEDOUBLE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "plugin/engine/Bass.h"

namespace enginedouble {

struct Result {
    uint64_t value = 0;  // integer result of any width (BOOL, DWORD, handle, QWORD)
    double seconds = 0;  // BASS_ChannelBytes2Seconds
    bool nullText = true;
    std::string text;  // TAGS_Read, when nullText is false
    bool fillsInfo = false;
    BASS_CHANNELINFO info = {};   // BASS_ChannelGetInfo, when fillsInfo
    std::vector<uint32_t> words;  // BASS_ChannelGetData: written from entry 0
    bool fillsParams = false;
    BASS_DX8_PARAMEQ params = {};  // BASS_FXGetParameters, when fillsParams
    bool fillsAttribute = false;
    float attribute = 0;  // BASS_ChannelGetAttribute, when fillsAttribute
};

inline Result Int(uint64_t value) {
    Result r;
    r.value = value;
    return r;
}
inline Result Seconds(double seconds) {
    Result r;
    r.seconds = seconds;
    return r;
}
inline Result Text(const char* text) {
    Result r;
    r.nullText = text == nullptr;
    if (text != nullptr) r.text = text;
    return r;
}
inline Result Info(DWORD freq, DWORD chans) {
    Result r;
    r.value = TRUE;
    r.fillsInfo = true;
    r.info.freq = freq;
    r.info.chans = chans;
    return r;
}
inline Result Spectrum(std::vector<uint32_t> words) {
    Result r;
    r.value = words.size() * 4;
    r.words = std::move(words);
    return r;
}

// Scripts the results of `function` (its name in the API, e.g. "BASS_ChannelGetLength").
// An unknown name aborts the test program: it is a typo in the test.
void Queue(const std::string& function, const Result& result);
void SetDefault(const std::string& function, const Result& result);

void Reset();

// Returns the calls recorded since the last Reset or TakeCalls, in order, and
// forgets them.
std::vector<std::string> TakeCalls();

// Used by the doubles themselves (through Answer in Recording.h): appends a call to the
// record, and takes the next scripted result of a function.
void Record(std::string call);
Result Next(const char* function);

}  // namespace enginedouble

#endif
