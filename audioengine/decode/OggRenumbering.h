// SPDX-License-Identifier: MIT
// New serial numbers for the streams of a later file in a chain of Ogg files that
// reuses an earlier file's (files joined end to end from an encoder that gives every
// file the same number). libvorbisfile tells the files of a chain apart by their
// streams' serial numbers: with one number throughout it sees one stream, whose
// length is the last file's, and plays that much of the first. Here the pages of
// such a later file are given a number of their own in the bytes the library reads:
// each page's serial number is replaced, and its checksum with it.
#pragma once

#include <cstdint>
#include <vector>

#include "audioengine/decode/FileSource.h"

namespace ae {

class OggRenumbering {
  public:
    // The whole page (header included) of `bytes` bytes at `offset` is to show the
    // serial number `serial`. Pages are added in file order. Throws std::bad_alloc.
    void Add(int64_t offset, int64_t bytes, uint32_t serial);
    bool empty() const { return pages_.empty(); }

    // Rewrites `data`, which holds `length` bytes of `file` read from offset `at`, so
    // that every page added shows its new serial number, with a checksum to match. A
    // page whose checksum does not match its bytes in the file is left as it is, so
    // that it is still found damaged. Reads `file` at absolute offsets only. Throws
    // std::bad_alloc (the first time a page is rewritten).
    void Apply(const FileSource& file, int64_t at, unsigned char* data, int64_t length);

  private:
    struct Page {
        int64_t offset;
        int64_t bytes;
        uint32_t serial;
    };
    // The page's header bytes 14 to 25 (serial number, page number, checksum) as they
    // are to be read; false when the page in the file is damaged. The last page's are
    // kept: a read that ends inside them is followed by one that begins there.
    bool Fields(const FileSource& file, const Page& page, const unsigned char** fields);

    std::vector<Page> pages_;
    int64_t fieldsOf_ = -1;  // the offset of the page whose fields are in fields_
    bool fieldsOk_ = false;
    unsigned char fields_[12] = {};
    std::vector<unsigned char> scratch_;  // a whole page, read to compute its checksum
};

}  // namespace ae
