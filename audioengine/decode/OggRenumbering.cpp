// SPDX-License-Identifier: MIT
#include "audioengine/decode/OggRenumbering.h"

#include <ogg/ogg.h>

#include <algorithm>
#include <cstring>

#include "audioengine/decode/ByteOrder.h"
#include "audioengine/decode/FileKind.h"

namespace ae {

namespace {
// The header bytes rewritten: the serial number (14 to 17) and the checksum (22 to
// 25), with the page number between them as it is.
constexpr int64_t kFieldsFrom = 14;
constexpr int64_t kFieldsEnd = 26;
}  // namespace

void OggRenumbering::Add(int64_t from, int64_t to, uint32_t serial, uint32_t renamed) {
    if (ranges_.empty() || ranges_.back().from != from) ranges_.push_back({from, to, {}});
    ranges_.back().renames.push_back({serial, renamed});
}

void OggRenumbering::Apply(const FileSource& file, int64_t at, unsigned char* data,
                           int64_t length) {
    // A page that begins at p has its fields in [p + 14, p + 26): those that meet the
    // read begin in [at - 25, at + length - 14), and their capture patterns lie in
    // `data` but for those that begin before `at`.
    const int64_t first = at - (kFieldsEnd - 1), end = at + length - kFieldsFrom;
    auto range = std::upper_bound(ranges_.begin(), ranges_.end(), first,
                                  [](int64_t offset, const Range& r) { return offset < r.to; });
    for (; range != ranges_.end() && range->from < end; ++range) {
        const int64_t from = std::max(first, range->from), to = std::min(end, range->to);
        if (from < at) {
            unsigned char before[kFieldsEnd - 1 + 3];
            const int64_t starts = std::min(to, at) - from;
            const int64_t got = file.ReadAt(from, before, starts + 3);
            for (int64_t i = 0; i < starts && i + 4 <= got; ++i) {
                if (std::memcmp(before + i, "OggS", 4) == 0)
                    ApplyToPage(file, *range, from + i, at, data, length);
            }
        }
        for (int64_t p = std::max(from, at); p < to; ++p) {
            const void* o = std::memchr(data + (p - at), 'O', static_cast<size_t>(to - p));
            if (!o) break;
            p = at + (static_cast<const unsigned char*>(o) - data);
            if (std::memcmp(data + (p - at), "OggS", 4) == 0)
                ApplyToPage(file, *range, p, at, data, length);
        }
    }
}

void OggRenumbering::ApplyToPage(const FileSource& file, const Range& range, int64_t page,
                                 int64_t at, unsigned char* data, int64_t length) {
    const unsigned char* fields = nullptr;
    if (!Fields(file, range, page, &fields)) return;
    const int64_t from = std::max(at, page + kFieldsFrom);
    const int64_t to = std::min(at + length, page + kFieldsEnd);
    for (int64_t i = from; i < to; ++i) data[i - at] = fields[i - page - kFieldsFrom];
}

bool OggRenumbering::Fields(const FileSource& file, const Range& range, int64_t page,
                            const unsigned char** fields) {
    *fields = fields_;
    if (fieldsOf_ == page) return fieldsOk_;
    fieldsOf_ = -1;
    // ReadWholeOggPage finds a page whose checksum does not match no page at all.
    if (!ReadWholeOggPage(file, page, &scratch_)) return false;
    const uint32_t serial = LittleEndian32(scratch_.data() + kFieldsFrom);
    const auto rename = std::find_if(range.renames.begin(), range.renames.end(),
                                     [&](const Rename& r) { return r.serial == serial; });
    fieldsOf_ = page;
    fieldsOk_ = rename != range.renames.end();
    if (!fieldsOk_) return false;
    for (int i = 0; i < 4; ++i)
        scratch_[static_cast<size_t>(kFieldsFrom + i)] =
            static_cast<unsigned char>(rename->renamed >> 8 * i);
    const long headerBytes = 27 + scratch_[26];
    ogg_page og{scratch_.data(), headerBytes, scratch_.data() + headerBytes,
                static_cast<long>(scratch_.size()) - headerBytes};
    ogg_page_checksum_set(&og);
    std::copy(scratch_.begin() + kFieldsFrom, scratch_.begin() + kFieldsEnd, fields_);
    return true;
}

}  // namespace ae
