// SPDX-License-Identifier: MIT
#include "audioengine/tags/TagCache.h"

#include <utility>

namespace audioengine {

TagCache::TagCache(std::size_t capacity, Reader reader)
    : capacity_(capacity > 0 ? capacity : 1), reader_(std::move(reader)) {}

std::string TagCache::Get(std::uint32_t handle, const std::string& path, TagKey key) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = byHandle_.find(handle);
        if (found != byHandle_.end() && found->second->path == path) {
            order_.splice(order_.begin(), order_, found->second);
            return found->second->tags[key];
        }
    }

    TagSet tags = reader_(path);
    std::string value = tags[key];

    std::lock_guard<std::mutex> lock(mutex_);
    auto found = byHandle_.find(handle);
    if (found != byHandle_.end()) {
        // Another thread read it meanwhile, or the handle now names another file.
        Entry& entry = *found->second;
        if (entry.path != path) {
            entry.path = path;
            entry.tags = std::move(tags);
        }
        order_.splice(order_.begin(), order_, found->second);
        return entry.tags[key];
    }
    order_.push_front(Entry{handle, path, std::move(tags)});
    try {
        byHandle_[handle] = order_.begin();
    } catch (...) {
        order_.pop_front();  // keep the list and the index in step
        throw;
    }
    while (order_.size() > capacity_) {
        byHandle_.erase(order_.back().handle);
        order_.pop_back();
    }
    return value;
}

std::size_t TagCache::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_.size();
}

}  // namespace audioengine
