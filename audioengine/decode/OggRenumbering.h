// SPDX-License-Identifier: MIT
// New serial numbers for the streams of a later file in a chain of Ogg files that
// reuses an earlier file's (files joined end to end from an encoder that gives every
// file the same number). libvorbisfile tells the files of a chain apart by their
// streams' serial numbers: with one number throughout it sees one stream, whose
// length is the last file's, and plays that much of the first. Here the pages of
// such a later file are given a number of their own in the bytes the library reads:
// each page's serial number is replaced, and its checksum with it.
//
// What is kept is a byte range per renamed file and its few renamed streams, not the
// pages: a read finds the pages whose headers it holds by their capture pattern, and
// only a page whose checksum matches its bytes (a real, whole page) is rewritten.
#pragma once

#include <cstdint>
#include <vector>

#include "audioengine/decode/FileSource.h"

namespace ae {

class OggRenumbering {
  public:
    // The pages of stream `serial` that begin in the file's bytes [from, to) are to
    // show the serial number `renamed`. Ranges are added in file order and do not
    // overlap; a range may have several streams renamed, added one after another.
    // Throws std::bad_alloc.
    void Add(int64_t from, int64_t to, uint32_t serial, uint32_t renamed);
    bool empty() const { return ranges_.empty(); }

    // Rewrites `data`, which holds `length` bytes of `file` read from offset `at`, so
    // that every page of a renamed stream shows its new serial number, with a checksum
    // to match. A page whose checksum does not match its bytes in the file is left as
    // it is, so that it is still found damaged. Reads `file` at absolute offsets only.
    // Throws std::bad_alloc.
    void Apply(const FileSource& file, int64_t at, unsigned char* data, int64_t length);

  private:
    struct Rename {
        uint32_t serial, renamed;
    };
    struct Range {
        int64_t from, to;
        std::vector<Rename> renames;
    };
    // Rewrites what `data` holds of the header fields of a page that may begin at
    // `page` within `range`.
    void ApplyToPage(const FileSource& file, const Range& range, int64_t page, int64_t at,
                     unsigned char* data, int64_t length);
    // The header bytes 14 to 25 (serial number, page number, checksum) of the page at
    // `page` within `range` as they are to be read; false when no whole page with a
    // matching checksum begins there, or its stream is not renamed. The last page's
    // are kept: a read that ends inside them is followed by one that begins there.
    bool Fields(const FileSource& file, const Range& range, int64_t page,
                const unsigned char** fields);

    std::vector<Range> ranges_;
    int64_t fieldsOf_ = -1;  // the offset of the page whose fields are in fields_
    bool fieldsOk_ = false;
    unsigned char fields_[12] = {};
    std::vector<unsigned char> scratch_;  // a whole page, read to compute its checksum
};

}  // namespace ae
