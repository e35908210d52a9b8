// The client library's side of the segments: attaching to a file's channel
// read-only, and finding (and removing) the segments of ours in the
// shared-memory folder while leaving every other object alone.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "SampleFileClient.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"
#include "SegmentSupport.h"
#include "TestSupport.h"

namespace {

using Segment = SampleFileSharedmemSegment;
using Utilities = SampleFileServerUtilities;

// A segment made by the server's code, destroyed at scope end.
struct ServerSegment {
    void* base = nullptr;
    int fd = -1;
    int frames = 0;
    RhString name;
    ~ServerSegment() {
        if (base != nullptr)
            Segment::releaseSharedMemSegment(Segment::kReleaseDestroy, &name, frames, base, fd);
    }
};

// An object of `objectSize` bytes named `name` whose header says what is
// given (the path is copied without a terminator when it fills 1024 bytes).
void plant(const std::string& name, size_t objectSize, int32_t marker, int32_t frames, const std::string& path) {
    int error = 0, fd = -1;
    void* base = Utilities::createSharedMemoryBlock_IgnoreHashCollisions(name.c_str(), objectSize, &error, &fd, 0);
    ASSERT_NE(base, nullptr);
    auto* header = static_cast<SampleFileSegmentHeader*>(base);
    header->segmentMarker = marker;
    header->frameCount = frames;
    memcpy(header->filePath, path.data(), std::min(path.size(), sizeof header->filePath));
    munmap(base, Utilities::roundUpToPageSize(objectSize));
    close(fd);
}

class ClientSegmentsTest : public ::testing::Test {
protected:
    // A path in this test's own folder, its segment names watched.
    std::string samplePath(const std::string& name) { return sweeper.watch(dir.file(name)); }

    // The listed segments whose stored path lies in this test's folder.
    std::vector<SampleFileClient::SegmentListing> ownListings() {
        std::vector<SampleFileClient::SegmentListing> own;
        for (const SampleFileClient::SegmentListing& listing : SampleFileClient::listSegments())
            if (listing.storedPath.compare(0, dir.path().size(), dir.path()) == 0)
                own.push_back(listing);
        return own;
    }

    rhtest::TempDir dir;
    rhtest::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", dir.path()};  // a port folder of its own
    srvtest::SegmentSweeper sweeper;
};

TEST_F(ClientSegmentsTest, AttachesReadOnlyWithTheRightFrameCountOnly) {
    const std::string path = samplePath("Piano C3.wav");
    ServerSegment segment;
    segment.frames = 1000;
    RhPath filePath(path.c_str());
    segment.base = Segment::createSharedMemSegment(&filePath, 0, 1000, segment.fd, &segment.name, 0);
    ASSERT_NE(segment.base, nullptr);
    Segment::samplesOf(segment.base)[999] = 0.5f;

    struct Case {
        const char* what;
        std::string path;
        int channel;
        int32_t expectedFrames;
        int status;
    };
    const Case cases[] = {
        {"right count", path, 0, 1000, SampleFileClient::kClientOk},
        {"any count", path, 0, SampleFileClient::kAnyFrameCount, SampleFileClient::kClientOk},
        {"fewer frames", path, 0, 999, SampleFileClient::kClientFrameCountMismatch},
        {"more frames", path, 0, 100000, SampleFileClient::kClientFrameCountMismatch},
        {"no second channel", path, 1, 1000, SampleFileClient::kClientNoSegment},
        {"other file", dir.file("Piano C4.wav"), 0, 1000, SampleFileClient::kClientNoSegment},
        {"channel 2", path, 2, 1000, SampleFileClient::kClientBadArgument},
        {"negative count", path, 0, -2, SampleFileClient::kClientBadArgument},
        {"NUL in path", path + std::string(1, '\0') + "x", 0, 1000, SampleFileClient::kClientBadArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SampleFileAttachment attachment;
        testing::internal::CaptureStdout();  // the attach chain reports misses there
        const int status = SampleFileClient::attachSampleFile(c.path, c.channel, c.expectedFrames, &attachment);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(attachment.isAttached(), status == SampleFileClient::kClientOk);
        if (status != SampleFileClient::kClientOk)
            continue;
        EXPECT_EQ(attachment.frameCount(), 1000);
        EXPECT_EQ(attachment.storedPath(), path);
        EXPECT_EQ(attachment.segmentName(), segment.name.getText());
        EXPECT_EQ(attachment.samples()[0], 0.0f);
        EXPECT_EQ(attachment.samples()[999], 0.5f);
    }
}

TEST_F(ClientSegmentsTest, DetachAndMoveReleaseTheMappingOnce) {
    const std::string path = samplePath("Harp.wav");
    ServerSegment segment;
    segment.frames = 10;
    RhPath filePath(path.c_str());
    segment.base = Segment::createSharedMemSegment(&filePath, 1, 10, segment.fd, &segment.name, 0);
    ASSERT_NE(segment.base, nullptr);

    SampleFileAttachment first;
    ASSERT_EQ(SampleFileClient::attachSampleFile(path, 1, 10, &first), 0);
    SampleFileAttachment second = std::move(first);
    EXPECT_FALSE(first.isAttached());
    ASSERT_TRUE(second.isAttached());
    // The mapping outlives the segment's name.
    Segment::releaseSharedMemSegment(Segment::kReleaseDestroy, &segment.name, segment.frames, segment.base, segment.fd);
    segment.base = nullptr;
    EXPECT_FALSE(srvtest::segmentExists(segment.name.getText()));
    EXPECT_EQ(second.samples()[9], 0.0f);
    second.detach();
    EXPECT_FALSE(second.isAttached());
    EXPECT_EQ(second.samples(), nullptr);
    second.detach();  // twice is harmless
}

TEST_F(ClientSegmentsTest, AttachRefusesAnObjectWithoutTheSegmentMarker) {
    const std::string path = samplePath("Bass.wav");
    plant(srvtest::segmentName(path, 0), Segment::fullSize(10), 0, 10, path);
    SampleFileAttachment attachment;
    EXPECT_EQ(SampleFileClient::attachSampleFile(path, 0, 10, &attachment), SampleFileClient::kClientNoSegment);
    EXPECT_FALSE(attachment.isAttached());
}

TEST_F(ClientSegmentsTest, ListsOurSegmentsAndShowsDamagedOnes) {
    const std::string good = samplePath("good.wav");
    ServerSegment segment;
    segment.frames = 1000;
    RhPath goodPath(good.c_str());
    segment.base = Segment::createSharedMemSegment(&goodPath, 0, 1000, segment.fd, &segment.name, 0);
    ASSERT_NE(segment.base, nullptr);

    // Objects under segment names whose content is not a valid segment:
    // leftovers, listed as damaged.
    const std::string marker = samplePath("marker.wav");
    plant(srvtest::segmentName(marker), Segment::fullSize(10), 2, 10, marker);
    const std::string sizeLie = samplePath("size.wav");
    plant(srvtest::segmentName(sizeLie), Segment::fullSize(10), 1, 100000, sizeLie);
    const std::string negative = samplePath("negative.wav");
    plant(srvtest::segmentName(negative), Segment::fullSize(10), 1, -1, negative);
    const std::string open = samplePath("open.wav");
    plant(srvtest::segmentName(open), Segment::fullSize(10), 1, 10, open + std::string(1024, 'x'));
    // Not listed at all: a valid header under a name of another shape, and
    // a valid segment that grants access to others (not ours alone).
    const std::string shortName = srvtest::segmentName(samplePath("short.wav")).substr(0, 28);
    sweeper.watchName(shortName);
    plant(shortName, Segment::fullSize(10), 1, 10, dir.file("short.wav"));
    const std::string shared = samplePath("shared.wav");
    plant(srvtest::segmentName(shared), Segment::fullSize(10), 1, 10, shared);
    ASSERT_EQ(chmod(("/dev/shm" + srvtest::objectName(srvtest::segmentName(shared))).c_str(), 0644), 0);

    std::vector<SampleFileClient::SegmentListing> own = ownListings();
    std::vector<std::string> damaged;
    std::vector<SampleFileClient::SegmentListing> whole;
    for (const SampleFileClient::SegmentListing& listing : own)
        (listing.damaged ? damaged.push_back(listing.storedPath) : whole.push_back(listing));
    std::sort(damaged.begin(), damaged.end());
    std::vector<std::string> expectedDamaged = {marker, negative, (open + std::string(1024, 'x')).substr(0, 1024), sizeLie};
    std::sort(expectedDamaged.begin(), expectedDamaged.end());
    EXPECT_EQ(damaged, expectedDamaged);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].name, segment.name.getText());
    EXPECT_EQ(whole[0].storedPath, good);
    EXPECT_EQ(whole[0].frameCount, 1000);
    EXPECT_EQ(whole[0].size, Utilities::roundUpToPageSize(Segment::fullSize(1000)));
    EXPECT_TRUE(whole[0].inUse) << "this process maps it";

    // As a crashed server leaves it: nobody maps it any more.
    Segment::releaseSharedMemSegment(Segment::kReleaseDetach, &segment.name, segment.frames, segment.base, segment.fd);
    segment.base = nullptr;
    own = ownListings();
    ASSERT_EQ(own.size(), 5u);
    for (const SampleFileClient::SegmentListing& listing : own) {
        EXPECT_FALSE(listing.inUse) << listing.name;
        EXPECT_EQ(SampleFileClient::removeSegment(listing.name), 0);
        EXPECT_FALSE(srvtest::segmentExists(listing.name));
        EXPECT_EQ(SampleFileClient::removeSegment(listing.name), -ENOENT);
    }
    EXPECT_TRUE(ownListings().empty());
}

TEST(SegmentNameShapeTest, TellsSegmentObjectNamesApart) {
    rhtest::TempDir dir;
    rhtest::ScopedEnv runtimeEnv("XDG_RUNTIME_DIR", dir.path());
    const std::string prefix = Utilities::sharedMemoryObjectPrefix().substr(1);
    std::string otherFolderPrefix;
    {
        rhtest::TempDir other;
        rhtest::ScopedEnv otherEnv("XDG_RUNTIME_DIR", other.path());
        otherFolderPrefix = Utilities::sharedMemoryObjectPrefix().substr(1);
    }
    std::string computed = srvtest::segmentName("/Samples/x.wav", 1);
    std::replace(computed.begin(), computed.end(), '/', '~');
    struct Case {
        std::string objectFileName;
        bool shaped;
    };
    const std::string body = "ABCDEFGH%JKLMN@PQRSTUVWXY";  // 25 characters of the alphabet
    std::string withI = body;
    withI[8] = 'I';  // not in the alphabet
    const Case cases[] = {
        {computed, false},                    // no prefix
        {otherFolderPrefix + computed, false},  // another port folder's
        {"Quillorantics-" + std::to_string(geteuid() + 1) + prefix.substr(prefix.find('-', 14)) + computed, false},
        {prefix + computed, true},
        {prefix + "L_" + body + "~=", true},   // '/' stands as '~'
        {prefix + "R_" + body + "Z[", true},   // last character advanced past the alphabet
        {prefix + "R_" + body + "Z0", true},   // advanced from '/'
        {prefix + "L_" + body + "Z", false},   // 28 characters
        {prefix + "L_" + body + "Zab", false}, // 30 characters
        {prefix + "X_" + body + "Za", false},
        {prefix + "L-" + body + "Za", false},
        {prefix + "L_" + withI + "Za", false},
        {prefix + "L_" + body + "Z ", false},
        {"sem." + body, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SampleFileClient::hasSegmentNameShape(c.objectFileName), c.shaped) << c.objectFileName;
}

}  // namespace
