// SPDX-License-Identifier: MIT
// Drives Plugin.so, over the real engine on the manual output, with a sequence of
// export calls read from the input: any 32-bit operand, texts of any bytes and
// length, NULL, the paths of small generated files and of files that are not audio.
// A few output blocks are rendered between calls so that streams really play.
//
// Every input starts from the same state: at its end every slot is freed and the
// registers are pushed back to zero and empty texts, so a crash replays from its
// input alone. The same source builds the libFuzzer target and, without libFuzzer,
// the replay of stored inputs in the normal test suite.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "tests/fuzz/FuzzFiles.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/fuzz/ProtocolOps.h"
#include "tools/pluginloader/PluginLoader.h"

using namespace protocolops;

namespace {

constexpr int kSlots = 32;
constexpr int kMaxCalls = 128;
constexpr DWORD kBlockFrames = 256;

using pluginloader::PluginExports;

const char* const kTextKeys[] = {"%TITL", "%ARTI", "%ALBM",  "%GNRE", "%YEAR", "%CMNT",
                                 "%TRCK", "%titl", "%TITLE", "%",     "",      "TITL"};

const int32_t kInterestingInts[] = {0,
                                    1,
                                    -1,
                                    2,
                                    32,
                                    33,
                                    10,
                                    11,
                                    15,
                                    -15,
                                    16,
                                    100,
                                    1000,
                                    3600,
                                    86400,
                                    65535,
                                    65536,
                                    INT32_MAX,
                                    INT32_MIN,
                                    INT32_MAX - 1,
                                    INT32_MIN + 1,
                                    0x7fff,
                                    -100};

struct State {
    PluginExports exports;
    // The exports that take no argument and return nothing, by operation.
    PluginExports::Action actions[kExportCount] = {};
    std::string dir;
    std::string home;                // what SetPath receives at start and at every reset
    std::vector<std::string> files;  // indexed by the input
    bool ready = false;
};

State& Fuzz() {
    static State state;
    return state;
}

void Fail(const char* why) {
    std::fprintf(stderr, "protocol fuzzer: %s\n", why);
    std::abort();
}

// Reads a whole result text, so that a dangling or unterminated one is caught.
size_t Touch(const char* text) {
    if (text == nullptr) Fail("an export returned a NULL text");
    return std::strlen(text);
}

void RenderBlocks(int blocks) {
    static float out[kBlockFrames * 2];
    for (int i = 0; i < blocks; ++i) {
        if (!AE_Render(out, kBlockFrames)) Fail("AE_Render failed on the manual output");
    }
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void RemoveFiles() { fuzzfiles::RemoveDir(Fuzz().dir); }

// The operand registers back to zero and empty texts, and FileResult emptied.
void ResetRegisters() {
    const State& s = Fuzz();
    const PluginExports& e = s.exports;
    for (int i = 0; i < 5; ++i) e.SetData(0);
    for (int i = 0; i < 5; ++i) e.SetFile("");
    e.EqSetChannel();  // band 0: no engine call, FileResult emptied
    e.SetPath(s.home.c_str());
    e.SetParentWindow(nullptr);
}

void FreeEverySlot() {
    const PluginExports& e = Fuzz().exports;
    for (int32_t slot = 1; slot <= kSlots; ++slot) {
        e.SetData(slot);
        e.FreeChannel();
    }
}

void Setup() {
    State& s = Fuzz();
    if (s.ready) return;
    setenv("AUDIOENGINE_OUTPUT", "manual", 1);
    s.dir = fuzzfiles::MakeTempDir("protocol-fuzz-");
    if (s.dir.empty()) Fail("cannot make a temporary directory");
    std::atexit(RemoveFiles);
    s.files = fuzzfiles::WriteSmallFiles(s.dir);
    if (s.files.empty()) Fail("cannot write the audio files");
    // Files that are not audio, or not whole: they must leave the slot empty.
    const std::string flac = s.files[3];
    std::ifstream in(flac, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    WriteBytes(s.dir + "/half.flac", bytes.substr(0, bytes.size() / 2));
    WriteBytes(s.dir + "/header.flac", bytes.substr(0, 42));
    WriteBytes(s.dir + "/empty.wav", "");
    WriteBytes(s.dir + "/notes.txt", "not audio at all\n");
    static const char kRiffGarbage[] = "RIFF\x24\0\0\0WAVEfmt garbage garbage garbage";
    WriteBytes(s.dir + "/riff.wav", std::string(kRiffGarbage, sizeof kRiffGarbage - 1));
    for (const char* name : {"half.flac", "header.flac", "empty.wav", "notes.txt", "riff.wav"})
        s.files.push_back(s.dir + "/" + name);
    s.files.push_back(s.dir);
    s.files.push_back(s.dir + "/missing.mp3");
    s.files.push_back("/dev/null");
    s.files.push_back("/dev/zero");

    std::string error;
    const auto plugin = pluginloader::PluginLibrary::Load(PLUGIN_PATH, &error);
    if (!plugin) Fail(error.c_str());
    // Every input runs on this one load, to the end of the process.
    plugin->LeaveLoaded();
    s.exports = plugin->exports();
    for (int op = 0; op < kExportCount; ++op)
        s.actions[op] = pluginloader::ChannelAction(s.exports, op);
    // What a host does once: where the plug-in lives, its window, the engine.
    s.home = s.dir;
    s.exports.SetPath(s.home.c_str());
    s.exports.SetParentWindow(nullptr);
    s.exports.InitBass();
    if (std::strcmp(AE_OutputName(), "manual") != 0) Fail("the engine is not on the manual output");
    ResetRegisters();
    s.ready = true;
}

std::string Text(fuzzinput::Reader& in, bool* isNull) {
    const State& s = Fuzz();
    *isNull = false;
    switch (in.Pick(7)) {
        case 0:
            *isNull = true;
            return std::string();
        case 1:
        case 2:
            return s.files[in.Pick(static_cast<unsigned>(s.files.size()))];
        case 3:
            return kTextKeys[in.Pick(sizeof kTextKeys / sizeof kTextKeys[0])];
        case 4:
            return in.Bytes(255);
        case 5: {
            // A name of about 100 KB, of one repeated byte (maybe not UTF-8).
            const char byte = static_cast<char>(in.Byte() | 1);
            return s.dir + "/" + std::string(100 * 1024, byte);
        }
        default:
            // A real path with bytes of the input after it.
            return s.files[in.Pick(static_cast<unsigned>(s.files.size()))] + in.Bytes(16);
    }
}

int32_t Int(fuzzinput::Reader& in) {
    switch (in.Pick(4)) {
        case 0:
            return static_cast<int32_t>(in.Pick(44)) - 2;  // slots, bands, seconds
        case 1:
            return static_cast<int32_t>(in.Word());
        case 2:
            return kInterestingInts[in.Pick(sizeof kInterestingInts / sizeof kInterestingInts[0])];
        default:
            return static_cast<int32_t>(in.Byte()) * 4 - 512;  // gains, volumes
    }
}

void Call(fuzzinput::Reader& in) {
    const State& s = Fuzz();
    const PluginExports& e = s.exports;
    const unsigned op = in.Pick(kOpCount);
    switch (op) {
        case kCopyright:
            Touch(e.Copyright());
            break;
        case kGetInfo:
            Touch(e.GetInfo());
            break;
        case kGetFile:
            Touch(e.GetFile());
            break;
        case kGetType:
            (void)e.GetType();
            break;
        case kGetData:
            (void)e.GetData();
            break;
        case kSetData:
            e.SetData(Int(in));
            break;
        case kSetFile:
        case kSetPath: {
            bool isNull = false;
            const std::string text = Text(in, &isNull);
            (op == kSetFile ? e.SetFile : e.SetPath)(isNull ? nullptr : text.c_str());
            break;
        }
        case kSetParentWindow:
            // A window handle is the host's: the plug-in passes it on, never reads it.
            e.SetParentWindow(reinterpret_cast<void*>(static_cast<uintptr_t>(in.Quad())));
            break;
        case kCreateChannel: {
            // The slot holds a stream exactly when the call says so: a refused file
            // leaves it empty (rate "0"), an opened one answers with its rate.
            const bool created = e.CreateChannel();
            e.GetFreqChannel();
            const bool empty = std::strcmp(e.GetFile(), "0") == 0;
            if (created == empty) Fail("CreateChannel's answer and the slot disagree");
            break;
        }
        case kRender:
            RenderBlocks(1 + static_cast<int>(in.Pick(8)));
            break;
        default:
            s.actions[op]();
            break;
    }
    // Queries leave their answer in FileResult: read it as a host would.
    Touch(e.GetFile());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup();
    fuzzinput::Reader in(data, size);
    for (int calls = 0; calls < kMaxCalls && !in.empty(); ++calls) {
        Call(in);
        RenderBlocks(1);
    }
    FreeEverySlot();
    RenderBlocks(1);
    ResetRegisters();
    return 0;
}
