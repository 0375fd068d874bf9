// SPDX-License-Identifier: MIT
// The engine starts once per process; every test of this binary shares it on the
// manual output, where the mix advances only when a test renders, so results are
// the same on every run. ctest runs each test in a process of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/audioengine/api/EngineTestSupport.h"

namespace {

class ManualEngine : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(enginetest::StartEngine("manual")) << AE_ErrorName(BASS_ErrorGetCode());
        ASSERT_STREQ(AE_OutputName(), "manual");
        ASSERT_EQ(std::string(AE_OutputReason()).rfind("manual: ", 0), 0u) << AE_OutputReason();
    }
};

// A stream a test frees while it plays fades out in the next render: render that
// fade at the end of each test, so that the next test starts from silence when the
// tests share a process.
class PlayOutFades : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override {
        enginetest::Render(enginetest::kFadeFrames);
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new ManualEngine);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PlayOutFades);
    return RUN_ALL_TESTS();
}
