// SPDX-License-Identifier: MIT
// The soak: many cycles of open, play, seek, query and free over every format, on
// the null output (the engine's own output thread mixes in real time, as on a
// machine without a sound card). Memory must not grow with the cycles, judged without
// sanitizers (whose allocator holds freed memory back) on samples taken every 250
// cycles after the first 100: the median of the second half of the run against the
// median of the first, 128 KiB at most for the heap in use (a leak of 26 bytes a
// cycle over 10,000 cycles) and 1 MiB for resident size, which also counts what the
// allocator keeps of freed memory and so moves with the machine's timing. Medians,
// because one sample can catch a stream's buffers not yet given back. No thread is
// left behind, and the leak checker of the sanitizer builds finds nothing at exit.
//
// SOAK_CYCLES sets the number of cycles (default 10000).
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/tags.h"
#include "tests/support/AudioFiles.h"

using testaudio::Format;

namespace {

constexpr int kSettleCycles = 100;
constexpr int kSampleEvery = 250;
const char* const kTagKeys[] = {"%TITL", "%ARTI", "%ALBM", "%GNRE", "%YEAR", "%CMNT", "%TRCK"};

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The bytes malloc has handed out and not had back, over all its arenas.
long HeapInUseKiB() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

struct MemorySample {
    long residentKiB;
    long heapKiB;
};

// The process's threads, without the engine's decode workers: a worker stuck more
// than 50 ms in a slow read (a loaded disk) makes the engine start another, up to its
// limit, and that is no leak. The workers are counted apart, against the limit. The
// supervisor starts those workers, and a worker names itself as it begins: until
// then it carries the supervisor's name, so a second "ae-supervisor" is a worker.
int ThreadCount(int* decodeWorkers = nullptr) {
    int count = 0, workers = 0;
    bool supervisorSeen = false;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            const bool startingWorker = name == "ae-supervisor" && supervisorSeen;
            supervisorSeen |= name == "ae-supervisor";
            if (name == "ae-decode" || startingWorker) {
                ++workers;
            } else {
                ++count;
            }
        }
        closedir(dir);
    }
    if (decodeWorkers) *decodeWorkers = workers;
    return count;
}

int Cycles() {
    const char* text = std::getenv("SOAK_CYCLES");
    const int cycles = text ? std::atoi(text) : 10000;
    return cycles > kSettleCycles ? cycles : kSettleCycles + 1;
}

// How much `measure` grew from the first half of the samples to the second, as the
// difference of the two halves' medians.
long GrowthBetweenHalves(const std::vector<MemorySample>& samples, long MemorySample::*measure) {
    const auto median = [measure](auto first, auto last) {
        std::vector<long> values;
        for (auto it = first; it != last; ++it) values.push_back((*it).*measure);
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    const auto middle = samples.begin() + static_cast<long>(samples.size() / 2);
    return median(middle, samples.end()) - median(samples.begin(), middle);
}

// One cycle on `path`: everything a host does with a stream in its life.
void Cycle(const std::string& path, int cycle) {
    const HSTREAM stream = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
    ASSERT_NE(stream, 0u) << path << ": error " << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));
    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    ASSERT_NE(length, ~QWORD{0});
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(stream, &info));
    const QWORD frame = QWORD{info.chans} * 2;
    const QWORD target = (length / frame) * static_cast<QWORD>(cycle % 7) / 7 * frame;
    EXPECT_TRUE(BASS_ChannelSetPosition(stream, target, BASS_POS_BYTE)) << path;
    EXPECT_NE(BASS_ChannelGetPosition(stream, BASS_POS_BYTE), ~QWORD{0});
    BASS_ChannelGetLevel(stream);
    float spectrum[256];
    BASS_ChannelGetData(stream, spectrum, BASS_DATA_FFT512);
    EXPECT_NE(BASS_StreamGetFilePosition(stream, BASS_FILEPOS_END), ~QWORD{0});
    EXPECT_GE(BASS_ChannelBytes2Seconds(stream, length), 0.0);
    EXPECT_NE(TAGS_Read(stream, kTagKeys[cycle % 7]), nullptr);
    if (cycle % 3 == 0) {
        const HFX fx = BASS_ChannelSetFX(stream, BASS_FX_DX8_PARAMEQ, 1);
        EXPECT_NE(fx, 0u);
        const BASS_DX8_PARAMEQ eq{1000.0f, 12.0f, 6.0f};
        EXPECT_TRUE(BASS_FXSetParameters(fx, &eq));
    }
    if (cycle % 2 == 0) BASS_ChannelPause(stream);
    ASSERT_TRUE(BASS_StreamFree(stream));
}

TEST(Soak, OpenPlaySeekQueryFreeKeepsMemoryFlat) {
    setenv("AUDIOENGINE_OUTPUT", "null", 1);
    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << "error " << BASS_ErrorGetCode();
    testaudio::TempDir dir;
    std::vector<std::string> files;
    for (const Format format : testaudio::AllFormats()) {
        const int rate = format == Format::Opus ? 48000 : 44100;
        const std::string path = dir.File(std::string("tone") + testaudio::Extension(format));
        ASSERT_TRUE(
            testaudio::Write(path, format, rate, 2, testaudio::Sine(rate, 2, rate / 2, 440, 0.5)));
        files.push_back(path);
    }

    const int cycles = Cycles();
    long settled = 0;
    int threads = 0;
    std::vector<MemorySample> samples;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        ASSERT_NO_FATAL_FAILURE(Cycle(files[static_cast<size_t>(cycle) % files.size()], cycle));
        if (cycle == kSettleCycles) {
            settled = ResidentKiB();
            threads = ThreadCount();
        }
        if (cycle >= kSettleCycles && (cycle % kSampleEvery == 0 || cycle == cycles))
            samples.push_back({ResidentKiB(), HeapInUseKiB()});
    }
    const long final = ResidentKiB();
    const long residentGrowth = GrowthBetweenHalves(samples, &MemorySample::residentKiB);
    const long heapGrowth = GrowthBetweenHalves(samples, &MemorySample::heapKiB);
    std::printf(
        "soak: %d cycles over %zu formats; resident %ld KiB after %d cycles, %ld KiB at "
        "the end; second half against first: resident %+ld KiB, heap in use %+ld KiB "
        "(%ld KiB at the end)\n",
        cycles, files.size(), settled, kSettleCycles, final, residentGrowth, heapGrowth,
        samples.back().heapKiB);
    RecordProperty("rss_growth_kib", static_cast<int>(residentGrowth));
    RecordProperty("heap_growth_kib", static_cast<int>(heapGrowth));
    int workers = 0;
    EXPECT_EQ(ThreadCount(&workers), threads) << "cycles leave threads behind";
    EXPECT_LE(workers, 8) << "more decode workers than the engine's limit";
#ifndef SOAK_SANITIZED
    EXPECT_LE(heapGrowth, 128) << "the heap in use grows with the cycles";
    EXPECT_LE(residentGrowth, 1024) << "resident size grows with the cycles";
#endif
}

}  // namespace
