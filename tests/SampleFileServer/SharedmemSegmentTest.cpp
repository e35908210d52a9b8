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

// Removes the shared-memory objects a test may create, also when it fails,
// under the object names of the port folder current when they were watched.
class ShmCleanup {
public:
    ~ShmCleanup() {
        for (const std::string& name : objectNames_)
            shm_unlink(name.c_str());
    }
    void watch(const RhPath& path, int channel) {
        for (const std::string& name : candidateChain(path, channel))
            watchName(name);
    }
    void watchName(const std::string& name) { objectNames_.push_back(Utilities::sharedMemoryObjectName(name.c_str())); }

private:
    std::vector<std::string> objectNames_;
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
    rhtest::ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", dir_.path()};  // and a port folder of its own
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

TEST(SharedmemSegmentNames, ObjectNamesCarryTheUserAndThePortFolder) {
    rhtest::TempDir one, two;
    std::string prefixOne, prefixTwo, prefixOneAgain;
    {
        rhtest::ScopedEnv env("XDG_RUNTIME_DIR", one.path());
        prefixOne = Utilities::sharedMemoryObjectPrefix();
        // "/" is part of the alphabet and stands as "~" in object names.
        EXPECT_EQ(Utilities::sharedMemoryObjectName("L_a/b/"), prefixOne + "L_a~b~");
    }
    {
        // Another spelling of the same folder is the same folder.
        rhtest::ScopedEnv env("XDG_RUNTIME_DIR", one.path() + "//");
        prefixOneAgain = Utilities::sharedMemoryObjectPrefix();
    }
    {
        rhtest::ScopedEnv env("XDG_RUNTIME_DIR", two.path());
        prefixTwo = Utilities::sharedMemoryObjectPrefix();
    }
    const std::string start = "/Quillorantics-" + std::to_string(geteuid()) + "-";
    ASSERT_EQ(prefixOne.size(), start.size() + 17) << prefixOne;
    EXPECT_EQ(prefixOne.compare(0, start.size(), start), 0) << prefixOne;
    EXPECT_EQ(prefixOne.find_first_not_of("0123456789abcdef", start.size()), prefixOne.size() - 1) << prefixOne;
    EXPECT_EQ(prefixOne.back(), '-');
    EXPECT_EQ(prefixOneAgain, prefixOne);
    EXPECT_NE(prefixTwo, prefixOne);
}

TEST(SharedmemSegmentNames, NamesWithSlashesAreUsableObjects) {
    rhtest::TempDir dir;  // its unique folder name keeps the object name unique
    rhtest::ScopedEnv env("XDG_RUNTIME_DIR", dir.path());
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

TEST_F(SharedmemSegmentTest, ALeftoverOfTheSameFileIsReplacedWhileOldMappingsStay) {
    RhPath path = samplePath("E4.wav");
    MappedSegment old;
    old.frames = 30;
    old.base = Segment::createSharedMemSegment(&path, 0, 30, old.fd, &old.name, 0);
    ASSERT_NE(old.base, nullptr);
    Segment::samplesOf(old.base)[3] = 0.75f;

    // As a next server meets the segment that a killed one left.
    MappedSegment fresh;
    fresh.frames = 99;
    fresh.base = Segment::createSharedMemSegment(&path, 0, 99, fresh.fd, &fresh.name, 0);
    ASSERT_NE(fresh.base, nullptr);
    EXPECT_STREQ(fresh.name.getText(), old.name.getText());
    EXPECT_EQ(static_cast<SampleFileSegmentHeader*>(fresh.base)->frameCount, 99);
    EXPECT_EQ(Segment::samplesOf(fresh.base)[3], 0.0f);
    // Whoever still maps the old object keeps its data.
    EXPECT_EQ(Segment::samplesOf(old.base)[3], 0.75f);
    EXPECT_EQ(static_cast<SampleFileSegmentHeader*>(old.base)->frameCount, 30);
    Segment::releaseSharedMemSegment(Segment::kReleaseDetach, &old.name, old.frames, old.base, old.fd);
    old.base = nullptr;

    RhString name;
    Segment::createInitialHashString(&path, 0, &name);
    int frames = 0, fd = -1;
    void* attached = Segment::attachToSharedMemSegment(&path, &name, 0, frames, fd, 99);
    ASSERT_NE(attached, nullptr);
    EXPECT_EQ(frames, 99);
    Segment::releaseSharedMemSegment(Segment::kReleaseDetach, &name, frames, attached, fd);
}

// Objects of ours under a file's first name that are leftovers: each is
// replaced by a fresh, whole segment under that same name.
TEST_F(SharedmemSegmentTest, DamagedObjectsOfOursAreLeftoversAndReplaced) {
    struct Case {
        const char* what;
        size_t objectSize;  // 0: an object never sized
        int32_t marker;
        int32_t frames;
        bool withPath;
    };
    const Case cases[] = {
        {"zeroed header", Segment::fullSize(10), 0, 0, false},
        {"never sized", 0, 0, 0, false},
        {"marker not 1", Segment::fullSize(10), 2, 10, true},
        {"empty path", Segment::fullSize(10), 1, 10, false},
        {"size not matching the frame count", Segment::fullSize(10), 1, 5000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RhPath path = samplePath((std::string(c.what) + ".wav").c_str());
        const std::string first = candidateChain(path, 0)[0];
        const std::string object = Utilities::sharedMemoryObjectName(first.c_str());
        int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        if (c.objectSize > 0) {
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(Utilities::roundUpToPageSize(c.objectSize))), 0);
            SampleFileSegmentHeader header{};
            header.segmentMarker = c.marker;
            header.frameCount = c.frames;
            if (c.withPath)
                std::strncpy(header.filePath, path.getText(), sizeof header.filePath - 1);
            ASSERT_EQ(pwrite(fd, &header, sizeof header, 0), static_cast<ssize_t>(sizeof header));
        }
        close(fd);

        MappedSegment seg;
        seg.frames = 20;
        seg.base = Segment::createSharedMemSegment(&path, 0, 20, seg.fd, &seg.name, 0);
        ASSERT_NE(seg.base, nullptr);
        EXPECT_EQ(seg.name.getText(), first);
        auto* header = static_cast<SampleFileSegmentHeader*>(seg.base);
        EXPECT_EQ(header->segmentMarker, 1);
        EXPECT_EQ(header->frameCount, 20);
        EXPECT_STREQ(header->filePath, path.getText());
        struct stat st;
        ASSERT_EQ(fstat(seg.fd, &st), 0);
        EXPECT_EQ(static_cast<size_t>(st.st_size), Utilities::roundUpToPageSize(Segment::fullSize(20)));
    }
}

// Objects under a file's first name that are not ours alone: another user's
// (made here by handing one to another uid, which needs root) or one that
// grants access to others, also an empty one and one whose header names the
// file. The creator never writes into them and moves on to the next name;
// an attacher never maps them, follows to the real segment, and gets
// nothing when there is none.
TEST_F(SharedmemSegmentTest, ObjectsNotOursAloneAreNeverAdoptedNorMapped) {
    struct Case {
        const char* what;
        mode_t mode;
        bool otherOwner;
        bool withHeader;
    };
    const Case cases[] = {
        {"open to others, header naming the file", 0666, false, true},
        {"open to the group, empty", 0660, false, false},
        {"another user's, open to all, header naming the file", 0666, true, true},
        {"another user's, empty and open to all", 0666, true, false},
        {"another user's, private", 0600, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.otherOwner && geteuid() != 0) {
            std::printf("skipped (needs root): %s\n", c.what);
            continue;
        }
        RhPath path = samplePath((std::string(c.what) + ".wav").c_str());
        const std::vector<std::string> chain = candidateChain(path, 0);
        const std::string planted = Utilities::sharedMemoryObjectName(chain[0].c_str());
        int fd = shm_open(planted.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        const off_t plantedSize = c.withHeader ? static_cast<off_t>(Utilities::roundUpToPageSize(Segment::fullSize(8))) : 0;
        if (c.withHeader) {
            ASSERT_EQ(ftruncate(fd, plantedSize), 0);
            SampleFileSegmentHeader header{};
            header.segmentMarker = 1;
            header.frameCount = 8;
            std::strncpy(header.filePath, path.getText(), sizeof header.filePath - 1);
            ASSERT_EQ(pwrite(fd, &header, sizeof header, 0), static_cast<ssize_t>(sizeof header));
        }
        ASSERT_EQ(fchmod(fd, c.mode), 0);
        if (c.otherOwner) {
            ASSERT_EQ(fchown(fd, 54321, 54321), 0);
        }

        // Nothing of ours under the name yet: the attacher finds nothing.
        RhString name(chain[0].c_str());
        int frames = 0, attachFd = -1;
        testing::internal::CaptureStdout();
        EXPECT_EQ(Segment::attachToSharedMemSegment(&path, &name, 0, frames, attachFd, 8), nullptr);
        testing::internal::GetCapturedStdout();

        MappedSegment seg;
        seg.frames = 8;
        seg.base = Segment::createSharedMemSegment(&path, 0, 8, seg.fd, &seg.name, 0);
        ASSERT_NE(seg.base, nullptr);
        EXPECT_EQ(seg.name.getText(), chain[1]);
        Segment::samplesOf(seg.base)[7] = 0.5f;

        name.copyFrom(chain[0].c_str());
        testing::internal::CaptureStdout();
        void* base = Segment::attachToSharedMemSegment(&path, &name, 0, frames, attachFd, 8);
        const std::string out = testing::internal::GetCapturedStdout();
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(name.getText(), chain[1]);
        EXPECT_EQ(Segment::samplesOf(base)[7], 0.5f);
        EXPECT_NE(out.find("ATTACH: collision!!  " + chain[0]), std::string::npos) << out;
        Segment::releaseSharedMemSegment(Segment::kReleaseDetach, &name, frames, base, attachFd);

        // The planted object is as it was: never written, never resized.
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(st.st_size, plantedSize);
        EXPECT_EQ(st.st_mode & 0777, c.mode);
        if (c.withHeader) {
            SampleFileSegmentHeader header{};
            ASSERT_EQ(pread(fd, &header, sizeof header, 0), static_cast<ssize_t>(sizeof header));
            EXPECT_EQ(header.frameCount, 8);
        }
        close(fd);
    }
}

// An object that appears under the name between the creator's unlink and
// its open (another process racing it) is never opened and written into.
TEST_F(SharedmemSegmentTest, CreationNeverOpensAnObjectThatAppearsMeanwhile) {
    RhPath path = samplePath("race.wav");
    static std::string sPlanted;
    sPlanted = Utilities::sharedMemoryObjectName(candidateChain(path, 0)[0].c_str());
    RestoreSysCalls restore;
    platform::sys().shm_unlink = [](const char* name) {
        int result = ::shm_unlink(name);
        if (sPlanted == name) {
            int fd = ::shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0666);
            if (fd >= 0)
                close(fd);
        }
        return result;
    };
    int error = 0, fd = 0;
    testing::internal::CaptureStdout();
    void* base = Utilities::createSharedMemoryBlock_IgnoreHashCollisions(candidateChain(path, 0)[0].c_str(), 5032,
                                                                         &error, &fd, 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(base, nullptr);
    EXPECT_EQ(error, Utilities::kShmOpenFailed);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(out, "shm_open ERR: already exists 2\n");
    struct stat st;
    int planted = shm_open(sPlanted.c_str(), O_RDONLY, 0);
    ASSERT_GE(planted, 0);
    ASSERT_EQ(fstat(planted, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    close(planted);
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
// What tmpfs answers when /dev/shm or the memory cgroup is full.
int failingFallocate(int fd, off_t, off_t) {
    gSeenFd = fd;
    return ENOSPC;
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
        {"posix_fallocate", 2, ""},
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
        if (std::strcmp(c.what, "posix_fallocate") == 0) platform::sys().posix_fallocate = failingFallocate;
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
