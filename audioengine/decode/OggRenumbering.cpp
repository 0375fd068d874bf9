// SPDX-License-Identifier: MIT
#include "audioengine/decode/OggRenumbering.h"

#include <ogg/ogg.h>

#include <algorithm>

#include "audioengine/decode/FileKind.h"

namespace ae {

namespace {
// The header bytes rewritten: the serial number (14 to 17) and the checksum (22 to
// 25), with the page number between them as it is.
constexpr int64_t kFieldsFrom = 14;
constexpr int64_t kFieldsEnd = 26;
}  // namespace

void OggRenumbering::Add(int64_t offset, int64_t bytes, uint32_t serial) {
    pages_.push_back({offset, bytes, serial});
}

void OggRenumbering::Apply(const FileSource& file, int64_t at, unsigned char* data,
                           int64_t length) {
    // The first page whose fields end after `at`; pages are in file order, and so are
    // their fields.
    auto page = std::lower_bound(pages_.begin(), pages_.end(), at - kFieldsEnd + 1,
                                 [](const Page& p, int64_t offset) { return p.offset < offset; });
    for (; page != pages_.end() && page->offset + kFieldsFrom < at + length; ++page) {
        const unsigned char* fields = nullptr;
        if (!Fields(file, *page, &fields)) continue;
        const int64_t from = std::max(at, page->offset + kFieldsFrom);
        const int64_t to = std::min(at + length, page->offset + kFieldsEnd);
        for (int64_t i = from; i < to; ++i) data[i - at] = fields[i - page->offset - kFieldsFrom];
    }
}

bool OggRenumbering::Fields(const FileSource& file, const Page& page,
                            const unsigned char** fields) {
    *fields = fields_;
    if (fieldsOf_ == page.offset) return fieldsOk_;
    fieldsOf_ = page.offset;
    // ReadWholeOggPage finds a page whose checksum does not match no page at all.
    fieldsOk_ = ReadWholeOggPage(file, page.offset, &scratch_) &&
                static_cast<int64_t>(scratch_.size()) == page.bytes;
    if (!fieldsOk_) return false;
    for (int i = 0; i < 4; ++i)
        scratch_[static_cast<size_t>(kFieldsFrom + i)] =
            static_cast<unsigned char>(page.serial >> 8 * i);
    const long headerBytes = 27 + scratch_[26];
    ogg_page og{scratch_.data(), headerBytes, scratch_.data() + headerBytes,
                static_cast<long>(scratch_.size()) - headerBytes};
    ogg_page_checksum_set(&og);
    std::copy(scratch_.begin() + kFieldsFrom, scratch_.begin() + kFieldsEnd, fields_);
    return true;
}

}  // namespace ae
