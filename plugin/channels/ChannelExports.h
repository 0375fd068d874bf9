// SPDX-License-Identifier: MIT
// The argument-less channel exports. Each reads its operands from the registers
// (DataHistory entries 0..2, FileHistory entry 0), calls one channel operation, and
// for a query writes its text into FileResult for the host to read with GetFile.
#ifndef CHANNELS_CHANNELEXPORTS_H
#define CHANNELS_CHANNELEXPORTS_H

#include <cstdint>
#include <string>

#include "plugin/host/HostExports.h"

// "MM:SS" of a number of seconds read as unsigned 32-bit, hours and days dropped.
std::string SecondsToMinSec(int32_t seconds);

extern "C" {
PLUGIN_EXPORT void InitBass();
PLUGIN_EXPORT bool CreateChannel();  // true when the slot received a stream
PLUGIN_EXPORT void PlayChannel();
PLUGIN_EXPORT void StopChannel();
PLUGIN_EXPORT void PauseChannel();
PLUGIN_EXPORT void FreeChannel();
PLUGIN_EXPORT void SetPositionForChannel();
PLUGIN_EXPORT void SetValumeChannel();

PLUGIN_EXPORT void GetPosTimeChannel();
PLUGIN_EXPORT void GetLengthTimeChannel();
PLUGIN_EXPORT void GetLevelChannel();
PLUGIN_EXPORT void GetDataChannel20();
PLUGIN_EXPORT void GetDataChannel128();

PLUGIN_EXPORT void GetFreqChannel();
PLUGIN_EXPORT void GetBitrateChannel();
PLUGIN_EXPORT void GetChansChannel();
PLUGIN_EXPORT void GetTagChannel();

PLUGIN_EXPORT void EqCreateChannel();
PLUGIN_EXPORT void EqSetChannel();
}

#endif
