// Raw shared-memory objects: open or create, size, map and optionally lock.
// These routines know nothing of segment headers or names' collision chains;
// SampleFileSharedmemSegment builds on them.

#include "SampleFileServerUtilities.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "DiagnosticLog.h"
#include "PortFolder.h"
#include "RhMemory.h"
#include "RhUtils.h"
#include "SysCalls.h"

namespace {

constexpr mode_t kOwnerOnly = 0700;

// Diagnostic lines go to standard output at once, so that they keep their
// order with lines written by other threads and survive an abrupt exit.
void printLine(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void reportOpenFailure(int error) {
    switch (error) {
    case EINTR: printLine("shm_open ERR: sign interrupt"); break;
    case EACCES: printLine("shm_open ERR: permisssons"); break;
    case EEXIST: printLine("shm_open ERR: already exists 2"); break;
    case EINVAL: printLine("shm_open ERR: not suprtd"); break;
    case ENFILE: printLine("shm_open ERR: sys file table full"); break;
    case EMFILE: printLine("shm_open ERR: max file descr"); break;
    case ENOSPC: printLine("shm_open ERR: no space "); break;
    case ENAMETOOLONG: printLine("shm_open ERR: name too long"); break;
    case ENOENT: break;  // the usual answer when attaching to a name not in use
    default: printLine("shm_open ERR: unknonw"); break;
    }
}

void reportMapFailure(int error) {
    switch (error) {
    case EBADF: printLine("mmap ERR: fd is not a valid open file descriptor. "); break;
    case ENOMEM: printLine("mmap ERR: MAP_FIXED was specified and the addr parameter wasn't available. "); break;
    case EACCES:
        printLine("mmap ERR: The flag PROT_READ was specified as part of the prot parameter and fd was not open for "
                  "reading.");
        break;
    case EINVAL: printLine("mmap ERR: MAP_FIXED was specified and the parameter was not page aligned. "); break;
    default: break;
    }
}

// Closes a descriptor that a failed open-and-map leaves behind and tells the
// caller that there is none.
void dropDescriptor(int fd, int* fdOut) {
    platform::sys().close(fd);
    if (fdOut != nullptr)
        *fdOut = -1;
}

void setError(int* errOut, int value) {
    if (errOut != nullptr)
        *errOut = value;
}

}  // namespace

std::string SampleFileServerUtilities::sharedMemoryObjectPrefix() {
    const std::string identity = platform::portFolderIdentity();
    if (identity.empty())
        return std::string();
    return "/Quillorantics-" + std::to_string(geteuid()) + "-" + identity + "-";
}

std::string SampleFileServerUtilities::sharedMemoryObjectName(const char* name) {
    return sharedMemoryObjectName(sharedMemoryObjectPrefix(), name);
}

std::string SampleFileServerUtilities::sharedMemoryObjectName(const std::string& prefix, const char* name) {
    if (prefix.empty())
        return std::string();
    std::string objectName = prefix;
    if (name == nullptr)
        return objectName;
    for (const char* c = name; *c != '\0'; ++c)
        objectName += (*c == '/') ? '~' : *c;
    return objectName;
}

size_t SampleFileServerUtilities::roundUpToPageSize(size_t size) {
    static const size_t pageSize = static_cast<size_t>(RhPageSize());
    return (size + pageSize - 1) / pageSize * pageSize;
}

int SampleFileServerUtilities::unlinkSharedMemoryBlock(const char* name) {
    const std::string objectName = sharedMemoryObjectName(name);
    if (objectName.empty()) {
        errno = ENOENT;
        return -1;
    }
    return platform::sys().shm_unlink(objectName.c_str());
}

bool SampleFileServerUtilities::isOursAlone(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

int SampleFileServerUtilities::openOwnedSharedMemoryBlock(const char* name, int* fdOut, uint64_t* sizeOut) {
    *fdOut = -1;
    const std::string objectName = sharedMemoryObjectName(name);
    if (name == nullptr || objectName.empty())
        return kShmObjectUnopenable;
    const int fd = platform::sys().shm_open(objectName.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        if (errno == ENOENT)
            return kShmObjectAbsent;
        // Another user's object that we may not even read.
        return errno == EACCES ? kShmObjectNotOurs : kShmObjectUnopenable;
    }
    struct stat st;
    if (platform::sys().fstat(fd, &st) != 0) {
        platform::sys().close(fd);
        return kShmObjectUnopenable;
    }
    if (!isOursAlone(st)) {
        platform::sys().close(fd);
        return kShmObjectNotOurs;
    }
    *fdOut = fd;
    if (sizeOut != nullptr)
        *sizeOut = static_cast<uint64_t>(st.st_size);
    return kShmObjectOurs;
}

void* SampleFileServerUtilities::createOrAttachSharedMemoryBlock_IgnoreHashCollisions(int create, const char* name,
                                                                                      size_t size, int* errOut,
                                                                                      int* fdOut, int wireDown) {
    DiagnosticLog::addEventToLog("SHMEM: createOrAttach Enter %zu\n", size);
    if (fdOut != nullptr)
        *fdOut = -1;
    const std::string objectName = sharedMemoryObjectName(name);
    if (name == nullptr || objectName.empty()) {
        setError(errOut, kShmOpenFailed);
        return nullptr;
    }

    const size_t mappedSize = roundUpToPageSize(size);
    int fd = -1;
    if (create) {
        platform::sys().shm_unlink(objectName.c_str());
        // Exclusive: an object that someone made under the name since the
        // unlink is never written into.
        fd = platform::sys().shm_open(objectName.c_str(), O_RDWR | O_CREAT | O_EXCL, kOwnerOnly);
        if (fd < 0) {
            reportOpenFailure(errno);
            setError(errOut, kShmOpenFailed);
            return nullptr;
        }
        // Sized and then reserved: on tmpfs a sized object is sparse, and a
        // page that cannot be had when it is first written kills the writer
        // (SIGBUS) and leaves a half-filled object. Reserving turns that
        // into a failure here.
        int reserveError = 0;
        if (platform::sys().ftruncate(fd, static_cast<off_t>(mappedSize)) != 0 ||
            (reserveError = platform::sys().posix_fallocate(fd, 0, static_cast<off_t>(mappedSize))) != 0) {
            if (reserveError != 0)
                DiagnosticLog::addEventToLog("SHMEM: cannot reserve %zu bytes: %d\n", mappedSize, reserveError);
            platform::sys().shm_unlink(objectName.c_str());
            platform::sys().close(fd);
            setError(errOut, kShmSizingFailed);
            return nullptr;
        }
    } else {
        uint64_t objectSize = 0;
        const int state = openOwnedSharedMemoryBlock(name, &fd, &objectSize);
        if (state != kShmObjectOurs) {
            if (state == kShmObjectUnopenable)
                reportOpenFailure(errno);
            setError(errOut, state == kShmObjectNotOurs ? kShmNotOurs : kShmOpenFailed);
            return nullptr;
        }
        // Touching a mapping beyond the object's end kills the process, so an
        // object smaller than the wanted size (one still being sized, or a
        // header that claims more frames than it holds) is refused here.
        if (objectSize < mappedSize) {
            platform::sys().close(fd);
            setError(errOut, kShmMappingFailed);
            return nullptr;
        }
    }
    if (fdOut != nullptr)
        *fdOut = fd;

    const int protection = create ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void* base = platform::sys().mmap(nullptr, mappedSize, protection, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        reportMapFailure(errno);
        if (create)
            platform::sys().shm_unlink(objectName.c_str());
        dropDescriptor(fd, fdOut);
        setError(errOut, kShmMappingFailed);
        return nullptr;
    }

    if (create && wireDown && RhMemory::okayToLock(mappedSize) == 1) {
        if (platform::sys().mlock(base, mappedSize) != 0)
            printLine("Sh mem: WireDown failure ");
    }
    return base;
}

void* SampleFileServerUtilities::createSharedMemoryBlock_IgnoreHashCollisions(const char* name, size_t size,
                                                                             int* errOut, int* fdOut, int wireDown) {
    return createOrAttachSharedMemoryBlock_IgnoreHashCollisions(1, name, size, errOut, fdOut, wireDown);
}

void* SampleFileServerUtilities::attachToSharedMemoryBlock_IgnoreHashCollisions(const char* name, size_t size,
                                                                               int* errOut, int* fdOut) {
    return createOrAttachSharedMemoryBlock_IgnoreHashCollisions(0, name, size, errOut, fdOut, 0);
}
