// SPDX-License-Identifier: MIT
// Reading a file through our own offset and read-ahead buffer.
#include "audioengine/decode/FileSource.h"

#ifdef _WIN32
#include "audioengine/platform/WindowsFile.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "plugin/engine/Bass.h"

namespace ae {

#ifdef _WIN32

// The name is in the ANSI code page, as the host passes it.
Result<std::unique_ptr<FileSource>> FileSource::Open(const std::string& path) {
    void* file = OpenDiskFile(path);
    if (file == nullptr) return Error{BASS_ERROR_FILEOPEN};
    std::unique_ptr<FileSource> source(new (std::nothrow) FileSource(file));
    if (!source) {
        CloseDiskFile(file);
        return Error{BASS_ERROR_MEM};
    }
    return source;
}

FileSource::~FileSource() { CloseDiskFile(file_); }

int64_t FileSource::ReadAt(int64_t offset, void* buffer, int64_t bytes) const {
    return ReadDiskFileAt(file_, offset, buffer, bytes);
}

int64_t FileSource::Size() const { return DiskFileSize(file_); }

#else

Result<std::unique_ptr<FileSource>> FileSource::Open(const std::string& path) {
    if (path.empty()) return Error{BASS_ERROR_FILEOPEN};
    // O_NONBLOCK so that opening a FIFO with no writer returns at once; it is
    // rejected right after by the regular-file check.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Error{BASS_ERROR_FILEOPEN};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Error{BASS_ERROR_FILEOPEN};
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return Error{BASS_ERROR_FILEOPEN};
    }
    std::unique_ptr<FileSource> file(new (std::nothrow) FileSource(fd));
    if (!file) {
        ::close(fd);
        return Error{BASS_ERROR_MEM};
    }
    return file;
}

FileSource::~FileSource() { ::close(fd_); }

int64_t FileSource::ReadAt(int64_t offset, void* buffer, int64_t bytes) const {
    if (offset < 0 || bytes < 0) return -1;
    auto* out = static_cast<unsigned char*>(buffer);
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::pread(fd_, out + done, static_cast<size_t>(bytes - done),
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? done : -1;
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

int64_t FileSource::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

#endif

int64_t FileSource::Read(void* buffer, int64_t bytes) {
    auto* out = static_cast<unsigned char*>(buffer);
    int64_t done = 0;
    while (done < bytes) {
        const int64_t left = bytes - done;
        if (offset_ >= bufferStart_ && offset_ < bufferStart_ + bufferLength_) {
            const int64_t n = std::min(left, bufferStart_ + bufferLength_ - offset_);
            std::memcpy(out + done, buffer_.get() + (offset_ - bufferStart_),
                        static_cast<size_t>(n));
            done += n;
            offset_ += n;
            continue;
        }
        // Called from inside C codec libraries: nothing here may throw.
        if (!buffer_) buffer_.reset(new (std::nothrow) unsigned char[kBufferBytes]);
        if (left >= kBufferBytes || !buffer_) {  // large reads go straight to the caller
            const int64_t n = ReadAt(offset_, out + done, left);
            if (n <= 0) return done > 0 ? done : n;
            done += n;
            offset_ += n;
            break;
        }
        bufferStart_ = offset_;
        bufferLength_ = ReadAt(offset_, buffer_.get(), kBufferBytes);
        if (bufferLength_ <= 0) {
            const int64_t result = done > 0 || bufferLength_ == 0 ? done : -1;
            bufferLength_ = 0;
            return result;
        }
    }
    return done;
}

int64_t FileSource::Seek(int64_t offset, int whence) {
    int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = offset_;
    } else if (whence == SEEK_END) {
        base = Size();
        if (base < 0) return -1;
    } else if (whence != SEEK_SET) {
        return -1;
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
    offset_ = base + offset;
    return offset_;
}

}  // namespace ae
