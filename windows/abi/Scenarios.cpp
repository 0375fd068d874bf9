// SPDX-License-Identifier: MIT
// The plug-in's contract as a 32-bit host sees it: every area driven through the
// register protocol, checking the texts the host reads and the engine calls the mock
// engine received, word for word as they crossed the stack.
#include <limits.h>
#include <string.h>

#include <algorithm>
#include <cmath>

#include "plugin/engine/Bass.h"
#include "windows/abi/Harness.h"

namespace abi {

namespace {

// Streams the transport scenario opens and the later scenarios query.
uint32_t g_stream = 0;       // slot 3
uint32_t g_otherStream = 0;  // slot 5
constexpr int32_t kSlot = 3;
constexpr int32_t kOtherSlot = 5;
constexpr int32_t kEmptySlot = 9;

struct Expected {
    const char* name;
    std::vector<uint32_t> words;
};

// Checks the calls recorded since the last reset, in order, against the expected ones.
void ExpectCalls(const std::vector<Expected>& expected, const char* what) {
    const std::vector<MockCall> calls = EngineCalls();
    bool same = calls.size() == expected.size();
    for (size_t i = 0; same && i < calls.size(); ++i) {
        same = strcmp(calls[i].name, expected[i].name) == 0 &&
               calls[i].wordCount == static_cast<int>(expected[i].words.size()) &&
               std::equal(expected[i].words.begin(), expected[i].words.end(), calls[i].words);
    }
    std::string want;
    for (const Expected& e : expected) {
        MockCall call = {};
        strncpy(call.name, e.name, sizeof call.name - 1);
        call.wordCount = static_cast<int>(e.words.size());
        std::copy(e.words.begin(), e.words.end(), call.words);
        want += " " + Describe(call) + ";";
    }
    ABI_CHECK(same, std::string(what) + ": got " + DescribeAll(calls) + " expected" + want);
}

void Push(const Exports& p, std::initializer_list<int32_t> values) {
    for (int32_t value : values) p.SetData(value);
}

std::string Query(const Exports& p, VoidFn query, int32_t slot) {
    p.SetData(slot);
    query();
    return p.GetFile();
}

uint32_t Low(uint64_t value) { return static_cast<uint32_t>(value); }
uint32_t High(uint64_t value) { return static_cast<uint32_t>(value >> 32); }

std::string SpectrumText(const float* spectrum) {
    std::string text;
    for (int element = 6; element <= 82; element += 4) {
        int32_t bits;
        memcpy(&bits, &spectrum[element - 1], sizeof bits);
        text += std::to_string(bits) + "#";
    }
    return text;
}

}  // namespace

void CheckExportTable() {
    Step("export table");
    ABI_CHECK(ExportByOrdinal(31) == nullptr, "an export beyond ordinal 30");
    ABI_CHECK(ExportByName("SetVolumeChannel") == nullptr, "SetVolumeChannel is exported");
    ABI_CHECK(ExportByName("DllMain") == nullptr && ExportByName("_DllMain@12") == nullptr,
              "DllMain is exported");
}

void CheckIdentityAndRegisters(const Exports& p) {
    Step("identity exports, fresh state");
    ResetMocks();
    const char* copyright = p.Copyright();
    ABI_CHECK(copyright != nullptr && copyright[0] != '\0', "Copyright gives no text");
    ABI_CHECK_EQ_TEXT(p.GetInfo(), "Get color of pixel");
    ABI_CHECK(p.GetType() == 0, "GetType is not 0");
    ABI_CHECK(p.GetData() == 0, "GetData is not 0 after load");
    const char* result = p.GetFile();
    ABI_CHECK(result != nullptr, "GetFile gives null after load");
    ABI_CHECK_EQ_TEXT(result, "");
    p.GetShortInfo();
    const uint32_t drawArgs[3] = {0x11111111, 0x22222222, 0x33333333};
    ABI_CHECK(StackDrift(reinterpret_cast<const void*>(p.Draw), drawArgs, 3) == 0,
              "Draw with three arguments moves the stack pointer");
    p.SetPath(nullptr);
    p.SetPath("C:\\Program Files\\Host\\Plugins\\");
    ABI_CHECK(EngineCalls().empty(), "identity exports called the engine");

    Step("operand registers");
    // EqSetChannel reads entries 2, 1 and 0 as slot, band and gain: band 2 is 170 Hz.
    Push(p, {1, 2, 3});
    p.EqSetChannel();
    std::vector<MockCall> calls = EngineCalls();
    ABI_CHECK(calls.size() == 1 && strcmp(calls[0].name, "BASS_FXSetParameters") == 0,
              "EqSetChannel: " + DescribeAll(calls));
    if (calls.size() == 1) {
        const float expected[3] = {170.0f, 36.0f, 3.0f};
        ABI_CHECK(memcmp(calls[0].record, expected, sizeof expected) == 0,
                  "entries 2, 1, 0 are not slot, band, gain");
    }
    ABI_CHECK(p.GetData() == 0, "GetData is not 0 after SetData");

    Step("InitBass with the parent window");
    ResetMocks();
    p.SetParentWindow(reinterpret_cast<void*>(0x00ABCDEF));
    p.InitBass();
    ExpectCalls({{"BASS_Init", {0xFFFFFFFFu, 44100, 0, 0x00ABCDEF, 0}}}, "InitBass");
    // A failed start leaves the host running (the process would end here otherwise).
    ResetMocks();
    Engine().initResult = FALSE;
    p.InitBass();
    ExpectCalls({{"BASS_Init", {0xFFFFFFFFu, 44100, 0, 0x00ABCDEF, 0}}}, "failed InitBass");
}

void CheckTransport(const Exports& p) {
    Step("CreateChannel");
    ResetMocks();
    p.SetData(kSlot);
    p.SetFile("C:\\Music\\first.mp3");
    ABI_CHECK(p.CreateChannel(), "CreateChannel does not report success");
    std::vector<MockCall> calls = EngineCalls();
    ABI_CHECK(calls.size() == 1 && strcmp(calls[0].name, "BASS_StreamCreateFile") == 0 &&
                  calls[0].wordCount == 7 && calls[0].words[0] == 0 && calls[0].words[1] != 0 &&
                  calls[0].words[2] == 0 && calls[0].words[3] == 0 && calls[0].words[4] == 0 &&
                  calls[0].words[5] == 0 && calls[0].words[6] == 0 &&
                  strcmp(calls[0].text, "C:\\Music\\first.mp3") == 0,
              "open: " + DescribeAll(calls));
    const uint32_t firstStream = Engine().nextStream - 1;

    ResetMocks();
    Engine().nextStream = 0x7001;
    p.SetData(kOtherSlot);
    p.SetFile("second.ogg");
    ABI_CHECK(p.CreateChannel(), "CreateChannel on slot 5");
    g_otherStream = 0x7001;

    Step("CreateChannel over a stream, failing");
    ResetMocks();
    Engine().nextStream = 0;
    p.SetData(kSlot);
    p.SetFile("missing.wav");
    ABI_CHECK(!p.CreateChannel(), "a failed open reports success");
    calls = EngineCalls();
    ABI_CHECK(calls.size() == 3 && CallIs(calls[0], "BASS_ChannelStop", {firstStream}) &&
                  CallIs(calls[1], "BASS_StreamFree", {firstStream}) &&
                  strcmp(calls[2].name, "BASS_StreamCreateFile") == 0 &&
                  strcmp(calls[2].text, "missing.wav") == 0,
              "reopen: " + DescribeAll(calls));
    ResetMocks();
    p.SetData(kSlot);
    p.PlayChannel();
    ExpectCalls({}, "play of the emptied slot");

    Step("CreateChannel with an empty name");
    ResetMocks();
    Engine().nextStream = 0x6001;
    p.SetData(7);
    p.SetFile("");
    ABI_CHECK(p.CreateChannel(), "CreateChannel with an empty name");
    calls = EngineCalls();
    ABI_CHECK(calls.size() == 1 && calls[0].words[1] != 0 && calls[0].text[0] == '\0',
              "the empty name is not passed as an empty text: " + DescribeAll(calls));
    ResetMocks();
    p.SetData(7);
    p.FreeChannel();
    p.FreeChannel();
    ExpectCalls({{"BASS_ChannelStop", {0x6001}}, {"BASS_StreamFree", {0x6001}}}, "FreeChannel");

    ResetMocks();
    Engine().nextStream = 0x2001;
    p.SetData(kSlot);
    p.SetFile("C:\\Music\\third.flac");
    ABI_CHECK(p.CreateChannel(), "CreateChannel into the emptied slot");
    ExpectCalls({{"BASS_StreamCreateFile",
                  {0, EngineCalls().empty() ? 0 : EngineCalls()[0].words[1], 0, 0, 0, 0, 0}}},
                "open into an empty slot");
    g_stream = 0x2001;

    Step("play, stop and the rewind");
    ResetMocks();
    Engine().seconds2Bytes = 0;
    p.SetData(kSlot);
    p.PlayChannel();
    ExpectCalls({{"BASS_ChannelPlay", {g_stream, 0}}}, "play");
    ResetMocks();
    p.SetData(kSlot);
    p.StopChannel();
    p.SetData(kOtherSlot);
    p.PlayChannel();
    p.SetData(kSlot);
    p.PlayChannel();
    p.PlayChannel();
    ExpectCalls({{"BASS_ChannelStop", {g_stream}},
                 {"BASS_ChannelPlay", {g_otherStream, 0}},
                 {"BASS_ChannelSeconds2Bytes", {g_stream, 0, 0}},
                 {"BASS_ChannelSetPosition", {g_stream, 0, 0, BASS_POS_BYTE}},
                 {"BASS_ChannelPlay", {g_stream, 0}},
                 {"BASS_ChannelPlay", {g_stream, 0}}},
                "stop on slot 3 rewinds slot 3 alone, once");
    ResetMocks();
    p.SetData(kSlot);
    p.StopChannel();
    p.PauseChannel();
    p.PlayChannel();
    ExpectCalls({{"BASS_ChannelStop", {g_stream}},
                 {"BASS_ChannelPause", {g_stream}},
                 {"BASS_ChannelPlay", {g_stream, 0}}},
                "stop, pause, play: no rewind");
    ResetMocks();
    p.SetData(kEmptySlot);
    p.StopChannel();
    p.PlayChannel();
    ExpectCalls({}, "stop and play of an empty slot");

    Step("SetPositionForChannel: double and 64-bit arguments");
    ResetMocks();
    Engine().seconds2Bytes = 0x123456780ull;  // beyond 4 GiB: all 64 bits are kept
    Push(p, {kSlot, 90});
    p.SetPositionForChannel();
    ExpectCalls({{"BASS_ChannelSeconds2Bytes", {g_stream, DoubleLow(90.0), DoubleHigh(90.0)}},
                 {"BASS_ChannelSetPosition", {g_stream, 0x23456780, 0x1, BASS_POS_BYTE}}},
                "seek to 90 s");
    ResetMocks();
    Engine().seconds2Bytes = 44100 * 4;
    Push(p, {kSlot, 16777217});  // passes through single precision: 2^24 + 1 -> 2^24
    p.SetPositionForChannel();
    Push(p, {kSlot, -5});
    p.SetPositionForChannel();
    Push(p, {kEmptySlot, 10});
    p.SetPositionForChannel();
    ExpectCalls(
        {{"BASS_ChannelSeconds2Bytes", {g_stream, DoubleLow(16777216.0), DoubleHigh(16777216.0)}},
         {"BASS_ChannelSetPosition", {g_stream, 44100 * 4, 0, BASS_POS_BYTE}},
         {"BASS_ChannelSeconds2Bytes", {g_stream, DoubleLow(-5.0), DoubleHigh(-5.0)}},
         {"BASS_ChannelSetPosition", {g_stream, 44100 * 4, 0, BASS_POS_BYTE}}},
        "seeks, the empty slot making no call");
    // A seek after a stop is kept: the next play does not rewind.
    ResetMocks();
    p.SetData(kSlot);
    p.StopChannel();
    Push(p, {kSlot, 30});
    p.SetPositionForChannel();
    p.SetData(kSlot);
    p.PlayChannel();
    const std::vector<MockCall> afterSeek = EngineCalls();
    ABI_CHECK(!afterSeek.empty() && CallIs(afterSeek.back(), "BASS_ChannelPlay", {g_stream, 0}) &&
                  afterSeek.size() == 4,
              "stop, seek, play: " + DescribeAll(afterSeek));

    Step("SetValumeChannel: float argument");
    ResetMocks();
    for (int32_t percent : {50, 150, 0, 33, -20}) {
        Push(p, {kSlot, percent});
        p.SetValumeChannel();
    }
    ExpectCalls({{"BASS_ChannelSetAttribute", {g_stream, BASS_ATTRIB_VOL, FloatBits(0.5f)}},
                 {"BASS_ChannelSetAttribute", {g_stream, BASS_ATTRIB_VOL, FloatBits(1.5f)}},
                 {"BASS_ChannelSetAttribute", {g_stream, BASS_ATTRIB_VOL, FloatBits(0.0f)}},
                 {"BASS_ChannelSetAttribute", {g_stream, BASS_ATTRIB_VOL, FloatBits(0.33f)}},
                 {"BASS_ChannelSetAttribute", {g_stream, BASS_ATTRIB_VOL, FloatBits(-0.2f)}}},
                "volumes");
}

void CheckTimeAndLevel(const Exports& p) {
    Step("time queries");
    struct Case {
        double seconds;
        const char* text;
    };
    const Case cases[] = {{75.0, "75#01:15#"},
                          {2.5, "2#00:02#"},
                          {3.5, "4#00:04#"},
                          {2.49, "2#00:02#"},
                          {2.51, "3#00:03#"},
                          {0.0, "0#00:00#"},
                          {59.0, "59#00:59#"},
                          {60.0, "60#01:00#"},
                          {3599.0, "3599#59:59#"},
                          {3600.0, "3600#00:00#"},
                          {3725.0, "3725#02:05#"},
                          {90061.0, "90061#01:01#"},
                          {-1.0, "-1#28:15#"},
                          {-60.0, "-60#27:16#"},
                          // Rounded to 64 bits, of which the low 32 are kept.
                          {4294967301.0, "5#00:05#"}};
    for (const Case& c : cases) {
        for (int length = 0; length < 2; ++length) {
            ResetMocks();
            Engine().position = 0x100000010ull;
            Engine().length = 0x200000020ull;
            Engine().bytes2Seconds = c.seconds;
            const std::string text =
                Query(p, length ? p.GetLengthTimeChannel : p.GetPosTimeChannel, kSlot);
            ABI_CHECK(text == c.text, std::string(length ? "length" : "position") + " of " +
                                          std::to_string(c.seconds) + " s: \"" + text +
                                          "\", expected \"" + c.text + "\"");
            const uint64_t bytes = length ? 0x200000020ull : 0x100000010ull;
            ExpectCalls({{length ? "BASS_ChannelGetLength" : "BASS_ChannelGetPosition",
                          {g_stream, BASS_POS_BYTE}},
                         {"BASS_ChannelBytes2Seconds", {g_stream, Low(bytes), High(bytes)}}},
                        "time query calls");
        }
    }
    ResetMocks();
    const std::string empty = Query(p, p.GetPosTimeChannel, kEmptySlot);
    ExpectCalls({}, "position of an empty slot");
    ABI_CHECK(std::count(empty.begin(), empty.end(), '#') == 2 && empty.size() >= 8,
              "position of an empty slot: \"" + empty + "\"");

    Step("level query");
    ResetMocks();
    Engine().levels[0] = (1000u << 16) | 2000u;
    Engine().levels[1] = (1000u << 16) | 2000u;
    ABI_CHECK_EQ_TEXT(Query(p, p.GetLevelChannel, kSlot), "1000#2000#");
    ExpectCalls({{"BASS_ChannelGetLevel", {g_stream}}, {"BASS_ChannelGetLevel", {g_stream}}},
                "two level requests");
    ResetMocks();
    Engine().levels[0] = 0x00010002;
    Engine().levels[1] = 0x00030004;
    ABI_CHECK_EQ_TEXT(Query(p, p.GetLevelChannel, kSlot), "1#4#");
    ResetMocks();
    ABI_CHECK_EQ_TEXT(Query(p, p.GetLevelChannel, kEmptySlot), "65535#65535#");
    ExpectCalls({{"BASS_ChannelGetLevel", {0}}, {"BASS_ChannelGetLevel", {0}}},
                "level of an empty slot asks with handle 0");
}

void CheckSpectrum(const Exports& p) {
    Step("spectrum query");
    ResetMocks();
    const std::string zeros = Query(p, p.GetDataChannel20, kSlot);
    ABI_CHECK_EQ_TEXT(zeros.c_str(), "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");
    const std::vector<MockCall> calls = EngineCalls();
    bool requests = calls.size() == 20;
    for (const MockCall& call : calls) {
        requests = requests && strcmp(call.name, "BASS_ChannelGetData") == 0 &&
                   call.wordCount == 3 && call.words[0] == g_stream && call.words[1] != 0 &&
                   call.words[2] == BASS_DATA_FFT512;
    }
    ABI_CHECK(requests, "twenty FFT512 requests into a buffer: " + DescribeAll(calls));

    ResetMocks();
    float* spectrum = Engine().spectrum;
    for (int i = 0; i < 256; ++i) spectrum[i] = 7.0f;  // must not reach the text
    for (int element = 6; element <= 82; element += 4) spectrum[element - 1] = 0.0f;
    spectrum[5] = 1.0f;
    spectrum[9] = -0.0f;
    spectrum[13] = std::nanf("");
    spectrum[17] = 1.0e-40f;  // a denormal: its pattern, not its value
    spectrum[81] = 0.5f;
    const std::string text = Query(p, p.GetDataChannel20, kSlot);
    ABI_CHECK_EQ_TEXT(text.c_str(), SpectrumText(spectrum));
    ABI_CHECK(text.compare(0, 23, "1065353216#-2147483648#") == 0 && text.size() > 11 &&
                  text.compare(text.size() - 11, 11, "1056964608#") == 0,
              "spectrum bit patterns: \"" + text + "\"");

    // The engine fills nothing for an empty slot: the buffer is cleared per request.
    ResetMocks();
    ABI_CHECK_EQ_TEXT(Query(p, p.GetDataChannel20, kEmptySlot),
                      "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");

    ResetMocks();
    Engine().levels[0] = Engine().levels[1] = 0x00050006;
    Query(p, p.GetLevelChannel, kSlot);
    ResetMocks();
    p.GetDataChannel128();
    ExpectCalls({}, "GetDataChannel128");
    ABI_CHECK_EQ_TEXT(p.GetFile(), "5#6#");
}

void CheckInfoAndTags(const Exports& p) {
    Step("sample rate and layout");
    struct Case {
        uint32_t chans;
        const char* text;
    };
    for (const Case& c : {Case{1, "Mono"}, Case{2, "Stereo"}, Case{6, "6 channels"}}) {
        ResetMocks();
        Engine().infoFreq = 48000;
        Engine().infoChans = c.chans;
        ABI_CHECK_EQ_TEXT(Query(p, p.GetChansChannel, kSlot), c.text);
        ABI_CHECK_EQ_TEXT(Query(p, p.GetFreqChannel, kSlot), "48000");
        const std::vector<MockCall> calls = EngineCalls();
        ABI_CHECK(calls.size() == 2 && strcmp(calls[0].name, "BASS_ChannelGetInfo") == 0 &&
                      calls[0].words[0] == g_stream && calls[0].words[1] != 0,
                  "information requests: " + DescribeAll(calls));
    }
    ResetMocks();
    ABI_CHECK_EQ_TEXT(Query(p, p.GetFreqChannel, kEmptySlot), "0");
    ABI_CHECK_EQ_TEXT(Query(p, p.GetChansChannel, kEmptySlot), "0 channels");

    Step("bit rate");
    struct Rate {
        uint64_t fileBytes;
        const char* text;
    };
    const Rate rates[] = {{2000, "2"},
                          {3000, "4"},
                          {2100, "3"},
                          {500, "1"},
                          {0, "0"},
                          // A file over 4 GiB keeps all its bytes.
                          {5000000000ull, "5000000"}};
    for (const Rate& r : rates) {
        ResetMocks();
        Engine().length = 0x100000000ull + 64;
        Engine().bytes2Seconds = 8.0;
        Engine().filePosition = r.fileBytes;
        ABI_CHECK_EQ_TEXT(Query(p, p.GetBitrateChannel, kSlot), r.text);
        ExpectCalls({{"BASS_ChannelGetLength", {g_stream, BASS_POS_BYTE}},
                     {"BASS_ChannelBytes2Seconds", {g_stream, 64, 1}},
                     {"BASS_StreamGetFilePosition", {g_stream, BASS_FILEPOS_END}}},
                    "bit rate calls");
    }

    Step("tags");
    const char* const keys[] = {"%TRCK", "%TITL", "%ARTI", "%ALBM", "%GNRE", "%YEAR", "%CMNT"};
    for (const char* key : keys) {
        ResetMocks();
        strcpy(Tags().text, "Caf\xC3\xA9 \xE2\x99\xAB 3/12");
        p.SetData(kSlot);
        p.SetFile(key);
        p.GetTagChannel();
        ABI_CHECK_EQ_TEXT(p.GetFile(), "Caf\xC3\xA9 \xE2\x99\xAB 3/12");
        const std::vector<MockCall> calls = TagCalls();
        ABI_CHECK(
            calls.size() == 1 && calls[0].words[0] == g_stream && strcmp(calls[0].text, key) == 0,
            std::string("TAGS_Read for ") + key + ": " + DescribeAll(calls));
    }
    for (const char* key : {"%titl", "%TITL ", "TITL", "", "%TITL%ARTI"}) {
        ResetMocks();
        Query(p, p.GetFreqChannel, kSlot);  // leaves a text the tag query must replace
        p.SetData(kSlot);
        p.SetFile(key);
        p.GetTagChannel();
        ABI_CHECK_EQ_TEXT(p.GetFile(), "");
        ABI_CHECK(TagCalls().empty(), std::string("a tag call for the key \"") + key + "\"");
    }
    ResetMocks();
    p.SetData(kSlot);
    p.SetFile("%ARTI");
    p.SetFile(nullptr);  // a null text pushes an empty key
    p.GetTagChannel();
    ABI_CHECK(TagCalls().empty(), "a tag call for a null key");
    ResetMocks();
    Tags().returnNull = 1;
    p.SetData(kSlot);
    p.SetFile("%ALBM");
    p.GetTagChannel();
    ABI_CHECK_EQ_TEXT(p.GetFile(), "");
    ABI_CHECK(TagCalls().size() == 1, "no tag call for a null answer");
}

void CheckEqualiser(const Exports& p) {
    Step("EqCreateChannel");
    ResetMocks();
    p.SetData(kSlot);
    p.EqCreateChannel();
    std::vector<Expected> created;
    for (uint32_t band = 1; band <= 10; ++band) {
        created.push_back({"BASS_ChannelSetFX", {g_stream, BASS_FX_DX8_PARAMEQ, band}});
    }
    ExpectCalls(created, "ten bands");

    Step("EqSetChannel: the parameter record");
    struct Band {
        int32_t band;
        int32_t gain;
        float centre;
    };
    for (const Band& b :
         {Band{1, -15, 80.0f}, Band{10, 6, 16000.0f}, Band{4, 20, 600.0f}, Band{6, 0, 3000.0f}}) {
        ResetMocks();
        Query(p, p.GetFreqChannel, kSlot);  // EqSetChannel empties the result
        ResetMocks();
        Push(p, {kSlot, b.band, b.gain});
        p.EqSetChannel();
        ABI_CHECK_EQ_TEXT(p.GetFile(), "");
        const std::vector<MockCall> calls = EngineCalls();
        const float record[3] = {b.centre, 36.0f, static_cast<float>(b.gain)};
        ABI_CHECK(calls.size() == 1 && calls[0].wordCount == 2 &&
                      calls[0].words[0] == 0x5000u + static_cast<uint32_t>(b.band) &&
                      calls[0].words[1] != 0 && memcmp(calls[0].record, record, 12) == 0,
                  "band " + std::to_string(b.band) + ": " + DescribeAll(calls));
    }
    for (int32_t band : {0, 11, -1}) {
        ResetMocks();
        Query(p, p.GetFreqChannel, kSlot);
        ResetMocks();
        Push(p, {kSlot, band, 3});
        p.EqSetChannel();
        ExpectCalls({}, "a band outside 1..10");
        ABI_CHECK_EQ_TEXT(p.GetFile(), "");
    }

    Step("EqCreateChannel again: the old bands are removed");
    ResetMocks();
    Engine().nextEffect = 0x5101;
    p.SetData(kSlot);
    p.EqCreateChannel();
    std::vector<Expected> replaced;
    for (uint32_t band = 1; band <= 10; ++band) {
        replaced.push_back({"BASS_ChannelRemoveFX", {g_stream, 0x5000 + band}});
    }
    for (uint32_t band = 1; band <= 10; ++band) {
        replaced.push_back({"BASS_ChannelSetFX", {g_stream, BASS_FX_DX8_PARAMEQ, band}});
    }
    ExpectCalls(replaced, "second equaliser");
    ResetMocks();
    Push(p, {kSlot, 1, 2});
    p.EqSetChannel();
    const std::vector<MockCall> calls = EngineCalls();
    ABI_CHECK(calls.size() == 1 && calls[0].words[0] == 0x5101,
              "the row refers to the newest bands: " + DescribeAll(calls));
}

void CheckOutOfRangeSlots(const Exports& p) {
    Step("slots outside 1..32");
    for (int32_t slot : {0, 33, -1, INT_MIN, INT_MAX}) {
        ResetMocks();
        p.SetData(slot);
        p.SetFile("C:\\Music\\first.mp3");
        ABI_CHECK(!p.CreateChannel(), "CreateChannel succeeds on slot " + std::to_string(slot));
        p.EqCreateChannel();
        ExpectCalls({}, "CreateChannel and EqCreateChannel outside the table");
        for (VoidFn f :
             {p.PlayChannel, p.StopChannel, p.PauseChannel, p.FreeChannel, p.GetPosTimeChannel,
              p.GetLengthTimeChannel, p.GetLevelChannel, p.GetDataChannel20, p.GetFreqChannel,
              p.GetBitrateChannel, p.GetChansChannel}) {
            p.SetData(slot);
            f();
        }
        Push(p, {slot, 10});
        p.SetPositionForChannel();
        Push(p, {slot, 50});
        p.SetValumeChannel();
        Push(p, {slot, 3, 5});
        p.EqSetChannel();
        p.SetData(slot);
        p.SetFile("%TITL");
        p.GetTagChannel();
        bool onlyEmpty = true;
        for (const MockCall& call : EngineCalls()) onlyEmpty = onlyEmpty && call.words[0] == 0;
        for (const MockCall& call : TagCalls()) onlyEmpty = onlyEmpty && call.words[0] == 0;
        ABI_CHECK(onlyEmpty, "slot " + std::to_string(slot) +
                                 " reached a stream: " + DescribeAll(EngineCalls()));
    }
}

void CheckStackDrift(const Exports& p) {
    Step("stack pointer across 100,000 calls");
    ResetMocks();
    Engine().recordCalls = 0;
    Tags().recordCalls = 0;
    Engine().bytes2Seconds = 8.0;
    Engine().filePosition = 16000;
    Engine().seconds2Bytes = 1000;
    struct Call {
        const void* export_;
        std::vector<uint32_t> operands;  // pushed with SetData first
        int engineCalls;
    };
    auto fn = [](auto f) { return reinterpret_cast<const void*>(f); };
    const Call calls[] = {
        {fn(p.SetPositionForChannel), {kSlot, 45}, 2},
        {fn(p.SetValumeChannel), {kSlot, 80}, 1},
        {fn(p.GetPosTimeChannel), {kSlot}, 2},
        {fn(p.GetBitrateChannel), {kSlot}, 3},
        {fn(p.EqSetChannel), {kSlot, 2, 5}, 1},
        {fn(p.GetLevelChannel), {kSlot}, 2},
        {fn(p.GetFreqChannel), {kSlot}, 1},
        {fn(p.PlayChannel), {kSlot}, 1},
        {fn(p.PauseChannel), {kSlot}, 1},
    };
    const int kCalls = 100000;
    int expectedEngineCalls = 0;
    int drifting = 0;
    int64_t drift = 0;
    for (int i = 0; i < kCalls; ++i) {
        const Call& call = calls[i % (sizeof calls / sizeof calls[0])];
        for (uint32_t operand : call.operands) {
            const int32_t moved = StackDrift(fn(p.SetData), &operand, 1);
            drift += moved;
            drifting += moved != 0;
        }
        const int32_t moved = StackDrift(call.export_, nullptr, 0);
        drift += moved;
        drifting += moved != 0;
        expectedEngineCalls += call.engineCalls;
    }
    ABI_CHECK(drifting == 0, std::to_string(drifting) + " calls moved the stack pointer, " +
                                 std::to_string(drift) + " bytes in all");
    ABI_CHECK(EngineCallCount() == expectedEngineCalls,
              "engine calls " + std::to_string(EngineCallCount()) + ", expected " +
                  std::to_string(expectedEngineCalls));
    ResetMocks();
}

void CheckQueriesWithFpExceptionsUnmasked(const Exports& p) {
    Step("queries with floating-point exceptions unmasked");
    const double inf = HUGE_VAL;
    const double nan = std::nan("");
    struct Case {
        double seconds;
        const char* time;
        const char* rate;
    };
    // Bytes2Seconds answers are used for both the time texts and the bit rate (over
    // 16000 file bytes).
    const Case cases[] = {{0.0, "0#00:00#", "0"},
                          {nan, "0#00:00#", "0"},
                          {inf, "0#00:00#", "0"},
                          {-inf, "0#00:00#", "0"},
                          {1e300, "0#00:00#", "0"},
                          {-1e300, "0#00:00#", "0"},
                          {9223372036854775808.0, "0#00:00#", "0"},
                          {1e-310, "0#00:00#", "0"},
                          {8.0, "8#00:08#", "16"},
                          {-1.0, "-1#28:15#", "-128"}};
    const FpState saved = UnmaskFpExceptions();
    const FpState unmasked = ReadFp();
    for (const Case& c : cases) {
        ResetMocks();
        Engine().bytes2Seconds = c.seconds;
        Engine().filePosition = 16000;
        Engine().length = 1;
        Engine().position = 1;
        for (int i = 0; i < 256; ++i) Engine().spectrum[i] = static_cast<float>(nan);
        Engine().levels[0] = Engine().levels[1] = 0xFFFFFFFF;
        Engine().infoFreq = 44100;
        Engine().infoChans = 2;
        for (int32_t slot : {kSlot, kEmptySlot, 40}) {
            const bool stream = slot == kSlot;
            const std::string pos = Query(p, p.GetPosTimeChannel, slot);
            WaitFp();
            const std::string len = Query(p, p.GetLengthTimeChannel, slot);
            WaitFp();
            const std::string rate = Query(p, p.GetBitrateChannel, slot);
            WaitFp();
            if (stream) {
                ABI_CHECK(pos == c.time && len == c.time,
                          "time texts for " + std::to_string(c.seconds) + " s: \"" + pos +
                              "\", \"" + len + "\", expected \"" + c.time + "\"");
                ABI_CHECK(rate == c.rate, "bit rate for " + std::to_string(c.seconds) + " s: \"" +
                                              rate + "\", expected \"" + c.rate + "\"");
            } else {
                // An empty slot: the engine answers -1 s and (QWORD)-1 bytes.
                ABI_CHECK(!rate.empty(), "no bit rate text for an empty slot");
            }
            for (VoidFn query : {p.GetLevelChannel, p.GetDataChannel20, p.GetDataChannel128,
                                 p.GetFreqChannel, p.GetChansChannel}) {
                Query(p, query, slot);
                WaitFp();
            }
            p.SetData(slot);
            p.SetFile("%YEAR");
            p.GetTagChannel();
            WaitFp();
            for (int32_t seconds : {INT_MAX, INT_MIN, 0}) {
                Push(p, {slot, seconds});
                p.SetPositionForChannel();
                WaitFp();
            }
            for (int32_t percent : {INT_MAX, INT_MIN, 100}) {
                Push(p, {slot, percent});
                p.SetValumeChannel();
                WaitFp();
            }
            Push(p, {slot, 5, INT_MIN});
            p.EqSetChannel();
            WaitFp();
        }
    }
    // The exports leave the host's floating-point state as they found it.
    const FpState after = ReadFp();
    RestoreFp(saved);
    ABI_CHECK(after.x87 == unmasked.x87 && (after.mxcsr & ~0x3Fu) == (unmasked.mxcsr & ~0x3Fu),
              "an export changed the floating-point control state: x87 " + Hex(after.x87) +
                  ", MXCSR " + Hex(after.mxcsr) + ", expected " + Hex(unmasked.x87) + ", " +
                  Hex(unmasked.mxcsr));
    ResetMocks();
}

}  // namespace abi
