// SPDX-License-Identifier: MIT
#include "plugin/channels/ChannelExports.h"

#include <cstdio>
#include <utility>

#include "plugin/channels/uFunctions.h"
#include "plugin/host/HostExports.h"

#ifdef _WIN32
#include <stdarg.h>
#include <windows.h>
#endif

namespace {

// Elements of the spectrum reported by GetDataChannel20: every fourth from 6.
constexpr int32_t kFirstSpectrumElement = 6;
constexpr int32_t kSpectrumStep = 4;
constexpr int kSpectrumFields = 20;
// Characters of the longest int32_t in decimal, "-2147483648".
constexpr int kInt32Digits = 11;

// Splits of a seconds count.
constexpr uint32_t kSecondsPerDay = 86400;
constexpr uint32_t kSecondsPerHour = 3600;
constexpr uint32_t kSecondsPerMinute = 60;
constexpr uint32_t kSecondsPerSecond = 1;

#ifdef _WIN32
int FormatText(char* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = wvsprintfA(out, format, args);
    va_end(args);
    return length;
}
#endif

// FileResult becomes the text that `build` returns. Should memory run out while the
// text is built, FileResult is left empty: no exception may reach the host.
template <typename Build>
void WriteResult(Build build) {
    try {
        // A build that returns FileResult itself has written it in place.
        if (auto&& text = build(); &text != &FileResult) FileResult = std::move(text);
    } catch (...) {
        std::string().swap(FileResult);
    }
}

// Appends a field of a field list: the text and its closing "#".
void AppendField(std::string& list, const std::string& field) {
    list += field;
    list += '#';
}

std::string TimeText(int32_t seconds) {
    std::string text;
    AppendField(text, std::to_string(seconds));
    AppendField(text, SecondsToMinSec(seconds));
    return text;
}

// Writes `value` in decimal at `out` and returns the end: what std::to_chars gives,
// without its table of digit pairs, which would be one more page for a cold call.
PLUGIN_HOT char* AppendDecimal(char* out, int32_t value) {
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
    }
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

}  // namespace

std::string SecondsToMinSec(int32_t seconds) {
    uint32_t rest = static_cast<uint32_t>(seconds);
    rest %= kSecondsPerDay;
    rest %= kSecondsPerHour;
    const unsigned minutes = rest / kSecondsPerMinute;
    const unsigned secs = (rest % kSecondsPerMinute) / kSecondsPerSecond;
    char text[2048];
#ifdef _WIN32
    FormatText(text, "%.2u:%.2u", minutes, secs);
#else
    std::snprintf(text, sizeof text, "%.2u:%.2u", minutes, secs);
#endif
    return std::string(text);
}

extern "C" {

void InitBass() { InitEngine(ParentWindow); }

bool CreateChannel() { return OpenStream(DataHistory[0], FileHistory[0]); }

void PlayChannel() { PlayStream(DataHistory[0]); }

void StopChannel() { StopStream(DataHistory[0]); }

void PauseChannel() { PauseStream(DataHistory[0]); }

void FreeChannel() { FreeStream(DataHistory[0]); }

void SetPositionForChannel() { SeekSeconds(DataHistory[1], static_cast<float>(DataHistory[0])); }

void SetValumeChannel() { SetVolumePercent(DataHistory[1], DataHistory[0]); }

void GetPosTimeChannel() {
    WriteResult([] { return TimeText(PosSeconds(DataHistory[0])); });
}

void GetLengthTimeChannel() {
    WriteResult([] { return TimeText(LengthSeconds(DataHistory[0])); });
}

void GetLevelChannel() {
    WriteResult([] {
        const int32_t slot = DataHistory[0];
        const uint32_t right = LevelRight(slot);
        const uint32_t left = LevelLeft(slot);
        std::string text;
        AppendField(text, std::to_string(right));
        AppendField(text, std::to_string(left));
        return text;
    });
}

PLUGIN_HOT void GetDataChannel20() {
    const int32_t slot = DataHistory[0];
    // Hosts ask for this every frame they draw, most often with every cache cold: the
    // text is built on the stack by code of this section alone (no digit table, no
    // library call) and copied into FileResult by inline code, which reuses its
    // buffer once it has held a spectrum text: a call touches few pages and, after
    // the first, allocates nothing.
    char text[kSpectrumFields * (kInt32Digits + 1)];
    char* end = text;
    for (int field = 0; field < kSpectrumFields; ++field) {
        const int32_t element = kFirstSpectrumElement + field * kSpectrumStep;
        end = AppendDecimal(end, SpectrumValue(slot, element));
        *end++ = '#';
    }
    WriteResult([&]() -> std::string& {
        FileResult.clear();
        for (const char* c = text; c != end; ++c) FileResult.push_back(*c);
        return FileResult;
    });
}

void GetDataChannel128() {}

void GetFreqChannel() {
    WriteResult([] { return std::to_string(SampleRate(DataHistory[0])); });
}

void GetBitrateChannel() {
    WriteResult([] { return std::to_string(BitRate(DataHistory[0])); });
}

void GetChansChannel() {
    WriteResult([] { return LayoutText(DataHistory[0]); });
}

void GetTagChannel() {
    WriteResult([] { return TagText(DataHistory[0], FileHistory[0]); });
}

void EqCreateChannel() { CreateEqualiser(DataHistory[0]); }

void EqSetChannel() {
    SetEqualiserBand(DataHistory[2], DataHistory[1], DataHistory[0]);
    std::string().swap(FileResult);
}

}  // extern "C"
