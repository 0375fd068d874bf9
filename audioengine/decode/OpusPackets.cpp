// SPDX-License-Identifier: MIT
#include "audioengine/decode/OpusPackets.h"

#include <ogg/ogg.h>
#include <opus.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "audioengine/decode/ByteOrder.h"
#include "audioengine/decode/TagBlocks.h"

namespace ae {

namespace {

// The sample rate of Opus granule positions and of the header's pre-skip.
constexpr int kGranuleRate = 48000;
// The longest Opus packet, in samples at 48 kHz (120 ms).
constexpr int kMaxPacketSamples = 5760;
// Decoded before a seek target, in samples at 48 kHz. The format asks for 80 ms to
// hide the decoder's restart, but its state (the predicted band energies above all)
// reaches the very values of a decode from the start only later: 560 ms sufficed in
// every test file; one second leaves a wide margin, for about 2 ms of decoding.
constexpr int64_t kPreroll = kGranuleRate;

// One page of the Opus stream: where it is and what it ends.
struct Page {
    int64_t offset = 0;
    int bytes = 0;
    int64_t granule = -1;    // samples at 48 kHz up to the last packet ending here; -1: none
    bool continued = false;  // begins with the rest of a packet from the page before
};

// The page header fields the index needs, read without the body.
bool ReadPageHeader(const FileSource& file, int64_t offset, int64_t end, Page* page,
                    uint32_t* serial, bool* bos, std::vector<unsigned char>* lacing) {
    unsigned char h[27];
    if (offset + 27 > end || file.ReadAt(offset, h, 27) != 27) return false;
    if (std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) return false;
    const int segments = h[26];
    lacing->resize(static_cast<size_t>(segments));
    if (segments > 0 && file.ReadAt(offset + 27, lacing->data(), segments) != segments) {
        return false;
    }
    int body = 0;
    for (const unsigned char l : *lacing) body += l;
    page->offset = offset;
    page->bytes = 27 + segments + body;
    if (offset + page->bytes > end) return false;
    page->continued = (h[5] & 0x01) != 0;
    *bos = (h[5] & 0x02) != 0;
    page->granule = static_cast<int64_t>(LittleEndian32(h + 6)) |
                    (static_cast<int64_t>(LittleEndian32(h + 10)) << 32);
    *serial = LittleEndian32(h + 14);
    return true;
}

// Where the next page may begin after a damaged one: the next capture pattern
// "OggS" at or after `offset`, or `end` when there is none.
int64_t NextCapture(const FileSource& file, int64_t offset, int64_t end) {
    unsigned char chunk[4096];
    while (offset + 4 <= end) {
        const int64_t want = std::min<int64_t>(sizeof chunk, end - offset);
        const int64_t got = file.ReadAt(offset, chunk, want);
        if (got < 4) break;
        for (int64_t i = 0; i + 4 <= got; ++i) {
            if (std::memcmp(chunk + i, "OggS", 4) == 0) return offset + i;
        }
        offset += got - 3;
    }
    return end;
}

}  // namespace

struct OpusPackets::State {
    explicit State(const FileSource& f) : file(f) {}
    ~State() {
        if (decoder) opus_decoder_destroy(decoder);
        ogg_stream_clear(&stream);
        ogg_sync_clear(&sync);
    }

    bool Index(int wantChannels);
    void FindStartGranule();
    enum class Fed { Page, End, Damaged };
    Fed FeedPage();
    bool DecodeNext();
    bool SkipDamage(size_t trusted);
    void Conceal();
    void StartAt(size_t page);

    const FileSource& file;
    int rate = 0;
    int channels = 0;
    int factor = 1;  // granule samples per decoded sample
    int64_t frames = 0;
    int preSkip = 0;  // decoded samples dropped at the start, at `rate`
    int16_t gain = 0;
    // The granule position at the start of the first packet: 0 unless the stream was
    // cut from a longer one, when its granule positions go on counting from there.
    int64_t startGranule = 0;
    uint32_t serial = 0;
    std::vector<Page> pages;
    size_t firstAudio = 0;  // the first page after the headers
    OpusDecoder* decoder = nullptr;
    ogg_sync_state sync{};
    ogg_stream_state stream{};
    std::vector<unsigned char> pageBytes;
    size_t nextPage = 0;
    std::vector<float> pcm;
    int pcmFrames = 0;
    int pcmAt = 0;
    int64_t concealLeft = 0;  // frames the decoder still conceals after damage
    int64_t position = 0;     // output frame of pcm[pcmAt] (negative within the pre-skip)
    int64_t dropBefore = 0;
    bool ended = false;
};

bool OpusPackets::State::Index(int wantChannels) {
    const PayloadRange range = FindPayload(file);
    std::vector<unsigned char> lacing;
    int64_t offset = range.begin;
    int packetsDone = 0;  // packets of the stream completed so far (header, tags, ...)
    bool found = false;
    while (offset < range.end) {
        Page page;
        uint32_t pageSerial = 0;
        bool bos = false;
        if (!ReadPageHeader(file, offset, range.end, &page, &pageSerial, &bos, &lacing)) {
            // A damaged page header: the pages after it are still there (decoding
            // conceals the gap).
            offset = NextCapture(file, offset + 1, range.end);
            continue;
        }
        offset += page.bytes;
        if (!found) {
            // The identification header: the first packet of a stream's first page.
            if (!bos || page.bytes < 27 + static_cast<int>(lacing.size()) + 19) continue;
            unsigned char head[19];
            if (file.ReadAt(page.offset + 27 + static_cast<int64_t>(lacing.size()), head, 19) !=
                    19 ||
                std::memcmp(head, "OpusHead", 8) != 0) {
                continue;
            }
            if ((head[8] >> 4) != 0 || head[9] != wantChannels || head[18] != 0) return false;
            preSkip = (head[10] | (head[11] << 8)) / factor;
            gain = static_cast<int16_t>(head[16] | (head[17] << 8));
            serial = pageSerial;
            found = true;
        } else if (pageSerial != serial) {
            continue;  // another logical stream beside ours
        }
        if (packetsDone < 2) {
            // The headers end a page of their own: audio starts on the next page.
            for (size_t i = 0; i < lacing.size(); ++i) {
                if (packetsDone == 2) return false;  // audio shares the headers' page
                packetsDone += lacing[i] < 255 ? 1 : 0;
            }
            if (packetsDone == 2) firstAudio = pages.size() + 1;
        }
        pages.push_back(page);
    }
    return found && firstAudio > 0 && firstAudio <= pages.size();
}

// The granule position of the first page that ends a packet, less the samples of the
// packets ending up to there. Less than 0 only in a stream that trims its end on
// its first page (or a damaged one): that starts at 0.
void OpusPackets::State::FindStartGranule() {
    StartAt(firstAudio);
    int64_t samples = 0;
    ogg_packet packet;
    for (;;) {
        const int got = ogg_stream_packetout(&stream, &packet);
        if (got < 0) continue;
        if (got == 0) {
            if (FeedPage() != Fed::Page) return;
            continue;
        }
        const int n = opus_packet_get_nb_samples(
            packet.packet, static_cast<opus_int32>(packet.bytes), kGranuleRate);
        if (n < 0) return;
        samples += n;
        if (packet.granulepos >= 0) {
            startGranule = std::max<int64_t>(0, packet.granulepos - samples);
            return;
        }
    }
}

void OpusPackets::State::StartAt(size_t page) {
    opus_decoder_ctl(decoder, OPUS_RESET_STATE);
    ogg_stream_reset_serialno(&stream, static_cast<int>(serial));
    ogg_sync_reset(&sync);
    nextPage = page;
    pcmFrames = pcmAt = 0;
    concealLeft = 0;
    const int64_t decoded =
        page == firstAudio ? 0 : (pages[page - 1].granule - startGranule) / factor;
    position = decoded - preSkip;
    ended = false;
}

// End: no pages left, or the file cannot be read (cut short under us). Damaged: the
// page fails its checksum.
OpusPackets::State::Fed OpusPackets::State::FeedPage() {
    if (nextPage >= pages.size()) return Fed::End;
    const Page& page = pages[nextPage++];
    char* buffer = ogg_sync_buffer(&sync, page.bytes);
    if (!buffer || file.ReadAt(page.offset, buffer, page.bytes) != page.bytes) return Fed::End;
    ogg_sync_wrote(&sync, page.bytes);
    ogg_page og;
    if (ogg_sync_pageout(&sync, &og) != 1 || ogg_stream_pagein(&stream, &og) != 0) {
        ogg_sync_reset(&sync);
        return Fed::Damaged;
    }
    return Fed::Page;
}

bool OpusPackets::State::DecodeNext() {
    if (concealLeft > 0) {
        Conceal();
        return true;
    }
    ogg_packet packet;
    for (;;) {
        const int got = ogg_stream_packetout(&stream, &packet);
        if (got == 1) break;
        // A gap before the page just read (pages missing from the file): that page
        // is whole, so its granule position holds.
        if (got < 0) return SkipDamage(nextPage - 1);
        const Fed fed = FeedPage();
        if (fed == Fed::End) return false;
        if (fed == Fed::Damaged) return SkipDamage(nextPage);
    }
    const int n = opus_decode_float(decoder, packet.packet, static_cast<opus_int32>(packet.bytes),
                                    pcm.data(), static_cast<int>(pcm.size()) / channels, 0);
    if (n < 0) return SkipDamage(nextPage - 1);
    pcmFrames = n;
    pcmAt = 0;
    return true;
}

// Damage loses the packets it touches, not the rest of the stream: decoding goes on
// from the next page after `trusted` (the first page whose granule position can be
// believed) that begins with a whole packet, and the time up to there is filled by
// the decoder's concealment, so that everything after keeps its time and the stream
// its length. With no such page, the concealment runs to the stated end.
bool OpusPackets::State::SkipDamage(size_t trusted) {
    size_t resume = trusted + 1;
    int64_t resumeAt = frames;
    for (; resume < pages.size(); ++resume) {
        const int64_t granule = pages[resume - 1].granule;
        if (pages[resume].continued || granule < 0) continue;
        const int64_t at = (granule - startGranule) / factor - preSkip;
        if (at >= position) {  // one in the past cannot be right
            resumeAt = std::min(at, frames);
            break;
        }
    }
    ogg_stream_reset(&stream);
    ogg_sync_reset(&sync);
    nextPage = resume;
    concealLeft = std::max<int64_t>(0, resumeAt - position);
    pcmFrames = pcmAt = 0;
    if (concealLeft > 0) Conceal();
    return true;
}

// The next piece of concealment, in the 2.5 ms steps the decoder conceals in; a
// remainder shorter than a step is silence.
void OpusPackets::State::Conceal() {
    const int step = rate / 400;
    const int n = static_cast<int>(
        std::min<int64_t>(concealLeft, static_cast<int64_t>(pcm.size()) / channels));
    const int steps = n / step * step;
    int got = steps > 0 ? opus_decode_float(decoder, nullptr, 0, pcm.data(), steps, 0) : 0;
    if (got < 0) got = 0;
    std::fill(pcm.begin() + static_cast<std::ptrdiff_t>(got) * channels,
              pcm.begin() + static_cast<std::ptrdiff_t>(n) * channels, 0.0f);
    pcmFrames = n;
    pcmAt = 0;
    concealLeft -= n;
}

OpusPackets::OpusPackets(std::unique_ptr<State> state) : state_(std::move(state)) {}
OpusPackets::~OpusPackets() = default;

std::unique_ptr<OpusPackets> OpusPackets::Open(const FileSource& file, int rate, int channels,
                                               int64_t frames) {
    if (channels < 1 || channels > 2 || frames < 0) return nullptr;
    if (rate != 8000 && rate != 12000 && rate != 16000 && rate != 24000 && rate != 48000) {
        return nullptr;
    }
    try {
        auto state = std::make_unique<State>(file);
        state->rate = rate;
        state->channels = channels;
        state->factor = kGranuleRate / rate;
        state->frames = frames;
        ogg_sync_init(&state->sync);
        ogg_stream_init(&state->stream, 0);
        if (!state->Index(channels)) return nullptr;
        int error = 0;
        state->decoder = opus_decoder_create(rate, channels, &error);
        if (!state->decoder || error != OPUS_OK) return nullptr;
        if (opus_decoder_ctl(state->decoder, OPUS_SET_GAIN(state->gain)) != OPUS_OK) return nullptr;
        state->pcm.resize(static_cast<size_t>(kMaxPacketSamples / state->factor) * channels);
        state->FindStartGranule();
        state->StartAt(state->firstAudio);
        return std::unique_ptr<OpusPackets>(new OpusPackets(std::move(state)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int64_t OpusPackets::Read(float* out, int64_t frames) {
    State& s = *state_;
    int64_t done = 0;
    while (done < frames && !s.ended) {
        if (s.position >= s.frames) {
            s.ended = true;
            break;
        }
        if (s.pcmAt >= s.pcmFrames) {
            if (!s.DecodeNext()) s.ended = true;
            continue;
        }
        int available = s.pcmFrames - s.pcmAt;
        if (s.position < s.dropBefore) {  // the pre-skip, or the lead of a seek
            const int drop =
                static_cast<int>(std::min<int64_t>(available, s.dropBefore - s.position));
            s.pcmAt += drop;
            s.position += drop;
            continue;
        }
        const int64_t take = std::min<int64_t>({available, frames - done, s.frames - s.position});
        std::memcpy(out + done * s.channels,
                    s.pcm.data() + static_cast<size_t>(s.pcmAt) * s.channels,
                    sizeof(float) * static_cast<size_t>(take * s.channels));
        s.pcmAt += static_cast<int>(take);
        s.position += take;
        done += take;
    }
    return done;
}

bool OpusPackets::Seek(int64_t frame) {
    State& s = *state_;
    if (frame < 0 || frame > s.frames) return false;
    // The last page that ends early enough before the target for the pre-roll, and
    // after which a new packet begins. Granule positions are counted from the
    // stream's start by a difference: a damaged one may lie near the largest value.
    const int64_t latest = (frame + s.preSkip) * s.factor - kPreroll;
    size_t start = s.firstAudio;
    for (size_t p = s.pages.size(); p-- > s.firstAudio + 1;) {
        const Page& before = s.pages[p - 1];
        if (s.pages[p].continued || before.granule < 0) continue;
        if (before.granule - s.startGranule <= latest) {
            start = p;
            break;
        }
    }
    s.StartAt(start);
    s.dropBefore = frame;
    // Decoded up to the target now, so that a file that cannot be read there fails
    // the seek.
    while (s.position < frame) {
        if (s.pcmAt >= s.pcmFrames) {
            if (!s.DecodeNext()) return false;
            continue;
        }
        const int drop =
            static_cast<int>(std::min<int64_t>(s.pcmFrames - s.pcmAt, frame - s.position));
        s.pcmAt += drop;
        s.position += drop;
    }
    return true;
}

}  // namespace ae
