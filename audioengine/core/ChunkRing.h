// SPDX-License-Identifier: MIT
// The ready ring between a stream's decode side and the audio callback: a
// single-producer single-consumer queue of fixed-size chunks of stereo output frames,
// each tagged with the stream frames it came from. Lock-free and allocation-free
// after construction.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace ae {

// Output frames per chunk: small enough that the ring can stay under 100 ms at
// every output rate, large enough that the per-chunk bookkeeping costs nothing.
constexpr int kChunkFrames = 128;

struct Chunk {
    uint32_t epoch = 0;                    // the stream's seek epoch the audio belongs to
    int frames = 0;                        // valid output frames in `samples`, 0..kChunkFrames
    bool last = false;                     // the stream's final chunk: nothing follows until a seek
    int64_t streamBegin = 0;               // stream frame of the chunk's first output frame
    int64_t streamEnd = 0;                 // stream frame just after the chunk's last output frame
    float samples[kChunkFrames * 2] = {};  // interleaved stereo at the output rate

    // The stream frame reached after `outputFrames` of this chunk have been played.
    int64_t StreamFrameAfter(int outputFrames) const {
        if (frames <= 0 || outputFrames >= frames) return streamEnd;
        return streamBegin + (streamEnd - streamBegin) * outputFrames / frames;
    }
};

class ChunkRing {
  public:
    explicit ChunkRing(int chunks) : chunks_(static_cast<size_t>(chunks < 2 ? 2 : chunks)) {}
    ChunkRing(const ChunkRing&) = delete;
    ChunkRing& operator=(const ChunkRing&) = delete;

    int capacity() const { return static_cast<int>(chunks_.size()); }

    // Producer: the chunk to fill next, or null when the ring is full. Publish it with
    // Push().
    Chunk* BeginPush() {
        const uint64_t write = write_.load(std::memory_order_relaxed);
        if (write - read_.load(std::memory_order_acquire) >= chunks_.size()) return nullptr;
        return &chunks_[write % chunks_.size()];
    }
    void Push() {
        write_.store(write_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    // Producer: chunks that can be pushed now.
    int FreeChunks() const {
        const uint64_t used =
            write_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire);
        return static_cast<int>(chunks_.size() - used);
    }

    // Consumer: the oldest chunk, or null when empty. Release it with Pop().
    const Chunk* Front() const {
        const uint64_t read = read_.load(std::memory_order_relaxed);
        if (read == write_.load(std::memory_order_acquire)) return nullptr;
        return &chunks_[read % chunks_.size()];
    }
    void Pop() {
        read_.store(read_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

    // Consumer: visits the queued chunks oldest first without removing them;
    // `visit` returns false to stop early.
    template <typename Visit>
    void Peek(Visit visit) const {
        const uint64_t write = write_.load(std::memory_order_acquire);
        for (uint64_t i = read_.load(std::memory_order_relaxed); i != write; ++i) {
            if (!visit(chunks_[i % chunks_.size()])) return;
        }
    }

  private:
    std::vector<Chunk> chunks_;
    std::atomic<uint64_t> write_{0};  // chunks ever pushed
    std::atomic<uint64_t> read_{0};   // chunks ever popped
};

}  // namespace ae
