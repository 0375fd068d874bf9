// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <thread>

#include "audioengine/core/ChunkRing.h"

namespace {

using ae::Chunk;
using ae::ChunkRing;

TEST(ChunkRing, FifoOrderFullAndEmptyAcrossWraparound) {
    ChunkRing ring(3);
    EXPECT_EQ(ring.Front(), nullptr);
    EXPECT_EQ(ring.FreeChunks(), 3);
    int next = 0, expected = 0;
    for (int round = 0; round < 5; ++round) {
        while (Chunk* chunk = ring.BeginPush()) {
            chunk->frames = next++;
            ring.Push();
        }
        EXPECT_EQ(ring.FreeChunks(), 0);
        int peeked = 0;
        ring.Peek([&](const Chunk& chunk) {
            EXPECT_EQ(chunk.frames, expected + peeked);
            ++peeked;
            return true;
        });
        EXPECT_EQ(peeked, 3) << "Peek sees every queued chunk without removing any";
        for (int i = 0; i < 2; ++i) {  // leave one behind so the indices wrap
            ASSERT_NE(ring.Front(), nullptr);
            EXPECT_EQ(ring.Front()->frames, expected++);
            ring.Pop();
        }
    }
}

// One producer thread, one consumer thread: every chunk arrives once, in order, with
// the content written before it was published.
TEST(ChunkRing, SingleProducerSingleConsumerAcrossThreads) {
    ChunkRing ring(4);
    constexpr int kChunks = 20000;
    std::thread producer([&] {
        for (int i = 0; i < kChunks;) {
            Chunk* chunk = ring.BeginPush();
            if (!chunk) {
                std::this_thread::yield();
                continue;
            }
            chunk->frames = i;
            for (float& sample : chunk->samples) sample = static_cast<float>(i);
            ring.Push();
            ++i;
        }
    });
    int received = 0;
    bool intact = true;
    while (received < kChunks) {
        const Chunk* chunk = ring.Front();
        if (!chunk) {
            std::this_thread::yield();
            continue;
        }
        intact = intact && chunk->frames == received &&
                 chunk->samples[0] == static_cast<float>(received) &&
                 chunk->samples[2 * ae::kChunkFrames - 1] == static_cast<float>(received);
        ring.Pop();
        ++received;
    }
    producer.join();
    EXPECT_TRUE(intact);
    EXPECT_EQ(ring.Front(), nullptr);
}

TEST(Chunk, StreamFramesAreInterpolatedOverTheChunk) {
    Chunk chunk;
    chunk.frames = 128;
    chunk.streamBegin = 1000;
    chunk.streamEnd = 1000 + 139;  // a 48 kHz stream played at 44.1 kHz
    EXPECT_EQ(chunk.StreamFrameAfter(0), 1000);
    EXPECT_EQ(chunk.StreamFrameAfter(64), 1000 + 139 * 64 / 128);
    EXPECT_EQ(chunk.StreamFrameAfter(128), 1139);
    EXPECT_EQ(chunk.StreamFrameAfter(500), 1139);
    Chunk empty;  // the end marker of a stream
    empty.streamBegin = empty.streamEnd = 777;
    EXPECT_EQ(empty.StreamFrameAfter(0), 777);
}

}  // namespace
