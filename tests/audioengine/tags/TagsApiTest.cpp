// SPDX-License-Identifier: MIT
// TAGS_Read over the real engine: streams opened from tagged files of every container.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"
#include "plugin/engine/tags.h"
#include "tests/audioengine/tags/TagFixtures.h"

namespace {

class TagsApi : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setenv("AUDIOENGINE_OUTPUT", "null", 1);
        engineStarted_ =
            BASS_Init(0, 44100, 0, nullptr, nullptr) || BASS_ErrorGetCode() == BASS_ERROR_ALREADY;
        dir_ = new testaudio::TempDir();
        files_ = tagtest::MakeTaggedFiles(*dir_);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(engineStarted_) << "the engine did not start";
        ASSERT_EQ(files_.size(), 16u) << "the tagged files were not all made";
    }

    static HSTREAM Open(const std::string& path) {
        return BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
    }
    static std::string Read(DWORD handle, const char* key) {
        const char* text = TAGS_Read(handle, key);
        return text ? text : "(null)";
    }

    static bool engineStarted_;
    static testaudio::TempDir* dir_;
    static std::vector<tagtest::TaggedFile> files_;
};
bool TagsApi::engineStarted_ = false;
testaudio::TempDir* TagsApi::dir_ = nullptr;
std::vector<tagtest::TaggedFile> TagsApi::files_;

TEST_F(TagsApi, EveryKeyOfEveryContainer) {
    for (const auto& file : files_) {
        SCOPED_TRACE(file.label);
        const HSTREAM stream = Open(file.path);
        if (stream == 0 && file.needsFfmpegModule && BASS_ErrorGetCode() == BASS_ERROR_FILEFORM)
            continue;  // a build without the FFmpeg module; the reader's own tests cover it
        ASSERT_NE(stream, 0u) << "error " << BASS_ErrorGetCode();
        for (std::size_t i = 0; i < tagtest::kKeys.size(); ++i) {
            EXPECT_EQ(Read(stream, tagtest::kKeys[i]), file.expected[i]) << tagtest::kKeys[i];
        }
        EXPECT_TRUE(BASS_StreamFree(stream));
    }
}

TEST_F(TagsApi, OtherKeysAndStaleHandlesGiveEmptyText) {
    const HSTREAM stream = Open(files_.front().path);
    ASSERT_NE(stream, 0u);
    ASSERT_EQ(Read(stream, "%TITL"), files_.front().expected[tagtest::kTitle]);
    for (const char* wrong : {"%titl", "%TITL ", "TITL", "", "%TITL%ARTI"}) {
        EXPECT_EQ(Read(stream, wrong), "") << '"' << wrong << '"';
    }
    EXPECT_EQ(Read(stream, nullptr), "");
    EXPECT_EQ(Read(0, "%TITL"), "");
    EXPECT_EQ(Read(0x7fffffffu, "%TITL"), "");

    // Freed, its cached tags are no longer given out.
    ASSERT_TRUE(BASS_StreamFree(stream));
    for (const char* key : tagtest::kKeys) EXPECT_EQ(Read(stream, key), "") << key;
}

// The tag library's way to the FFmpeg module's metadata (Matroska and WebM tags).
TEST_F(TagsApi, FileMetadataOfTheEngine) {
    const AE_MetadataVisitor ignore = [](void*, const char*, const char*) {};
    EXPECT_FALSE(AE_FileMetadata(nullptr, ignore, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    EXPECT_FALSE(AE_FileMetadata(files_.front().path.c_str(), nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    // No module in this build, or the module and no such file.
    EXPECT_FALSE(AE_FileMetadata(dir_->File("missing.mka").c_str(), ignore, nullptr));
    const int code = BASS_ErrorGetCode();
    EXPECT_TRUE(code == BASS_ERROR_NOTAVAIL || code == BASS_ERROR_FILEOPEN) << code;
}

TEST_F(TagsApi, TagsAreReadOncePerStream) {
    const std::string flac = dir_->File("changing.flac");
    ASSERT_FALSE(tagtest::WriteAudio(*dir_, "changing.flac", testaudio::Format::Flac).empty());
    ASSERT_TRUE(tagtest::TagWithMetaflac(flac, tagtest::FullValues()));
    const HSTREAM first = Open(flac);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(Read(first, "%TITL"), "Café Ünïcødé");

    tagtest::Values changed = tagtest::FullValues();
    changed[tagtest::kTitle] = "Changed";
    ASSERT_TRUE(tagtest::TagWithMetaflac(flac, changed));
    EXPECT_EQ(Read(first, "%TITL"), "Café Ünïcødé");

    const HSTREAM second = Open(flac);
    ASSERT_NE(second, 0u);
    EXPECT_EQ(Read(second, "%TITL"), "Changed");
    EXPECT_EQ(Read(first, "%TITL"), "Café Ünïcødé");
    BASS_StreamFree(first);
    BASS_StreamFree(second);
}

TEST_F(TagsApi, TextStaysValidWhileOtherThreadsRead) {
    const auto& file = files_.front();
    const HSTREAM stream = Open(file.path);
    ASSERT_NE(stream, 0u);
    const char* title = TAGS_Read(stream, "%TITL");
    ASSERT_NE(title, nullptr);
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([stream] {
            for (int i = 0; i < 500; ++i) {
                for (const char* key : tagtest::kKeys) TAGS_Read(stream, key);
            }
        });
    }
    for (auto& reader : readers) reader.join();
    EXPECT_STREQ(title, file.expected[tagtest::kTitle].c_str());
    BASS_StreamFree(stream);
}

}  // namespace
