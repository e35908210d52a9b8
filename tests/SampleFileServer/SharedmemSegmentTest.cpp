#include "SampleFileSharedmemSegment.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "RhMemory.h"
#include "RhPath.h"
#include "RhString.h"
#include "SampleFileServerUtilities.h"
#include "SysCalls.h"
#include "TestSupport.h"

namespace {

using Segment = SampleFileSharedmemSegment;
using Utilities = SampleFileServerUtilities;

size_t pageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

bool shmExists(const std::string& name) {
    int fd = shm_open(Utilities::sharedMemoryObjectName(name.c_str()).c_str(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool descriptorIsOpen(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

// Every candidate name (the whole chain) of a path's channel.
std::vector<std::string> candidateChain(const RhPath& path, int channel) {
    RhString name;
    Segment::createInitialHashString(&path, channel, &name);
    std::vector<std::string> chain;
    for (int depth = 0; depth <= Segment::kMaxChainDepth; ++depth) {
        chain.push_back(name.getText());
        Segment::advanceToNextHashString(&name);
    }
    return chain;
}

// Removes the shared-memory objects a test may create, also when it fails.
class ShmCleanup {
public:
    ~ShmCleanup() {
        for (const std::string& name : names_)
            shm_unlink(Utilities::sharedMemoryObjectName(name.c_str()).c_str());
    }
    void watch(const RhPath& path, int channel) {
        for (const std::string& name : candidateChain(path, channel))
            names_.push_back(name);
    }
    void watchName(const std::string& name) { names_.push_back(name); }

private:
    std::vector<std::string> names_;
};

// Writes a segment of `frames` frames owned by `ownerPath` under `name`, as
// another file's segment would look; headerFrames (when not -1) is the frame
// count written into the header instead, as in a damaged segment.
void plantSegment(const std::string& name, const char* ownerPath, int frames, int headerFrames = -1) {
    int error = 0, fd = -1;
    void* base = Utilities::createSharedMemoryBlock_IgnoreHashCollisions(name.c_str(), Segment::fullSize(frames),
                                                                         &error, &fd, 0);
    ASSERT_NE(base, nullptr);
    auto* header = static_cast<SampleFileSegmentHeader*>(base);
    header->segmentMarker = 1;
    header->frameCount = headerFrames == -1 ? frames : headerFrames;
    std::strncpy(header->filePath, ownerPath, sizeof header->filePath - 1);
    munmap(base, Utilities::roundUpToPageSize(Segment::fullSize(frames)));
    close(fd);
}

// Restores the whole system-call table when a test ends, also on failure.
struct RestoreSysCalls {
    platform::SysCalls saved = platform::sys();
    ~RestoreSysCalls() { platform::sys() = saved; }
};

class SharedmemSegmentTest : public ::testing::Test {
protected:
    RhPath samplePath(const char* name) {
        RhPath path(dir_.file(name).c_str());
        cleanup_.watch(path, 0);
        cleanup_.watch(path, 1);
        return path;
    }

    rhtest::TempDir dir_;  // unique folder, so that names are unique to this run
    ShmCleanup cleanup_;
};

// A mapped segment released (mode 2) at the end of a test.
struct MappedSegment {
    void* base = nullptr;
    int fd = -1;
    int frames = 0;
    RhString name;
    ~MappedSegment() {
        if (base != nullptr)
            Segment::releaseSharedMemSegment(Segment::kReleaseDestroy, &name, frames, base, fd);
    }
};

// ---- Names ----

TEST_F(SharedmemSegmentTest, NamesHavePrefixAnd27EncodedCharacters) {
    RhPath path = samplePath("Cello/A3.wav");
    RhString left, right, other;
    Segment::createInitialHashString(&path, 0, &left);
    Segment::createInitialHashString(&path, 1, &right);
    Segment::createInitialHashString(&path, 5, &other);

    EXPECT_EQ(left.getLength(), 29u);
    EXPECT_EQ(left.startsWith("L_"), 1);
    EXPECT_EQ(right.startsWith("R_"), 1);
    EXPECT_STREQ(other.getText(), right.getText());
    EXPECT_STREQ(left.getText() + 2, right.getText() + 2);

    RhPath empty("");
    RhString emptyName("previous content");
    Segment::createInitialHashString(&empty, 0, &emptyName);
    EXPECT_EQ(emptyName.getLength(), 29u);
}

TEST_F(SharedmemSegmentTest, NamesNeverChangeForAGivenPath) {
    // Clients compute the same names independently: the digest, alphabet and
    // scramble key are fixed for good.
    RhPath path("/Libraries/Strings/Cello/A3.wav");
    RhString name;
    Segment::createInitialHashString(&path, 0, &name);
    EXPECT_STREQ(name.getText(), "L_:ujdFZQz9gvN+4TQkhacmo/Uj7s");
}

TEST(SharedmemSegmentNames, AdvanceChangesOnlyTheLastCharacter) {
    struct Case {
        const char* before;
        const char* after;
    };
    const Case cases[] = {
        {"L_abc", "L_abd"}, {"L_abz", "L_abA"}, {"R_ab/", "R_ab0"}, {"L_ab+", "L_ab,"}, {"L_abZ", "L_ab["},
    };
    for (const Case& c : cases) {
        RhString name(c.before);
        EXPECT_EQ(Segment::advanceToNextHashString(&name), 4);
        EXPECT_STREQ(name.getText(), c.after);
    }
    RhString empty;
    EXPECT_EQ(Segment::advanceToNextHashString(&empty), -1);
    EXPECT_EQ(Segment::advanceToNextHashString(nullptr), -1);
}

TEST(SharedmemSegmentNames, NamesWithSlashesAreUsableObjects) {
    // "/" is part of the alphabet; the system's object name must still work.
    EXPECT_EQ(Utilities::sharedMemoryObjectName("L_a/b/"), "/L_a~b~");
    rhtest::TempDir dir;  // its unique folder name keeps the object name unique
    std::string name = "L_" + dir.path().substr(dir.path().rfind('/') + 1) + "/x/";
    ShmCleanup cleanup;
    cleanup.watchName(name);
    int error = 0, fd = -1;
    void* base = Utilities::createSharedMemoryBlock_IgnoreHashCollisions(name.c_str(), 100, &error, &fd, 0);
    ASSERT_NE(base, nullptr) << "error " << error;
    EXPECT_TRUE(shmExists(name));
    munmap(base, pageSize());
    close(fd);
    EXPECT_EQ(Utilities::unlinkSharedMemoryBlock(name.c_str()), 0);
    EXPECT_FALSE(shmExists(name));
}

// ---- Creation, attachment, release ----

TEST_F(SharedmemSegmentTest, CreatesHeaderAndPageRoundedObject) {
    RhPath path = samplePath("A3.wav");
    MappedSegment seg;
    seg.frames = 1000;
    seg.base = Segment::createSharedMemSegment(&path, 0, 1000, seg.fd, &seg.name, 1);
    ASSERT_NE(seg.base, nullptr);

    RhString expectedName;
    Segment::createInitialHashString(&path, 0, &expectedName);
    EXPECT_STREQ(seg.name.getText(), expectedName.getText());

    struct stat st;
    ASSERT_EQ(fstat(seg.fd, &st), 0);
    size_t expectedSize = (1032 + 4000 + pageSize() - 1) / pageSize() * pageSize();
    EXPECT_EQ(static_cast<size_t>(st.st_size), expectedSize);
    if (pageSize() == 4096) {
        EXPECT_EQ(st.st_size, 8192);
    }
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    auto* header = static_cast<SampleFileSegmentHeader*>(seg.base);
    EXPECT_EQ(header->segmentMarker, 1);
    EXPECT_EQ(header->frameCount, 1000);
    EXPECT_STREQ(header->filePath, path.getText());
    const unsigned char* tail = static_cast<unsigned char*>(seg.base) + 1032 + 4000;
    for (size_t i = 0; i < expectedSize - 1032 - 4000; ++i)
        ASSERT_EQ(tail[i], 0) << "byte " << i << " after the samples";
}

TEST_F(SharedmemSegmentTest, ClientAttachesWithRightOrWrongFrameCount) {
    RhPath path = samplePath("B3.aif");
    MappedSegment seg;
    seg.frames = 5000;
    seg.base = Segment::createSharedMemSegment(&path, 1, 5000, seg.fd, &seg.name, 0);
    ASSERT_NE(seg.base, nullptr);
    float* samples = Segment::samplesOf(seg.base);
    samples[0] = 0.25f;
    samples[4999] = -0.5f;

    for (int expected : {5000, 10, 100000}) {
        RhString name;
        Segment::createInitialHashString(&path, 1, &name);
        int frames = -1, fd = -1;
        testing::internal::CaptureStdout();
        void* base = Segment::attachToSharedMemSegment(&path, &name, 1, frames, fd, expected);
        testing::internal::GetCapturedStdout();
        ASSERT_NE(base, nullptr) << "expected " << expected;
        EXPECT_EQ(frames, 5000);
        EXPECT_STREQ(name.getText(), seg.name.getText());
        const float* seen = Segment::samplesOf(base);
        EXPECT_EQ(seen[0], 0.25f);
        EXPECT_EQ(seen[4999], -0.5f);  // mapped to the header's count, whatever was expected
        Segment::releaseSharedMemSegment(Segment::kReleaseDetach, &name, frames, base, fd);
    }
}

TEST_F(SharedmemSegmentTest, AttachingToAMissingSegmentFails) {
    RhPath path = samplePath("missing.wav");
    RhString name;
    Segment::createInitialHashString(&path, 0, &name);
    int frames = -1, fd = 7;
    testing::internal::CaptureStdout();
    void* base = Segment::attachToSharedMemSegment(&path, &name, 0, frames, fd, 10);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(base, nullptr);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(out, "ATTACH: Cannot attach to sh mem segment " + std::string(name.getText()) + " - " +
                       path.getText() + "\n");
}

TEST_F(SharedmemSegmentTest, CreatorAndAttacherFollowACollisionToTheSameName) {
    RhPath path = samplePath("C4.wav");
    std::vector<std::string> chain = candidateChain(path, 0);
    plantSegment(chain[0], "/some/other/file.wav", 10);

    MappedSegment seg;
    seg.frames = 20;
    seg.base = Segment::createSharedMemSegment(&path, 0, 20, seg.fd, &seg.name, 0);
    ASSERT_NE(seg.base, nullptr);
    EXPECT_EQ(seg.name.getText(), chain[1]);

    RhString name(chain[0].c_str());
    int frames = 0, fd = -1;
    testing::internal::CaptureStdout();
    void* base = Segment::attachToSharedMemSegment(&path, &name, 0, frames, fd, 20);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(name.getText(), chain[1]);
    EXPECT_EQ(frames, 20);
    EXPECT_EQ(out, "ATTACH: collision!!  " + chain[0] + " - " + path.getText() + "\n");
    Segment::releaseSharedMemSegment(Segment::kReleaseDetach, &name, frames, base, fd);

    // The other file's segment is left as it was.
    int error = 0;
    void* planted = Utilities::attachToSharedMemoryBlock_IgnoreHashCollisions(chain[0].c_str(), 1032, &error, &fd);
    ASSERT_NE(planted, nullptr);
    EXPECT_STREQ(static_cast<SampleFileSegmentHeader*>(planted)->filePath, "/some/other/file.wav");
    Segment::releaseSharedMemSegment(Segment::kReleaseDetach, nullptr, 0, planted, fd);
}

TEST_F(SharedmemSegmentTest, ChainGivesUpAfterElevenNames) {
    RhPath path = samplePath("D4.wav");
    std::vector<std::string> chain = candidateChain(path, 0);
    for (const std::string& name : chain)
        plantSegment(name, "/another/file.wav", 1);
    RhString last(chain.back().c_str());
    Segment::advanceToNextHashString(&last);

    RhString created("unchanged");
    int fd = 0;
    testing::internal::CaptureStdout();
    void* base = Segment::createSharedMemSegment(&path, 0, 5, fd, &created, 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(base, nullptr);
    EXPECT_EQ(fd, -1);
    EXPECT_STREQ(created.getText(), "unchanged");
    EXPECT_EQ(out, "ATTACH:  recursion too deep " + std::string(last.getText()) + " - " + path.getText() + "\n");
    EXPECT_FALSE(shmExists(last.getText()));

    RhString name(chain[0].c_str());
    int frames = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Segment::attachToSharedMemSegment(&path, &name, 0, frames, fd, 1), nullptr);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("ATTACH:  recursion too deep"), std::string::npos);
}

TEST_F(SharedmemSegmentTest, ExistingSegmentOfTheSameFileIsLeftAlone) {
    RhPath path = samplePath("E4.wav");
    MappedSegment seg;
    seg.frames = 30;
    seg.base = Segment::createSharedMemSegment(&path, 0, 30, seg.fd, &seg.name, 0);
    ASSERT_NE(seg.base, nullptr);
    Segment::samplesOf(seg.base)[3] = 0.75f;

    RhString name("unchanged");
    int fd = 0;
    EXPECT_EQ(Segment::createSharedMemSegment(&path, 0, 99, fd, &name, 0), nullptr);
    EXPECT_EQ(fd, -1);
    EXPECT_STREQ(name.getText(), "unchanged");
    EXPECT_EQ(Segment::samplesOf(seg.base)[3], 0.75f);
    EXPECT_EQ(static_cast<SampleFileSegmentHeader*>(seg.base)->frameCount, 30);
}

TEST_F(SharedmemSegmentTest, LongPathsAreStoredByTheirEndAndStillAttach) {
    std::string longName(1500, 'x');
    longName += ".wav";
    RhPath path = samplePath(longName.c_str());
    MappedSegment seg;
    seg.frames = 4;
    seg.base = Segment::createSharedMemSegment(&path, 0, 4, seg.fd, &seg.name, 0);
    ASSERT_NE(seg.base, nullptr);
    const char* stored = static_cast<SampleFileSegmentHeader*>(seg.base)->filePath;
    EXPECT_EQ(std::strlen(stored), 1023u);
    EXPECT_STREQ(stored, path.getText() + path.getLength() - 1023);

    RhString name;
    Segment::createInitialHashString(&path, 0, &name);
    int frames = 0, fd = -1;
    void* base = Segment::attachToSharedMemSegment(&path, &name, 0, frames, fd, 4);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(frames, 4);
    Segment::releaseSharedMemSegment(Segment::kReleaseDetach, &name, frames, base, fd);

    int createFd = 0;
    EXPECT_EQ(Segment::createSharedMemSegment(&path, 0, 4, createFd, &name, 0), nullptr);
}

TEST_F(SharedmemSegmentTest, DamagedFrameCountsAreRefused) {
    RhPath path = samplePath("F4.wav");
    std::vector<std::string> chain = candidateChain(path, 0);
    for (int lyingCount : {-5, 1000000000}) {
        plantSegment(chain[0], path.getText(), 2, lyingCount);
        int fd = 0;
        RhString name(chain[0].c_str());
        int frames = 0;
        testing::internal::CaptureStdout();
        EXPECT_EQ(Segment::attachToSharedMemSegment(&path, &name, 0, frames, fd, 2), nullptr) << lyingCount;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(fd, -1);
    }
}

TEST_F(SharedmemSegmentTest, ReleaseModes) {
    RhPath path = samplePath("G4.wav");
    struct Case {
        int mode;
        bool mappingStays, descriptorStays, nameStays;
    };
    const Case cases[] = {
        {Segment::kReleaseDetach, false, false, true},
        {Segment::kReleaseCloseDescriptor, true, false, true},
        {Segment::kReleaseDestroy, false, false, false},
        {5, true, true, true},
        {-1, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        RhString name;
        int fd = -1;
        void* base = Segment::createSharedMemSegment(&path, 0, 2000, fd, &name, 1);
        ASSERT_NE(base, nullptr);
        Segment::releaseSharedMemSegment(c.mode, &name, 2000, base, fd);

        // mincore answers ENOMEM for a range that is no longer mapped.
        unsigned char residency[4];
        bool mapped = mincore(base, Utilities::roundUpToPageSize(Segment::fullSize(2000)), residency) == 0;
        EXPECT_EQ(mapped, c.mappingStays);
        EXPECT_EQ(descriptorIsOpen(fd), c.descriptorStays);
        EXPECT_EQ(shmExists(name.getText()), c.nameStays);

        if (c.mappingStays) {
            EXPECT_EQ(static_cast<SampleFileSegmentHeader*>(base)->frameCount, 2000);
        }
        if (c.nameStays)
            Segment::releaseSharedMemSegment(Segment::kReleaseDestroy, &name, 2000, c.mappingStays ? base : nullptr,
                                             c.descriptorStays ? fd : -1);
    }
}

// ---- Injected system failures ----

int gSeenFd = -1;

int failingShmOpen(const char*, int, mode_t) {
    errno = EMFILE;
    return -1;
}
int failingFtruncate(int fd, off_t) {
    gSeenFd = fd;
    errno = ENOSPC;
    return -1;
}
void* failingMmap(void*, size_t, int, int, int fd, off_t) {
    gSeenFd = fd;
    errno = ENOMEM;
    return MAP_FAILED;
}
int failingMlock(const void*, size_t) {
    errno = ENOMEM;
    return -1;
}

TEST_F(SharedmemSegmentTest, SystemFailuresAreReportedAndLeaveNothingBehind) {
    struct Case {
        const char* what;
        int error;
        const char* output;
    };
    const Case cases[] = {
        {"shm_open", 1, "shm_open ERR: max file descr\n"},
        {"ftruncate", 2, ""},
        {"mmap", 3, "mmap ERR: MAP_FIXED was specified and the addr parameter wasn't available. \n"},
    };
    RhPath path = samplePath("H4.wav");
    RhString name;
    Segment::createInitialHashString(&path, 0, &name);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RestoreSysCalls restore;
        if (std::strcmp(c.what, "shm_open") == 0) platform::sys().shm_open = failingShmOpen;
        if (std::strcmp(c.what, "ftruncate") == 0) platform::sys().ftruncate = failingFtruncate;
        if (std::strcmp(c.what, "mmap") == 0) platform::sys().mmap = failingMmap;
        gSeenFd = -1;

        int error = 0, fd = 0;
        testing::internal::CaptureStdout();
        void* base = Utilities::createSharedMemoryBlock_IgnoreHashCollisions(name.getText(), 5032, &error, &fd, 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(base, nullptr);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(out, c.output);
        EXPECT_EQ(fd, -1);
        EXPECT_FALSE(descriptorIsOpen(gSeenFd)) << "descriptor left open";
        EXPECT_FALSE(shmExists(name.getText()));

        RhString segmentName("unchanged");
        testing::internal::CaptureStdout();
        EXPECT_EQ(Segment::createSharedMemSegment(&path, 0, 1000, fd, &segmentName, 0), nullptr);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(fd, -1);
        EXPECT_STREQ(segmentName.getText(), "unchanged");
        EXPECT_FALSE(shmExists(name.getText()));
    }
}

TEST_F(SharedmemSegmentTest, RefusedLockLeavesTheSegmentUsable) {
    RhPath path = samplePath("I4.wav");
    platform::ScopedSysCall<int (*)(const void*, size_t)> noLock(&platform::SysCalls::mlock, failingMlock);
    RhMemory::MemoryQuery savedPhysical = RhMemory::sPhysicalMemoryQuery;
    RhMemory::MemoryQuery savedLocked = RhMemory::sLockedMemoryQuery;
    RhMemory::sPhysicalMemoryQuery = [] { return uint64_t{64} << 30; };
    RhMemory::sLockedMemoryQuery = [] { return uint64_t{0}; };

    MappedSegment seg;
    seg.frames = 300000;  // large enough to be measured afresh
    testing::internal::CaptureStdout();
    seg.base = Segment::createSharedMemSegment(&path, 0, 300000, seg.fd, &seg.name, 1);
    std::string out = testing::internal::GetCapturedStdout();
    RhMemory::sPhysicalMemoryQuery = savedPhysical;
    RhMemory::sLockedMemoryQuery = savedLocked;

    ASSERT_NE(seg.base, nullptr);
    EXPECT_EQ(out, "Sh mem: WireDown failure \n");
    Segment::samplesOf(seg.base)[299999] = 1.0f;
}

// ---- Lock decision ----

class OkayToLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedPhysical_ = RhMemory::sPhysicalMemoryQuery;
        savedLocked_ = RhMemory::sLockedMemoryQuery;
        RhMemory::sPhysicalMemoryQuery = [] {
            ++sMeasurements;
            return sPhysical;
        };
        RhMemory::sLockedMemoryQuery = [] { return sLocked; };
        sMeasurements = 0;
        sPhysical = 1000ULL * 1048576;
        sLocked = 250000000;
        RhMemory::sOkayToLockFirstTimeBoolean = 1;
        RhMemory::sOkayToLockPreviousReturnValueBoolean = 1;
        RhMemory::sOkayToLockCounter = 0;
    }
    void TearDown() override {
        RhMemory::sPhysicalMemoryQuery = savedPhysical_;
        RhMemory::sLockedMemoryQuery = savedLocked_;
    }

    static inline int sMeasurements = 0;
    static inline uint64_t sPhysical = 0;
    static inline uint64_t sLocked = 0;
    RhMemory::MemoryQuery savedPhysical_ = nullptr;
    RhMemory::MemoryQuery savedLocked_ = nullptr;
};

TEST_F(OkayToLockTest, UnreadablePhysicalMemoryRefuses) {
    sPhysical = 0;
    EXPECT_EQ(RhMemory::okayToLock(4096), 0);
    EXPECT_EQ(RhMemory::okayToLock(4096), 0);  // a refusal is never reused: measured again
    EXPECT_EQ(sMeasurements, 2);
}

TEST_F(OkayToLockTest, KeepsLockedMemoryBelowThreeQuartersOfPhysical) {
    // physical 1048576000; 75 % is 786432000; 250000000 already locked.
    const uint64_t limit = 786432000 - 250000000;
    EXPECT_EQ(RhMemory::okayToLock(limit - 10485760), 1);
    EXPECT_EQ(RhMemory::okayToLock(limit), 0);
    EXPECT_EQ(RhMemory::okayToLock(limit + 10485760), 0);
    EXPECT_EQ(sMeasurements, 3);  // requests of 1000000 bytes or more always measure
}

TEST_F(OkayToLockTest, ReusesAPositiveAnswerForTenSmallRequests) {
    EXPECT_EQ(RhMemory::okayToLock(8192), 1);  // the first call measures
    EXPECT_EQ(sMeasurements, 1);
    sPhysical = 0;  // would refuse if measured
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(RhMemory::okayToLock(999999), 1) << "reuse " << i;
    EXPECT_EQ(sMeasurements, 1);
    EXPECT_EQ(RhMemory::okayToLock(8192), 0);  // the eleventh measures
    EXPECT_EQ(sMeasurements, 2);
}

}  // namespace
