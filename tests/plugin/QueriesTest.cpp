// SPDX-License-Identifier: MIT
// Queries: position and length, level, spectrum, sample rate, bit rate, layout, tags.
#include <cfenv>
#include <climits>
#include <cmath>
#include <limits>

#include "tests/plugin/PluginFixture.h"

namespace {

using QueriesTest = PluginTest;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

uint32_t Bits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The length query of slot 1 when the engine reports `seconds`.
std::string LengthText(double seconds) {
    ed::Queue("BASS_ChannelBytes2Seconds", ed::Seconds(seconds));
    return PluginTest::Query(GetLengthTimeChannel, 1);
}

TEST_F(QueriesTest, PositionAndLengthAskTheEngineWithAll64Bits) {
    Open(3, 13);
    const uint64_t bytes = (uint64_t{1} << 32) + 44;
    ed::Queue("BASS_ChannelGetPosition", ed::Int(bytes));
    ed::Queue("BASS_ChannelBytes2Seconds", ed::Seconds(75.0));
    EXPECT_EQ(Query(GetPosTimeChannel, 3), "75#01:15#");
    ed::Queue("BASS_ChannelGetLength", ed::Int(26460000));
    ed::Queue("BASS_ChannelBytes2Seconds", ed::Seconds(150.0));
    EXPECT_EQ(Query(GetLengthTimeChannel, 3), "150#02:30#");
    EXPECT_EQ(Take(),
              (Calls{"BASS_ChannelGetPosition(13, 0)", "BASS_ChannelBytes2Seconds(13, 4294967340)",
                     "BASS_ChannelGetLength(13, 0)", "BASS_ChannelBytes2Seconds(13, 26460000)"}));

    // An empty slot asks nothing and reads 0.
    EXPECT_EQ(Query(GetPosTimeChannel, 4), "0#00:00#");
    EXPECT_EQ(Query(GetLengthTimeChannel, 4), "0#00:00#");
    EXPECT_EQ(Query(GetPosTimeChannel, INT_MIN), "0#00:00#");
    EXPECT_TRUE(Take().empty());
}

TEST_F(QueriesTest, SecondsRoundToNearestWithHalvesToEven) {
    Open(1, 11);
    EXPECT_EQ(LengthText(2.5), "2#00:02#");
    EXPECT_EQ(LengthText(3.5), "4#00:04#");
    EXPECT_EQ(LengthText(2.49), "2#00:02#");
    EXPECT_EQ(LengthText(2.51), "3#00:03#");
    EXPECT_EQ(LengthText(-2.5), "-2#28:14#");
    EXPECT_EQ(LengthText(-0.4), "0#00:00#");
    // The low 32 bits of the 64-bit whole number.
    EXPECT_EQ(LengthText(4294967296.0 + 5), "5#00:05#");
    EXPECT_EQ(LengthText(2147483648.0), "-2147483648#14:08#");
}

TEST_F(QueriesTest, SecondsThatAreNotANumberOrOutOfRangeReadZero) {
    Open(1, 11);
    for (double odd : {kNaN, kInf, -kInf, 1e300, -1e300, 9223372036854775808.0,
                       -9223372036854777856.0, std::numeric_limits<double>::max()}) {
        EXPECT_EQ(LengthText(odd), "0#00:00#") << odd;
    }
    // The largest whole numbers still in range are converted.
    EXPECT_EQ(LengthText(9223372036854774784.0), "-1024#11:12#");
    EXPECT_EQ(LengthText(-9223372036854775808.0), "0#00:00#");
}

TEST_F(QueriesTest, MinutesAndSecondsDropHoursAndDays) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "00:00"},    {59, "00:59"},      {60, "01:00"},      {3599, "59:59"},
        {3600, "00:00"}, {3725, "02:05"},    {90061, "01:01"},   {-1, "28:15"},
        {-60, "27:16"},  {INT_MAX, "14:07"}, {INT_MIN, "14:08"}, {86399, "59:59"},
    };
    for (const auto& c : cases) EXPECT_EQ(SecondsToMinSec(c.first), c.second) << c.first;

    Open(1, 11);
    EXPECT_EQ(LengthText(-1.0), "-1#28:15#");
    EXPECT_EQ(LengthText(-60.0), "-60#27:16#");
    EXPECT_EQ(LengthText(3725.0), "3725#02:05#");
}

TEST_F(QueriesTest, LevelTakesRightFromTheFirstRequestAndLeftFromTheSecond) {
    Open(1, 11);
    ed::Queue("BASS_ChannelGetLevel", ed::Int((1000u << 16) | 2000u));
    ed::Queue("BASS_ChannelGetLevel", ed::Int((1000u << 16) | 2000u));
    EXPECT_EQ(Query(GetLevelChannel, 1), "1000#2000#");

    ed::Queue("BASS_ChannelGetLevel", ed::Int((7u << 16) | 8u));
    ed::Queue("BASS_ChannelGetLevel", ed::Int((9u << 16) | 10u));
    EXPECT_EQ(Query(GetLevelChannel, 1), "7#10#");

    ed::Queue("BASS_ChannelGetLevel", ed::Int(0xFFFFFFFFu));
    ed::Queue("BASS_ChannelGetLevel", ed::Int(0xFFFFFFFFu));
    EXPECT_EQ(Query(GetLevelChannel, 1), "65535#65535#");
    EXPECT_EQ(Query(GetLevelChannel, 1), "0#0#");
    Take();

    // An empty slot and a slot outside the table both ask with handle 0.
    Query(GetLevelChannel, 2);
    Query(GetLevelChannel, 33);
    EXPECT_EQ(Take(), (Calls(4, "BASS_ChannelGetLevel(0)")));
}

TEST_F(QueriesTest, SpectrumReportsTwentyElementsAsTheirBitPatterns) {
    Open(1, 11);
    EXPECT_EQ(Query(GetDataChannel20, 1), "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");
    EXPECT_EQ(Take(), (Calls(20, "BASS_ChannelGetData(11, buffer, 0x80000001)")));

    // Each value comes from a request of its own. Every entry that is not reported
    // holds a pattern that would show if it were read.
    const int reported[20] = {5,  9,  13, 17, 21, 25, 29, 33, 37, 41,
                              45, 49, 53, 57, 61, 65, 69, 73, 77, 81};
    for (int request = 0; request < 20; ++request) {
        std::vector<uint32_t> words(256, 0x7F7F7F7Fu);
        for (int entry : reported) words[entry] = 0;
        if (request == 0) words[5] = Bits(1.0f);
        if (request == 1) words[9] = Bits(-0.0f);
        if (request == 2) words[9] = Bits(2.0f);  // not the entry of this request
        if (request == 19) words[81] = Bits(0.5f);
        ed::Queue("BASS_ChannelGetData", ed::Spectrum(words));
    }
    EXPECT_EQ(Query(GetDataChannel20, 1),
              "1065353216#-2147483648#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#1056964608#");
}

TEST_F(QueriesTest, SpectrumBufferIsClearedBeforeEveryRequest) {
    Open(1, 11);
    ed::Queue("BASS_ChannelGetData", ed::Spectrum(std::vector<uint32_t>(256, Bits(1.0f))));
    ed::SetDefault("BASS_ChannelGetData", ed::Int(0xFFFFFFFFu));  // fails, fills nothing
    EXPECT_EQ(Query(GetDataChannel20, 1), "1065353216#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");

    Take();
    EXPECT_EQ(Query(GetDataChannel20, 0), "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");
    EXPECT_EQ(Take(), (Calls(20, "BASS_ChannelGetData(0, buffer, 0x80000001)")));
}

TEST_F(QueriesTest, SpectrumTextLeavesNothingOfALongerOne) {
    Open(1, 11);
    // Every field at its longest, then every field at its shortest, then a text of
    // another query in between: each text stands alone.
    ed::SetDefault("BASS_ChannelGetData", ed::Spectrum(std::vector<uint32_t>(256, 0x80000000u)));
    std::string longest;
    for (int i = 0; i < 20; ++i) longest += "-2147483648#";
    EXPECT_EQ(Query(GetDataChannel20, 1), longest);
    ed::SetDefault("BASS_ChannelGetData", ed::Spectrum(std::vector<uint32_t>(256, 0)));
    EXPECT_EQ(Query(GetDataChannel20, 1), "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");
    ed::Queue("BASS_ChannelGetInfo", ed::Info(44100, 1));
    EXPECT_EQ(Query(GetChansChannel, 1), "Mono");
    ed::SetDefault("BASS_ChannelGetData", ed::Spectrum(std::vector<uint32_t>(256, 0x80000000u)));
    EXPECT_EQ(Query(GetDataChannel20, 1), longest);
}

TEST_F(QueriesTest, SpectrumFieldsAtEveryWidthOfDecimal) {
    Open(1, 11);
    const struct {
        uint32_t bits;
        const char* text;
    } cases[] = {{0, "0"},
                 {9, "9"},
                 {10, "10"},
                 {307, "307"},
                 {4096, "4096"},
                 {99999, "99999"},
                 {100000, "100000"},
                 {8388608, "8388608"},
                 {10000001, "10000001"},
                 {999999999, "999999999"},
                 {0x7FFFFFFFu, "2147483647"},
                 {0xFFFFFFFFu, "-1"},
                 {0xBF800000u, "-1082130432"}};
    for (const auto& c : cases) {
        ed::SetDefault("BASS_ChannelGetData", ed::Spectrum(std::vector<uint32_t>(256, c.bits)));
        std::string expected;
        for (int i = 0; i < 20; ++i) expected += std::string(c.text) + "#";
        EXPECT_EQ(Query(GetDataChannel20, 1), expected) << c.text;
    }
}

TEST_F(QueriesTest, SpectrumValueReadsOnlyElementsOneTo256) {
    Open(1, 11);
    std::vector<uint32_t> words(256);
    for (uint32_t i = 0; i < 256; ++i) words[i] = i + 1000;
    ed::SetDefault("BASS_ChannelGetData", ed::Spectrum(words));
    EXPECT_EQ(SpectrumValue(1, 1), 1000);
    EXPECT_EQ(SpectrumValue(1, 256), 1255);
    for (int32_t element : {0, 257, -1, INT_MIN, INT_MAX}) {
        EXPECT_EQ(SpectrumValue(1, element), 0) << element;
    }
}

TEST_F(QueriesTest, GetDataChannel128DoesNothing) {
    ed::Queue("BASS_ChannelGetInfo", ed::Info(44100, 1));
    ASSERT_EQ(Query(GetChansChannel, 1), "Mono");
    Take();
    Run(GetDataChannel128, {1});
    EXPECT_STREQ(GetFile(), "Mono");
    EXPECT_TRUE(Take().empty());
}

TEST_F(QueriesTest, SampleRateAndLayoutReportTheSlotAsked) {
    Open(1, 11);
    Open(2, 12);
    ed::SetDefault("BASS_ChannelGetInfo", ed::Info(0, 0));  // unknown handle: not filled
    ed::SetDefault("BASS_ChannelGetInfo", ed::Int(FALSE));
    ed::Queue("BASS_ChannelGetInfo", ed::Info(22050, 1));
    ed::Queue("BASS_ChannelGetInfo", ed::Info(48000, 2));
    ed::Queue("BASS_ChannelGetInfo", ed::Info(22050, 1));
    ed::Queue("BASS_ChannelGetInfo", ed::Info(48000, 2));
    ed::Queue("BASS_ChannelGetInfo", ed::Info(96000, 6));
    ed::Queue("BASS_ChannelGetInfo", ed::Info(8000, 0xFFFFFFFFu));
    ed::Queue("BASS_ChannelGetInfo", ed::Info(0xFFFFFFFFu, 0));
    EXPECT_EQ(Query(GetChansChannel, 1), "Mono");
    EXPECT_EQ(Query(GetChansChannel, 2), "Stereo");
    EXPECT_EQ(Query(GetFreqChannel, 1), "22050");
    EXPECT_EQ(Query(GetFreqChannel, 2), "48000");
    EXPECT_EQ(Query(GetChansChannel, 1), "6 channels");
    EXPECT_EQ(Query(GetChansChannel, 1), "-1 channels");
    EXPECT_EQ(Query(GetFreqChannel, 1), "-1");
    EXPECT_EQ(Take(), (Calls{"BASS_ChannelGetInfo(11, buffer)", "BASS_ChannelGetInfo(12, buffer)",
                             "BASS_ChannelGetInfo(11, buffer)", "BASS_ChannelGetInfo(12, buffer)",
                             "BASS_ChannelGetInfo(11, buffer)", "BASS_ChannelGetInfo(11, buffer)",
                             "BASS_ChannelGetInfo(11, buffer)"}));

    // A failed request leaves the cleared record: 0 Hz, 0 channels.
    EXPECT_EQ(Query(GetFreqChannel, 5), "0");
    EXPECT_EQ(Query(GetChansChannel, 5), "0 channels");
    EXPECT_EQ(Query(GetChansChannel, INT_MAX), "0 channels");
    EXPECT_EQ(Take(), (Calls(3, "BASS_ChannelGetInfo(0, buffer)")));
}

// The bit rate of slot 1 for a stream of `seconds` and a file of `fileBytes`.
std::string BitRateText(double seconds, uint64_t fileBytes) {
    ed::Queue("BASS_ChannelGetLength", ed::Int(1411200));
    ed::Queue("BASS_ChannelBytes2Seconds", ed::Seconds(seconds));
    ed::Queue("BASS_StreamGetFilePosition", ed::Int(fileBytes));
    return PluginTest::Query(GetBitrateChannel, 1);
}

TEST_F(QueriesTest, BitRateIsTheFileOverTheDurationPlusAHalfRoundedToEven) {
    Open(1, 11);
    EXPECT_EQ(BitRateText(8, 2000), "2");
    EXPECT_EQ(Take(),
              (Calls{"BASS_ChannelGetLength(11, 0)", "BASS_ChannelBytes2Seconds(11, 1411200)",
                     "BASS_StreamGetFilePosition(11, 2)"}));
    EXPECT_EQ(BitRateText(8, 3000), "4");
    EXPECT_EQ(BitRateText(8, 2100), "3");
    EXPECT_EQ(BitRateText(8, 500), "1");
    EXPECT_EQ(BitRateText(8, 0), "0");
    EXPECT_EQ(BitRateText(180, 2880000), "128");
    // The duration is taken at single precision: 1/3 s becomes 0.333333343 s.
    EXPECT_EQ(BitRateText(1.0 / 3.0, 125), "3");
    // A file over 4 GiB keeps its length: 5 GiB over 8 s.
    EXPECT_EQ(BitRateText(8, uint64_t{5} << 30), "5368710");
}

TEST_F(QueriesTest, BitRateOverAZeroOrUnusableDurationReadsZero) {
    Open(1, 11);
    for (double seconds : {0.0, -0.0, kNaN, kInf, -kInf, 1e39, -1e300, 1e-50}) {
        EXPECT_EQ(BitRateText(seconds, 1000000), "0") << seconds;
    }
    // A quotient beyond the 64-bit range reads 0; one merely large keeps its low 32 bits.
    EXPECT_EQ(BitRateText(1e-44, 0xFFFFFFFFFFFFFFFFull), "0");
    // 2^40 bytes over 0.5 s: 17592186044.416 + 0.5 rounds to 17592186045 = 4 x 2^32 + 412316861.
    EXPECT_EQ(BitRateText(0.5, uint64_t{1} << 40), "412316861");
    EXPECT_EQ(BitRateText(-8, 2000), "-2");  // a failed duration is used as returned
    Take();

    // An empty slot asks the engine with handle 0 and, over its zero duration, reads 0.
    EXPECT_EQ(Query(GetBitrateChannel, 2), "0");
    EXPECT_EQ(Take(), (Calls{"BASS_ChannelGetLength(0, 0)", "BASS_ChannelBytes2Seconds(0, 0)",
                             "BASS_StreamGetFilePosition(0, 2)"}));
}

TEST_F(QueriesTest, TagKeysMustMatchExactly) {
    Open(1, 11);
    for (const char* key : {"%TRCK", "%TITL", "%ARTI", "%ALBM", "%GNRE", "%YEAR", "%CMNT"}) {
        ed::Queue("TAGS_Read", ed::Text("value"));
        SetData(1);
        SetFile(key);
        GetTagChannel();
        EXPECT_STREQ(GetFile(), "value");
        EXPECT_EQ(Take(), (Calls{std::string("TAGS_Read(11, \"") + key + "\")"}));
    }

    for (const char* key :
         {"%titl", "%TITL ", " %TITL", "TITL", "", "%TITL%ARTI", "%TIT", "%TITL\xff", "%title"}) {
        ed::Queue("BASS_ChannelGetInfo", ed::Info(44100, 2));
        ASSERT_EQ(Query(GetFreqChannel, 1), "44100");
        Take();
        SetData(1);
        SetFile(key);
        GetTagChannel();
        EXPECT_STREQ(GetFile(), "") << key;
        EXPECT_TRUE(Take().empty()) << key;
    }
    SetData(1);
    SetFile(nullptr);
    GetTagChannel();
    EXPECT_TRUE(Take().empty());
}

TEST_F(QueriesTest, TagTextsAreCopiedByteForByte) {
    Open(1, 11);
    ed::Queue("TAGS_Read", ed::Text("Caf\xc3\xa9 \xff\xfe raw"));
    ed::Queue("TAGS_Read", ed::Text(nullptr));
    const std::string huge(1 << 20, 'x');
    ed::Queue("TAGS_Read", ed::Text(huge.c_str()));
    ed::Queue("TAGS_Read", ed::Text("3/12"));

    SetData(1);
    SetFile("%ARTI");
    GetTagChannel();
    EXPECT_STREQ(GetFile(), "Caf\xc3\xa9 \xff\xfe raw");
    GetTagChannel();  // a null text reads as empty
    EXPECT_STREQ(GetFile(), "");
    GetTagChannel();
    EXPECT_EQ(std::string(GetFile()), huge);
    SetFile("%TRCK");
    GetTagChannel();
    EXPECT_STREQ(GetFile(), "3/12");

    // An empty slot and one outside the table ask with handle 0.
    Take();
    Run(GetTagChannel, {2});
    Run(GetTagChannel, {-5});
    EXPECT_EQ(Take(), (Calls{"TAGS_Read(0, \"%TRCK\")", "TAGS_Read(0, \"%TRCK\")"}));
    EXPECT_STREQ(GetFile(), "");
}

#ifdef __GLIBC__
// Scripts odd engine results and runs every query and every export that converts a
// number over them, on slot 1, empty slots and slots outside the table.
std::vector<std::string> RunEveryQuery() {
    const double odd[] = {kNaN, kInf, -kInf, 1e300, -1e300, 0.0, -0.0, -1.0, 1e-310, 3.5};
    for (double seconds : odd) {
        for (int i = 0; i < 3; ++i) ed::Queue("BASS_ChannelBytes2Seconds", ed::Seconds(seconds));
    }
    ed::SetDefault("BASS_StreamGetFilePosition", ed::Int(0xFFFFFFFFFFFFFFFFull));
    ed::SetDefault("BASS_ChannelGetLevel", ed::Int(0xFFFFFFFFu));
    ed::SetDefault("BASS_ChannelGetData",
                   ed::Spectrum(std::vector<uint32_t>(256, Bits(std::nanf("")))));
    ed::SetDefault("BASS_ChannelGetInfo", ed::Info(0xFFFFFFFFu, 0xFFFFFFFFu));

    std::vector<std::string> texts;
    for (size_t i = 0; i < sizeof odd / sizeof odd[0]; ++i) {
        texts.push_back(PluginTest::Query(GetPosTimeChannel, 1));
        texts.push_back(PluginTest::Query(GetLengthTimeChannel, 1));
        texts.push_back(PluginTest::Query(GetBitrateChannel, 1));
    }
    for (int32_t slot : {1, 2, 0, 33, INT_MIN, INT_MAX}) {
        for (void (*query)() :
             {GetPosTimeChannel, GetLengthTimeChannel, GetLevelChannel, GetDataChannel20,
              GetFreqChannel, GetBitrateChannel, GetChansChannel, GetTagChannel}) {
            texts.push_back(PluginTest::Query(query, slot));
        }
        PluginTest::Run(SetValumeChannel, {slot, INT_MIN});
        PluginTest::Run(SetValumeChannel, {slot, INT_MAX});
        PluginTest::Run(SetPositionForChannel, {slot, INT_MAX});
        PluginTest::Run(EqSetChannel, {slot, 1, INT_MIN});
    }
    ed::Reset();
    return texts;
}

// A host may run with the invalid, divide-by-zero and overflow exceptions unmasked:
// no query may trap, and the texts are those of the default state.
TEST_F(QueriesTest, NoQueryTrapsWithFloatingPointExceptionsUnmasked) {
    Open(1, 11);
    const std::vector<std::string> masked = RunEveryQuery();
    ASSERT_EQ(masked.size(), 30u + 6 * 8);
    for (size_t i = 0; i < 15; ++i) EXPECT_EQ(masked[i], i % 3 == 2 ? "0" : "0#00:00#") << i;
    EXPECT_EQ(masked[21], "-1#28:15#");
    EXPECT_EQ(masked[27], "4#00:04#");
    EXPECT_EQ(masked[32], "65535#65535#");

    feenableexcept(FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW);
    const std::vector<std::string> unmasked = RunEveryQuery();
    fedisableexcept(FE_ALL_EXCEPT);
    EXPECT_EQ(unmasked, masked);
}
#endif

}  // namespace
