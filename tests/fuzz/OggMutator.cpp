// SPDX-License-Identifier: MIT
// The file fuzzer's mutator: libFuzzer's own mutations, after which most inputs have
// the checksum of every Ogg page set again. A flipped bit in an Ogg page otherwise
// fails its checksum and the page is dropped before any codec sees it, so that the
// Vorbis, Opus and FLAC header and packet parsers behind it would be fuzzed hardly
// at all; one input in four keeps its checksums as mutated, for the page checks.
#include <ogg/ogg.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

// Sets the checksum of each whole page found, in file order, resynchronising on the
// next capture pattern after bytes that are no page.
void SetOggChecksums(uint8_t* data, size_t size) {
    size_t at = 0;
    while (at + 27 <= size) {
        if (std::memcmp(data + at, "OggS", 4) != 0) {
            ++at;
            continue;
        }
        const size_t segments = data[at + 26];
        size_t bytes = 27 + segments;
        if (at + bytes > size) return;
        for (size_t s = 0; s < segments; ++s) bytes += data[at + 27 + s];
        if (at + bytes > size) {
            ++at;
            continue;
        }
        ogg_page page{data + at, static_cast<long>(27 + segments), data + at + 27 + segments,
                      static_cast<long>(bytes - 27 - segments)};
        ogg_page_checksum_set(&page);
        at += bytes;
    }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 4 != 0) SetOggChecksums(data, size);
    return size;
}
