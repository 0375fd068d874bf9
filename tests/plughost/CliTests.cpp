// SPDX-License-Identifier: MIT
// plughost run as a user runs it, with the real plug-in and engine on the null
// output, over audio files generated here.
#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <type_traits>

#include "tests/plughost/Process.h"
#include "tests/support/AudioFiles.h"

using plughosttest::Lines;
using plughosttest::Outcome;

namespace {

const std::string kPlughost = PLUGHOST_PATH;
const std::string kPlugin = PLUGIN_PATH;

struct Tags {
    const char* title;
    const char* artist;
    const char* album;
    const char* genre;
    const char* year;
    const char* track;
    const char* comment;
};
const Tags kTags = {"Tagged Title", "Test Artist", "Test Album",    "Ambient",
                    "2024",         "3/12",        "made in a test"};

// A mono FLAC with the seven tags, written through libsndfile's Vorbis comments.
bool WriteTaggedFlac(const std::string& path, int rate, double seconds) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    sf_set_string(file, SF_STR_TITLE, kTags.title);
    sf_set_string(file, SF_STR_ARTIST, kTags.artist);
    sf_set_string(file, SF_STR_ALBUM, kTags.album);
    sf_set_string(file, SF_STR_GENRE, kTags.genre);
    sf_set_string(file, SF_STR_DATE, kTags.year);
    sf_set_string(file, SF_STR_TRACKNUMBER, kTags.track);
    sf_set_string(file, SF_STR_COMMENT, kTags.comment);
    const auto frames = static_cast<int64_t>(rate * seconds);
    const auto samples = testaudio::Sine(rate, 1, frames, 440.0, 0.5);
    const bool ok = sf_writef_float(file, samples.data(), frames) == frames;
    return sf_close(file) == 0 && ok;
}

// The bit rate the plug-in reports: the file's bytes over the stream's duration
// (held in single precision), plus one half, rounded to the nearest even.
long ExpectedKbps(const std::string& path, double seconds) {
    struct stat info;
    stat(path.c_str(), &info);
    const float duration = static_cast<float>(seconds);
    return std::lrint(static_cast<double>(info.st_size) / (125.0 * duration) + 0.5);
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The part of a JSON array printed by `info --json` that describes one file.
std::string JsonObjectFor(const std::string& json, const std::string& file) {
    const auto start = json.find("\"file\": " + Quoted(file));
    if (start == std::string::npos) return "";
    return json.substr(start, json.find("\n  }", start) - start);
}

class Plughost : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new testaudio::TempDir;
        ASSERT_TRUE(testaudio::Write(Tone(), testaudio::Format::Wav, 44100, 2,
                                     testaudio::Sine(44100, 2, 88200, 1000.0, 0.5)));
        ASSERT_TRUE(testaudio::Write(Long(), testaudio::Format::Wav, 44100, 2,
                                     testaudio::Sine(44100, 2, 6 * 44100, 500.0, 0.25)));
        ASSERT_TRUE(testaudio::Write(Vorbis(), testaudio::Format::OggVorbis, 48000, 2,
                                     testaudio::Sine(48000, 2, 48000 * 5 / 2, 1000.0, 0.5)));
        ASSERT_TRUE(WriteTaggedFlac(Tagged(), 22050, 3.0));
        std::ofstream(Garbage()) << std::string(4096, 'x') << "not audio at all";
        std::ofstream(Empty()).close();
        mkdir(Folder().c_str(), 0755);
    }
    static void TearDownTestSuite() { delete dir_; }

    static std::string Tone() { return dir_->File("tone.wav"); }       // 2 s, 44100, stereo
    static std::string Long() { return dir_->File("long.wav"); }       // 6 s
    static std::string Vorbis() { return dir_->File("tone.ogg"); }     // 2.5 s, 48000
    static std::string Tagged() { return dir_->File("tagged.flac"); }  // 3 s, 22050, mono
    static std::string Garbage() { return dir_->File("garbage.mp3"); }
    static std::string Empty() { return dir_->File("empty.wav"); }
    static std::string Folder() { return dir_->File("folder.wav"); }
    static std::string Missing() { return dir_->File("missing.flac"); }

    static Outcome Plug(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--output", "null"});
        return plughosttest::Run(kPlughost, args, input);
    }

    static testaudio::TempDir* dir_;
};
testaudio::TempDir* Plughost::dir_ = nullptr;

// Runs a script from a file and compares its output line by line.
void ExpectTranscript(const std::string& script, const std::vector<std::string>& expected,
                      const std::string& scriptPath) {
    std::ofstream(scriptPath) << script;
    const Outcome run = plughosttest::Run(kPlughost, {"--output", "null", "script", scriptPath});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), expected.size()) << run.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (expected[i].rfind("~", 0) == 0)  // a pattern
            EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i].substr(1))))
                << "line " << i + 1 << ": " << lines[i];
        else
            EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
    }
}

}  // namespace

TEST_F(Plughost, ScriptReadsIdentityRegistersAndStreamFacts) {
    const std::string script =
        "# identity and registers right after start-up\n"
        "GetInfo\n"
        "GetType\n"
        "GetData\n"
        "GetFile\n"
        "Copyright\n"
        "SetData 1\n"
        "SetFile " +
        Quoted(Tone()) +
        "\n"
        "CreateChannel\n"
        "GetFreqChannel\n"
        "GetFile\n"
        "GetChansChannel\n"
        "GetFile\n"
        "GetLengthTimeChannel\n"
        "GetFile\n"
        "GetPosTimeChannel   # not started: at the top\n"
        "GetFile\n"
        "GetLevelChannel\n"
        "GetFile\n"
        "SetData 2\n"
        "SetFile " +
        Quoted(Tagged()) +
        "\n"
        "CreateChannel\n"
        "GetChansChannel\n"
        "GetFile\n"
        "GetFreqChannel\n"
        "GetFile\n"
        "SetFile \"%TITL\"\n"
        "GetTagChannel\n"
        "GetFile\n"
        "SetFile \"%TRCK\"\n"
        "GetTagChannel\n"
        "GetFile\n"
        "SetFile \"%titl\"\n"
        "GetTagChannel\n"
        "GetFile\n"
        "GetDataChannel128\n"
        "GetFile\n"
        "SetData 3\n"
        "GetFreqChannel   # an empty slot\n"
        "GetFile\n"
        "GetData\n";
    ExpectTranscript(script,
                     {"GetInfo -> \"Get color of pixel\"", "GetType -> 0", "GetData -> 0",
                      "GetFile -> \"\"", "~Copyright -> \".+\"", "GetFile -> \"44100\"",
                      "GetFile -> \"Stereo\"", "GetFile -> \"2#00:02#\"", "GetFile -> \"0#00:00#\"",
                      "GetFile -> \"65535#65535#\"", "GetFile -> \"Mono\"", "GetFile -> \"22050\"",
                      "GetFile -> \"Tagged Title\"", "GetFile -> \"3/12\"", "GetFile -> \"\"",
                      "GetFile -> \"\"", "GetFile -> \"0\"", "GetData -> 0"},
                     dir_->File("facts.script"));
}

TEST_F(Plughost, ScriptSeeksPlaysStopsAndSetsABand) {
    const std::string script =
        "SetData 1\n"
        "SetFile " +
        Quoted(Long()) +
        "\n"
        "CreateChannel\n"
        "SetData 1\n"
        "EqCreateChannel\n"
        "SetData 1\n"
        "SetData 10\n"
        "SetData 6\n"
        "EqSetChannel     # +6 dB at 16 kHz, far above the tone\n"
        "GetFile          # EqSetChannel empties the result\n"
        "SetData 1\n"
        "SetData 3\n"
        "SetPositionForChannel\n"
        "SetData 1\n"
        "GetPosTimeChannel\n"
        "GetFile\n"
        "SetData 1\n"
        "PlayChannel\n"
        "sleep 0.4\n"
        "GetLevelChannel\n"
        "GetFile\n"
        "GetDataChannel20\n"
        "GetFile\n"
        "StopChannel\n"
        "GetLevelChannel\n"
        "GetFile\n"
        "GetPosTimeChannel   # stop keeps the position\n"
        "GetFile\n"
        "PlayChannel\n"
        "PauseChannel\n"
        "GetPosTimeChannel   # a play after a stop starts from the top\n"
        "GetFile\n";
    // A quarter-scale sine peaks near 8192 of 32768 on both sides.
    ExpectTranscript(
        script,
        {"GetFile -> \"\"", "GetFile -> \"3#00:03#\"",
         "~GetFile -> \"([7-9][0-9]{3})#([7-9][0-9]{3})#\"", "~GetFile -> \"(-?[0-9]+#){20}\"",
         "GetFile -> \"65535#65535#\"", "~GetFile -> \"3#00:03#\"", "GetFile -> \"0#00:00#\""},
        dir_->File("transport.script"));
}

TEST_F(Plughost, ScriptBadLineStopsWithItsLineNumberBeforeAnyCall) {
    const std::string path = dir_->File("bad.script");
    std::ofstream(path) << "GetInfo\n# fine so far\nSetData three\nGetType\n";
    Outcome run = plughosttest::Run(kPlughost, {"--output", "null", "script", path});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(path + ":3: SetData takes a whole number"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");  // the script is checked whole first

    // From standard input, and with --echo.
    run = plughosttest::Run(kPlughost, {"--output", "null", "script", "--echo"},
                            "GetType\nGetData\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "> GetType\nGetType -> 0\n> GetData\nGetData -> 0\n");
    run = plughosttest::Run(kPlughost, {"--output", "null", "script", "-"}, "GetType\nbogus 1\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("-:2: unknown call 'bogus'"), std::string::npos) << run.err;

    run = plughosttest::Run(kPlughost, {"--output", "null", "script", Missing()});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot read the script " + Missing()), std::string::npos);
}

TEST_F(Plughost, InfoJsonReportsLengthsRatesLayoutsAndTags) {
    const Outcome run = Plug({"info", "--json", Tone(), Tagged(), Vorbis()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.front(), '[');

    // What the plug-in reports, then the engine's exact facts in ffprobe's names;
    // tags that are empty are left out. A WAV's audio bytes are the whole file.
    struct stat wav;
    ASSERT_EQ(stat(Tone().c_str(), &wav), 0);
    const std::string tone = JsonObjectFor(run.out, Tone());
    EXPECT_NE(tone.find("\"length_seconds\": 2,\n    \"length\": \"00:02\",\n    \"rate\": 44100,\n"
                        "    \"kbps\": " +
                        std::to_string(ExpectedKbps(Tone(), 2.0)) +
                        ",\n    \"layout\": \"Stereo\",\n    \"sample_rate\": 44100,\n"
                        "    \"channels\": 2,\n    \"channel_layout\": \"stereo\",\n"
                        "    \"frames\": 88200,\n    \"duration\": 2.000000,\n"
                        "    \"bit_rate\": " +
                        std::to_string(wav.st_size * 4) + ",\n    \"tags\": {}"),
              std::string::npos)
        << tone;

    const std::string tagged = JsonObjectFor(run.out, Tagged());
    EXPECT_NE(tagged.find("\"length_seconds\": 3,"), std::string::npos) << tagged;
    EXPECT_NE(tagged.find("\"rate\": 22050,"), std::string::npos);
    EXPECT_NE(tagged.find("\"kbps\": " + std::to_string(ExpectedKbps(Tagged(), 3.0)) + ","),
              std::string::npos)
        << tagged;
    EXPECT_NE(tagged.find("\"layout\": \"Mono\""), std::string::npos);
    EXPECT_NE(tagged.find("\"channels\": 1,\n    \"channel_layout\": \"mono\",\n"
                          "    \"frames\": 66150,\n    \"duration\": 3.000000,"),
              std::string::npos)
        << tagged;
    EXPECT_NE(tagged.find("\"tags\": {\"title\": \"Tagged Title\", \"artist\": \"Test Artist\", "
                          "\"album\": \"Test Album\", \"genre\": \"Ambient\", \"year\": \"2024\", "
                          "\"track\": \"3/12\", \"comment\": \"made in a test\"}"),
              std::string::npos)
        << tagged;

    // A name that is not UTF-8 also comes as its bytes, so that a script can reopen it.
    const std::string latin1 = dir_->File("caf\xE9.wav");
    ASSERT_EQ(link(Tone().c_str(), latin1.c_str()), 0);
    const Outcome named = Plug({"info", "--json", latin1});
    ASSERT_EQ(named.status, 0) << named.err;
    std::string bytes;
    for (const char c : latin1)
        bytes += (bytes.empty() ? "" : ",") + std::to_string(static_cast<unsigned char>(c));
    EXPECT_NE(named.out.find("\"path_bytes\": [" + bytes + "]"), std::string::npos) << named.out;

    // 2.5 s rounds to the even 2 in the plug-in's seconds, not in the duration.
    const std::string vorbis = JsonObjectFor(run.out, Vorbis());
    EXPECT_NE(vorbis.find("\"length_seconds\": 2,"), std::string::npos) << vorbis;
    EXPECT_NE(vorbis.find("\"rate\": 48000,"), std::string::npos);
    EXPECT_NE(vorbis.find("\"frames\": 120000,\n    \"duration\": 2.500000,"), std::string::npos);
}

TEST_F(Plughost, InfoTextIsAligned) {
    const Outcome run = Plug({"info", Tagged()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Tagged() +
                           "\n"
                           "  length   00:03 (3.000 s)\n"
                           "  rate     22050 Hz\n"
                           "  bitrate  " +
                           std::to_string(ExpectedKbps(Tagged(), 3.0)) +
                           " kbps\n"
                           "  layout   Mono\n"
                           "  title    Tagged Title\n"
                           "  artist   Test Artist\n"
                           "  album    Test Album\n"
                           "  genre    Ambient\n"
                           "  year     2024\n"
                           "  track    3/12\n"
                           "  comment  made in a test\n");
}

TEST_F(Plughost, UnplayableFilesAreNamedWithTheReasonAndExitOne) {
    const struct {
        std::string file;
        const char* reason;
    } cases[] = {
        {Missing(), "No such file or directory"}, {Folder(), "is a directory"},
        {Garbage(), "not a playable audio file"}, {Empty(), "not a playable audio file"},
        {"/dev/null", "not a regular file"},
    };
    for (const auto& c : cases) {
        Outcome run = Plug({"info", c.file});
        EXPECT_EQ(run.status, 1) << c.file;
        EXPECT_NE(run.err.find("cannot open " + c.file + ": " + c.reason), std::string::npos)
            << run.err;
        run = Plug({"play", c.file});
        EXPECT_EQ(run.status, 1) << c.file;
        EXPECT_NE(run.err.find("cannot play " + c.file + ": " + c.reason), std::string::npos)
            << run.err;
    }
    // In JSON the bad file has an error entry and the good one its facts.
    const Outcome run = Plug({"info", "--json", Missing(), Tone()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(JsonObjectFor(run.out, Missing()).find("\"error\": \"No such file or directory\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(JsonObjectFor(run.out, Tone()).find("\"rate\": 44100"), std::string::npos);

    // Damaged files that FFmpeg reads (a packet past the end, a broken Vorbis setup
    // header) play or are refused, and nothing but plughost's own lines reaches stderr.
    for (const char* damaged :
         {"mkv-packet-past-end", "mp4-sample-past-end", "mkv-vorbis-bad-setup"}) {
        const Outcome bad = Plug({"info", std::string(DAMAGED_FILES) + "/" + damaged});
        for (const std::string& line : Lines(bad.err))
            EXPECT_EQ(line.rfind("plughost: ", 0), 0u) << damaged << ": " << line;
    }
}

TEST_F(Plughost, PlayPrintsPlainStatusLinesUntilEveryFileHasEnded) {
    const Outcome run = Plug({"play", Tone(), Missing(), "--volume", "50", "--eq", "4=6"});
    EXPECT_EQ(run.status, 1);  // one file could not be played; the other played to its end
    // The refused file is named once, on standard error only.
    const size_t named = run.err.find("cannot play " + Missing());
    EXPECT_NE(named, std::string::npos);
    EXPECT_EQ(run.err.find(Missing(), named + 12 + Missing().size()), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find(Missing()), std::string::npos);

    const std::regex status(
        R"(\[(\d+)\] (playing|paused|stopped|ended) (\d\d:\d\d) / (\d\d:\d\d)  L (\d+|-) R (\d+|-)  vol (\d+)%  (.*))");
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 2u) << run.out;
    std::smatch match;
    std::string lastSlot1;
    for (const auto& line : lines) {
        if (std::regex_match(line, match, status)) {
            EXPECT_EQ(match[1], "1");
            EXPECT_EQ(match[4], "00:02");
            EXPECT_EQ(match[7], "50");
            EXPECT_EQ(match[8], "tone.wav");
            lastSlot1 = line;
        } else {
            ADD_FAILURE() << line;
        }
    }
    EXPECT_EQ(lastSlot1, "[1] ended 00:02 / 00:02  L - R -  vol 50%  tone.wav");
}

TEST_F(Plughost, PlayStartsWhereAskedAndStopsAfterTheTimeGiven) {
    const Outcome run = Plug({"play", Long(), Tagged(), "--start", "0:01.6", "--for", "0.5"});
    EXPECT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 4u) << run.out;
    // The first round of lines shows both slots at the start position; the last
    // round, after --for, still playing.
    EXPECT_EQ(lines[0].rfind("[1] playing 00:02 / 00:06", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("[2] playing 00:02 / 00:03", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("Tagged Title - Test Artist"), std::string::npos);
    EXPECT_EQ(lines[lines.size() - 2].rfind("[1] playing", 0), 0u);
    EXPECT_EQ(lines.back().rfind("[2] playing", 0), 0u);

    // A start at or past a file's end leaves its slot empty; the others play.
    const Outcome beyond = Plug({"play", Tone(), Long(), "--start", "2", "--for", "0.2"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("cannot play " + Tone() + ": --start 00:02 is at or past its end"),
              std::string::npos)
        << beyond.err;
    EXPECT_EQ(Lines(beyond.out).back().rfind("[2] playing 00:02 / 00:06", 0), 0u) << beyond.out;
}

TEST_F(Plughost, OutputChoiceReachesTheEngine) {
    // wav:PATH records what is played: the whole tone, at its level.
    const std::string recording = dir_->File("recording.wav");
    Outcome run = plughosttest::Run(kPlughost, {"--output", "wav:" + recording, "play", Tone()});
    ASSERT_EQ(run.status, 0) << run.err;
    SF_INFO info = {};
    SNDFILE* file = sf_open(recording.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    EXPECT_GE(info.frames, info.samplerate * 19 / 10);  // the tone lasts 2 s
    float peak = 0;
    for (const float sample : samples) peak = std::max(peak, std::fabs(sample));
    EXPECT_NEAR(peak, 0.5f, 0.05f);

    // info starts no output: no recording is made.
    const std::string untouched = dir_->File("untouched.wav");
    run = plughosttest::Run(kPlughost, {"--output", "wav:" + untouched, "info", Tone()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(access(untouched.c_str(), F_OK), 0);
}

// Reads a WAV's frames as 16-bit integers or as floats (both interleaved, stereo
// or mono), from frame `first`, at most `count` frames.
template <typename Sample>
std::vector<Sample> ReadFrames(const std::string& path, int64_t first, int64_t count,
                               SF_INFO* info) {
    *info = SF_INFO{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, info);
    if (!file) return {};
    sf_seek(file, first, SEEK_SET);
    std::vector<Sample> samples(
        static_cast<size_t>(std::min(count, info->frames) * info->channels));
    sf_count_t read;
    if constexpr (std::is_same_v<Sample, short>)
        read = sf_readf_short(file, samples.data(),
                              static_cast<sf_count_t>(samples.size()) / info->channels);
    else
        read = sf_readf_float(file, samples.data(),
                              static_cast<sf_count_t>(samples.size()) / info->channels);
    samples.resize(static_cast<size_t>(read * info->channels));
    sf_close(file);
    return samples;
}

// A render is the engine's mix, made as fast as the machine can: at volume 100
// without --eq, a 44.1 kHz stereo file comes back sample for sample from where
// --start puts it (whole or fractional, before or past the first second); any
// other file has the exact length.
TEST_F(Plughost, RenderEqualsTheDecodeOfTheFile) {
    const struct {
        std::string file;
        std::vector<std::string> args;
        int64_t first;   // the file's first frame in the render; -1: length only
        int64_t frames;  // the render's length
    } cases[] = {
        {Long(), {}, 0, 6 * 44100},
        {Long(), {"--format", "f32"}, 0, 6 * 44100},
        {Long(), {"--start", "0.25", "--for", "1"}, 11025, 44100},
        {Long(), {"--start", "0:02.5", "--for", "0.5", "--format", "f32"}, 110250, 22050},
        {Long(), {"--start", "4"}, 4 * 44100, 2 * 44100},
        {Vorbis(), {}, -1, 110250},                 // 2.5 s at 48 kHz
        {Tagged(), {"--start", "1.5"}, -1, 66150},  // 3 s of mono at 22.05 kHz, from 1.5 s
    };
    const std::string out = dir_->File("render.wav");
    for (const auto& c : cases) {
        std::vector<std::string> args = {"render", c.file, "-o", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = plughosttest::Run(kPlughost, args);
        const std::string what = c.file + (c.args.empty() ? "" : " " + c.args[0] + " " + c.args[1]);
        ASSERT_EQ(run.status, 0) << what << ": " << run.err;
        EXPECT_EQ(run.out, "");
        const bool f32 = std::find(c.args.begin(), c.args.end(), "f32") != c.args.end();
        SF_INFO rendered, source;
        const auto same = [&](const auto& made, const auto& decoded) {
            ASSERT_EQ(made.size(), decoded.size()) << what;
            for (size_t i = 0; i < made.size(); ++i)
                ASSERT_EQ(made[i], decoded[i]) << what << ": sample " << i;
        };
        if (f32) {
            const auto made = ReadFrames<float>(out, 0, c.frames + 1, &rendered);
            EXPECT_EQ(rendered.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
            if (c.first >= 0) same(made, ReadFrames<float>(c.file, c.first, c.frames, &source));
        } else {
            const auto made = ReadFrames<short>(out, 0, c.frames + 1, &rendered);
            EXPECT_EQ(rendered.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
            if (c.first >= 0) same(made, ReadFrames<short>(c.file, c.first, c.frames, &source));
        }
        EXPECT_EQ(rendered.samplerate, 44100) << what;
        EXPECT_EQ(rendered.channels, 2) << what;
        EXPECT_EQ(rendered.frames, c.frames) << what;
    }
    // A start past the end leaves nothing to render.
    const Outcome past =
        plughosttest::Run(kPlughost, {"render", Tone(), "-o", out, "--start", "2"});
    EXPECT_EQ(past.status, 1);
    EXPECT_NE(past.err.find("cannot render " + Tone() + ": --start is at or past its end"),
              std::string::npos)
        << past.err;
}

// Ctrl-C while recording: the recording is finished, then plughost ends by the
// signal, as the shell expects (status 130).
TEST_F(Plughost, InterruptFinishesTheRecordingAndEndsByTheSignal) {
    const std::string recording = dir_->File("interrupted.wav");
    const Outcome run = plughosttest::Run(
        kPlughost, {"--output", "wav:" + recording, "play", Long()}, "", {}, 60, 800);
    EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
    SF_INFO info;
    const auto samples = ReadFrames<float>(recording, 0, 44100 * 6, &info);
    EXPECT_GE(info.frames, 44100 / 4);
    EXPECT_LT(info.frames, 44100 * 5);
    struct stat file;
    ASSERT_EQ(stat(recording.c_str(), &file), 0);
    // The header states every sample written.
    EXPECT_LT(file.st_size - info.frames * 8, 200)
        << file.st_size << " bytes, " << info.frames << " frames";
}

// plughost as a user meets it: each row a command line (run at a terminal when
// `terminal` is set), its exit status and what its output must and must not hold.
TEST_F(Plughost, CommandLinesAnswerAsAUserExpects) {
    const std::string plughost = kPlughost;
    const std::string noSdl[] = {"AUDIOENGINE_DRIVER=sdl", "SDL_AUDIODRIVER=nosuch"};
    const struct Row {
        std::vector<std::string> args;
        std::vector<std::string> environment;
        bool terminal;  // run under a pseudo-terminal (util-linux's script)
        std::string input;
        int status;
        std::vector<std::string> outHas, errHas, outLacks;
    } rows[] = {
        // Bad usage: status 2, a message and a pointer to the help, nothing on stdout.
        {{}, {}, false, "", 2, {}, {"plughost: no command given", "--help"}, {"usage"}},
        {{"bogus"}, {}, false, "", 2, {}, {"unknown command 'bogus'"}, {}},
        {{"play"}, {}, false, "", 2, {}, {"play needs at least one file"}, {}},
        {{"play", "a.wav", "--eq", "11=0"}, {}, false, "", 2, {}, {"--eq takes"}, {}},
        {{"--output", "speaker", "info", "a.wav"}, {}, false, "", 2, {}, {"--output takes"}, {}},
        {{"play", "-"}, {}, false, "", 2, {}, {"standard input ('-') is not supported"}, {}},
        {{"render", Tone()}, {}, false, "", 2, {}, {"render needs -o FILE"}, {}},
        {{"render", Tone(), "-o", Tone()}, {}, false, "", 2, {}, {"is one of the files"}, {}},
        {{"script", Folder()},
         {},
         false,
         "",
         2,
         {},
         {"cannot read the script " + Folder() + ": is a directory"},
         {}},
        {{"script", Missing()},
         {},
         false,
         "",
         2,
         {},
         {"cannot read the script " + Missing() + ": No such file or directory"},
         {}},
        // Help and version.
        {{"--version"}, {}, false, "", 0, {"plughost " PROJECT_VERSION "\n"}, {}, {}},
        {{"render", "--help"},
         {},
         false,
         "",
         0,
         {"usage: plughost render FILE... -o FILE"},
         {},
         {}},
        // An output that does not start is named with the engine's reason, not the file.
        {{"--output", "wav:/nonexistent/folder/out.wav", "play", Tone()},
         {},
         false,
         "",
         1,
         {},
         {"plughost: the output wav:/nonexistent/folder/out.wav did not start: cannot create "
          "/nonexistent/folder/out.wav: No such file or directory"},
         {}},
        {{"--output", "device", "play", Tone()},
         {noSdl[0], noSdl[1]},
         false,
         "",
         1,
         {},
         {"the output device did not start: no sound device opened (SDL: "},
         {}},
        // auto without a sound device plays on the null output, and says so, and why.
        {{"play", Tone(), "--for", "0.2"},
         {noSdl[0], noSdl[1]},
         false,
         "",
         0,
         {"[1] playing"},
         {"plughost: output null: no sound device opened (SDL: ", "nothing is heard"},
         {}},
        // info: no trailing blanks, no empty tag rows.
        {{"--output", "null", "info", Tone()},
         {},
         false,
         "",
         0,
         {"  layout   Stereo\n"},
         {},
         {" \n", "title"}},
        // At a terminal: the live display, which TERM=dumb and NO_COLOR turn off.
        {{"--output", "null", "play", Long(), "--for", "0.3"},
         {"TERM=xterm"},
         true,
         "",
         0,
         {"\x1b[?1049h", "\x1b[32m", "Tab 1-32 slot"},
         {},
         {}},
        {{"--output", "null", "play", Long(), "--for", "0.3"},
         {"TERM=xterm", "NO_COLOR=1"},
         true,
         "",
         0,
         {"\x1b[?1049h"},
         {},
         {"\x1b[32m"}},
        {{"--output", "null", "play", Long(), "--for", "0.3"},
         {"TERM=dumb"},
         true,
         "",
         0,
         {"[1] playing 00:00 / 00:06"},
         {},
         {"\x1b[", "Tab 1-32"}},
        // script typed at a terminal: a prompt, and a bad line does not end the session.
        {{"--output", "null", "script"},
         {"TERM=xterm"},
         true,
         "GetType\nbogus 1\nGetData\n",
         0,
         {"plughost> ", "GetType -> 0", "-:2: unknown call 'bogus'", "GetData -> 0"},
         {},
         {}},
    };
    for (const Row& row : rows) {
        std::string command = plughost;
        for (const auto& arg : row.args) command += " '" + arg + "'";
        Outcome run;
        if (row.terminal) {
            // script(1) runs the command on a pseudo-terminal and copies what it shows;
            // the terminal's messages come on stdout too.
            run = plughosttest::Run("/usr/bin/script", {"-qec", command, "/dev/null"}, row.input,
                                    row.environment);
            run.err = run.out;
        } else {
            run = plughosttest::Run(kPlughost, row.args, row.input, row.environment);
        }
        EXPECT_EQ(run.status, row.status) << command << "\n" << run.err;
        for (const auto& text : row.outHas)
            EXPECT_NE(run.out.find(text), std::string::npos)
                << command << " prints " << text << ":\n"
                << run.out;
        for (const auto& text : row.outLacks)
            EXPECT_EQ(run.out.find(text), std::string::npos)
                << command << " prints " << text << ":\n"
                << run.out;
        for (const auto& text : row.errHas)
            EXPECT_NE(run.err.find(text), std::string::npos) << command << " says " << text << ":\n"
                                                             << run.err;
        if (row.status == 2 && !row.terminal) {
            EXPECT_EQ(run.out, "") << command;
        }
    }
}

// README's plughost section quotes the help: every fenced block that starts with
// "$ plughost ... --help" holds exactly what that command prints.
TEST_F(Plughost, ReadmeQuotesTheHelpAsPrinted) {
    std::ifstream readme(README_PATH);
    ASSERT_TRUE(readme) << README_PATH;
    std::vector<std::string> lines;
    for (std::string line; std::getline(readme, line);) lines.push_back(line);

    auto it = std::find(lines.begin(), lines.end(), "## plughost");
    ASSERT_NE(it, lines.end());
    std::set<std::string> quoted;
    for (++it; it != lines.end() && it->rfind("## ", 0) != 0; ++it) {
        if (it->rfind("```", 0) != 0 || it + 1 == lines.end()) continue;
        const std::string command = *(it + 1);
        if (command.rfind("$ plughost ", 0) != 0 ||
            command.compare(command.size() - 7, 7, " --help") != 0)
            continue;
        std::string shown;
        for (it += 2; it != lines.end() && *it != "```"; ++it) shown += *it + "\n";
        ASSERT_NE(it, lines.end()) << command << ": the block does not end";

        std::istringstream words(command.substr(sizeof "$ plughost " - 1));
        std::vector<std::string> args;
        for (std::string word; words >> word;) args.push_back(word);
        const Outcome run = plughosttest::Run(kPlughost, args);
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(shown, run.out) << command;
        quoted.insert(command);
    }
    EXPECT_EQ(quoted, (std::set<std::string>{"$ plughost --help", "$ plughost play --help",
                                             "$ plughost render --help", "$ plughost info --help",
                                             "$ plughost script --help"}));
}

TEST_F(Plughost, APlugInThatWillNotLoadOrLacksExportsIsNamed) {
    Outcome run = Plug({"--plugin", "/nonexistent/Plugin.so", "info", Tone()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the plug-in /nonexistent/Plugin.so: "), std::string::npos);
    EXPECT_NE(run.err.find("No such file or directory"), std::string::npos) << run.err;

    run = Plug({"--plugin", Tone(), "info", Tone()});  // not a library at all
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the plug-in " + Tone() + ": "), std::string::npos);

    run = Plug({"--plugin", STRIPPED_PLUGIN_PATH, "info", Tone()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("lacks the exports GetDataChannel20, EqCreateChannel"),
              std::string::npos)
        << run.err;

    // The real plug-in given by path works like the default one.
    run = Plug({"--plugin", kPlugin, "info", Tone()});
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(Plughost, InstalledSideBySideAndRunsFromThere) {
    testaudio::TempDir prefix;
    const Outcome install =
        plughosttest::Run(CMAKE_PATH, {"--install", BUILD_DIR, "--prefix", prefix.path()});
    ASSERT_EQ(install.status, 0) << install.out << install.err;

    // plughost, the plug-in and the engine libraries share one folder.
    std::string folder;
    for (const char* libdir :
         {"/lib/audioplugin", "/lib64/audioplugin", "/lib/x86_64-linux-gnu/audioplugin"}) {
        if (access((prefix.path() + libdir + "/plughost").c_str(), X_OK) == 0)
            folder = prefix.path() + libdir;
    }
    ASSERT_FALSE(folder.empty()) << install.out;
    for (const char* file : {"Plugin.so", "libbass.so", "libtags.so"})
        EXPECT_EQ(access((folder + "/" + file).c_str(), R_OK), 0) << file;
    // The manual page, the completions and the texts where Debian keeps them.
    for (const char* file :
         {"/share/man/man1/plughost.1.gz", "/share/bash-completion/completions/plughost",
          "/share/zsh/vendor-completions/_plughost", "/share/doc/audioplugin/copyright"})
        EXPECT_EQ(access((prefix.path() + file).c_str(), R_OK), 0) << file;

    // Run through the link in bin/, on the demo piece built with the project.
    const Outcome run = plughosttest::Run(
        prefix.path() + "/bin/plughost",
        {"--output", "null", "info", "--json", std::string(BUILD_DIR) + "/demo/demo.flac"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"length_seconds\": 30,"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"title\": \"Plughost Demo Groove\""), std::string::npos);
    EXPECT_NE(run.out.find("\"artist\": \"The Plughost Synthesisers\""), std::string::npos);
    EXPECT_NE(run.out.find("\"album\": \"Built at Build Time\""), std::string::npos);
}
