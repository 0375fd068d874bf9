// SPDX-License-Identifier: MIT
#include "audioengine/core/WavWriter.h"

#include <utility>

#ifdef _WIN32
#include "audioengine/platform/WindowsFile.h"
#endif

namespace ae {
namespace {

// Samples are written as they lie in memory, which is the file's byte order only on a
// little-endian machine (every target this engine is built for).
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "WAV samples are little-endian");

constexpr uint16_t kFormatIeeeFloat = 3;
constexpr uint32_t kBytesPerSample = 4;
constexpr uint32_t kDs64Bytes = 28;  // RIFF size, data size, sample count, table length
constexpr uint32_t kFmtBytes = 18;
// A RIFF size counts the file after its first 8 bytes.
constexpr uint64_t kRiffSizeOfEmpty = kWavHeaderBytes - 8;
constexpr uint32_t kNoSize32 = 0xFFFFFFFF;  // "see ds64" in an RF64 file

class HeaderBytes {
  public:
    explicit HeaderBytes(std::array<uint8_t, kWavHeaderBytes>& bytes) : bytes_(bytes) {}
    void Tag(const char (&tag)[5]) {
        for (int i = 0; i < 4; ++i) bytes_[at_++] = static_cast<uint8_t>(tag[i]);
    }
    void U16(uint16_t value) { Little(value, 2); }
    void U32(uint32_t value) { Little(value, 4); }
    void U64(uint64_t value) { Little(value, 8); }
    size_t size() const { return at_; }

  private:
    void Little(uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) bytes_[at_++] = static_cast<uint8_t>(value >> (8 * i));
    }
    std::array<uint8_t, kWavHeaderBytes>& bytes_;
    size_t at_ = 0;
};

// Moves to the start or the end of `file`. msvcrt's fseek goes through a 32-bit file
// position and fails once the file has grown past it (2 or 4 GiB, a couple of hours
// of audio), which would end the recording there; _fseeki64 keeps all 64 bits.
int SeekTo(std::FILE* file, int whence) {
#ifdef _WIN32
    return _fseeki64(file, 0, whence);
#else
    return std::fseek(file, 0, whence);
#endif
}

// Opens `path` for writing, replacing any file there. On Windows the name is in the
// ANSI code page, as the host passes it, and may be longer than MAX_PATH.
std::FILE* OpenForWriting(const std::string& path) {
#ifdef _WIN32
    const std::wstring wide = FileSystemPath(path);
    return wide.empty() ? nullptr : _wfopen(wide.c_str(), L"wb");
#else
    return std::fopen(path.c_str(), "wb");
#endif
}

}  // namespace

std::array<uint8_t, kWavHeaderBytes> WavFloatHeader(int rate, int channels, uint64_t dataBytes) {
    const uint32_t frameBytes = static_cast<uint32_t>(channels) * kBytesPerSample;
    const uint64_t frames = dataBytes / frameBytes;
    const uint64_t riffSize = kRiffSizeOfEmpty + dataBytes;
    const bool rf64 = riffSize > kNoSize32;

    std::array<uint8_t, kWavHeaderBytes> bytes{};
    HeaderBytes out(bytes);
    out.Tag(rf64 ? "RF64" : "RIFF");
    out.U32(rf64 ? kNoSize32 : static_cast<uint32_t>(riffSize));
    out.Tag("WAVE");
    out.Tag(rf64 ? "ds64" : "JUNK");
    out.U32(kDs64Bytes);
    // Zeros in the JUNK chunk; the 64-bit sizes once it is ds64 (no table of chunks).
    out.U64(rf64 ? riffSize : 0);
    out.U64(rf64 ? dataBytes : 0);
    out.U64(rf64 ? frames : 0);
    out.U32(0);
    out.Tag("fmt ");
    out.U32(kFmtBytes);
    out.U16(kFormatIeeeFloat);
    out.U16(static_cast<uint16_t>(channels));
    out.U32(static_cast<uint32_t>(rate));
    out.U32(static_cast<uint32_t>(rate) * frameBytes);  // bytes per second
    out.U16(static_cast<uint16_t>(frameBytes));         // block align
    out.U16(kBytesPerSample * 8);                       // bits per sample
    out.U16(0);                                         // cbSize: no extension
    out.Tag("fact");
    out.U32(4);
    out.U32(rf64 ? kNoSize32 : static_cast<uint32_t>(frames));
    out.Tag("data");
    out.U32(rf64 ? kNoSize32 : static_cast<uint32_t>(dataBytes));
    return bytes;
}

WavWriter::WavWriter(WavWriter&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      rate_(other.rate_),
      channels_(other.channels_),
      dataBytes_(other.dataBytes_),
      headerBytes_(other.headerBytes_),
      failed_(other.failed_) {}

bool WavWriter::Open(const std::string& path, int rate, int channels) {
    Close();
    file_ = OpenForWriting(path);
    if (!file_) return false;
    // Unbuffered: every write reaches the file at once, and a failed write is seen
    // where it happens, so the header never states data that is not there.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    rate_ = rate;
    channels_ = channels;
    dataBytes_ = 0;
    failed_ = false;
    const auto header = WavFloatHeader(rate_, channels_, 0);
    if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    headerBytes_ = 0;
    return true;
}

bool WavWriter::Append(const float* samples, size_t frames) {
    if (!file_ || failed_) return false;
    const size_t frameBytes = static_cast<size_t>(channels_) * kBytesPerSample;
    const size_t written = std::fwrite(samples, frameBytes, frames, file_);
    dataBytes_ += static_cast<uint64_t>(written) * frameBytes;
    failed_ = written != frames;
    return !failed_;
}

void WavWriter::UpdateHeader() {
    if (!file_ || headerBytes_ == dataBytes_) return;
    const auto header = WavFloatHeader(rate_, channels_, dataBytes_);
    if (SeekTo(file_, SEEK_SET) == 0 &&
        std::fwrite(header.data(), 1, header.size(), file_) == header.size()) {
        headerBytes_ = dataBytes_;
    }
    // Back to the end, where the next frames go.
    if (SeekTo(file_, SEEK_END) != 0) failed_ = true;
}

void WavWriter::Close() {
    if (!file_) return;
    UpdateHeader();
    std::fclose(file_);
    file_ = nullptr;
}

}  // namespace ae
