// SPDX-License-Identifier: MIT
// Writes the seed corpora of the fuzzers:
//   fuzz_make_corpus FILE_DIR PROTOCOL_DIR
// FILE_DIR receives small files of every format, some tagged, and of the formats the
// FFmpeg module reads (made with the ffmpeg and mpcenc tools, each left out with a note
// when its tool is missing); PROTOCOL_DIR receives call sequences a host would make
// (open, play, seek, query, equalise, free) over the protocol fuzzer's file list.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzFiles.h"
#include "tests/fuzz/ProtocolOps.h"
#include "tests/support/AudioFiles.h"

using namespace protocolops;

namespace {

class Sequence {
  public:
    Sequence& Op(Export e) { return Byte(static_cast<uint8_t>(e)); }
    Sequence& Data(int32_t slotOrBand) {
        Op(kSetData).Byte(kSmallInt);
        return Byte(static_cast<uint8_t>(slotOrBand + 2));
    }
    Sequence& DataWord(int32_t value) {
        Op(kSetData).Byte(kWordInt);
        for (int i = 0; i < 4; ++i)
            Byte(static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i)));
        return *this;
    }
    Sequence& File(int index) {
        return Op(kSetFile).Byte(kFileText).Byte(static_cast<uint8_t>(index));
    }
    Sequence& Key(int index) {
        return Op(kSetFile).Byte(kKeyText).Byte(static_cast<uint8_t>(index));
    }
    Sequence& Render(int blocks) { return Op(kRender).Byte(static_cast<uint8_t>(blocks - 1)); }
    // Pushes the operands and calls the export.
    Sequence& Call(Export e, std::initializer_list<int32_t> operands) {
        for (const int32_t value : operands) Data(value);
        return Op(e);
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

  private:
    Sequence& Byte(uint8_t value) {
        bytes_.push_back(value);
        return *this;
    }
    std::vector<uint8_t> bytes_;
};

bool Save(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// One host session over file `file` in slot `slot`.
Sequence Session(int file, int slot) {
    Sequence s;
    s.File(file).Call(kCreateChannel, {slot}).Call(kPlayChannel, {slot}).Render(4);
    s.Call(kGetLevelChannel, {slot}).Call(kGetDataChannel20, {slot});
    s.Call(kGetPosTimeChannel, {slot}).Call(kGetLengthTimeChannel, {slot});
    s.Call(kGetFreqChannel, {slot}).Call(kGetBitrateChannel, {slot}).Call(kGetChansChannel, {slot});
    for (int key = 0; key < 7; ++key) s.Key(key).Call(kGetTagChannel, {slot});
    s.Call(kEqCreateChannel, {slot}).Call(kEqSetChannel, {slot, 3, 12}).Render(2);
    s.Call(kSetValumeChannel, {slot, 50}).Call(kSetPositionForChannel, {slot, 0}).Render(2);
    s.Call(kStopChannel, {slot}).Call(kPlayChannel, {slot}).Call(kPauseChannel, {slot});
    s.Call(kFreeChannel, {slot});
    return s;
}

// Seeds of the formats read through FFmpeg: a twentieth of a second each (under the
// fuzzer's 16 KiB inputs), from one WAV source. Returns how many were written.
int WriteFfmpegSeeds(const std::string& dir) {
    struct Seed {
        const char* name;
        int rate;
        const char* command;  // {in} and {out} are replaced by the paths
    };
    const Seed seeds[] = {
        {"aac.m4a", 44100, "ffmpeg -i {in} -c:a aac -b:a 96k {out}"},
        {"alac.m4a", 44100, "ffmpeg -i {in} -c:a alac {out}"},
        {"adts.aac", 44100, "ffmpeg -i {in} -c:a aac -b:a 96k -f adts {out}"},
        {"wma.wma", 44100, "ffmpeg -i {in} -c:a wmav2 -b:a 64k {out}"},
        {"wavpack.wv", 44100, "ffmpeg -i {in} -c:a wavpack {out}"},
        {"tta.tta", 44100, "ffmpeg -i {in} -c:a tta {out}"},
        {"ac3.ac3", 44100, "ffmpeg -i {in} -c:a ac3 -b:a 96k {out}"},
        {"dts.dts", 48000, "ffmpeg -i {in} -strict -2 -c:a dca -b:a 384k {out}"},
        {"opus.webm", 48000, "ffmpeg -i {in} -c:a libopus -b:a 48k {out}"},
        {"flac.oga", 44100, "ffmpeg -i {in} -c:a flac -f ogg {out}"},
        {"vorbis.mka", 44100, "ffmpeg -i {in} -c:a libvorbis -q:a 0 {out}"},
        {"adpcm.mov", 44100, "ffmpeg -i {in} -c:a adpcm_ima_qt {out}"},  // a refused codec
        {"musepack.mpc", 44100, "mpcenc --silent --quality 3 {in} {out}"},
    };
    int written = 0;
    for (const Seed& seed : seeds) {
        const std::string wav = dir + "/ffmpeg-source.wav";
        const std::string out = dir + "/" + seed.name;
        const int frames = seed.rate / 20;
        if (!testaudio::Write(wav, testaudio::Format::Wav, seed.rate, 2,
                              testaudio::Sine(seed.rate, 2, frames, 997.0, 0.5)))
            return written;
        std::string command = seed.command;
        command.replace(command.find("{in}"), 4, "'" + wav + "'");
        command.replace(command.find("{out}"), 5, "'" + out + "'");
        if (command.rfind("ffmpeg", 0) == 0) command.insert(6, " -nostdin -y -v error");
        if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) {
            ++written;
        } else {
            std::remove(out.c_str());
            std::fprintf(stderr, "fuzz_make_corpus: no %s seed (%s failed)\n", seed.name,
                         command.substr(0, command.find(' ')).c_str());
        }
        std::remove(wav.c_str());
    }
    // The ID3v2 tag that sends raw AAC to libmpg123 first.
    std::ifstream adts(dir + "/adts.aac", std::ios::binary);
    if (adts) {
        std::vector<uint8_t> bytes = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20};
        bytes.resize(30, 0);
        bytes.insert(bytes.end(), std::istreambuf_iterator<char>(adts), {});
        if (Save(dir + "/id3-adts.aac", bytes)) ++written;
    }
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fuzz_make_corpus FILE_DIR PROTOCOL_DIR\n");
        return 2;
    }
    const std::vector<std::string> files = fuzzfiles::WriteSmallFiles(argv[1]);
    if (files.empty()) {
        std::fprintf(stderr, "fuzz_make_corpus: cannot write the audio files into %s\n", argv[1]);
        return 1;
    }
    const std::string protocol = argv[2];
    int written = 0;
    auto save = [&](const std::string& name, const Sequence& s) {
        if (!Save(protocol + "/" + name, s.bytes())) {
            std::fprintf(stderr, "fuzz_make_corpus: cannot write %s\n", name.c_str());
            std::exit(1);
        }
        ++written;
    };
    // One session per file (the bad ones follow the good ones in the list).
    for (int file = 0; file < 22; ++file)
        save("session" + std::to_string(file), Session(file, 1 + file % 32));

    // Every slot playing at once, then queried and freed.
    Sequence all;
    for (int slot = 1; slot <= 32; ++slot)
        all.File(slot % 13).Call(kCreateChannel, {slot}).Call(kPlayChannel, {slot});
    all.Render(8);
    for (int slot = 1; slot <= 32; ++slot) all.Call(kGetLevelChannel, {slot});
    save("all-slots", all);

    // Slots and operands outside every range.
    Sequence edges;
    edges.File(0);
    for (const int32_t slot : {0, 33, -1, INT32_MIN, INT32_MAX}) {
        edges.DataWord(slot).Op(kCreateChannel).Op(kPlayChannel).Op(kGetLevelChannel);
        edges.Op(kEqCreateChannel).Op(kGetDataChannel20).Op(kGetTagChannel);
    }
    edges.Call(kCreateChannel, {1}).Call(kEqCreateChannel, {1});
    edges.Data(1).DataWord(11).DataWord(INT32_MAX).Op(kEqSetChannel);
    edges.Data(1).DataWord(INT32_MIN).Op(kSetValumeChannel).Render(2);
    edges.Data(1).DataWord(INT32_MAX).Op(kSetPositionForChannel).Render(2);
    edges.Data(1).DataWord(-5).Op(kSetPositionForChannel).Op(kGetPosTimeChannel);
    save("edges", edges);
    const int ffmpegSeeds = WriteFfmpegSeeds(argv[1]);
    std::printf("%zu files, %d for FFmpeg, %d call sequences\n", files.size(), ffmpegSeeds,
                written);
    return 0;
}
