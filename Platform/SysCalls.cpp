#include "SysCalls.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

int realOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int realShmOpen(const char* name, int flags, mode_t mode) { return ::shm_open(name, flags, mode); }

const SysCalls kReal = {
    realOpen, ::close,     ::read,       ::pread, ::write,  ::lseek, ::fstat,
    ::ftruncate, realShmOpen, ::shm_unlink, ::mmap, ::munmap, ::mlock, ::munlock,
};

SysCalls gTable = kReal;

}  // namespace

SysCalls& sys() { return gTable; }
const SysCalls& realSysCalls() { return kReal; }

}  // namespace platform
