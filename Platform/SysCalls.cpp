#include "SysCalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

int realOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int realShmOpen(const char* name, int flags, mode_t mode) { return ::shm_open(name, flags, mode); }
int realPosixFallocate(int fd, off_t offset, off_t length) {
    int result;
    do {
        result = ::posix_fallocate(fd, offset, length);
    } while (result == EINTR);
    return result;
}

const SysCalls kReal = {
    realOpen,    ::close,     ::read,       ::pread, ::write,  ::lseek, ::fstat,
    ::ftruncate, realPosixFallocate, realShmOpen, ::shm_unlink, ::mmap, ::munmap, ::mlock, ::munlock,
};

SysCalls gTable = kReal;

}  // namespace

SysCalls& sys() { return gTable; }
const SysCalls& realSysCalls() { return kReal; }

}  // namespace platform
