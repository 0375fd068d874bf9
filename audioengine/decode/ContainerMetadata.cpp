// SPDX-License-Identifier: MIT
#include "audioengine/decode/ContainerMetadata.h"

#include <atomic>

#include "plugin/engine/Bass.h"

namespace ae {

namespace {
std::atomic<ContainerMetadataReader> gReader{nullptr};
}  // namespace

void SetContainerMetadataReader(ContainerMetadataReader reader) { gReader.store(reader); }

int ReadContainerMetadata(const std::string& path, AE_MetadataVisitor visit, void* user) {
    const ContainerMetadataReader reader = gReader.load();
    if (reader == nullptr) return BASS_ERROR_NOTAVAIL;
    const Result<std::unique_ptr<FileSource>> file = FileSource::Open(path);
    if (!file.ok()) return file.code();
    return reader(*file.value(), visit, user);
}

}  // namespace ae
