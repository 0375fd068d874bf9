// SPDX-License-Identifier: MIT
// How the protocol fuzzer reads its input, shared with the seed generator:
// each call starts with a byte that picks an export (its value modulo kOpCount,
// kRender for a few rendered blocks), followed by its operand.
//   SetData: a kind byte, then for kind 0 one byte (value + 2, a slot or band),
//            for kind 1 four bytes little-endian, for kind 2 an index into a list
//            of edge values, for kind 3 one byte (value = 4 x byte - 512).
//   SetFile, SetPath: a kind byte; 0 NULL; 1 or 2 an index into the file list;
//            3 an index into the tag keys; 4 a length byte and that many bytes;
//            5 a byte repeated into a name of 100 KB; 6 a file with bytes after it.
//   SetParentWindow: eight bytes of a window handle.
#pragma once

#include "plugin/exports/ExportNames.h"

namespace protocolops {

enum Export {
    kCopyright,
    kGetShortInfo,
    kGetInfo,
    kGetType,
    kSetPath,
    kSetParentWindow,
    kDraw,
    kSetFile,
    kGetFile,
    kSetData,
    kGetData,
    kInitBass,
    kPlayChannel,
    kCreateChannel,
    kFreeChannel,
    kStopChannel,
    kPauseChannel,
    kSetPositionForChannel,
    kGetLevelChannel,
    kGetDataChannel128,
    kGetDataChannel20,
    kGetPosTimeChannel,
    kGetLengthTimeChannel,
    kGetTagChannel,
    kEqSetChannel,
    kSetValumeChannel,
    kGetFreqChannel,
    kGetBitrateChannel,
    kGetChansChannel,
    kEqCreateChannel,
    kExportCount,
    kRender = kExportCount,  // not an export: renders 1..8 blocks
    kOpCount
};

static_assert(kExportCount == kPluginExportCount, "one operation per export, in ordinal order");

// SetData and SetFile kinds, as described above.
enum IntKind { kSmallInt, kWordInt, kEdgeInt, kGainInt };
enum TextKind { kNullText, kFileText, kFileText2, kKeyText, kBytesText, kLongText, kSuffixText };

}  // namespace protocolops
