// The system calls that touch files and shared memory, reached through one
// replaceable table so that tests can inject failures (ENOSPC, EMFILE, short
// reads) without touching the code under test.
//
// Rules: production code calls platform::sys().xxx(...) instead of ::xxx(...).
// Only tests change the table, and only while no other thread uses it
// (ScopedSysCall restores the entry it replaced).
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace platform {

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buf, size_t n);
    ssize_t (*pread)(int fd, void* buf, size_t n, off_t offset);
    ssize_t (*write)(int fd, const void* buf, size_t n);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fstat)(int fd, struct stat* st);
    int (*ftruncate)(int fd, off_t length);
    // Returns 0 or an error number (it does not set errno), like the real call.
    int (*posix_fallocate)(int fd, off_t offset, off_t length);
    int (*shm_open)(const char* name, int flags, mode_t mode);
    int (*shm_unlink)(const char* name);
    void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* addr, size_t length);
    int (*mlock)(const void* addr, size_t length);
    int (*munlock)(const void* addr, size_t length);
};

// The table in use. Starts out pointing at the real calls.
SysCalls& sys();

// The real calls, for restoring or for wrapping in a test.
const SysCalls& realSysCalls();

// Replaces one entry of the table for the lifetime of the object.
//   platform::ScopedSysCall guard(&platform::SysCalls::read, myShortRead);
template <typename Fn>
class ScopedSysCall {
public:
    ScopedSysCall(Fn SysCalls::*entry, Fn replacement) : entry_(entry), saved_(sys().*entry) {
        sys().*entry_ = replacement;
    }
    ~ScopedSysCall() { sys().*entry_ = saved_; }
    ScopedSysCall(const ScopedSysCall&) = delete;
    ScopedSysCall& operator=(const ScopedSysCall&) = delete;

private:
    Fn SysCalls::*entry_;
    Fn saved_;
};

}  // namespace platform
