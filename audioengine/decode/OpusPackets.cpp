// SPDX-License-Identifier: MIT
#include "audioengine/decode/OpusPackets.h"

#include <ogg/ogg.h>
#include <opus.h>
#include <opus_multistream.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "audioengine/decode/ByteOrder.h"
#include "audioengine/decode/FileKind.h"
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

// One link of the stream. Ogg Opus streams may follow one another in a file (a
// chain: a recorded radio stream, files joined end to end), each with its own
// headers, pre-skip, gain and granule positions counted from its own start.
struct Link {
    uint32_t serial = 0;
    int preSkip = 0;  // decoded samples dropped at its start, at the stream's rate
    int16_t gain = 0;
    int channels = 0;
    // Mapping family 1 (up to 8 channels in Vorbis order, coded as several streams):
    // the streams, how many of them are stereo, and each channel's source.
    bool surround = false;
    int streams = 1, coupled = 0;
    unsigned char mapping[8] = {};
    int inputRate = 0;  // the rate the header says the source had, 0 when unknown
    // The granule position at the start of the first packet: 0 unless the stream was
    // cut from a longer one, when its granule positions go on counting from there.
    int64_t startGranule = 0;
    size_t firstAudio = 0;  // its first page after the headers, in State::pages
    size_t endPage = 0;     // one past its last page
    int64_t base = 0;       // the stream frame where it begins
    int64_t frames = 0;     // its length, at the stream's rate
};

// The most frames `pages` pages of a stream can hold, decoded at one sample for
// `factor` granule samples: 255 packets a page, each of the longest duration. A
// length from a damaged granule position may be any number.
int64_t MostFrames(int64_t pages, int factor) { return pages * 255 * (kMaxPacketSamples / factor); }

// The index's entry for the page at `offset` with `header`.
Page PageOf(int64_t offset, const OggPageHeader& header) {
    Page page;
    page.offset = offset;
    page.bytes = static_cast<int>(header.bytes);
    page.continued = header.continued;
    page.granule = header.granule;
    return page;
}

// The identification header of the stream whose first page is `page`, when it is
// one of Opus that this decoder reads: mono or stereo in channel mapping family 0,
// or up to 8 channels in family 1 (Vorbis order). `opus` tells whether it is Opus at
// all.
bool ReadHead(const FileSource& file, const Page& page, size_t segments, Link* link, bool* opus) {
    unsigned char head[21 + 8] = {};
    const int64_t body = page.bytes - 27 - static_cast<int64_t>(segments);
    const int64_t want = std::min<int64_t>(body, sizeof head);
    *opus = want >= 19 &&
            file.ReadAt(page.offset + 27 + static_cast<int64_t>(segments), head, want) == want &&
            std::memcmp(head, "OpusHead", 8) == 0;
    if (!*opus || (head[8] >> 4) != 0 || head[9] < 1) return false;
    link->channels = head[9];
    link->preSkip = head[10] | (head[11] << 8);  // at 48 kHz until Prepare
    link->inputRate = static_cast<int>(LittleEndian32(head + 12) & 0x7FFFFFFF);
    link->gain = static_cast<int16_t>(head[16] | (head[17] << 8));
    if (head[18] == 0) return link->channels <= 2;
    if (head[18] != 1 || link->channels > 8 || want < 21 + link->channels) return false;
    link->surround = true;
    link->streams = head[19];
    link->coupled = head[20];
    if (link->streams < 1 || link->coupled > link->streams) return false;
    for (int c = 0; c < link->channels; ++c) {
        link->mapping[c] = head[21 + c];
        if (link->mapping[c] != 255 && link->mapping[c] >= link->streams + link->coupled)
            return false;
    }
    return true;
}

// Whether `next` can go on with a chain that `first` begins: mono and stereo streams
// mix (a mono one plays on both channels of a stereo chain); surround ones keep the
// first's channel count.
bool Continues(const Link& first, const Link& next) {
    if (!first.surround && !next.surround) return true;
    return first.surround && next.surround && next.channels == first.channels;
}

// Whether two links decode with the same multistream layout.
bool SameLayout(const Link& a, const Link& b) {
    return a.surround == b.surround && a.channels == b.channels && a.streams == b.streams &&
           a.coupled == b.coupled && std::memcmp(a.mapping, b.mapping, sizeof a.mapping) == 0;
}

}  // namespace

struct OpusPackets::State {
    explicit State(const FileSource& f) : file(f) {
        ogg_sync_init(&sync);
        ogg_stream_init(&stream, 0);
    }
    ~State() {
        if (decoder) opus_decoder_destroy(decoder);
        if (surroundDecoder) opus_multistream_decoder_destroy(surroundDecoder);
        ogg_stream_clear(&stream);
        ogg_sync_clear(&sync);
    }

    bool Index();
    bool Prepare();
    void FindStartGranule(size_t link);
    void StartGranuleAfterDamage(size_t link);
    size_t LinkOf(size_t page) const;
    int64_t LinkEnd() const { return links[link].base + links[link].frames; }
    bool NextLink();
    enum class Fed { Page, End, Damaged };
    Fed FeedPage();
    bool DecodeNext();
    bool DecodeOrConceal();
    bool Placed(size_t page);
    bool SkipDamage(size_t from);
    bool ReadWholePage(size_t page);
    int64_t PageStart(size_t page);
    void Conceal();
    void StartAt(size_t page);
    int Decode(const unsigned char* data, int bytes, int most);

    const FileSource& file;
    int rate = 0;
    int channels = 0;
    int factor = 1;  // granule samples per decoded sample
    int64_t frames = 0;
    std::vector<Page> pages;  // every link's pages, in file order
    std::vector<Link> links;
    size_t link = 0;                           // the link being decoded
    OpusDecoder* decoder = nullptr;            // mono and stereo links
    OpusMSDecoder* surroundDecoder = nullptr;  // surround links, for `layout`
    Link layout;
    ogg_sync_state sync{};
    ogg_stream_state stream{};
    std::vector<unsigned char> pageBytes;
    size_t nextPage = 0;
    std::vector<float> pcm;
    int pcmFrames = 0;
    int pcmAt = 0;
    int64_t concealLeft = 0;  // frames the decoder still conceals after damage
    int64_t position = 0;     // stream frame of pcm[pcmAt] (before the link's base in its pre-skip)
    int64_t dropBefore = 0;
    bool ended = false;
};

// Finds the pages of the first Opus stream and of the streams chained after it.
// Streams multiplexed beside it (an Ogg Skeleton, another codec) are left out; the
// chain ends where a stream this decoder cannot read begins.
bool OpusPackets::State::Index() {
    const PayloadRange range = FindPayload(file);
    OggPageHeaderReader headers(file);
    int64_t offset = range.begin;
    int packetsDone = 0;  // packets of the link completed so far (header, tags, ...)
    // After the audio, the first pages of a group of streams that follows (an Ogg
    // Skeleton first, as in a file of its own joined on): the next link may be among
    // them.
    bool newGroup = false;
    while (offset < range.end) {
        OggPageHeader header;
        if (!headers.Read(offset, range.end, &header)) {
            // A damaged page header: the pages after it are still there (decoding
            // conceals the gap).
            offset = NextCapture(file, offset + 1, range.end);
            continue;
        }
        const Page page = PageOf(offset, header);
        offset += page.bytes;
        Link next;
        bool opus = false;
        const bool readable = header.bos && ReadHead(file, page, header.segments, &next, &opus);
        // A page of our stream flagged as a stream's first but numbered after the
        // first page, and holding no Opus header, is one like the others: the flag is
        // a mistake.
        const bool ours = !links.empty() && header.serial == links.back().serial;
        if (header.bos && !(ours && header.sequence != 0 && !opus)) {
            // A stream's first page. Those of streams beside ours come before any of
            // our audio; one after it begins the next link of a chain.
            const bool afterAudio = !links.empty() && links.back().firstAudio > 0 &&
                                    links.back().firstAudio < pages.size();
            if (!links.empty() && !afterAudio && !newGroup) continue;
            if (links.empty() || (afterAudio && !opus)) {
                newGroup = !links.empty();
                if (!opus) continue;
                if (!readable) return false;
            } else if (!readable || !Continues(links[0], next)) {
                break;
            }
            newGroup = false;
            if (!links.empty()) links.back().endPage = pages.size();
            next.serial = header.serial;
            links.push_back(next);
            packetsDone = 0;
        } else if (newGroup) {
            break;  // a group of streams without an Opus one ends the chain
        } else if (!ours) {
            continue;  // another logical stream beside ours
        }
        Link& current = links.back();
        if (packetsDone < 2) {
            // The headers end a page of their own: audio starts on the next page.
            for (int i = 0; i < header.segments; ++i) {
                if (packetsDone == 2) return false;  // audio shares the headers' page
                packetsDone += header.lacing[i] < 255 ? 1 : 0;
            }
            if (packetsDone == 2) current.firstAudio = pages.size() + 1;
        }
        pages.push_back(page);
    }
    if (links.empty()) return false;
    // A link whose headers were not all there is left out.
    if (links.back().firstAudio == 0 || links.back().firstAudio > pages.size()) links.pop_back();
    if (links.empty()) return false;
    links.back().endPage = pages.size();
    return true;
}

// Sets up decoding once the stream's rate and channels are known.
bool OpusPackets::State::Prepare() {
    factor = kGranuleRate / rate;
    for (Link& l : links) l.preSkip /= factor;
    int error = 0;
    if (!links[0].surround) {
        decoder = opus_decoder_create(rate, channels, &error);
        if (!decoder || error != OPUS_OK) return false;
    }
    pcm.resize(static_cast<size_t>(kMaxPacketSamples / factor) * channels);
    for (size_t l = 0; l < links.size(); ++l) FindStartGranule(l);
    StartAt(links[0].firstAudio);
    return links[0].surround ? surroundDecoder != nullptr : true;
}

// The granule position of the link's first page that ends a packet, less the samples
// of the packets ending up to there. Less than 0 only in a stream that trims its end
// on its first page (or a damaged one): that starts at 0.
void OpusPackets::State::FindStartGranule(size_t l) {
    StartAt(links[l].firstAudio);
    int64_t samples = 0;
    ogg_packet packet;
    for (;;) {
        const int got = ogg_stream_packetout(&stream, &packet);
        if (got < 0) continue;
        if (got == 0) {
            const Fed fed = FeedPage();
            if (fed == Fed::Damaged) return StartGranuleAfterDamage(l);
            if (fed != Fed::Page) return;
            continue;
        }
        const int n = opus_packet_get_nb_samples(
            packet.packet, static_cast<opus_int32>(packet.bytes), kGranuleRate);
        if (n < 0) return StartGranuleAfterDamage(l);
        samples += n;
        if (packet.granulepos >= 0) {
            links[l].startGranule = std::max<int64_t>(0, packet.granulepos - samples);
            return;
        }
    }
}

// The start granule of a link whose first pages are damaged: where the first whole
// page after them begins, by its own packets, less as many packets as end on the
// pages before it (their lacing values tell), each as long as that page's first. A
// stream keeps its packets' length as a rule; without this, a stream cut from a longer
// one would begin with a gap as long as all the time before the cut.
void OpusPackets::State::StartGranuleAfterDamage(size_t l) {
    const Link& k = links[l];
    OggPageHeaderReader headers(file);
    int64_t packets = 0;
    for (size_t r = k.firstAudio; r < k.endPage; ++r) {
        const int64_t start = r > k.firstAudio ? PageStart(r) : -1;
        if (start >= 0) {
            int bytes = 0;  // of its first packet
            for (int i = 0; i < pageBytes[26]; ++i) {
                bytes += pageBytes[27 + i];
                if (pageBytes[27 + i] < 255) break;
            }
            const int each = opus_packet_get_nb_samples(pageBytes.data() + 27 + pageBytes[26],
                                                        bytes, kGranuleRate);
            if (each > 0) links[l].startGranule = std::max<int64_t>(0, start - packets * each);
            return;
        }
        OggPageHeader header;
        if (!headers.Read(pages[r].offset, pages[r].offset + pages[r].bytes, &header)) return;
        for (int i = 0; i < header.segments; ++i) packets += header.lacing[i] < 255 ? 1 : 0;
    }
}

size_t OpusPackets::State::LinkOf(size_t page) const {
    size_t l = 0;
    while (l + 1 < links.size() && page >= links[l + 1].firstAudio) ++l;
    return l;
}

void OpusPackets::State::StartAt(size_t page) {
    link = LinkOf(page);
    const Link& l = links[link];
    if (l.surround) {
        if (surroundDecoder && !SameLayout(layout, l)) {
            opus_multistream_decoder_destroy(surroundDecoder);
            surroundDecoder = nullptr;
        }
        if (!surroundDecoder) {
            int error = 0;
            surroundDecoder = opus_multistream_decoder_create(rate, l.channels, l.streams,
                                                              l.coupled, l.mapping, &error);
            if (error != OPUS_OK && surroundDecoder) {
                opus_multistream_decoder_destroy(surroundDecoder);
                surroundDecoder = nullptr;
            }
            layout = l;
        }
        if (surroundDecoder) {
            opus_multistream_decoder_ctl(surroundDecoder, OPUS_RESET_STATE);
            opus_multistream_decoder_ctl(surroundDecoder, OPUS_SET_GAIN(l.gain));
        }
    } else {
        opus_decoder_ctl(decoder, OPUS_RESET_STATE);
        opus_decoder_ctl(decoder, OPUS_SET_GAIN(l.gain));
    }
    ogg_stream_reset_serialno(&stream, static_cast<int>(l.serial));
    ogg_sync_reset(&sync);
    nextPage = page;
    pcmFrames = pcmAt = 0;
    concealLeft = 0;
    const int64_t decoded =
        page == l.firstAudio ? 0 : (pages[page - 1].granule - l.startGranule) / factor;
    position = l.base + decoded - l.preSkip;
    ended = false;
}

// Decodes one packet (null: conceals) of the current link into `pcm`, `most` frames
// at most: the frames decoded, or a negative libopus error.
int OpusPackets::State::Decode(const unsigned char* data, int bytes, int most) {
    if (!links[link].surround) return opus_decode_float(decoder, data, bytes, pcm.data(), most, 0);
    if (!surroundDecoder) return OPUS_ALLOC_FAIL;
    return opus_multistream_decode_float(surroundDecoder, data, bytes, pcm.data(), most, 0);
}

// Goes on with the next link of a chain; false after the last.
bool OpusPackets::State::NextLink() {
    if (link + 1 >= links.size()) return false;
    StartAt(links[link + 1].firstAudio);
    return true;
}

// End: no pages left in the link, or the file cannot be read (cut short under us).
// Damaged: the page fails its checksum.
OpusPackets::State::Fed OpusPackets::State::FeedPage() {
    if (nextPage >= links[link].endPage) return Fed::End;
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
        // is whole.
        if (got < 0) return SkipDamage(nextPage - 1);
        const Fed fed = FeedPage();
        if (fed == Fed::End) return false;
        if (fed == Fed::Damaged) return SkipDamage(nextPage);
    }
    const int n = Decode(packet.packet, static_cast<int>(packet.bytes),
                         static_cast<int>(pcm.size()) / channels);
    if (n < 0) return SkipDamage(nextPage);
    pcmFrames = n;
    pcmAt = 0;
    return true;
}

// DecodeNext, but a link of a chain that ends before its last granule position said
// has the rest of its time concealed, so that the links after keep theirs (for reads
// and seeks alike). False at the end.
bool OpusPackets::State::DecodeOrConceal() {
    if (DecodeNext()) return true;
    if (link + 1 >= links.size() || position >= LinkEnd()) return false;
    concealLeft = LinkEnd() - position;
    Conceal();
    return true;
}

// Whether the granule position of `page` can place what follows it: the page passes
// its checksum (a flipped bit in the field fails it) and its granule position is not
// behind that of an earlier page of the link; such a one would put the audio after
// it at an earlier time.
bool OpusPackets::State::Placed(size_t page) {
    const Link& l = links[LinkOf(page)];
    for (size_t p = page; p-- > l.firstAudio;) {
        if (pages[p].granule < 0) continue;
        if (pages[p].granule > pages[page].granule) return false;
        break;
    }
    return pages[page].granule >= l.startGranule && ReadWholePage(page);
}

// Damage loses the packets it touches, not the rest of the stream: decoding goes on
// at page `from` (the first after the damage) when its own packets tell where it
// begins, else at the next page after it that begins with a whole packet, placed by
// the granule position of the page before or else by its own packets; the time up to
// there is filled by the decoder's concealment, so that everything after keeps its
// time and the stream its length. With no such page, the concealment runs to the
// link's stated end.
bool OpusPackets::State::SkipDamage(size_t from) {
    const Link& l = links[link];
    // Where a granule position places the audio after it; only a place from here to
    // the link's end can be right: one in the past or past the end (a damaged granule
    // position may be any number) would lose the audio up to the end.
    int64_t at = 0;
    const auto place = [&](int64_t granule) {
        if (granule < l.startGranule) return false;  // before the link's start
        const int64_t decoded = (granule - l.startGranule) / factor;
        if (decoded > l.frames + l.preSkip) return false;
        at = l.base + decoded - l.preSkip;
        return at >= position;
    };
    size_t resume = l.endPage;
    int64_t resumeAt = LinkEnd();
    const int64_t start = PageStart(from);
    if (start >= 0 && place(start)) {
        resume = from;
        resumeAt = at;
    }
    for (size_t r = from + 1; resume == l.endPage && r < l.endPage; ++r) {
        if (pages[r].continued) continue;
        const int64_t before = pages[r - 1].granule;
        if (before < 0 || !place(before)) {
            const int64_t own = PageStart(r);
            if (own < 0 || !place(own)) continue;
        }
        resume = r;
        resumeAt = at;
    }
    ogg_stream_reset(&stream);
    ogg_sync_reset(&sync);
    nextPage = resume;
    concealLeft = std::max<int64_t>(0, resumeAt - position);
    pcmFrames = pcmAt = 0;
    if (concealLeft > 0) Conceal();
    return true;
}

// Reads `page` into pageBytes; false when it cannot be read or fails its checksum.
bool OpusPackets::State::ReadWholePage(size_t page) {
    return ReadWholeOggPage(file, pages[page].offset, &pageBytes) &&
           pageBytes.size() == static_cast<size_t>(pages[page].bytes);
}

// The granule position where `page` begins, from its own packets: known for a page of
// the link that is whole, begins with a packet and ends one, and is not the link's
// last (whose granule position may cut its end short); -1 otherwise.
int64_t OpusPackets::State::PageStart(size_t page) {
    if (page >= links[link].endPage - 1 || pages[page].continued || pages[page].granule < 0 ||
        !ReadWholePage(page))
        return -1;
    const int segments = pageBytes[26];
    int64_t samples = 0;
    int64_t at = 27 + segments, bytes = 0;
    for (int i = 0; i < segments; ++i) {
        bytes += pageBytes[27 + i];
        if (pageBytes[27 + i] == 255) continue;  // the packet goes on
        const int n = opus_packet_get_nb_samples(pageBytes.data() + at,
                                                 static_cast<opus_int32>(bytes), kGranuleRate);
        if (n < 0) return -1;
        samples += n;
        at += bytes;
        bytes = 0;
    }
    return pages[page].granule - samples;
}

// The next piece of concealment, in the 2.5 ms steps the decoder conceals in; a
// remainder shorter than a step is silence.
void OpusPackets::State::Conceal() {
    const int step = rate / 400;
    const int n = static_cast<int>(
        std::min<int64_t>(concealLeft, static_cast<int64_t>(pcm.size()) / channels));
    const int steps = n / step * step;
    int got = steps > 0 ? Decode(nullptr, 0, steps) : 0;
    if (got < 0) got = 0;
    std::fill(pcm.begin() + static_cast<std::ptrdiff_t>(got) * channels,
              pcm.begin() + static_cast<std::ptrdiff_t>(n) * channels, 0.0f);
    pcmFrames = n;
    pcmAt = 0;
    concealLeft -= n;
}

OpusPackets::OpusPackets(std::unique_ptr<State> state) : state_(std::move(state)) {}
OpusPackets::~OpusPackets() = default;

std::unique_ptr<OpusPackets> OpusPackets::Open(const FileSource& file) {
    try {
        auto state = std::make_unique<State>(file);
        if (!state->Index()) return nullptr;
        return std::unique_ptr<OpusPackets>(new OpusPackets(std::move(state)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

size_t OpusPackets::links() const { return state_->links.size(); }

bool OpusPackets::Start(int rate, int channels, int64_t frames) {
    State& s = *state_;
    if (channels != s.links[0].channels || frames < 0) return false;
    if (rate != 8000 && rate != 12000 && rate != 16000 && rate != 24000 && rate != 48000) {
        return false;
    }
    // No longer than the stream's pages can hold, as Start() bounds each link: a
    // length from a damaged granule position would have a seek near the end conceal
    // up to it, for as long as that takes.
    const Link& first = s.links[0];
    const int64_t pages = static_cast<int64_t>(first.endPage - first.firstAudio);
    if (frames > MostFrames(pages, kGranuleRate / rate)) return false;
    s.links.resize(1);
    s.rate = rate;
    s.channels = channels;
    s.frames = s.links[0].frames = frames;
    return s.Prepare();
}

bool OpusPackets::Start() {
    State& s = *state_;
    s.rate = 8000;
    for (const Link& l : s.links) {
        int wanted = kGranuleRate;  // the lowest rate that keeps the source's band
        for (const int r : {24000, 16000, 12000, 8000}) {
            if (l.inputRate > 0 && l.inputRate <= r) wanted = r;
        }
        s.rate = std::max(s.rate, wanted);
        s.channels = std::max(s.channels, l.channels);
    }
    if (!s.Prepare()) return false;
    for (size_t k = 0; k < s.links.size(); ++k) {
        Link& l = s.links[k];
        l.base = s.frames;
        // From the last whole page that ends a packet, and no longer than its pages
        // can hold (a damaged granule position may be any number).
        for (size_t p = l.endPage; p-- > l.firstAudio;) {
            if (s.pages[p].granule < 0 || !s.ReadWholePage(p)) continue;
            const int64_t most = MostFrames(static_cast<int64_t>(p + 1 - l.firstAudio), s.factor);
            // A granule position before the link's start (its start may come from a
            // damaged one near the largest value) holds nothing.
            const int64_t decoded = s.pages[p].granule >= l.startGranule
                                        ? (s.pages[p].granule - l.startGranule) / s.factor
                                        : 0;
            l.frames = std::clamp<int64_t>(decoded - l.preSkip, 0, most);
            break;
        }
        s.frames += l.frames;
    }
    return s.frames > 0;
}

int OpusPackets::rate() const { return state_->rate; }
int OpusPackets::channels() const { return state_->channels; }
int64_t OpusPackets::frames() const { return state_->frames; }

int64_t OpusPackets::Read(float* out, int64_t frames) {
    State& s = *state_;
    int64_t done = 0;
    while (done < frames && !s.ended) {
        if (s.position >= s.LinkEnd()) {
            if (!s.NextLink()) s.ended = true;
            continue;
        }
        if (s.pcmAt >= s.pcmFrames) {
            if (!s.DecodeOrConceal()) s.ended = true;
            continue;
        }
        int available = s.pcmFrames - s.pcmAt;
        // The pre-skip of a link, or the lead of a seek.
        const int64_t dropBefore = std::max(s.dropBefore, s.links[s.link].base);
        if (s.position < dropBefore) {
            const int drop =
                static_cast<int>(std::min<int64_t>(available, dropBefore - s.position));
            s.pcmAt += drop;
            s.position += drop;
            continue;
        }
        const int64_t take =
            std::min<int64_t>({available, frames - done, s.LinkEnd() - s.position});
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
    size_t link = 0;
    while (link + 1 < s.links.size() && frame >= s.links[link + 1].base) ++link;
    const Link& l = s.links[link];
    // The link's last page that ends early enough before the target for the
    // pre-roll, and after which a new packet begins. Granule positions are counted
    // from the link's start by a difference: a damaged one may lie near the largest
    // value, or behind the pages before it (see Placed).
    const int64_t latest = (frame - l.base + l.preSkip) * s.factor - kPreroll;
    size_t start = l.firstAudio;
    for (size_t p = l.endPage; p-- > l.firstAudio + 1;) {
        const Page& before = s.pages[p - 1];
        if (s.pages[p].continued || before.granule < 0) continue;
        if (before.granule - l.startGranule <= latest && s.Placed(p - 1)) {
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
            if (!s.DecodeOrConceal()) return false;
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
