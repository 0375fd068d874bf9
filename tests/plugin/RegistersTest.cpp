// SPDX-License-Identifier: MIT
// Identity exports, the operand and result registers, and the host context.
#include <climits>

#include "tests/plugin/PluginFixture.h"

namespace {

using RegistersTest = PluginTest;

TEST_F(RegistersTest, IdentityExportsAreConstantWhateverTheState) {
    const char* notice = Copyright();
    ASSERT_NE(notice, nullptr);
    EXPECT_GT(std::strlen(notice), 0u);
    EXPECT_STREQ(GetInfo(), "Get color of pixel");
    EXPECT_EQ(GetType(), 0);

    SetData(7);
    SetFile("x");
    GetShortInfo();
    Draw();
    EXPECT_EQ(Copyright(), notice);
    EXPECT_STREQ(GetInfo(), "Get color of pixel");
    EXPECT_EQ(GetType(), 0);
    EXPECT_EQ(DataHistory[0], 7);
    EXPECT_EQ(FileHistory[0], "x");
    EXPECT_TRUE(Take().empty());
}

TEST_F(RegistersTest, SetDataShiftsTheHistoryAndGetDataStaysZero) {
    EXPECT_EQ(GetData(), 0);
    SetData(1);
    SetData(2);
    SetData(3);
    EXPECT_EQ(DataHistory[0], 3);
    EXPECT_EQ(DataHistory[1], 2);
    EXPECT_EQ(DataHistory[2], 1);
    EXPECT_EQ(DataHistory[3], 0);

    SetData(INT_MIN);
    SetData(INT_MAX);
    SetData(-1);
    const int32_t expected[5] = {-1, INT_MAX, INT_MIN, 3, 2};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(DataHistory[i], expected[i]) << "entry " << i;
    EXPECT_EQ(GetData(), 0);
}

TEST_F(RegistersTest, SetFileShiftsIndependentCopiesAndTakesNullAsEmpty) {
    char buffer[] = "first";
    SetFile(buffer);
    std::strcpy(buffer, "later");  // the register keeps its own copy
    SetFile("b");
    SetFile("c");
    SetFile("d");
    SetFile(nullptr);
    EXPECT_EQ(FileHistory[0], "");
    EXPECT_EQ(FileHistory[1], "d");
    EXPECT_EQ(FileHistory[4], "first");

    SetFile("f");  // "first" drops out of entry 4
    const char* expected[5] = {"f", "", "d", "c", "b"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(FileHistory[i], expected[i]) << "entry " << i;
}

TEST_F(RegistersTest, GetFileIsNeverNullAndKeepsTheQueryTextUntilTheNextQuery) {
    const char* empty = GetFile();
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");

    ed::Queue("BASS_ChannelGetInfo", ed::Info(44100, 2));
    EXPECT_EQ(Query(GetFreqChannel, 1), "44100");
    SetFile("other");
    SetFile(nullptr);
    SetData(9);
    SetPath("/opt/host");
    EXPECT_STREQ(GetFile(), "44100");
    GetDataChannel128();
    EXPECT_STREQ(GetFile(), "44100");
}

TEST_F(RegistersTest, TextsOfAMegabyteAndAnyBytesPassThroughUnchanged) {
    std::string huge(1 << 20, 'a');
    huge[12345] = '\xff';
    huge.back() = '\x80';
    SetFile(huge.c_str());
    SetPath(huge.c_str());
    EXPECT_EQ(FileHistory[0], huge);
    EXPECT_EQ(PluginPath, huge);

    // The file name reaches the engine byte for byte, without any conversion.
    const char* latin1 = "/music/caf\xe9 \xff\xfe.mp3";
    ed::Queue("BASS_StreamCreateFile", ed::Int(5));
    SetData(1);
    SetFile(latin1);
    EXPECT_TRUE(CreateChannel());
    EXPECT_EQ(Take(),
              (Calls{std::string("BASS_StreamCreateFile(0, \"") + latin1 + "\", 0, 0, 0)"}));

    ed::Queue("BASS_StreamCreateFile", ed::Int(6));
    SetData(2);
    SetFile(huge.c_str());
    EXPECT_TRUE(CreateChannel());
    const Calls calls = Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], "BASS_StreamCreateFile(0, \"" + huge + "\", 0, 0, 0)");
}

TEST_F(RegistersTest, HostContextReachesTheEngineAtInit) {
    SetPath(nullptr);
    EXPECT_EQ(PluginPath, "");
    SetPath("/usr/lib/host/plugins");
    EXPECT_EQ(PluginPath, "/usr/lib/host/plugins");

    int window;
    SetParentWindow(&window);
    EXPECT_EQ(ParentWindow, &window);
    InitBass();
    SetParentWindow(nullptr);
    InitBass();
    char expected[64];
    std::snprintf(expected, sizeof expected, "BASS_Init(-1, 44100, 0, 0x%llx, null)",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&window)));
    EXPECT_EQ(Take(), (Calls{expected, "BASS_Init(-1, 44100, 0, null, null)"}));
}

TEST_F(RegistersTest, ReleaseTextsEmptiesEveryText) {
    ed::Queue("TAGS_Read", ed::Text("A title"));
    SetData(1);
    SetFile("%TITL");
    GetTagChannel();
    for (int i = 0; i < 5; ++i) SetFile("some text");
    SetPath("/path");
    ASSERT_STREQ(GetFile(), "A title");

    ReleaseTexts();
    EXPECT_STREQ(GetFile(), "");
    for (const std::string& text : FileHistory) EXPECT_TRUE(text.empty());
    EXPECT_TRUE(PluginPath.empty());
    // Still usable afterwards.
    SetFile("again");
    EXPECT_EQ(FileHistory[0], "again");
}

}  // namespace
