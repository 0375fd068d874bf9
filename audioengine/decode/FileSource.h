// SPDX-License-Identifier: MIT
// A read-only file opened without blocking, read through our own offset so that
// every codec library sees the same view of the file, including a file that
// shrinks or disappears while it is being decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audioengine/core/Result.h"

namespace ae {

class FileSource {
  public:
    // Opens a regular file for reading. A FIFO, device or directory fails at once
    // (the open never blocks) with BASS_ERROR_FILEOPEN.
    static Result<std::unique_ptr<FileSource>> Open(const std::string& path);
    ~FileSource();
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // Reads up to `bytes` at the current offset and advances it. Returns the bytes
    // read (0 at the end of the file), -1 on an I/O error. Small reads are served
    // from a read-ahead buffer: codecs read a few bytes at a time (a frame header,
    // then its body), and a system call for each made opening a long MP3 slow.
    int64_t Read(void* buffer, int64_t bytes);
    // Reads at an absolute offset without moving the current offset.
    int64_t ReadAt(int64_t offset, void* buffer, int64_t bytes) const;
    // lseek semantics (SEEK_SET/SEEK_CUR/SEEK_END); returns the new offset, -1 when
    // the result would be negative.
    int64_t Seek(int64_t offset, int whence);
    int64_t Tell() const { return offset_; }
    // The file's current size (it may change while we read); -1 on error.
    int64_t Size() const;

  private:
    static constexpr int64_t kBufferBytes = 32 * 1024;

#ifdef _WIN32
    explicit FileSource(void* file) : file_(file) {}
    void* file_;  // see WindowsFile.h
#else
    explicit FileSource(int fd) : fd_(fd) {}
    int fd_;
#endif
    int64_t offset_ = 0;
    // Holds the file's bytes [bufferStart_, bufferStart_ + bufferLength_).
    std::unique_ptr<unsigned char[]> buffer_;
    int64_t bufferStart_ = 0;
    int64_t bufferLength_ = 0;
};

}  // namespace ae
