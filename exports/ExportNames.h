// The plug-in's 30 exports, in ordinal order (ordinal = index + 1), for the programs
// that load the plug-in and resolve them by name: plughost, the integration tests and
// the Windows ABI test host. exports/Plugin.def is the frozen list; a test checks that
// this header, the .def file and the Linux version script agree.
#ifndef EXPORTS_EXPORTNAMES_H
#define EXPORTS_EXPORTNAMES_H

inline constexpr int kPluginExportCount = 30;

inline constexpr const char* kPluginExportNames[kPluginExportCount] = {
    "Copyright",
    "GetShortInfo",
    "GetInfo",
    "GetType",
    "SetPath",
    "SetParentWindow",
    "Draw",
    "SetFile",
    "GetFile",
    "SetData",
    "GetData",
    "InitBass",
    "PlayChannel",
    "CreateChannel",
    "FreeChannel",
    "StopChannel",
    "PauseChannel",
    "SetPositionForChannel",
    "GetLevelChannel",
    "GetDataChannel128",
    "GetDataChannel20",
    "GetPosTimeChannel",
    "GetLengthTimeChannel",
    "GetTagChannel",
    "EqSetChannel",
    "SetValumeChannel",
    "GetFreqChannel",
    "GetBitrateChannel",
    "GetChansChannel",
    "EqCreateChannel",
};

#endif
