// SPDX-License-Identifier: MIT
// Every format decodes to exactly the frames that were written, seeks land on the
// exact frame, and the format is taken from the content.
#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "audioengine/decode/ChannelOrder.h"
#include "audioengine/decode/ContainerMetadata.h"
#include "audioengine/decode/FileSource.h"
#include "audioengine/decode/MpegHeader.h"
#include "audioengine/decode/OggRenumbering.h"
#include "plugin/engine/Bass.h"
#include "tests/audioengine/decode/DecodeTestSupport.h"

using testaudio::ExpectedCtype;
using testaudio::Format;

namespace decodetest {
namespace {

uint32_t ExpectedOrigres(Format format) {
    switch (format) {
        case Format::WavFloat:
            return 32;
        case Format::Svx8:
            return 8;
        case Format::Wve:  // A-law: no linear resolution
        case Format::OggVorbis:
        case Format::Opus:
        case Format::Mp3:
            return 0;
        default:
            return 16;
    }
}

// How far a lossless format's samples may lie from the float source: none for
// float, a rounding step for 16 and 8 bits, half of A-law's coarsest step.
float SampleTolerance(Format format) {
    switch (format) {
        case Format::WavFloat:
            return 0.0f;
        case Format::Svx8:
            return 2.0f / 128;
        case Format::Wve:
            return 1.0f / 64;
        default:
            return 2.0f / 32768;
    }
}

class EachFormat : public ::testing::TestWithParam<Format> {
  protected:
    testaudio::TempDir dir_;
};

TEST_P(EachFormat, DecodesExactlyTheWrittenFramesAndDescribesThem) {
    const Format format = GetParam();
    for (int channels = 1; channels <= testaudio::MaxChannels(format); ++channels) {
        SCOPED_TRACE(channels);
        // An odd length that is no multiple of any codec's frame size.
        const int64_t frames = RateFor(format) + 1237;
        const std::string path = dir_.File("signal" + std::to_string(channels));
        const std::vector<float> source = WriteTestFile(path, format, channels, frames);
        ASSERT_FALSE(source.empty());

        auto opened = ae::OpenDecoder(path);
        ASSERT_TRUE(opened.ok()) << "error " << opened.code();
        std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
        const ae::DecoderInfo& info = decoder->info();
        EXPECT_EQ(info.rate, RateFor(format));
        EXPECT_EQ(info.channels, channels);
        EXPECT_EQ(info.frames, frames);
        EXPECT_EQ(info.ctype, ExpectedCtype(format));
        EXPECT_EQ(info.origres, ExpectedOrigres(format));

        const std::vector<float> decoded = DecodeRest(*decoder);
        ASSERT_EQ(static_cast<int64_t>(decoded.size()), frames * channels);
        float extra[16];
        EXPECT_EQ(decoder->Read(extra, 1), 0);  // and it stays at the end

        if (testaudio::IsLossy(format)) {
            // Gapless: no encoder delay or padding is left in, so the decoded
            // signal lines up with the source to the frame.
            EXPECT_EQ(BestLag(source, decoded, channels, 64), 0);
        } else {
            const float tolerance = SampleTolerance(format);
            float worst = 0;
            for (size_t i = 0; i < source.size(); ++i)
                worst = std::max(worst, std::fabs(decoded[i] - source[i]));
            EXPECT_LE(worst, tolerance);
        }
    }
}

TEST_P(EachFormat, SeeksGiveTheFramesOfADecodeFromTheStart) {
    const Format format = GetParam();
    const int channels = testaudio::MaxChannels(format);
    const int64_t frames = 2 * RateFor(format) + 311;
    const std::string path = dir_.File("seek");
    ASSERT_FALSE(WriteTestFile(path, format, channels, frames).empty());
    auto opened = ae::OpenDecoder(path);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
    const std::vector<float> reference = DecodeRest(*decoder);
    ASSERT_EQ(static_cast<int64_t>(reference.size()), frames * channels);

    // Start, frame and packet boundaries and their neighbours, the middle, the last
    // frames (lossy codecs trim their last packet) and a backward jump.
    const int64_t targets[] = {0,          1,          575,        576,          1151,
                               1152 * 9,   4096 + 3,   frames / 2, frames / 3,   frames - 5000,
                               frames - 1, frames - 2, 100,        frames - 700, 0};
    std::vector<float> block(static_cast<size_t>(1000 * channels));
    for (int64_t target : targets) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(decoder->Seek(target));
        const int64_t expected = std::min<int64_t>(1000, frames - target);
        ASSERT_EQ(decoder->Read(block.data(), 1000), expected);
        // Every format, lossy ones included, gives bit-identical samples.
        EXPECT_EQ(std::memcmp(block.data(), reference.data() + target * channels,
                              static_cast<size_t>(expected * channels) * sizeof(float)),
                  0);
    }

    // The end itself is a valid target with nothing after it; beyond it is not.
    EXPECT_TRUE(decoder->Seek(frames));
    EXPECT_EQ(decoder->Read(block.data(), 10), 0);
    EXPECT_FALSE(decoder->Seek(frames + 1));
    EXPECT_FALSE(decoder->Seek(-1));
    EXPECT_FALSE(decoder->Seek(INT64_MAX));
    // A failed seek does not spoil the next one.
    ASSERT_TRUE(decoder->Seek(frames / 4));
    ASSERT_EQ(decoder->Read(block.data(), 10), 10);
    EXPECT_EQ(std::memcmp(block.data(), reference.data() + frames / 4 * channels,
                          10 * channels * sizeof(float)),
              0);
}

TEST_P(EachFormat, IsRecognisedByContentWhateverTheName) {
    const Format format = GetParam();
    const std::string written = dir_.File(std::string("real") + testaudio::Extension(format));
    ASSERT_FALSE(WriteTestFile(written, format, testaudio::MaxChannels(format), 20000).empty());
    // A misleading extension, none at all, and a text file's.
    const Format other = format == Format::Mp3 ? Format::Wav : Format::Mp3;
    for (const std::string& name : {std::string("misnamed") + testaudio::Extension(other),
                                    std::string("noextension"), std::string("notes.txt")}) {
        SCOPED_TRACE(name);
        const std::string path = dir_.File(name);
        WriteBytes(path, ReadBytes(written));
        auto opened = ae::OpenDecoder(path);
        ASSERT_TRUE(opened.ok()) << "error " << opened.code();
        std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
        EXPECT_EQ(decoder->info().ctype, ExpectedCtype(format));
        EXPECT_EQ(decoder->info().frames, 20000);
    }
}

std::string FormatName(const ::testing::TestParamInfo<Format>& param) {
    return testaudio::Name(param.param);
}
INSTANTIATE_TEST_SUITE_P(Formats, EachFormat, ::testing::ValuesIn(testaudio::AllFormats()),
                         FormatName);
// AU, CAF, RF64, Wave64 and the rest, each written by sox, ffmpeg or libsndfile.
INSTANTIATE_TEST_SUITE_P(SndfileContainers, EachFormat,
                         ::testing::ValuesIn(testaudio::SndfileContainerFormats()), FormatName);

// The container metadata reader (the FFmpeg module's) reads the file the engine
// opened for it, regular files only; without one the engine says it has none.
int FakeMetadataReader(const ae::FileSource& file, AE_MetadataVisitor visit, void* user) {
    char magic[5] = {};
    if (file.ReadAt(0, magic, 4) != 4) return BASS_ERROR_FILEFORM;
    visit(user, "magic", magic);
    return BASS_OK;
}

TEST(ContainerMetadata, TheReaderGetsTheFileTheEngineOpened) {
    testaudio::TempDir dir;
    const std::string wav = dir.File("tone.wav");
    ASSERT_FALSE(WriteTestFile(wav, Format::Wav, 1, 100).empty());
    std::string seen;
    const AE_MetadataVisitor visit = [](void* user, const char* key, const char* value) {
        *static_cast<std::string*>(user) += std::string(key) + "=" + value;
    };
    ae::SetContainerMetadataReader(nullptr);  // the FFmpeg module, once loaded, sets one
    EXPECT_EQ(ae::ReadContainerMetadata(wav, visit, &seen), BASS_ERROR_NOTAVAIL);
    ae::SetContainerMetadataReader(FakeMetadataReader);
    EXPECT_EQ(ae::ReadContainerMetadata(wav, visit, &seen), BASS_OK);
    EXPECT_EQ(seen, "magic=RIFF");
    EXPECT_EQ(ae::ReadContainerMetadata(dir.File("missing"), visit, &seen), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(ae::ReadContainerMetadata(dir.path(), visit, &seen), BASS_ERROR_FILEOPEN);
    WriteBytes(wav, {'R', 'I'});
    EXPECT_EQ(ae::ReadContainerMetadata(wav, visit, &seen), BASS_ERROR_FILEFORM);
    ae::SetContainerMetadataReader(nullptr);
}

TEST(Channels, UpToEightOpenAndMoreAreRefused) {
    testaudio::TempDir dir;
    const std::string eight = dir.File("eight.wav");
    ASSERT_TRUE(testaudio::Write(eight, Format::Wav, 44100, 8, TestSignal(44100, 8, 1000)));
    auto opened = ae::OpenDecoder(eight);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
    EXPECT_EQ(decoder->info().channels, 8);

    const std::string nine = dir.File("nine.wav");
    ASSERT_TRUE(testaudio::Write(nine, Format::Wav, 44100, 9, TestSignal(44100, 9, 1000)));
    EXPECT_EQ(ae::OpenDecoder(nine).code(), BASS_ERROR_FORMAT);
}

// A header may claim any rate; buffers are sized by it, so past 768 kHz the file is
// refused rather than costing gigabytes (a 9 KB file claiming 620 MHz once did).
TEST(Rates, UpTo768kHzOpenAndHigherAreRefused) {
    testaudio::TempDir dir;
    const std::string path = dir.File("rate.wav");
    ASSERT_TRUE(testaudio::Write(path, Format::Wav, 44100, 1, TestSignal(44100, 1, 1000)));
    std::vector<unsigned char> bytes = ReadBytes(path);
    ASSERT_GE(bytes.size(), 44u);
    ASSERT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
    ASSERT_EQ(std::memcmp(bytes.data() + 12, "fmt ", 4), 0);
    // The canonical header: rate at byte 24, bytes per second at 28 (16-bit mono).
    const auto claim = [&](uint32_t rate) {
        for (int i = 0; i < 4; ++i) {
            bytes[24 + i] = static_cast<unsigned char>(rate >> (8 * i));
            bytes[28 + i] = static_cast<unsigned char>((rate * 2) >> (8 * i));
        }
        WriteBytes(path, bytes);
    };
    claim(768000);
    auto decoder = ae::OpenDecoder(path);
    ASSERT_TRUE(decoder.ok()) << decoder.code();
    EXPECT_EQ(decoder.value()->info().rate, 768000);
    for (const uint32_t rate : {768001u, 620000000u}) {
        claim(rate);
        EXPECT_EQ(ae::OpenDecoder(path).code(), BASS_ERROR_FORMAT) << rate;
    }
}

// Vorbis and Opus files store 5.1 in Vorbis order (FL C FR RL RR LFE); decoding gives
// WAV order (FL FR C LFE RL RR), as from every other format, so a downmix treats them
// alike. Each channel has its own level; the LFE channel, which encoders filter, is
// silent.
double SurroundLevel(int wav_channel) { return wav_channel == 3 ? 0.0 : 0.1 * (wav_channel + 1); }

void ExpectWavOrderLevels(const std::string& path) {
    const int channels = 6;
    auto opened = ae::OpenDecoder(path);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
    ASSERT_EQ(decoder->info().channels, channels);
    const std::vector<float> decoded = DecodeRest(*decoder);
    const int64_t frames = static_cast<int64_t>(decoded.size()) / channels;
    ASSERT_GT(frames, 0);
    for (int c = 0; c < channels; ++c) {
        double sum = 0;
        for (int64_t i = 0; i < frames; ++i) {
            const double v = decoded[static_cast<size_t>(i * channels + c)];
            sum += v * v;
        }
        const double amplitude = std::sqrt(2 * sum / static_cast<double>(frames));
        EXPECT_NEAR(amplitude, SurroundLevel(c), 0.03) << "channel " << c;
    }
}

std::vector<float> SurroundSignal(int rate, int64_t frames, const int* source_of_wav_channel) {
    const int channels = 6;
    std::vector<float> out(static_cast<size_t>(frames * channels));
    for (int64_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c)
            out[static_cast<size_t>(i * channels + source_of_wav_channel[c])] =
                static_cast<float>(SurroundLevel(c) * std::sin(2 * M_PI * 440.0 * i / rate));
    return out;
}

TEST(Channels, VorbisSurroundComesBackInWavOrder) {
    testaudio::TempDir dir;
    const int wav_order[] = {0, 1, 2, 3, 4, 5};
    const std::string wav = dir.File("surround.wav"), ogg = dir.File("surround.ogg");
    ASSERT_TRUE(
        testaudio::Write(wav, Format::WavFloat, 44100, 6, SurroundSignal(44100, 44100, wav_order)));
    // oggenc reorders WAV input into Vorbis order itself.
    if (!RunQuietly("oggenc -Q -q 6 -o '" + ogg + "' '" + wav + "'")) GTEST_SKIP() << "no oggenc";
    ExpectWavOrderLevels(ogg);
}

TEST(Channels, OpusSurroundComesBackInWavOrder) {
    testaudio::TempDir dir;
    // libsndfile writes its input as the file's (Vorbis) order, so the signal is
    // given in that order: WAV channel c goes to Vorbis position vorbis_of_wav[c].
    const int vorbis_of_wav[] = {0, 2, 1, 5, 3, 4};
    const std::string opus = dir.File("surround.opus");
    ASSERT_TRUE(testaudio::Write(opus, Format::Opus, 48000, 6,
                                 SurroundSignal(48000, 48000, vorbis_of_wav)));
    ExpectWavOrderLevels(opus);
}

// The pages of an Ogg file: each its header (lacing values included) and its body.
struct OggPage {
    std::vector<unsigned char> header, body;
};

std::vector<OggPage> OggPages(const std::vector<unsigned char>& bytes) {
    std::vector<OggPage> pages;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    char* buffer = ogg_sync_buffer(&sync, static_cast<long>(bytes.size()));
    std::memcpy(buffer, bytes.data(), bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
    ogg_page page;
    while (ogg_sync_pageout(&sync, &page) == 1) {
        pages.push_back(
            {{page.header, page.header + page.header_len}, {page.body, page.body + page.body_len}});
    }
    ogg_sync_clear(&sync);
    return pages;
}

// The file of `pages`, their checksums computed again.
std::vector<unsigned char> OggBytes(std::vector<OggPage>& pages) {
    std::vector<unsigned char> bytes;
    for (OggPage& p : pages) {
        ogg_page page{p.header.data(), static_cast<long>(p.header.size()), p.body.data(),
                      static_cast<long>(p.body.size())};
        ogg_page_checksum_set(&page);
        bytes.insert(bytes.end(), p.header.begin(), p.header.end());
        bytes.insert(bytes.end(), p.body.begin(), p.body.end());
    }
    return bytes;
}

// Opus is decoded packet by packet with libopus; every sample is the one libsndfile's
// own reading gives (surround in WAV order), at each rate the codec decodes at and for
// files of two muxers (libsndfile's and FFmpeg's), and a seek gives the samples of
// the decode from the start. A stream cut from a longer one has granule positions
// that count on from where it was cut.
TEST(Opus, DecodesAsLibsndfileReadsIt) {
    testaudio::TempDir dir;
    struct Case {
        int rate, channels;
        bool ffmpeg;
        int64_t startGranule;  // added to every audio page's granule position
    };
    const Case cases[] = {{8000, 1, false, 0},  {12000, 2, false, 0},   {16000, 1, false, 0},
                          {24000, 2, false, 0}, {48000, 1, false, 0},   {48000, 2, true, 0},
                          {48000, 1, true, 0},  {48000, 2, true, 4800}, {16000, 1, false, 96000},
                          {48000, 6, false, 0}, {24000, 6, false, 9600}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) +
                     (c.ffmpeg ? " channels, FFmpeg" : " channels, libsndfile") + ", starting at " +
                     std::to_string(c.startGranule));
        const int64_t frames = 3 * c.rate + 999;
        const std::string path = dir.File("case.opus");
        if (c.ffmpeg) {
            const std::string wav = dir.File("case.wav");
            ASSERT_TRUE(testaudio::Write(wav, Format::Wav, c.rate, c.channels,
                                         TestSignal(c.rate, c.channels, frames)));
            if (!RunQuietly("ffmpeg -nostdin -v error -y -i " + wav + " -c:a libopus " + path)) {
                ADD_FAILURE() << "ffmpeg cannot write Opus";
                continue;
            }
        } else {
            ASSERT_TRUE(testaudio::Write(path, Format::Opus, c.rate, c.channels,
                                         TestSignal(c.rate, c.channels, frames)));
        }
        SF_INFO info{};
        SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(sf, nullptr);
        std::vector<float> expected(static_cast<size_t>(info.frames * info.channels));
        EXPECT_EQ(sf_readf_float(sf, expected.data(), info.frames), info.frames);
        sf_close(sf);
        if (const int* order = c.channels > 2 ? ae::VorbisToWavOrder(c.channels) : nullptr) {
            const std::vector<float> vorbis = expected;
            for (size_t f = 0; f < expected.size() / c.channels; ++f) {
                for (int ch = 0; ch < c.channels; ++ch)
                    expected[f * c.channels + ch] = vorbis[f * c.channels + order[ch]];
            }
        }
        // Shifted after libsndfile's reading: it does not drop the pre-skip of such a
        // stream.
        if (c.startGranule != 0) {
            std::vector<OggPage> pages = OggPages(ReadBytes(path));
            for (size_t p = 2; p < pages.size(); ++p) {
                unsigned char* granule = pages[p].header.data() + 6;
                int64_t value = 0;
                for (int i = 7; i >= 0; --i) value = value << 8 | granule[i];
                if (value < 0) continue;
                value += c.startGranule;
                for (int i = 0; i < 8; ++i) granule[i] = static_cast<unsigned char>(value >> 8 * i);
            }
            WriteBytes(path, OggBytes(pages));
        }

        auto opened = ae::OpenDecoder(path);
        ASSERT_TRUE(opened.ok()) << "error " << opened.code();
        std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
        EXPECT_EQ(decoder->info().rate, info.samplerate);
        ASSERT_EQ(decoder->info().frames, info.frames);
        const std::vector<float> decoded = DecodeRest(*decoder);
        ASSERT_EQ(decoded.size(), expected.size());
        EXPECT_EQ(std::memcmp(decoded.data(), expected.data(), expected.size() * sizeof(float)), 0);
        for (const int64_t target : {info.frames - 1, info.frames / 2, int64_t{1}}) {
            ASSERT_TRUE(decoder->Seek(target));
            float frame[8];
            ASSERT_EQ(decoder->Read(frame, 1), 1);
            EXPECT_EQ(std::memcmp(frame, &expected[static_cast<size_t>(target * c.channels)],
                                  sizeof(float) * static_cast<size_t>(c.channels)),
                      0)
                << "seek to " << target;
        }
    }
}

// An Ogg page holding one whole packet of under 255 bytes (its checksum is set by
// OggBytes).
OggPage OnePacketPage(uint32_t serial, uint32_t sequence, unsigned char flags,
                      const std::vector<unsigned char>& packet) {
    std::vector<unsigned char> header = {'O', 'g', 'g', 'S', 0, flags};
    header.resize(27 + 1);
    for (int i = 0; i < 4; ++i) {
        header[14 + i] = static_cast<unsigned char>(serial >> 8 * i);
        header[18 + i] = static_cast<unsigned char>(sequence >> 8 * i);
    }
    header[26] = 1;
    header[27] = static_cast<unsigned char>(packet.size());
    return {header, packet};
}

// The bytes of a file whose second part reuses the first's serial number, read in
// pieces of any size and place (the fields of a page header split between two reads
// included), show that part's pages with their new number and a checksum to match,
// as if written so; a page damaged in the file is left as it is, so that it is still
// found damaged.
TEST(OggRenumbering, RewritesTheWholePagesOfTheRangeInAnyRead) {
    testaudio::TempDir dir;
    const std::string one = dir.File("one.ogg"), joined = dir.File("joined.ogg");
    ASSERT_TRUE(testaudio::Write(one, Format::OggVorbis, 44100, 2, TestSignal(44100, 2, 441000)));
    std::vector<OggPage> pages = OggPages(ReadBytes(one));
    ASSERT_GT(pages.size(), 6u);
    const auto serial = [&](uint32_t value) {
        for (OggPage& page : pages)
            for (int i = 0; i < 4; ++i)
                page.header[14 + i] = static_cast<unsigned char>(value >> 8 * i);
        return OggBytes(pages);
    };
    std::vector<unsigned char> file = serial(7), expected = serial(9);
    const int64_t second = static_cast<int64_t>(file.size());
    const std::vector<unsigned char> first = file;
    file.insert(file.end(), first.begin(), first.end());
    expected.insert(expected.begin(), first.begin(), first.end());
    // A byte of the body of the second part's fourth page.
    size_t damaged = static_cast<size_t>(second);
    for (size_t p = 0; p < 3; ++p) damaged += pages[p].header.size() + pages[p].body.size();
    const size_t damagedEnd = damaged + pages[3].header.size() + pages[3].body.size();
    file[damagedEnd - 1] ^= 0x55;
    std::copy(file.begin() + static_cast<long>(damaged),
              file.begin() + static_cast<long>(damagedEnd),
              expected.begin() + static_cast<long>(damaged));
    WriteBytes(joined, file);

    auto source = ae::FileSource::Open(joined);
    ASSERT_TRUE(source.ok());
    ae::OggRenumbering renumbering;
    renumbering.Add(second, static_cast<int64_t>(file.size()), 7, 9);
    std::mt19937 rng(1);
    std::vector<unsigned char> read(file.size());
    for (int i = 0; i < 3000; ++i) {
        const int64_t at = static_cast<int64_t>(rng() % file.size());
        const int64_t length = std::min<int64_t>(1 + rng() % (i % 2 ? 40 : 70000),
                                                 static_cast<int64_t>(file.size()) - at);
        ASSERT_EQ(source.value()->ReadAt(at, read.data(), length), length);
        renumbering.Apply(*source.value(), at, read.data(), length);
        ASSERT_EQ(std::memcmp(read.data(), &expected[static_cast<size_t>(at)],
                              static_cast<size_t>(length)),
                  0)
            << length << " bytes from " << at;
    }
}

// Ogg Opus and Vorbis streams chained one after another (each with its own headers
// and serial number) play whole, each at its own time: the samples are those of each
// stream decoded alone (a mono one on both channels of a stereo chain), and a seek
// anywhere lands on the samples of the decode from the start. At mixed rates a chain
// decodes at the highest (Vorbis streams resampled to it). An Ogg Skeleton in front of
// a stream changes nothing. A chain ends before a stream that cannot go on with it
// (another layout, a damaged header), and what comes before plays. Streams that reuse
// an earlier one's serial number (joined from an encoder that gives every file the
// same) play in turn as well.
TEST(OggChains, EveryStreamPlaysInTurn) {
    testaudio::TempDir dir;
    struct Link {
        int rate, channels;
        int64_t frames;
        // What a damaged Vorbis header and last page claim instead, when not 0.
        int64_t claimedRate = 0, claimedEnd = 0;
        // A Vorbis setup header that decodes but holds a codebook libvorbis cannot
        // build: its first book's first three entries one bit long, an over-full code.
        bool unbuildableBook = false;
        // Junk in front of its first page that looks like the header of a page long
        // enough to hide that first page.
        bool junkBefore = false;
    };
    constexpr Format kOpus = Format::Opus, kVorbis = Format::OggVorbis;
    const struct {
        Format format;
        bool skeleton;
        int rate, channels;
        size_t plays;  // the streams that play
        std::vector<Link> links;
        size_t serials = 0;  // when not 0, stream k's serial number is k % serials + 1
    } cases[] = {
        {kOpus, false, 48000, 2, 2, {{48000, 2, 72000}, {48000, 2, 96123}}},
        {kOpus, false, 48000, 2, 3, {{48000, 1, 48000}, {48000, 2, 60000}, {48000, 1, 30001}}},
        {kOpus, false, 24000, 1, 2, {{16000, 1, 16000}, {24000, 1, 24000}}},
        {kOpus, false, 48000, 6, 2, {{48000, 6, 48000}, {48000, 6, 50000}}},
        {kOpus, true, 48000, 2, 1, {{48000, 2, 96000}}},
        {kOpus, true, 48000, 2, 2, {{48000, 2, 48000}, {48000, 1, 30000}}},
        {kOpus, false, 48000, 6, 1, {{48000, 6, 48000}, {48000, 2, 30000}}},
        {kOpus, false, 48000, 2, 1, {{48000, 2, 48000}, {48000, 6, 30000}}},
        {kVorbis, false, 44100, 2, 2, {{44100, 2, 44117}, {44100, 2, 50000}}},
        {kVorbis, false, 44100, 2, 3, {{44100, 1, 30000}, {44100, 2, 40000}, {44100, 1, 20000}}},
        {kVorbis, false, 44100, 2, 2, {{44100, 2, 30000}, {22050, 2, 20000}}},
        {kVorbis, false, 48000, 2, 3, {{44100, 1, 30000}, {48000, 2, 40000}, {22050, 2, 20000}}},
        {kVorbis, false, 44100, 2, 2, {{8000, 1, 4000}, {44100, 2, 50000}}},
        {kVorbis, false, 44100, 2, 1, {{44100, 2, 30000}, {48000, 2, 20000, 3000000000}}},
        {kVorbis, false, 44100, 2, 1, {{44100, 2, 30000}, {22050, 2, 60000, 0, int64_t{1} << 48}}},
        {kVorbis, false, 44100, 2, 1, {{44100, 2, 30000}, {44100, 2, 9000, 0, 0, true}}},
        {kVorbis, false, 44100, 2, 0, {{44100, 2, 9000, 0, 0, true}}},
        {kVorbis, false, 44100, 2, 1, {{44100, 2, 30000}, {44100, 2, 9000, 0, 0, true, true}}},
        {kVorbis, true, 44100, 2, 1, {{44100, 2, 50000}}},
        {kOpus, false, 48000, 2, 2, {{48000, 2, 48000}, {48000, 2, 30000}}, 1},
        {kVorbis, false, 44100, 2, 2, {{44100, 2, 44117}, {44100, 2, 50000}}, 1},
        {kVorbis, false, 48000, 2, 3, {{44100, 1, 30000}, {48000, 2, 40000}, {22050, 2, 20000}}, 2},
        {kVorbis, true, 44100, 2, 3, {{44100, 2, 30000}, {44100, 2, 20000}, {44100, 2, 9000}}, 1},
        {kVorbis, false, 44100, 2, 1, {{44100, 2, 30000}, {44100, 2, 9000, 0, 0, true}}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.format)) + ", " +
                     std::to_string(c.links.size()) + " streams, first at " +
                     std::to_string(c.links[0].rate) + (c.skeleton ? " Hz, with Skeleton" : " Hz"));
        const std::string path = dir.File("chain");
        std::vector<unsigned char> file;
        std::vector<float> expected;  // the streams decoded alone, at the chain's rate
        bool exact = true, resampled = false;
        int64_t frames = 0;
        std::vector<int64_t> bounds;
        for (size_t k = 0; k < c.links.size(); ++k) {
            const Link& l = c.links[k];
            const std::string one = dir.File("one");
            ASSERT_TRUE(testaudio::Write(one, c.format, l.rate, l.channels,
                                         TestSignal(l.rate, l.channels, l.frames)));
            if (k < c.plays) {
                auto alone = ae::OpenDecoder(one);
                ASSERT_TRUE(alone.ok());
                const std::vector<float> decoded = DecodeRest(*alone.value());
                std::vector<float> part;  // on the chain's channels, at the chain's rate
                for (size_t f = 0; f < decoded.size() / l.channels; ++f) {
                    for (int ch = 0; ch < c.channels; ++ch)
                        part.push_back(decoded[f * l.channels + (ch % l.channels)]);
                }
                if (l.rate != c.rate && c.format == kVorbis) {
                    // The decoder resamples the stream: sox's resampler is the reference.
                    const std::string wav = dir.File("part.wav"), re = dir.File("re.wav");
                    ASSERT_TRUE(testaudio::Write(wav, Format::WavFloat, l.rate, c.channels, part));
                    ASSERT_TRUE(RunQuietly("sox '" + wav + "' -r " + std::to_string(c.rate) + " '" +
                                           re + "'"));
                    auto reference = ae::OpenDecoder(re);
                    ASSERT_TRUE(reference.ok());
                    part = DecodeRest(*reference.value());
                    part.resize(static_cast<size_t>((l.frames * c.rate + l.rate / 2) / l.rate) *
                                c.channels);
                    resampled = true;
                }
                expected.insert(expected.end(), part.begin(), part.end());
                exact = exact && l.rate == c.rate;
                bounds.push_back(frames);
                frames += (l.frames * c.rate + l.rate / 2) / l.rate;
            }
            std::vector<OggPage> pages = OggPages(ReadBytes(one));
            for (OggPage& page : pages) {
                std::fill(page.header.begin() + 14, page.header.begin() + 18, 0);
                page.header[14] = static_cast<unsigned char>(c.serials ? k % c.serials + 1 : k + 1);
            }
            for (int i = 0; i < 8; ++i) {
                if (l.claimedRate && i < 4)
                    pages[0].body[12 + i] = static_cast<unsigned char>(l.claimedRate >> 8 * i);
                if (l.claimedEnd)
                    pages.back().header[6 + i] = static_cast<unsigned char>(l.claimedEnd >> 8 * i);
            }
            for (OggPage& page : pages) {
                const unsigned char setup[] = {5, 'v', 'o', 'r', 'b', 'i', 's'};
                const auto at = std::search(page.body.begin(), page.body.end(), setup, setup + 7);
                if (!l.unbuildableBook || at == page.body.end()) continue;
                // Bits, least significant first: the count of books, then the first
                // book's sync, dimensions, entries, ordered and sparse flags, lengths.
                size_t bit = static_cast<size_t>(at - page.body.begin()) * 8 + 128;
                const auto get = [&](size_t b) { return page.body[b / 8] >> (b % 8) & 1; };
                const auto put = [&](size_t b, int v) {
                    page.body[b / 8] = static_cast<unsigned char>(
                        (page.body[b / 8] & ~(1 << (b % 8))) | v << (b % 8));
                };
                ASSERT_EQ(get(bit), 0) << "an ordered first codebook";
                const bool sparse = get(bit + 1);
                bit += 2;
                for (int entry = 0; entry < 3; ++entry) {
                    if (sparse) put(bit++, 1);
                    for (int i = 0; i < 5; ++i) put(bit++, 0);  // one less than the length
                }
            }
            if (c.skeleton) {
                const std::vector<unsigned char> fishead = {'f', 'i', 's', 'h', 'e', 'a',
                                                            'd', 0,   3,   0,   0,   0};
                pages.insert(pages.begin(), OnePacketPage(99, 0, 0x02, fishead));
                pages.insert(pages.begin() + 2, OnePacketPage(99, 1, 0x04, {}));
            }
            if (l.junkBefore) {
                std::vector<unsigned char> junk = {'O', 'g', 'g', 'S'};
                junk.resize(28);
                junk[26] = 1;    // one segment,
                junk[27] = 255;  // of 255 bytes
                file.insert(file.end(), junk.begin(), junk.end());
            }
            const std::vector<unsigned char> bytes = OggBytes(pages);
            file.insert(file.end(), bytes.begin(), bytes.end());
        }
        WriteBytes(path, file);

        auto opened = ae::OpenDecoder(path);
        if (c.plays == 0) {  // nothing a decoder can be made for
            EXPECT_FALSE(opened.ok());
            continue;
        }
        ASSERT_TRUE(opened.ok()) << "error " << opened.code();
        std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
        EXPECT_EQ(decoder->info().rate, c.rate);
        EXPECT_EQ(decoder->info().channels, c.channels);
        EXPECT_EQ(decoder->info().ctype, ExpectedCtype(c.format));
        ASSERT_EQ(decoder->info().frames, frames);
        const std::vector<float> decoded = DecodeRest(*decoder);
        ASSERT_EQ(decoded.size(), static_cast<size_t>(frames * c.channels));
        if (exact) {
            EXPECT_EQ(std::memcmp(decoded.data(), expected.data(), expected.size() * 4), 0);
        }
        // Within 1e-4 of sox's resampling, but at the edges of each stream, where the two
        // resamplers start and end differently: 16 frames at the lowest rate.
        const int64_t margin =
            16 * c.rate /
            std::min_element(c.links.begin(), c.links.end(), [](const Link& a, const Link& b) {
                return a.rate < b.rate;
            })->rate;
        for (int64_t f = 0; resampled && f < frames; ++f) {
            const bool edge = f >= frames - margin ||
                              std::any_of(bounds.begin(), bounds.end(),
                                          [&](int64_t b) { return std::abs(f - b) <= margin; });
            for (int ch = 0; ch < c.channels && !edge; ++ch) {
                const size_t i = static_cast<size_t>(f * c.channels + ch);
                ASSERT_NEAR(decoded[i], expected[i], 1e-4) << "frame " << f;
            }
        }
        std::vector<int64_t> targets = {1, frames - 1};
        for (size_t k = 0; k < bounds.size(); ++k) {
            const int64_t bound = bounds[k], end = k + 1 < bounds.size() ? bounds[k + 1] : frames;
            for (const int64_t target : {bound - 1, bound, bound + 777, (bound + end) / 2}) {
                if (target >= 0) targets.push_back(target);
            }
        }
        for (const int64_t target : targets) {
            ASSERT_TRUE(decoder->Seek(target)) << "seek to " << target;
            std::vector<float> block(64 * c.channels);
            const int64_t n = std::min<int64_t>(64, frames - target);
            ASSERT_EQ(decoder->Read(block.data(), n), n);
            // A resampler started anew lands on the same samples but for float rounding.
            for (int64_t i = 0; i < n * c.channels; ++i) {
                ASSERT_NEAR(block[i], decoded[target * c.channels + i], resampled ? 1e-6 : 0)
                    << "seek to " << target;
            }
        }
    }
}

// Damage in the middle of a file loses the audio it touches and no more: the stream
// keeps its length, and what follows plays at its own time with the samples of the
// undamaged file (its last `endSeconds`), and a seek past the damage lands on them.
// Opus conceals the damaged page's second and decodes again from the next page (its
// decoder has settled a second later), or from the page after a bad packet; Vorbis
// places audio again at the end of the next whole page, about a second on in
// libsndfile's pages; the others are silent there.
TEST(EachCodec, DamageLosesOnlyTheAudioItTouches) {
    testaudio::TempDir dir;
    enum class Damage {
        PayloadByte,        // a byte of a frame's payload
        Checksum,           // a byte of an Ogg page's body, failing its checksum
        PageHeader,         // an Ogg page's capture pattern
        MissingPage,        // an Ogg page left out
        NumberingGap,       // Ogg page sequence numbers skip one; no data lost
        StartFlag,          // an Ogg page flagged as its stream's first; no data lost
        UndecodablePacket,  // an Opus packet with code 3 and no frame count
        GranuleBits,        // an Ogg page's granule position with a bit cleared: it goes back
        HugeGranuleAfter,   // Checksum, and the next page's granule position made huge
        CutStreamStart,     // Checksum on the first audio page of a stream cut from a longer one
        FrameSync,          // an MP3 frame header's sync byte
        BitRateBits,        // an MP3 frame header's bit rate index made invalid
        SampleRateBits,     // an MP3 frame header's sample rate index made reserved
        ChannelMode,        // an MP3 frame header made mono in a stereo stream
        LayerBits,          // an MP3 frame header's layer made reserved
        PaddingBit,         // an unpadded MP3 frame's padding bit set: valid, one byte long
    };
    const struct {
        Format format;
        Damage damage;
        int seconds;
        double endSeconds;
        bool seekPast;
    } cases[] = {
        {Format::Flac, Damage::PayloadByte, 4, 0.75, true},
        {Format::Mp3, Damage::PayloadByte, 4, 0.75, true},
        {Format::Mp3, Damage::FrameSync, 4, 0.75, true},
        {Format::Mp3, Damage::BitRateBits, 4, 0.75, true},
        {Format::Mp3, Damage::SampleRateBits, 4, 0.75, true},
        {Format::Mp3, Damage::ChannelMode, 4, 0.75, true},
        {Format::Mp3, Damage::LayerBits, 4, 0.75, true},
        {Format::Mp3, Damage::PaddingBit, 4, 0.75, true},
        {Format::OggVorbis, Damage::Checksum, 4, 0.75, true},
        {Format::OggVorbis, Damage::MissingPage, 4, 0.75, true},
        {Format::OggVorbis, Damage::NumberingGap, 4, 0.75, true},
        {Format::OggVorbis, Damage::StartFlag, 4, 4, true},
        {Format::Opus, Damage::Checksum, 6, 3, false},
        {Format::Opus, Damage::PageHeader, 6, 3, false},
        {Format::Opus, Damage::MissingPage, 6, 3, false},
        {Format::Opus, Damage::UndecodablePacket, 6, 2, false},
        {Format::Opus, Damage::GranuleBits, 6, 3, true},
        {Format::Opus, Damage::HugeGranuleAfter, 6, 2, false},
        {Format::Opus, Damage::CutStreamStart, 6, 3, false},
        {Format::Opus, Damage::StartFlag, 6, 6, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.format)) + ", damage " +
                     std::to_string(static_cast<int>(c.damage)));
        const bool opus = c.format == Format::Opus;
        const int rate = RateFor(c.format);
        const int64_t frames = c.seconds * rate + (opus ? 0 : 123);
        const std::string clean = dir.File("clean"), damaged = dir.File("damaged");
        ASSERT_FALSE(WriteTestFile(clean, c.format, 2, frames).empty());
        auto opened = ae::OpenDecoder(clean);
        ASSERT_TRUE(opened.ok());
        const std::vector<float> expected = DecodeRest(*opened.value());
        ASSERT_EQ(static_cast<int64_t>(expected.size()), frames * 2);

        std::vector<unsigned char> bytes = ReadBytes(clean);
        if (c.format == Format::OggVorbis || opus) {
            std::vector<OggPage> pages = OggPages(bytes);
            ASSERT_GT(pages.size(), opus ? 7u : 4u);
            if (c.damage == Damage::CutStreamStart) {
                // Its granule positions count on from 9.6 s before, and an Ogg
                // Skeleton in front has libsndfile refuse it: the decoder times it alone.
                for (size_t p = 2; p < pages.size(); ++p) pages[p].header[8] += 7;  // 458752
                pages.insert(
                    pages.begin(),
                    OnePacketPage(99, 0, 0x02, {'f', 'i', 's', 'h', 'e', 'a', 'd', 0, 3, 0, 0, 0}));
                pages.insert(pages.begin() + 2, OnePacketPage(99, 1, 0x04, {}));
            }
            // Opus: the second page of audio, about a second in; or the first.
            const size_t hit = c.damage == Damage::CutStreamStart ? 4 : opus ? 3 : pages.size() / 2;
            if (c.damage == Damage::MissingPage) pages.erase(pages.begin() + hit);
            for (size_t p = hit; c.damage == Damage::NumberingGap && p < pages.size(); ++p)
                ++pages[p].header[18];
            if (c.damage == Damage::StartFlag) pages[hit].header[5] |= 0x02;
            if (c.damage == Damage::UndecodablePacket) {
                pages[hit].body[0] |= 3;
                pages[hit].body[1] = 0;
            }
            bytes = OggBytes(pages);
            size_t at = 0;  // where the page hit begins
            for (size_t p = 0; p < hit; ++p) at += pages[p].header.size() + pages[p].body.size();
            const size_t next = at + pages[hit].header.size() + pages[hit].body.size();
            if (c.damage == Damage::Checksum || c.damage == Damage::HugeGranuleAfter ||
                c.damage == Damage::CutStreamStart)
                bytes[at + pages[hit].header.size() + pages[hit].body.size() / 2] ^= 0x55;
            if (c.damage == Damage::HugeGranuleAfter) bytes[next + 13] = 0x7F;
            if (c.damage == Damage::PageHeader) bytes[at + 1] ^= 0x55;
            // The highest bit set in the granule position (header bytes 6 to 13), its
            // checksum failing.
            for (int i = 13; c.damage == Damage::GranuleBits && i >= 6; --i) {
                if (bytes[at + i] == 0) continue;
                unsigned char top = 0x80;
                while ((bytes[at + i] & top) == 0) top >>= 1;
                bytes[at + i] ^= top;
                break;
            }
        } else if (c.damage != Damage::PayloadByte) {
            // One byte of the header of the frame in the middle, found by walking
            // the frames from the first.
            std::vector<size_t> starts;
            ae::MpegHeader header;
            for (size_t at = 0; at + 4 <= bytes.size() &&
                                ae::ParseMpegHeader(&bytes[at], &header) && header.frameBytes > 0;
                 at += static_cast<size_t>(header.frameBytes))
                starts.push_back(at);
            ASSERT_GT(starts.size(), 100u);
            size_t hit = starts.size() / 2;
            while (c.damage == Damage::PaddingBit && (bytes[starts[hit] + 2] & 2) != 0 &&
                   hit + 1 < starts.size())
                ++hit;
            unsigned char* h = &bytes[starts[hit]];
            if (c.damage == Damage::FrameSync) h[0] ^= 0x55;
            if (c.damage == Damage::BitRateBits) h[2] |= 0xF0;
            if (c.damage == Damage::SampleRateBits) h[2] |= 0x0C;
            if (c.damage == Damage::ChannelMode) h[3] |= 0xC0;
            if (c.damage == Damage::LayerBits) h[1] &= 0xF9;
            if (c.damage == Damage::PaddingBit) h[2] |= 0x02;
        } else {
            // None of the four bytes before it starts a frame header (0xFF), and it
            // does not become 0xFF.
            size_t at = bytes.size() / 2;
            while (std::find(&bytes[at - 4], &bytes[at + 1], 0xFF) != &bytes[at + 1] ||
                   bytes[at] == 0xAA)
                ++at;
            bytes[at] ^= 0x55;
        }
        WriteBytes(damaged, bytes);

        opened = ae::OpenDecoder(damaged);
        ASSERT_TRUE(opened.ok()) << "error " << opened.code();
        std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
        ASSERT_EQ(decoder->info().frames, frames);
        const std::vector<float> decoded = DecodeRest(*decoder);
        ASSERT_EQ(decoded.size(), expected.size());
        const size_t tail = static_cast<size_t>(frames - std::lround(c.endSeconds * rate)) * 2;
        EXPECT_EQ(std::memcmp(&decoded[tail], &expected[tail], (expected.size() - tail) * 4), 0);
        if (!c.seekPast) continue;
        for (const int64_t target : {frames - rate / 2, static_cast<int64_t>(tail / 2)}) {
            ASSERT_TRUE(decoder->Seek(target));
            std::vector<float> block(2000);
            ASSERT_EQ(decoder->Read(block.data(), 1000), 1000);
            EXPECT_EQ(std::memcmp(block.data(), &expected[static_cast<size_t>(target) * 2], 8000),
                      0)
                << "seek to " << target;
        }
    }
}

// MP3 from the lame encoder itself, tagged afterwards with id3v2: the tag is skipped,
// the LAME header's delay and padding are removed, and seeks land on the samples of
// the decode from the start, for small frames too (whose bit reservoir reaches many
// frames back): within float rounding, exactly for the usual bit rates.
TEST(Mp3, LameEncodedFileWithId3v2TagIsGaplessAndExact) {
    testaudio::TempDir dir;
    // A steady tone makes VBR frames small: their data reaches furthest back.
    const struct {
        const char* lame;
        int rate, channels;
        double tone;  // Hz; 0 for TestSignal
        float tolerance;
    } cases[] = {
        {"-b 128 --cbr", 44100, 2, 0, 0.0f},
        {"-V 7", 32000, 2, 192, 1e-6f},
        {"-V 9", 22050, 1, 300, 1e-6f},  // MPEG-2
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lame);
        const int64_t frames = 3 * c.rate + 17;
        const std::string wav = dir.File("in.wav"), mp3 = dir.File("tagged.mp3");
        std::vector<float> source = TestSignal(c.rate, c.channels, frames);
        for (size_t i = 0; c.tone > 0 && i < source.size(); ++i) {
            const double t = static_cast<double>(i / c.channels) / c.rate;
            source[i] = static_cast<float>(0.7 * std::sin(2 * M_PI * c.tone * t));
        }
        ASSERT_TRUE(testaudio::Write(wav, Format::Wav, c.rate, c.channels, source));
        if (!RunQuietly(std::string("lame --quiet ") + c.lame + " '" + wav + "' '" + mp3 + "'") ||
            !RunQuietly("id3v2 -a 'Some Artist' -t 'Some Title' -y 2001 -T 3/12 '" + mp3 + "'"))
            GTEST_SKIP() << "lame or id3v2 missing";
        const std::vector<unsigned char> bytes = ReadBytes(mp3);
        ASSERT_GT(bytes.size(), 10u);
        ASSERT_EQ(std::memcmp(bytes.data(), "ID3", 3), 0);

        auto opened = ae::OpenDecoder(mp3);
        ASSERT_TRUE(opened.ok()) << "error " << opened.code();
        std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
        EXPECT_EQ(decoder->info().frames, frames);
        EXPECT_EQ(decoder->info().rate, c.rate);
        EXPECT_EQ(decoder->info().ctype, BASS_CTYPE_STREAM_MP3);
        const std::vector<float> decoded = DecodeRest(*decoder);
        ASSERT_EQ(static_cast<int64_t>(decoded.size()), frames * c.channels);
        EXPECT_EQ(BestLag(source, decoded, c.channels, 64), 0);

        std::vector<float> block(static_cast<size_t>(c.channels) * 500);
        for (int64_t target = 1; target < frames - 500; target += frames / 97 + 13) {
            ASSERT_TRUE(decoder->Seek(target));
            ASSERT_EQ(decoder->Read(block.data(), 500), 500);
            float worst = 0;
            for (size_t i = 0; i < block.size(); ++i)
                worst = std::max(worst, std::fabs(block[i] - decoded[target * c.channels + i]));
            EXPECT_LE(worst, c.tolerance) << "seek to " << target;
        }
    }
}

// Bytes around and between the frames (junk left by rippers or a broken download in
// front, padding behind, a stray block between) do not hide the stream nor change it:
// it plays as without them. Where the bytes make a frame as long as one of another bit
// rate, its header is left as it is: padding after the last frame (a Layer II frame's
// bit rate chooses how its payload is read), or bytes after a small frame that end it,
// at another bit rate, where a later frame than the next starts (which it would
// swallow).
TEST(Mp3, BytesAroundAndBetweenTheFramesAreSkipped) {
    testaudio::TempDir dir;
    const std::string mp3 = dir.File("clean.mp3"), wav = dir.File("in.wav"),
                      small = dir.File("small.mp3"), mp2 = dir.File("clean.mp2"),
                      junky = dir.File("junky");
    ASSERT_FALSE(WriteTestFile(mp3, Format::Mp3, 2, 30000).empty());
    ASSERT_FALSE(WriteTestFile(wav, Format::Wav, 2, 30000).empty());
    if (!RunQuietly("ffmpeg -v error -i '" + wav + "' -c:a mp2 -b:a 64k -ar 48000 -f mp2 '" + mp2 +
                    "'") ||
        !RunQuietly("lame --quiet -b 32 --resample 44.1 '" + wav + "' '" + small + "'"))
        GTEST_SKIP() << "ffmpeg or lame missing";
    CapturedOutput output;  // libmpg123 would note the junk on stderr unless quiet
    for (const std::string& clean : {mp3, mp2, small}) {
        SCOPED_TRACE(clean);
        auto opened = ae::OpenDecoder(clean);
        ASSERT_TRUE(opened.ok()) << "error " << opened.code();
        const int64_t frames = opened.value()->info().frames;
        const std::vector<float> reference = DecodeRest(*opened.value());
        const std::vector<unsigned char> audio = ReadBytes(clean);
        std::vector<size_t> starts;
        ae::MpegHeader header;
        for (size_t at = 0; at + 4 <= audio.size() && ae::ParseMpegHeader(&audio[at], &header) &&
                            header.frameBytes > 0;
             at += static_cast<size_t>(header.frameBytes))
            starts.push_back(at);
        ASSERT_GT(starts.size(), 10u);
        // The lengths the stream's frames have at its bit rates.
        std::vector<size_t> lengths;
        for (int index = 1; index < 15; ++index) {
            for (int padding = 0; padding < 2; ++padding) {
                unsigned char other[4];
                std::memcpy(other, &audio[starts.back()], 4);
                other[2] =
                    static_cast<unsigned char>(index << 4 | (other[2] & 0x0D) | padding << 1);
                if (ae::ParseMpegHeader(other, &header))
                    lengths.push_back(static_cast<size_t>(header.frameBytes));
            }
        }
        const auto length = [&](size_t from, size_t to, size_t junk) {
            return std::find(lengths.begin(), lengths.end(), starts[to] - starts[from] + junk) !=
                   lengths.end();
        };
        // Padding after the last frame as long as it would grow at twice its bit rate.
        const size_t last = starts.size() - 1;
        ASSERT_TRUE(ae::ParseMpegHeader(&audio[starts[last]], &header));
        ASSERT_EQ(starts[last] + static_cast<size_t>(header.frameBytes), audio.size());
        const int faster = std::min(14, (audio[starts[last] + 2] >> 4) + 4);
        unsigned char grown[4];
        std::memcpy(grown, &audio[starts[last]], 4);
        grown[2] = static_cast<unsigned char>(faster << 4 | (grown[2] & 0x0F));
        ae::MpegHeader longer;
        ASSERT_TRUE(ae::ParseMpegHeader(grown, &longer));
        const size_t padding = static_cast<size_t>(longer.frameBytes - header.frameBytes);
        // Whether bytes after the frame in the middle make it end, at some bit rate,
        // where a frame starts: a later one than the next (`later`), or any.
        const size_t middle = starts.size() / 2;
        const auto reaches = [&](size_t bytes, bool later) {
            for (size_t end = middle + 1;
                 end < starts.size() && starts[end] - starts[middle] < 3000; ++end)
                if (length(middle, end, bytes)) return !later || end > middle + 1;
            return false;
        };
        size_t between = 1, quiet = 20;
        while (between < 3000 && !reaches(between, true)) ++between;
        while (reaches(quiet, false)) ++quiet;
        if (clean == small) {
            ASSERT_LT(between, 3000u);
        }
        if (between == 3000) between = 0;
        // The file with bytes before, between (zeros, or an ID3v2 tag) and after the
        // frames: its length and samples.
        const auto decode = [&](size_t before, size_t inside, bool tag, size_t after) {
            std::vector<unsigned char> bytes(before, 0);
            for (size_t i = 0; i < before; ++i) bytes[i] = static_cast<unsigned char>(i * 7 % 251);
            bytes.insert(bytes.end(), audio.begin(), audio.end());
            std::vector<unsigned char> block(inside, 0);
            if (tag) {  // an ID3v2.3 header, the size in 7-bit bytes
                std::memcpy(block.data(), "ID3\3\0\0\0", 8);
                block[8] = static_cast<unsigned char>((inside - 10) >> 7);
                block[9] = static_cast<unsigned char>((inside - 10) & 0x7F);
            }
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(before + starts[middle + 1]),
                         block.begin(), block.end());
            bytes.resize(bytes.size() + after, 0);
            WriteBytes(junky, bytes);
            auto decoder = ae::OpenDecoder(junky);
            EXPECT_TRUE(decoder.ok()) << "error " << decoder.code();
            if (!decoder.ok()) return std::make_pair(int64_t{0}, std::vector<float>());
            return std::make_pair(decoder.value()->info().frames, DecodeRest(*decoder.value()));
        };
        // The decoder may lose frames whose data reaches back across bytes between
        // them (what follows plays at its own time), and starts afresh after a tag:
        // against a tag no length reaches.
        const std::vector<float> afterTag = decode(0, quiet, true, 0).second;
        const struct {
            size_t before, between, after;
            bool tag;  // the bytes between are an ID3v2 tag (files joined with theirs)
            const std::vector<float>& expected;
            size_t from;  // the first sample compared
        } cases[] = {{1, 0, 0, false, reference, 0},
                     {417, 0, 0, false, reference, 0},
                     {3000, 0, 0, false, reference, 0},
                     {0, between, 0, false, reference, reference.size() * 3 / 4},
                     {0, padding, 0, true, afterTag, 0},
                     {0, 0, padding, false, reference, 0}};
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(c.before) + " before, " + std::to_string(c.between) +
                         " between, " + std::to_string(c.after) + " after");
            const auto [stated, decoded] = decode(c.before, c.between, c.tag, c.after);
            EXPECT_EQ(stated, frames);
            ASSERT_EQ(decoded.size(), c.expected.size());
            EXPECT_TRUE(std::equal(decoded.begin() + static_cast<std::ptrdiff_t>(c.from),
                                   decoded.end(),
                                   c.expected.begin() + static_cast<std::ptrdiff_t>(c.from)));
        }
    }
    EXPECT_EQ(output.Finish(), "");
}

// Some taggers put an ID3v2 block in front of a FLAC stream; it is still FLAC.
TEST(Flac, Id3v2TagInFrontIsSkipped) {
    testaudio::TempDir dir;
    const std::string flac = dir.File("plain.flac"), tagged = dir.File("tagged");
    ASSERT_FALSE(WriteTestFile(flac, Format::Flac, 2, 30000).empty());
    std::vector<unsigned char> bytes = {'I', 'D', '3', 3, 0, 0, 0, 0, 1, 0};  // 128-byte body
    bytes.resize(10 + 128, 0);
    const std::vector<unsigned char> audio = ReadBytes(flac);
    bytes.insert(bytes.end(), audio.begin(), audio.end());
    WriteBytes(tagged, bytes);
    auto opened = ae::OpenDecoder(tagged);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
    EXPECT_EQ(decoder->info().ctype, BASS_CTYPE_STREAM_FLAC);
    EXPECT_EQ(decoder->info().frames, 30000);
    EXPECT_EQ(static_cast<int64_t>(DecodeRest(*decoder).size()), 30000 * 2);
}

// 24-bit FLAC from the reference encoder, native and in Ogg, decodes bit-exactly to
// the samples of the WAV it was made from, and seeks stay exact.
TEST(Flac, ReferenceEncoderFilesNativeAndOggAreBitExact) {
    testaudio::TempDir dir;
    const std::string wav16 = dir.File("in16.wav"), wav24 = dir.File("in24.wav");
    ASSERT_FALSE(WriteTestFile(wav16, Format::Wav, 2, 50000).empty());
    const std::string flac = dir.File("out.flac"), oga = dir.File("out.oga");
    if (!RunQuietly("sox '" + wav16 + "' -b 24 '" + wav24 + "' dither -s") ||
        !RunQuietly("flac -s -f -o '" + flac + "' '" + wav24 + "'") ||
        !RunQuietly("flac -s -f --ogg -o '" + oga + "' '" + wav24 + "'"))
        GTEST_SKIP() << "sox or flac missing";
    auto opened = ae::OpenDecoder(wav24);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    std::unique_ptr<ae::Decoder> reference_decoder = std::move(opened).value();
    const std::vector<float> reference = DecodeRest(*reference_decoder);
    ASSERT_EQ(reference.size(), 50000u * 2);

    for (const auto& [path, ctype] :
         {std::pair{flac, BASS_CTYPE_STREAM_FLAC}, std::pair{oga, BASS_CTYPE_STREAM_FLAC_OGG}}) {
        SCOPED_TRACE(path);
        auto opened_flac = ae::OpenDecoder(path);
        ASSERT_TRUE(opened_flac.ok()) << "error " << opened_flac.code();
        std::unique_ptr<ae::Decoder> decoder = std::move(opened_flac).value();
        EXPECT_EQ(decoder->info().ctype, ctype);
        EXPECT_EQ(decoder->info().origres, 24u);
        EXPECT_EQ(decoder->info().frames, 50000);
        EXPECT_EQ(DecodeRest(*decoder, 1000), reference);
        std::vector<float> block(2 * 300);
        for (int64_t target : {int64_t{4095}, int64_t{4096}, int64_t{33333}, int64_t{49700}}) {
            ASSERT_TRUE(decoder->Seek(target));
            ASSERT_EQ(decoder->Read(block.data(), 300), 300);
            EXPECT_TRUE(std::equal(block.begin(), block.end(), reference.begin() + target * 2))
                << target;
        }
    }
}

}  // namespace
}  // namespace decodetest
