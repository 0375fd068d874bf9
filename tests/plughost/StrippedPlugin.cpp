// SPDX-License-Identifier: MIT
// A plug-in that lacks two of the 30 exports (GetDataChannel20 and
// EqCreateChannel), for plughost's check that every export is present.
#include <cstdint>

extern "C" {
#define PLUGIN_EXPORT __attribute__((visibility("default")))
PLUGIN_EXPORT const char* Copyright() { return "stripped"; }
PLUGIN_EXPORT void GetShortInfo() {}
PLUGIN_EXPORT const char* GetInfo() { return "Get color of pixel"; }
PLUGIN_EXPORT int32_t GetType() { return 0; }
PLUGIN_EXPORT void SetPath(const char*) {}
PLUGIN_EXPORT void SetParentWindow(void*) {}
PLUGIN_EXPORT void Draw() {}
PLUGIN_EXPORT void SetFile(const char*) {}
PLUGIN_EXPORT const char* GetFile() { return ""; }
PLUGIN_EXPORT void SetData(int32_t) {}
PLUGIN_EXPORT int32_t GetData() { return 0; }
PLUGIN_EXPORT void InitBass() {}
PLUGIN_EXPORT void PlayChannel() {}
PLUGIN_EXPORT void CreateChannel() {}
PLUGIN_EXPORT void FreeChannel() {}
PLUGIN_EXPORT void StopChannel() {}
PLUGIN_EXPORT void PauseChannel() {}
PLUGIN_EXPORT void SetPositionForChannel() {}
PLUGIN_EXPORT void GetLevelChannel() {}
PLUGIN_EXPORT void GetDataChannel128() {}
PLUGIN_EXPORT void GetPosTimeChannel() {}
PLUGIN_EXPORT void GetLengthTimeChannel() {}
PLUGIN_EXPORT void GetTagChannel() {}
PLUGIN_EXPORT void EqSetChannel() {}
PLUGIN_EXPORT void SetValumeChannel() {}
PLUGIN_EXPORT void GetFreqChannel() {}
PLUGIN_EXPORT void GetBitrateChannel() {}
PLUGIN_EXPORT void GetChansChannel() {}
}
