// SPDX-License-Identifier: MIT
#include "plugin/channels/uFunctions.h"

#include <cfloat>
#include <cmath>
#include <cstring>

#include "plugin/engine/Bass.h"
#include "plugin/engine/tags.h"

uint32_t Channels[kSlotCount];
bool WasStopped[kSlotCount];
uint32_t EqEffects[kSlotCount][kBandCount];
const float BandCentres[kBandCount] = {80, 170, 310, 600, 1000, 3000, 6000, 12000, 14000, 16000};

namespace {

constexpr float kBandwidth = 36.0f;  // semitones, every band
constexpr int32_t kSpectrumEntries = 256;

// Keys accepted by TagText, compared byte for byte.
const char* const kTagKeys[] = {"%TRCK", "%TITL", "%ARTI", "%ALBM", "%GNRE", "%YEAR", "%CMNT"};

bool ValidSlot(int32_t slot) { return slot >= 1 && slot <= kSlotCount; }

// The slot's stream, or 0 for an empty slot or a number outside the table.
HSTREAM Handle(int32_t slot) { return ValidSlot(slot) ? Channels[slot - 1] : 0; }

}  // namespace

int32_t RoundToInt32(double value) {
    if (!std::isfinite(value)) return 0;
    const double whole = std::nearbyint(value);
    // 2^63 is exact in double; the quiet comparisons never raise "invalid".
    constexpr double kLimit = 9223372036854775808.0;
    if (!(std::isgreaterequal(whole, -kLimit) && std::isless(whole, kLimit))) return 0;
    return static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(whole))));
}

void InitEngine(void* window) { BASS_Init(-1, 44100, 0, window, nullptr); }

bool OpenStream(int32_t slot, const std::string& file) {
    if (!ValidSlot(slot)) return false;
    HSTREAM& handle = Channels[slot - 1];
    if (handle != 0) {
        BASS_ChannelStop(handle);
        BASS_StreamFree(handle);
        handle = 0;
    }
    handle = BASS_StreamCreateFile(FALSE, file.c_str(), 0, 0, 0);
    if (handle == 0) return false;
    WasStopped[slot - 1] = false;
    return true;
}

void PlayStream(int32_t slot) {
    const HSTREAM handle = Handle(slot);
    if (ValidSlot(slot) && WasStopped[slot - 1]) {
        WasStopped[slot - 1] = false;
        const QWORD start = BASS_ChannelSeconds2Bytes(handle, 0.0);
        BASS_ChannelSetPosition(handle, start, BASS_POS_BYTE);
    }
    if (handle != 0) BASS_ChannelPlay(handle, FALSE);
}

void StopStream(int32_t slot) {
    const HSTREAM handle = Handle(slot);
    if (handle == 0) return;
    WasStopped[slot - 1] = true;
    BASS_ChannelStop(handle);
}

void PauseStream(int32_t slot) {
    if (ValidSlot(slot)) WasStopped[slot - 1] = false;
    BASS_ChannelPause(Handle(slot));
}

void FreeStream(int32_t slot) {
    if (!ValidSlot(slot)) return;
    WasStopped[slot - 1] = false;
    HSTREAM& handle = Channels[slot - 1];
    if (handle == 0) return;
    BASS_ChannelStop(handle);
    BASS_StreamFree(handle);
    handle = 0;
}

void SeekSeconds(int32_t slot, float seconds) {
    if (!ValidSlot(slot)) return;
    // The host chose a position: a rewind pending from an earlier stop must not undo it.
    WasStopped[slot - 1] = false;
    const HSTREAM handle = Channels[slot - 1];
    if (handle == 0) return;
    const QWORD position = BASS_ChannelSeconds2Bytes(handle, static_cast<double>(seconds));
    BASS_ChannelSetPosition(handle, position, BASS_POS_BYTE);
}

void SetVolumePercent(int32_t slot, int32_t percent) {
    const float volume = static_cast<float>(static_cast<double>(percent) / 100.0);
    BASS_ChannelSetAttribute(Handle(slot), BASS_ATTRIB_VOL, volume);
}

int32_t PosSeconds(int32_t slot) {
    const HSTREAM handle = Handle(slot);
    if (handle == 0) return 0;
    const QWORD bytes = BASS_ChannelGetPosition(handle, BASS_POS_BYTE);
    return RoundToInt32(BASS_ChannelBytes2Seconds(handle, bytes));
}

int32_t LengthSeconds(int32_t slot) {
    const HSTREAM handle = Handle(slot);
    if (handle == 0) return 0;
    const QWORD bytes = BASS_ChannelGetLength(handle, BASS_POS_BYTE);
    return RoundToInt32(BASS_ChannelBytes2Seconds(handle, bytes));
}

uint32_t LevelRight(int32_t slot) { return BASS_ChannelGetLevel(Handle(slot)) >> 16; }

uint32_t LevelLeft(int32_t slot) { return BASS_ChannelGetLevel(Handle(slot)) & 0xFFFFu; }

int32_t SpectrumValue(int32_t slot, int32_t element) {
    // The element to be read is zeroed for every request, so a request the engine does
    // not fill reads 0. Nothing else of the buffer is read, so nothing else is zeroed:
    // a query makes twenty requests, and hosts make one every frame they draw.
    float spectrum[kSpectrumEntries];
    const bool inRange = element >= 1 && element <= kSpectrumEntries;
    if (inRange) spectrum[element - 1] = 0.0f;
    BASS_ChannelGetData(Handle(slot), spectrum, BASS_DATA_FFT512);
    if (!inRange) return 0;
    // The element's bit pattern, not its value: it grows with the magnitude and
    // needs no floating-point conversion.
    int32_t bits;
    std::memcpy(&bits, &spectrum[element - 1], sizeof bits);
    return bits;
}

int32_t SampleRate(int32_t slot) {
    BASS_CHANNELINFO info = {};  // a failed request leaves it cleared: 0 Hz
    BASS_ChannelGetInfo(Handle(slot), &info);
    return static_cast<int32_t>(info.freq);
}

int32_t BitRate(int32_t slot) {
    const HSTREAM handle = Handle(slot);
    const QWORD length = BASS_ChannelGetLength(handle, BASS_POS_BYTE);
    const double duration = BASS_ChannelBytes2Seconds(handle, length);
    const QWORD fileBytes = BASS_StreamGetFilePosition(handle, BASS_FILEPOS_END);
    // The duration is used at single precision. A value outside float's range would
    // overflow on conversion, and its divisor would not be finite: the rate reads 0,
    // as it does over a zero duration.
    if (!std::isfinite(duration) || std::isgreater(std::fabs(duration), double(FLT_MAX))) {
        return 0;
    }
    const float seconds = static_cast<float>(duration);
    const double divisor = 125.0 * static_cast<double>(seconds);  // bytes/s to kbit/s
    if (divisor == 0.0) return 0;
    // |divisor| >= 125 x the smallest float, so the quotient stays finite.
    return RoundToInt32(static_cast<double>(fileBytes) / divisor + 0.5);
}

std::string LayoutText(int32_t slot) {
    BASS_CHANNELINFO info = {};  // a failed request leaves it cleared: "0 channels"
    BASS_ChannelGetInfo(Handle(slot), &info);
    const int32_t channels = static_cast<int32_t>(info.chans);
    if (channels == 1) return "Mono";
    if (channels == 2) return "Stereo";
    return std::to_string(channels) + " channels";
}

std::string TagText(int32_t slot, const std::string& key) {
    for (const char* known : kTagKeys) {
        if (key == known) {
            const char* text = TAGS_Read(Handle(slot), known);
            return text != nullptr ? std::string(text) : std::string();
        }
    }
    return std::string();
}

void CreateEqualiser(int32_t slot) {
    if (!ValidSlot(slot)) return;
    const HSTREAM handle = Channels[slot - 1];
    uint32_t* row = EqEffects[slot - 1];
    // Remove the effects of an earlier equaliser first so that bands never stack. If
    // they belonged to a stream since freed, the engine refuses the stale handle.
    for (int band = 0; band < kBandCount; ++band) {
        if (row[band] != 0) BASS_ChannelRemoveFX(handle, row[band]);
        row[band] = 0;
    }
    for (int band = 1; band <= kBandCount; ++band) {
        row[band - 1] = BASS_ChannelSetFX(handle, BASS_FX_DX8_PARAMEQ, band);
    }
}

void SetEqualiserBand(int32_t slot, int32_t band, int32_t gain) {
    if (band < 1 || band > kBandCount) return;  // no such band, no centre to set
    BASS_DX8_PARAMEQ params;
    params.fCenter = BandCentres[band - 1];
    params.fBandwidth = kBandwidth;
    params.fGain = static_cast<float>(gain);
    const HFX effect = ValidSlot(slot) ? EqEffects[slot - 1][band - 1] : 0;
    BASS_FXSetParameters(effect, &params);
}
