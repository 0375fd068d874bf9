// SPDX-License-Identifier: MIT
// Channel operations with explicit arguments, over the plug-in's fixed slot tables.
//
// Slots are numbered 1 to 32 and bands 1 to 10. A slot number outside 1..32 acts as
// an empty slot (handle 0): nothing outside the tables is read or written, and no
// stream or effect is created for it, since it could not be stored.
//
// This header names no engine type (handles are 32-bit unsigned), so that callers
// may include platform headers of their own beside it.
#ifndef CHANNELS_UFUNCTIONS_H
#define CHANNELS_UFUNCTIONS_H

#include <cstdint>
#include <string>

#include "plugin/host/HostExports.h"  // PLUGIN_HOT

constexpr int kSlotCount = 32;
constexpr int kBandCount = 10;

// Stream handle of each slot (index slot - 1), 0 when the slot is empty.
extern uint32_t Channels[kSlotCount];
// Per slot: stopped by StopStream, so the next PlayStream starts from the beginning.
extern bool WasStopped[kSlotCount];
// The equaliser's effect handle of each slot and band (index slot - 1, band - 1).
extern uint32_t EqEffects[kSlotCount][kBandCount];
// Centre frequency of each band in Hz.
extern const float BandCentres[kBandCount];

// Starts the engine on the default output at 44100 Hz. A failure is left to the
// engine: the plug-in stays loaded and later engine calls fail there.
void InitEngine(void* window);

// Transport.
bool OpenStream(int32_t slot, const std::string& file);
void PlayStream(int32_t slot);
void StopStream(int32_t slot);
void PauseStream(int32_t slot);
void FreeStream(int32_t slot);
void SeekSeconds(int32_t slot, float seconds);
void SetVolumePercent(int32_t slot, int32_t percent);

// Time and level.
int32_t PosSeconds(int32_t slot);
int32_t LengthSeconds(int32_t slot);
uint32_t LevelRight(int32_t slot);  // 0..65535
uint32_t LevelLeft(int32_t slot);   // 0..65535

// Element (1..256) of a fresh 256-bin spectrum, its 32 bits read as a signed integer.
PLUGIN_HOT int32_t SpectrumValue(int32_t slot, int32_t element);

// Stream information and tags.
int32_t SampleRate(int32_t slot);
int32_t BitRate(int32_t slot);  // kbit/s
std::string LayoutText(int32_t slot);
std::string TagText(int32_t slot, const std::string& key);

// Equaliser.
void CreateEqualiser(int32_t slot);
void SetEqualiserBand(int32_t slot, int32_t band, int32_t gain);

// A floating value made whole: 0 for NaN, infinities and values outside the 64-bit
// range; otherwise rounded in the current rounding mode to a 64-bit integer whose low
// 32 bits are returned. Never raises a floating-point exception beyond inexact.
int32_t RoundToInt32(double value);

#endif
