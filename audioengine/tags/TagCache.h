// SPDX-License-Identifier: MIT
// Remembers the tags of recently asked streams, so a display that polls them does
// not reparse the file each time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "audioengine/tags/TagReader.h"

namespace audioengine {

class TagCache {
  public:
    using Reader = std::function<TagSet(const std::string& path)>;

    // Keeps the tags of at most `capacity` streams (at least one), dropping the least
    // recently asked. `reader` reads a file's tags (ReadTags for real files).
    explicit TagCache(std::size_t capacity, Reader reader = ReadTags);

    // The value of `key` for the stream `handle`, whose file is `path`. The file is
    // read on the first request for the handle and the answer kept; a handle that
    // comes back with another path (an engine that reuses handles) is read afresh.
    // Threads: any; the file is read outside the lock, so a slow file does not hold
    // up requests for other streams.
    std::string Get(std::uint32_t handle, const std::string& path, TagKey key);

    std::size_t size() const;

  private:
    struct Entry {
        std::uint32_t handle;
        std::string path;
        TagSet tags;
    };
    using Order = std::list<Entry>;  // most recently asked first

    const std::size_t capacity_;
    const Reader reader_;
    mutable std::mutex mutex_;
    Order order_;
    std::unordered_map<std::uint32_t, Order::iterator> byHandle_;
};

}  // namespace audioengine
