#include "SampleFileSharedmemSegment.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>

#include "Base64.h"
#include "RhPath.h"
#include "RhString.h"
#include "SampleFileServerUtilities.h"
#include "SysCalls.h"

namespace {

constexpr int kEncodedNameMaxLength = 29;
constexpr int kStoredPathMaxLength = SampleFileSharedmemSegment::kFilePathSize - 1;

const char* textOf(const RhString* s) { return s != nullptr ? s->getText() : ""; }

void printLine(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printPair(const char* format, const RhString* name, const RhPath* path) {
    std::printf(format, textOf(name), textOf(path));
    std::fflush(stdout);
}

// The form in which a path is stored in a header: its last 1023 bytes.
const char* storedFormOf(const RhPath* path) {
    if (path == nullptr)
        return "";
    unsigned length = path->getLength();
    const char* text = path->getText();
    return length > static_cast<unsigned>(kStoredPathMaxLength) ? text + (length - kStoredPathMaxLength) : text;
}

// What a mapped header says, copied out so that the mapping can be released.
// The stored path is terminated here whatever the segment holds.
struct HeaderCopy {
    int32_t frameCount;
    char filePath[SampleFileSharedmemSegment::kFilePathSize];
};

HeaderCopy copyHeader(const void* base) {
    const auto* header = static_cast<const SampleFileSegmentHeader*>(base);
    HeaderCopy copy;
    copy.frameCount = header->frameCount;
    std::memcpy(copy.filePath, header->filePath, sizeof copy.filePath);
    copy.filePath[sizeof copy.filePath - 1] = '\0';
    return copy;
}

void* attachBlock(const RhString* name, size_t size, int& fdOut, int* errorOut = nullptr) {
    int error = 0;
    void* base = SampleFileServerUtilities::attachToSharedMemoryBlock_IgnoreHashCollisions(textOf(name), size,
                                                                                           &error, &fdOut);
    if (errorOut != nullptr)
        *errorOut = base != nullptr ? 0 : error;
    return base;
}

// What the creation chain finds under a candidate name.
enum class Occupant {
    kNone,         // no object: create one
    kLeftover,     // ours, but a stale copy of this file or a damaged header: replace it
    kOtherFile,    // ours, with a valid header naming another file: next candidate
    kNotOurs,      // another user's object, or one open to others: next candidate
    kUnknown,      // could not be looked at: creating will report why
};

// Looks at the object under `candidate` without mapping it. With names
// private to one user and port folder, only this server makes objects under
// them, and a server makes each file's segment once: an object of ours that
// names this file, or whose header is damaged, is a leftover of an earlier
// server (killed, crashed, or logged out under).
Occupant occupantOf(const RhString* candidate, const char* storedPath) {
    int fd = -1;
    uint64_t size = 0;
    switch (SampleFileServerUtilities::openOwnedSharedMemoryBlock(textOf(candidate), &fd, &size)) {
    case SampleFileServerUtilities::kShmObjectAbsent: return Occupant::kNone;
    case SampleFileServerUtilities::kShmObjectNotOurs: return Occupant::kNotOurs;
    case SampleFileServerUtilities::kShmObjectOurs: break;
    default: return Occupant::kUnknown;
    }
    SampleFileSegmentHeader header;
    const ssize_t got = platform::sys().pread(fd, &header, sizeof header, 0);
    platform::sys().close(fd);
    if (!SampleFileSharedmemSegment::isValidHeader(got == static_cast<ssize_t>(sizeof header) ? &header : nullptr,
                                                   size))
        return Occupant::kLeftover;
    return std::strcmp(header.filePath, storedPath) == 0 ? Occupant::kLeftover : Occupant::kOtherFile;
}

}  // namespace

void SampleFileSharedmemSegment::createInitialHashString(const RhPath* path, int channel, RhString* outName) {
    if (outName == nullptr)
        return;
    const char* text = path != nullptr ? path->getText() : "";
    size_t length = path != nullptr ? path->getLength() : 0;

    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text), length, digest);

    char encoded[32];
    int encodedLength = 0;
    base64Encode(digest, SHA_DIGEST_LENGTH, encoded, encodedLength);
    if (encodedLength > kEncodedNameMaxLength)
        encoded[kEncodedNameMaxLength] = '\0';

    outName->copyFrom(channel == 0 ? "L_" : "R_");
    outName->append(encoded);
}

void SampleFileSharedmemSegment::releaseNamingThreadState() {
    OPENSSL_thread_stop();
}

int SampleFileSharedmemSegment::advanceToNextHashString(RhString* name) {
    if (name == nullptr || name->getLength() == 0 || name->getBuffer() == nullptr)
        return -1;
    int last = static_cast<int>(name->getLength()) - 1;
    char* buffer = name->getBuffer();
    int code = static_cast<unsigned char>(buffer[last]) + 1;
    if (code > 'z')
        code = 'A';
    buffer[last] = static_cast<char>(code);
    return last;
}

size_t SampleFileSharedmemSegment::fullSize(int frames) {
    size_t count = frames > 0 ? static_cast<size_t>(frames) : 0;
    return static_cast<size_t>(kHeaderSize) + count * sizeof(float);
}

float* SampleFileSharedmemSegment::samplesOf(void* base) {
    return base != nullptr ? reinterpret_cast<float*>(static_cast<char*>(base) + kHeaderSize) : nullptr;
}

void* SampleFileSharedmemSegment::createSharedMemSegment(const RhPath* path, int channel, int frames, int& fdOut,
                                                         RhString* nameOut, int wireDown) {
    fdOut = -1;
    if (frames < 0)
        return nullptr;
    RhString candidate;
    createInitialHashString(path, channel, &candidate);
    return createRecursive(path, channel, frames, &candidate, 0, nameOut, fdOut, wireDown);
}

void* SampleFileSharedmemSegment::createRecursive(const RhPath* path, int channel, int frames, RhString* candidate,
                                                  int depth, RhString* nameOut, int& fdOut, int wireDown) {
    for (;; ++depth) {
        if (depth > kMaxChainDepth) {
            printPair("ATTACH:  recursion too deep %s - %s\n", candidate, path);
            return nullptr;
        }

        const Occupant occupant = occupantOf(candidate, storedFormOf(path));
        if (occupant == Occupant::kOtherFile || occupant == Occupant::kNotOurs) {
            advanceToNextHashString(candidate);
            continue;
        }
        break;  // free, or a leftover that creation removes first
    }
    (void)channel;

    int error = 0;
    void* base = SampleFileServerUtilities::createSharedMemoryBlock_IgnoreHashCollisions(
        textOf(candidate), fullSize(frames), &error, &fdOut, wireDown);
    if (base == nullptr)
        return nullptr;

    auto* header = static_cast<SampleFileSegmentHeader*>(base);
    header->segmentMarker = 1;
    std::memset(header->filePath, 0, sizeof header->filePath);
    std::strncpy(header->filePath, storedFormOf(path), kStoredPathMaxLength);
    header->frameCount = frames;
    if (nameOut != nullptr)
        nameOut->copyFrom(candidate);
    return base;
}

void* SampleFileSharedmemSegment::attachToSharedMemSegment(const RhPath* path, RhString* name, int channel,
                                                           int& framesOut, int& fdOut, int expectedFrames) {
    fdOut = -1;
    framesOut = 0;
    if (name == nullptr)
        return nullptr;
    void* base = attachRecursive(path, channel, name, 0, fdOut, expectedFrames);
    if (base != nullptr)
        framesOut = static_cast<const SampleFileSegmentHeader*>(base)->frameCount;
    return base;
}

void* SampleFileSharedmemSegment::attachRecursive(const RhPath* path, int channel, RhString* name, int depth,
                                                  int& fdOut, int expectedFrames) {
    (void)channel;
    fdOut = -1;
    const char* wantedPath = storedFormOf(path);
    for (;; ++depth) {
        if (depth > kMaxChainDepth) {
            printPair("ATTACH:  recursion too deep %s - %s\n", name, path);
            return nullptr;
        }

        int fd = -1;
        int error = 0;
        void* base = attachBlock(name, fullSize(expectedFrames), fd, &error);
        if (base != nullptr) {
            HeaderCopy header = copyHeader(base);
            if (std::strcmp(header.filePath, wantedPath) == 0) {
                if (header.frameCount == expectedFrames) {
                    fdOut = fd;
                    return base;
                }
                releaseSharedMemSegment(kReleaseDetach, name, expectedFrames, base, fd);
                if (header.frameCount < 0)
                    return nullptr;  // a damaged header; nothing sensible to map
                return attachBlock(name, fullSize(header.frameCount), fdOut);
            }
            printPair("ATTACH: collision!!  %s - %s\n", name, path);
            releaseSharedMemSegment(kReleaseDetach, name, expectedFrames, base, fd);
            advanceToNextHashString(name);
            continue;
        }
        if (error == SampleFileServerUtilities::kShmNotOurs) {
            // Never mapped: another user may have planted it, and may shrink it
            // under a mapping. It takes the name as another file would.
            printPair("ATTACH: collision!!  %s - %s\n", name, path);
            advanceToNextHashString(name);
            continue;
        }

        printPair("ATTACH: Cannot attach to sh mem segment %s - %s\n", name, path);
        base = attachBlock(name, kHeaderSize, fd, &error);
        if (base == nullptr && error != SampleFileServerUtilities::kShmNotOurs)
            return nullptr;
        if (base != nullptr) {
            HeaderCopy header = copyHeader(base);
            releaseSharedMemSegment(kReleaseDetach, name, 0, base, fd);
            if (std::strcmp(header.filePath, wantedPath) == 0) {
                if (header.frameCount < 0)
                    return nullptr;
                return attachBlock(name, fullSize(header.frameCount), fdOut);
            }
        }
        printPair("ATTACH: collision!!  %s - %s\n", name, path);
        advanceToNextHashString(name);
    }
}

bool SampleFileSharedmemSegment::isValidHeader(const SampleFileSegmentHeader* header, uint64_t objectSize) {
    if (header == nullptr || header->segmentMarker != 1 || header->frameCount < 0 || header->filePath[0] == '\0' ||
        std::memchr(header->filePath, '\0', sizeof header->filePath) == nullptr)
        return false;
    return objectSize == SampleFileServerUtilities::roundUpToPageSize(fullSize(header->frameCount));
}

void SampleFileSharedmemSegment::releaseSharedMemSegment(int mode, const RhString* name, int frames, void* base,
                                                         int fd) {
    const size_t size = SampleFileServerUtilities::roundUpToPageSize(fullSize(frames));
    platform::SysCalls& sys = platform::sys();
    switch (mode) {
    case kReleaseDetach:
        if (base != nullptr)
            sys.munmap(base, size);
        if (fd >= 0)
            sys.close(fd);
        break;
    case kReleaseCloseDescriptor:
        if (fd >= 0)
            sys.close(fd);
        break;
    case kReleaseDestroy:
        if (base != nullptr) {
            sys.munlock(base, size);
            if (sys.munmap(base, size) != 0)
                printLine("ShMem:  munmap: failure ");
        }
        if (fd >= 0)
            sys.close(fd);
        if (SampleFileServerUtilities::unlinkSharedMemoryBlock(textOf(name)) != 0)
            printLine("ShMem:  shm_unlink: failure ");
        break;
    default:
        break;
    }
}
