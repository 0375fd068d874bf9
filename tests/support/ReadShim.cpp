// SPDX-License-Identifier: MIT
// The interposed file calls and the watched files' policies.
//
// Open descriptors map to a watched file through a fixed table indexed by descriptor
// number, so the read path of an unwatched file is one atomic load and the read
// path of a watched one allocates nothing. Everything a watched read touches sits
// under its file's mutex; the descriptor table and the files' identities change
// under one table mutex, taken by open and close only while some file is watched.
#include "tests/support/ReadShim.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

// A sanitizer runtime linked into the executable defines these; its own open,
// pread... are weak aliases of them, which the definitions below override. Calling
// them keeps the sanitizer's bookkeeping of descriptors and buffers whole.
extern "C" {
int __interceptor_open(const char* path, int flags, ...) __attribute__((weak));
int __interceptor_open64(const char* path, int flags, ...) __attribute__((weak));
int __interceptor_openat(int dir, const char* path, int flags, ...) __attribute__((weak));
int __interceptor_openat64(int dir, const char* path, int flags, ...) __attribute__((weak));
ssize_t __interceptor_pread(int fd, void* buffer, size_t bytes, off_t offset) __attribute__((weak));
ssize_t __interceptor_pread64(int fd, void* buffer, size_t bytes, off64_t offset)
    __attribute__((weak));
int __interceptor_close(int fd) __attribute__((weak));
}

namespace readshim {
namespace {

// Descriptors at or above this number are never watched.
constexpr int kMaxFds = 4096;

struct FdState {
    std::atomic<int> slot{0};          // 1 + the watched file's slot, 0 for none
    std::atomic<int64_t> lastEnd{-1};  // where the previous read ended; -1 before any
};
FdState g_fds[kMaxFds];

struct Rule {
    // Guarded by g_tableMutex.
    bool inUse = false;
    dev_t device = 0;
    ino_t inode = 0;
    // Guarded by mutex.
    std::mutex mutex;
    std::condition_variable changed;
    bool closing = false;  // the WatchedFile is going: nothing waits any more
    int inside = 0;        // reads in the policy code
    int blocked = 0;       // reads waiting at the latch
    bool latched = false;
    std::chrono::milliseconds seekDelay{0};
    std::chrono::milliseconds readDelay{0};
    int64_t failBudget = -1;  // bytes left before reads fail; -1 never
    int failError = EIO;
    uint64_t failGeneration = 0;  // bumped by FailAfter, so a late read gives back nothing
    int64_t reads = 0, seeks = 0, bytes = 0, failures = 0;
};
Rule g_rules[WatchedFile::kMaxWatched];
std::mutex g_tableMutex;
std::atomic<int> g_watching{0};

// The next definition of `name` after this executable's: libc's.
template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int RealOpen(const char* path, int flags, mode_t mode) {
    if (__interceptor_open) return __interceptor_open(path, flags, mode);
    static const auto next = Next<int (*)(const char*, int, ...)>("open");
    return next(path, flags, mode);
}
int RealOpen64(const char* path, int flags, mode_t mode) {
    if (__interceptor_open64) return __interceptor_open64(path, flags, mode);
    static const auto next = Next<int (*)(const char*, int, ...)>("open64");
    return next(path, flags, mode);
}
int RealOpenat(int dir, const char* path, int flags, mode_t mode) {
    if (__interceptor_openat) return __interceptor_openat(dir, path, flags, mode);
    static const auto next = Next<int (*)(int, const char*, int, ...)>("openat");
    return next(dir, path, flags, mode);
}
int RealOpenat64(int dir, const char* path, int flags, mode_t mode) {
    if (__interceptor_openat64) return __interceptor_openat64(dir, path, flags, mode);
    static const auto next = Next<int (*)(int, const char*, int, ...)>("openat64");
    return next(dir, path, flags, mode);
}
ssize_t RealPread(int fd, void* buffer, size_t bytes, off_t offset) {
    if (__interceptor_pread) return __interceptor_pread(fd, buffer, bytes, offset);
    static const auto next = Next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    return next(fd, buffer, bytes, offset);
}
ssize_t RealPread64(int fd, void* buffer, size_t bytes, off64_t offset) {
    if (__interceptor_pread64) return __interceptor_pread64(fd, buffer, bytes, offset);
    static const auto next = Next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64");
    return next(fd, buffer, bytes, offset);
}
int RealClose(int fd) {
    if (__interceptor_close) return __interceptor_close(fd);
    static const auto next = Next<int (*)(int)>("close");
    return next(fd);
}

bool Tracked(int fd) { return fd >= 0 && fd < kMaxFds; }

// The watched slot whose file `st` is, or -1. Under g_tableMutex.
int SlotOf(const struct stat& st) {
    for (int i = 0; i < WatchedFile::kMaxWatched; ++i)
        if (g_rules[i].inUse && g_rules[i].device == st.st_dev && g_rules[i].inode == st.st_ino)
            return i;
    return -1;
}

// A descriptor was just opened: it maps to its file's slot, or to none (its number
// may have belonged to a watched file before).
void Opened(int fd) {
    if (!Tracked(fd)) return;
    g_fds[fd].lastEnd.store(-1);
    if (g_watching.load() == 0) {
        g_fds[fd].slot.store(0);
        return;
    }
    const int saved = errno;
    std::lock_guard<std::mutex> lock(g_tableMutex);
    struct stat st {};
    const int slot = ::fstat(fd, &st) == 0 ? SlotOf(st) : -1;
    g_fds[fd].slot.store(slot + 1);
    errno = saved;
}

void Closing(int fd) {
    if (!Tracked(fd)) return;
    if (g_watching.load() == 0) {
        g_fds[fd].slot.store(0);
        return;
    }
    std::lock_guard<std::mutex> lock(g_tableMutex);
    g_fds[fd].slot.store(0);
}

mode_t ModeArgument(int flags, va_list arguments) {
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) return va_arg(arguments, mode_t);
    return 0;
}

// A read of a watched descriptor: the policies, then the real read through `real`.
template <typename Offset, typename Real>
ssize_t WatchedRead(int fd, int slot, void* buffer, size_t bytes, Offset offset, Real real) {
    Rule& rule = g_rules[slot];
    std::unique_lock<std::mutex> lock(rule.mutex);
    // The file stopped being watched since the descriptor's slot was read.
    if (rule.closing || g_fds[fd].slot.load() != slot + 1) {
        lock.unlock();
        return real(fd, buffer, bytes, offset);
    }
    ++rule.inside;
    ++rule.reads;
    const int64_t lastEnd = g_fds[fd].lastEnd.load();
    std::chrono::milliseconds delay = rule.readDelay;
    if (lastEnd >= 0 && lastEnd != static_cast<int64_t>(offset)) {
        ++rule.seeks;
        delay += rule.seekDelay;
    }
    if (delay.count() > 0) rule.changed.wait_for(lock, delay, [&] { return rule.closing; });
    while (rule.latched && !rule.closing) {
        ++rule.blocked;
        rule.changed.notify_all();
        rule.changed.wait(lock);
        --rule.blocked;
    }
    ssize_t result = -1;
    int error = 0;
    if (rule.failBudget == 0) {
        ++rule.failures;
        error = rule.failError;
    } else {
        const uint64_t generation = rule.failGeneration;
        const bool limited = rule.failBudget > 0;
        const size_t allowed =
            limited ? std::min(bytes, static_cast<size_t>(rule.failBudget)) : bytes;
        if (limited) rule.failBudget -= static_cast<int64_t>(allowed);
        lock.unlock();
        result = real(fd, buffer, allowed, offset);
        error = errno;
        lock.lock();
        const int64_t got = std::max<ssize_t>(result, 0);
        if (limited && generation == rule.failGeneration)
            rule.failBudget += static_cast<int64_t>(allowed) - got;  // what went unread
        rule.bytes += got;
        g_fds[fd].lastEnd.store(static_cast<int64_t>(offset) + got);
    }
    if (--rule.inside == 0 && rule.closing) rule.changed.notify_all();
    lock.unlock();
    errno = error;
    return result;
}

template <typename Offset, typename Real>
ssize_t Read(int fd, void* buffer, size_t bytes, Offset offset, Real real) {
    const int slot = Tracked(fd) ? g_fds[fd].slot.load() - 1 : -1;
    if (slot < 0) return real(fd, buffer, bytes, offset);
    return WatchedRead(fd, slot, buffer, bytes, offset, real);
}

}  // namespace

WatchedFile::WatchedFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    std::lock_guard<std::mutex> table(g_tableMutex);
    for (int i = 0; i < kMaxWatched && slot_ < 0; ++i) {
        if (!g_rules[i].inUse) slot_ = i;
    }
    if (slot_ < 0) return;
    Rule& rule = g_rules[slot_];
    rule.inUse = true;
    rule.device = st.st_dev;
    rule.inode = st.st_ino;
    g_watching.fetch_add(1);
    // Adopt the descriptors already open on the file. /proc/self/fd/N names the open
    // file itself, so stat finds it even when it was renamed or deleted.
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(fds)) {
            const int fd = std::atoi(entry->d_name);
            struct stat held {};
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || !Tracked(fd) ||
                ::fstatat(::dirfd(fds), entry->d_name, &held, 0) != 0)
                continue;
            if (held.st_dev == st.st_dev && held.st_ino == st.st_ino) {
                g_fds[fd].lastEnd.store(-1);
                g_fds[fd].slot.store(slot_ + 1);
            }
        }
        ::closedir(fds);
    }
}

WatchedFile::~WatchedFile() {
    if (slot_ < 0) return;
    Rule& rule = g_rules[slot_];
    {
        std::unique_lock<std::mutex> lock(rule.mutex);
        rule.closing = true;
        rule.changed.notify_all();
        rule.changed.wait(lock, [&] { return rule.inside == 0; });
    }
    {
        std::lock_guard<std::mutex> table(g_tableMutex);
        for (FdState& fd : g_fds) {
            if (fd.slot.load() == slot_ + 1) fd.slot.store(0);
        }
        rule.inUse = false;
        g_watching.fetch_sub(1);
    }
    std::lock_guard<std::mutex> lock(rule.mutex);
    rule.closing = rule.latched = false;
    rule.seekDelay = rule.readDelay = std::chrono::milliseconds(0);
    rule.failBudget = -1;
    rule.failError = EIO;
    rule.reads = rule.seeks = rule.bytes = rule.failures = 0;
}

void WatchedFile::Latch() {
    if (slot_ < 0) return;
    std::lock_guard<std::mutex> lock(g_rules[slot_].mutex);
    g_rules[slot_].latched = true;
}

void WatchedFile::Release() {
    if (slot_ < 0) return;
    std::lock_guard<std::mutex> lock(g_rules[slot_].mutex);
    g_rules[slot_].latched = false;
    g_rules[slot_].changed.notify_all();
}

bool WatchedFile::WaitUntilBlocked(std::chrono::milliseconds timeout) {
    if (slot_ < 0) return false;
    Rule& rule = g_rules[slot_];
    std::unique_lock<std::mutex> lock(rule.mutex);
    return rule.changed.wait_for(lock, timeout, [&] { return rule.blocked > 0; });
}

void WatchedFile::SetSeekDelay(std::chrono::milliseconds delay) {
    if (slot_ < 0) return;
    std::lock_guard<std::mutex> lock(g_rules[slot_].mutex);
    g_rules[slot_].seekDelay = std::max(delay, std::chrono::milliseconds(0));
}

void WatchedFile::SetReadDelay(std::chrono::milliseconds delay) {
    if (slot_ < 0) return;
    std::lock_guard<std::mutex> lock(g_rules[slot_].mutex);
    g_rules[slot_].readDelay = std::max(delay, std::chrono::milliseconds(0));
}

void WatchedFile::FailAfter(int64_t bytes, int error) {
    if (slot_ < 0) return;
    std::lock_guard<std::mutex> lock(g_rules[slot_].mutex);
    g_rules[slot_].failBudget = std::max<int64_t>(bytes, 0);
    g_rules[slot_].failError = error;
    ++g_rules[slot_].failGeneration;
}

namespace {
template <typename Member>
int64_t Count(int slot, Member member) {
    if (slot < 0) return 0;
    std::lock_guard<std::mutex> lock(g_rules[slot].mutex);
    return g_rules[slot].*member;
}
}  // namespace

int64_t WatchedFile::reads() const { return Count(slot_, &Rule::reads); }
int64_t WatchedFile::seeks() const { return Count(slot_, &Rule::seeks); }
int64_t WatchedFile::bytes() const { return Count(slot_, &Rule::bytes); }
int64_t WatchedFile::failures() const { return Count(slot_, &Rule::failures); }

}  // namespace readshim

// ---- The interposed calls ----------------------------------------------------------

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = readshim::ModeArgument(flags, arguments);
    va_end(arguments);
    const int fd = readshim::RealOpen(path, flags, mode);
    readshim::Opened(fd);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = readshim::ModeArgument(flags, arguments);
    va_end(arguments);
    const int fd = readshim::RealOpen64(path, flags, mode);
    readshim::Opened(fd);
    return fd;
}

int openat(int dir, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = readshim::ModeArgument(flags, arguments);
    va_end(arguments);
    const int fd = readshim::RealOpenat(dir, path, flags, mode);
    readshim::Opened(fd);
    return fd;
}

int openat64(int dir, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = readshim::ModeArgument(flags, arguments);
    va_end(arguments);
    const int fd = readshim::RealOpenat64(dir, path, flags, mode);
    readshim::Opened(fd);
    return fd;
}

ssize_t pread(int fd, void* buffer, size_t bytes, off_t offset) {
    return readshim::Read(fd, buffer, bytes, offset, readshim::RealPread);
}

ssize_t pread64(int fd, void* buffer, size_t bytes, off64_t offset) {
    return readshim::Read(fd, buffer, bytes, offset, readshim::RealPread64);
}

int close(int fd) {
    readshim::Closing(fd);
    return readshim::RealClose(fd);
}

}  // extern "C"
