// SPDX-License-Identifier: MIT
// Makes one file's reads slow, blocked or failing, for tests and benchmarks of what
// the engine does when a disk spins up, a network share stalls or a sector is bad.
//
// Linking this library into an executable defines open, open64, openat, openat64,
// pread, pread64 and close there. Those definitions take precedence over libc's for
// every shared library of the process (libbass.so included), so the engine's own
// reads pass through here unchanged. Each call goes on to the real function (a
// sanitizer's interceptor when the build has one, else libc's). Only the reads of a
// file that a WatchedFile names are ever touched; every other call costs one table
// lookup.
//
// A file is named by its identity (device and inode), not its spelling: descriptors
// already open on it when the WatchedFile is made are adopted, and a file that is
// renamed or deleted while open is still matched.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

namespace readshim {

// Applies read policies to one file while it lives. Policies combine: a read is
// delayed (seek delay, then read delay), then waits at the latch, then fails or runs.
// Every method may be called from any thread. Destroying it releases every read
// that waits on it and waits for them to leave.
class WatchedFile {
  public:
    // Watches the file at `path`; ok() is false when it does not exist or when
    // kMaxWatched files are watched already.
    explicit WatchedFile(const std::string& path);
    ~WatchedFile();
    WatchedFile(const WatchedFile&) = delete;
    WatchedFile& operator=(const WatchedFile&) = delete;

    bool ok() const { return slot_ >= 0; }

    // Closes the latch: every read of the file blocks until Release().
    void Latch();
    void Release();
    // True once a read is blocked at the latch; false when none is within `timeout`.
    bool WaitUntilBlocked(std::chrono::milliseconds timeout);

    // A read that does not start where the previous read of the same descriptor
    // ended sleeps `delay` first: a disk or network share seeking. 0 turns it off.
    void SetSeekDelay(std::chrono::milliseconds delay);
    // Every read sleeps `delay` first. 0 turns it off.
    void SetReadDelay(std::chrono::milliseconds delay);
    // From now on the file gives `bytes` more bytes in all (a read crossing that
    // point comes back short), then every read fails with `error`.
    void FailAfter(int64_t bytes, int error = EIO);

    // Counts since the file was watched: reads, reads that did not follow on from the
    // previous one, bytes read and reads that failed by the policy.
    int64_t reads() const;
    int64_t seeks() const;
    int64_t bytes() const;
    int64_t failures() const;

    static constexpr int kMaxWatched = 8;

  private:
    int slot_ = -1;
};

}  // namespace readshim
