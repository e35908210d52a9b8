// Failing system calls while files load (WAVE, AIFF and compressed files),
// in process: the disk reader and the
// conversion jobs run on the pool as in the server, and the system-call
// table makes one file's calls fail (open, fstat, pread, shm_open,
// ftruncate, posix_fallocate, mmap) with ENOSPC, EMFILE, EIO, EINTR or short reads, or
// truncates the file while it is read. Whatever happens, that file's entry
// ends finished or leaves the registry, its segments hold either the right
// samples or zeros, nothing of it stays in the shared-memory folder, and the
// files loaded beside it in the same pass load exactly.
#include <FLAC++/encoder.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ClientInfoList.h"
#include "DiskReader.h"
#include "RhThreadPool.h"
#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "SegmentSupport.h"
#include "SysCalls.h"
#include "TestSupport.h"
#include "WaveFixtures.h"

namespace {

// Sample i (interleaved) of the ramp files: never 0, so that a zero in a
// segment always means "not read".
int16_t rampSample(int seed, int i) { return static_cast<int16_t>(1 + (seed + i) % 30000); }

// A 16-bit WAVE file whose interleaved sample i is rampSample(seed, i).
std::string rampWave(int channels, int frames, int seed) {
    return srvtest::wave16(channels, frames, [seed](int i) { return rampSample(seed, i); });
}

void appendBE(std::string& out, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; i--)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// The same ramp as a 16-bit AIFF file.
std::string rampAiff(int channels, int frames, int seed) {
    std::string samples;
    for (int i = 0; i < frames * channels; i++)
        appendBE(samples, static_cast<uint16_t>(rampSample(seed, i)), 2);
    std::string comm = "COMM";
    appendBE(comm, 18, 4);
    appendBE(comm, static_cast<uint32_t>(channels), 2);
    appendBE(comm, static_cast<uint32_t>(frames), 4);
    appendBE(comm, 16, 2);
    comm += std::string("\x40\x0E\xAC\x44\0\0\0\0\0\0", 10);
    std::string ssnd = "SSND";
    appendBE(ssnd, static_cast<uint32_t>(8 + samples.size()), 4);
    appendBE(ssnd, 0, 4);  // offset
    appendBE(ssnd, 0, 4);  // block size
    std::string body = "AIFF" + comm + ssnd + samples;
    std::string file = "FORM";
    appendBE(file, static_cast<uint32_t>(body.size()), 4);
    return file + body;
}

// The same ramp as a compressed file (encoded here with libFLAC++).
std::string rampFlac(int channels, int frames, int seed, const std::string& scratch) {
    FLAC::Encoder::File encoder;
    encoder.set_channels(static_cast<unsigned>(channels));
    encoder.set_bits_per_sample(16);
    encoder.set_sample_rate(44100);
    encoder.set_compression_level(0);
    encoder.set_total_samples_estimate(static_cast<FLAC__uint64>(frames));
    if (encoder.init(scratch) != FLAC__STREAM_ENCODER_INIT_STATUS_OK)
        return std::string();
    std::vector<FLAC__int32> samples;
    for (int i = 0; i < frames * channels; i++)
        samples.push_back(rampSample(seed, i));
    const bool ok = encoder.process_interleaved(samples.data(), static_cast<unsigned>(frames)) && encoder.finish();
    std::string bytes = ok ? rhtest::readFile(scratch) : std::string();
    unlink(scratch.c_str());
    return bytes;
}

enum class Format { kWave, kAiff, kFlac };

const char* suffixOf(Format format) {
    return format == Format::kWave ? ".wav" : format == Format::kAiff ? ".aif" : ".flc";
}

// ---- The faults ----

enum class Call { kNone, kOpen, kFstat, kPread, kShmOpen, kFtruncate, kFallocate, kMmap };

struct Fault {
    Call call = Call::kNone;
    int error = 0;            // errno of a failing call (0: the call does not fail)
    int afterCalls = 0;       // the target's calls of that kind that go through first
    int interruptOnce = 0;    // EINTR once before each call goes through
    ssize_t shortBytes = 0;   // pread: at most this many bytes per call
    int channel = -1;         // shm calls: only this channel's segment (-1: both)
    off_t truncateTo = -1;    // truncate the file to this size before raw piece afterCalls (a
                              // pread of 10000 bytes or more); afterCalls -1: when its
                              // conversion begins
};

// What the wrappers know, guarded by gMutex: the fault, the target file and
// segment names, and the descriptors that belong to them.
std::mutex gMutex;
Fault gFault;
std::string gTargetPath;
std::set<std::string> gTargetShmNames[2];
std::set<int> gTargetFileFds;
std::set<int> gTargetShmFds[2];
int gCalls = 0;  // the target's calls of the faulted kind so far
bool gInterruptPending = true;

const platform::SysCalls& real() { return platform::realSysCalls(); }

// Under gMutex: whether this call of the target fails now, with errno set.
bool failsNow(Call call) {
    if (gFault.call != call)
        return false;
    if (gFault.interruptOnce) {
        gInterruptPending = !gInterruptPending;
        if (!gInterruptPending) {
            errno = EINTR;
            return true;
        }
        return false;
    }
    const int n = gCalls++;
    if (gFault.error == 0 || n < gFault.afterCalls)
        return false;
    errno = gFault.error;
    return true;
}

int shmChannelOf(int fd) {
    for (int c = 0; c < 2; c++)
        if (gTargetShmFds[c].count(fd) != 0)
            return c;
    return -1;
}

bool channelMatches(int channel) { return gFault.channel < 0 || gFault.channel == channel; }

int faultyOpen(const char* path, int flags, mode_t mode) {
    std::lock_guard<std::mutex> lock(gMutex);
    const bool target = path != nullptr && gTargetPath == path;
    if (target && failsNow(Call::kOpen))
        return -1;
    const int fd = real().open(path, flags, mode);
    if (target && fd >= 0)
        gTargetFileFds.insert(fd);
    return fd;
}

int faultyClose(int fd) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gTargetFileFds.erase(fd);
        for (auto& fds : gTargetShmFds)
            fds.erase(fd);
    }
    return real().close(fd);
}

int faultyFstat(int fd, struct stat* st) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gTargetFileFds.count(fd) != 0 && failsNow(Call::kFstat))
        return -1;
    return real().fstat(fd, st);
}

ssize_t faultyPread(int fd, void* buf, size_t n, off_t at) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (gTargetFileFds.count(fd) == 0 || gFault.call != Call::kPread)
        return real().pread(fd, buf, n, at);
    if (gFault.truncateTo >= 0) {
        if (n >= 10000 && gCalls++ == gFault.afterCalls) {
            EXPECT_EQ(truncate(gTargetPath.c_str(), gFault.truncateTo), 0);
        }
        return real().pread(fd, buf, n, at);
    }
    if (failsNow(Call::kPread))
        return -1;
    if (gFault.shortBytes > 0 && n > static_cast<size_t>(gFault.shortBytes))
        n = static_cast<size_t>(gFault.shortBytes);
    return real().pread(fd, buf, n, at);
}

int faultyShmOpen(const char* name, int flags, mode_t mode) {
    std::lock_guard<std::mutex> lock(gMutex);
    int channel = -1;
    for (int c = 0; c < 2; c++)
        if (name != nullptr && gTargetShmNames[c].count(name) != 0)
            channel = c;
    // Only creation is faulted: the look for an existing segment before it
    // fails with ENOENT anyway.
    if (channel >= 0 && (flags & O_CREAT) != 0 && channelMatches(channel) && failsNow(Call::kShmOpen))
        return -1;
    const int fd = real().shm_open(name, flags, mode);
    if (channel >= 0 && fd >= 0)
        gTargetShmFds[channel].insert(fd);
    return fd;
}

int faultyFtruncate(int fd, off_t length) {
    std::lock_guard<std::mutex> lock(gMutex);
    const int channel = shmChannelOf(fd);
    if (channel >= 0 && channelMatches(channel) && failsNow(Call::kFtruncate))
        return -1;
    return real().ftruncate(fd, length);
}

// Returns the error number, as the real call does.
int faultyFallocate(int fd, off_t offset, off_t length) {
    std::lock_guard<std::mutex> lock(gMutex);
    const int channel = shmChannelOf(fd);
    if (channel >= 0 && channelMatches(channel) && failsNow(Call::kFallocate))
        return errno;
    return real().posix_fallocate(fd, offset, length);
}

void* faultyMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(gMutex);
    const int channel = shmChannelOf(fd);
    if (channel >= 0 && (prot & PROT_WRITE) != 0 && channelMatches(channel) && failsNow(Call::kMmap))
        return MAP_FAILED;
    return real().mmap(addr, length, prot, flags, fd, offset);
}

// The stage hook of the pipeline: truncates the target when its conversion
// job begins (a compressed file is read only then).
void truncateAtConversion(const SampleFileInfo* info, int stage) {
    std::lock_guard<std::mutex> lock(gMutex);
    if (stage == 1 && gFault.truncateTo >= 0 && gFault.afterCalls < 0 && gTargetPath == info->path.getText()) {
        EXPECT_EQ(truncate(gTargetPath.c_str(), gFault.truncateTo), 0);
    }
}

// ---- The server and the loads ----

// One server for the whole program (destroying it would end the process),
// with the faulting table installed before any pool thread runs and never
// swapped afterwards.
class FaultEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        platform::SysCalls& table = platform::sys();
        table.open = faultyOpen;
        table.close = faultyClose;
        table.fstat = faultyFstat;
        table.pread = faultyPread;
        table.shm_open = faultyShmOpen;
        table.ftruncate = faultyFtruncate;
        table.posix_fallocate = faultyFallocate;
        table.mmap = faultyMmap;
        DiskReader::sTestStageHook = truncateAtConversion;
        runtime_.reset(new rhtest::TempDir);
        env_.reset(new rhtest::ScopedEnv("XDG_RUNTIME_DIR", runtime_->path()));
        server = new SampleFileServer(3600.0, 3600.0);
    }
    static SampleFileServer* server;

private:
    std::unique_ptr<rhtest::TempDir> runtime_;
    std::unique_ptr<rhtest::ScopedEnv> env_;
};
SampleFileServer* FaultEnvironment::server = nullptr;
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new FaultEnvironment);

struct TestFile {
    std::string name;
    int channels;
    int frames;
    int seed;
    std::string path;
};

// What became of one file after a pass.
struct Outcome {
    bool held = false;
    int32_t state = -1;
    uint32_t frameCount = 0;
    bool segments[2] = {false, false};
    int wrongSamples = 0;  // neither the file's sample nor zero
    int zeroSamples = 0;
};

// The target file (and its neighbours) in each format.
class LoadFaultTest : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override {
        ASSERT_NE(server(), nullptr);
        ASSERT_NE(server()->diskReader, nullptr);
        // The target lies between the others in path order, so that the
        // reader goes on to a file after it.
        const std::string suffix = suffixOf(GetParam());
        files_ = {{"a" + suffix, 1, 3000, 11, ""}, {"m" + suffix, 2, 320000, 500, ""}, {"z" + suffix, 2, 2000, 77, ""}};
        for (TestFile& f : files_) {
            f.path = sweeper_.watch(dir_.write(f.name, bytesOf(f)));
            ASSERT_GT(rhtest::readFile(f.path).size(), 100u);
        }
    }
    std::string bytesOf(const TestFile& f) const {
        switch (GetParam()) {
            case Format::kWave: return rampWave(f.channels, f.frames, f.seed);
            case Format::kAiff: return rampAiff(f.channels, f.frames, f.seed);
            case Format::kFlac: return rampFlac(f.channels, f.frames, f.seed, dir_.file("scratch.flac"));
        }
        return std::string();
    }
    void TearDown() override { setFault(Fault()); }

    static SampleFileServer* server() { return FaultEnvironment::server; }
    const TestFile& target() const { return files_[1]; }

    void setFault(const Fault& fault) {
        // Named before the lock: naming opens the port folder, through the
        // wrappers.
        std::set<std::string> names[2];
        for (int c = 0; c < 2 && fault.call != Call::kNone; c++)
            for (const std::string& name : srvtest::segmentNameChain(target().path, c))
                names[c].insert(SampleFileServerUtilities::sharedMemoryObjectName(name.c_str()));
        std::lock_guard<std::mutex> lock(gMutex);
        gFault = fault;
        gCalls = 0;
        gInterruptPending = true;
        gTargetPath = fault.call == Call::kNone ? "" : target().path;
        for (int c = 0; c < 2; c++) {
            gTargetShmNames[c] = names[c];
            gTargetShmFds[c].clear();
        }
        gTargetFileFds.clear();
    }

    // Queues every file, runs the disk reader and waits until the pass is
    // over and every entry left is finished.
    void loadAll() {
        SampleFileServer* s = server();
        for (const TestFile& f : files_) {
            auto* info = new SampleFileInfo(s);
            info->path = f.path.c_str();
            info->frameCount = UINT32_MAX;
            info->getClientSlot(&client_, 1);
            std::lock_guard<std::mutex> lock(s->sampleFileList.mutex);
            int insertPos = -1;
            ASSERT_EQ(s->sampleFileList.findSampleFileByName(info->path.getText(), 1, insertPos), nullptr);
            ASSERT_EQ(s->sampleFileList.insertSampleFile(info, insertPos), 1);
        }
        {
            std::lock_guard<std::mutex> lock(s->sampleFileList.mutex);
            s->diskReader->isRunning = 1;
        }
        ASSERT_EQ(ThreadPool::submitJob(s, DiskReader::diskReaderStaticThreadFunction, kThreadPriorityNormal,
                                        kThreadSubPool0, 0, 1),
                  1);
        bool done = false;
        for (int round = 0; round < 40000 && !done; round++) {
            {
                std::lock_guard<std::mutex> lock(s->sampleFileList.mutex);
                int finished = 0;
                for (int i = 0; i < s->sampleFileList.getCount(); i++)
                    finished += s->sampleFileList.getSampleFile(i)->loadState == kLoadFinished;
                done = s->diskReader->isRunning == 0 && finished == s->sampleFileList.getCount();
            }
            if (!done)
                usleep(500);
        }
        ASSERT_TRUE(done) << "the pass did not end";
    }

    Outcome outcomeOf(const TestFile& f) {
        Outcome out;
        SampleFileServer* s = server();
        std::lock_guard<std::mutex> lock(s->sampleFileList.mutex);
        int pos = -1;
        SampleFileInfo* info = s->sampleFileList.findSampleFileByName(f.path.c_str(), 1, pos);
        if (info == nullptr)
            return out;
        out.held = true;
        out.state = info->loadState;
        out.frameCount = info->frameCount;
        for (int c = 0; c < 2; c++) {
            out.segments[c] = info->channelData[c] != nullptr;
            EXPECT_EQ(out.segments[c], srvtest::segmentExists(srvtest::segmentName(f.path, c)))
                << "channel " << c << ": the entry and the shared-memory folder disagree";
            EXPECT_EQ(info->segmentFds[c], -1);
            if (!out.segments[c])
                continue;
            for (uint32_t i = 0; i < info->frameCount; i++) {
                const float got = info->channelData[c][i];
                const float want =
                    static_cast<float>(rampSample(f.seed, static_cast<int>(i) * f.channels + c)) / 32768.0f;
                out.zeroSamples += got == 0.0f;
                out.wrongSamples += got != 0.0f && got != want;
            }
        }
        return out;
    }

    // The files beside the target loaded exactly.
    void expectOthersLoaded() {
        for (const TestFile& f : files_) {
            if (f.name == target().name)
                continue;
            SCOPED_TRACE(f.name);
            const Outcome o = outcomeOf(f);
            ASSERT_TRUE(o.held);
            EXPECT_EQ(o.state, kLoadFinished);
            EXPECT_EQ(o.frameCount, static_cast<uint32_t>(f.frames));
            for (int c = 0; c < 2; c++)
                EXPECT_EQ(o.segments[c], c < f.channels);
            EXPECT_EQ(o.wrongSamples, 0);
            EXPECT_EQ(o.zeroSamples, 0);
        }
    }

    // Lets every entry go; afterwards nothing of these files is held or
    // left in the shared-memory folder.
    void releaseAll() {
        SampleFileServer* s = server();
        {
            std::lock_guard<std::mutex> lock(s->sampleFileList.mutex);
            for (int i = 0; i < s->sampleFileList.getCount(); i++)
                s->sampleFileList.getSampleFile(i)->releaseClientSlot(&client_);
        }
        s->reclaimResources();
        std::lock_guard<std::mutex> lock(s->sampleFileList.mutex);
        EXPECT_EQ(s->sampleFileList.getCount(), 0);
        for (const TestFile& f : files_)
            for (int c = 0; c < 2; c++)
                for (const std::string& name : srvtest::segmentNameChain(f.path, c))
                    EXPECT_FALSE(srvtest::segmentExists(name)) << f.name << " left " << name;
    }

    rhtest::TempDir dir_;
    srvtest::SegmentSweeper sweeper_;
    ClientInfo client_{"faults.ClientManager"};
    std::vector<TestFile> files_;
};

// Reading the file fails at one step or another: the entry leaves the
// registry, or ends finished with the bytes read so far and zeros after.
TEST_P(LoadFaultTest, ReadingFailures) {
    struct Case {
        const char* what;
        Fault fault;
        bool mayBeDropped;  // else it must load (maybe with zeros)
        bool exact;         // every sample right
    };
    std::vector<Case> cases = {
        {"open EINTR", {Call::kOpen, 0, 0, 1}, false, true},
        {"pread EINTR before every call", {Call::kPread, 0, 0, 1}, false, true},
        {"pread short, 5 bytes", {Call::kPread, 0, 0, 0, 5}, true, false},
        {"pread short, 1000 bytes", {Call::kPread, 0, 0, 0, 1000}, false, false},
        {"pread short, 1 MB", {Call::kPread, 0, 0, 0, 1 << 20}, false, false},
    };
    // Each failure from every call of its kind on: the look for a symlink
    // file and the format look, the reader's open, the header and chunks,
    // the two raw pieces.
    const std::pair<Call, int> failures[] = {{Call::kOpen, EMFILE}, {Call::kOpen, ENFILE}, {Call::kOpen, EIO},
                                             {Call::kFstat, EIO},   {Call::kPread, EIO},   {Call::kPread, ENOSPC}};
    const char* names[] = {"", "open", "fstat", "pread"};
    for (const auto& failure : failures)
        for (int after = 0; after <= 12; after++) {
            Fault fault;
            fault.call = failure.first;
            fault.error = failure.second;
            fault.afterCalls = after;
            cases.push_back({names[static_cast<int>(failure.first)], fault, true, false});
        }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " errno " + std::to_string(c.fault.error) + " after " +
                     std::to_string(c.fault.afterCalls));
        setFault(c.fault);
        loadAll();
        setFault(Fault());
        const Outcome o = outcomeOf(target());
        if (!o.held) {
            EXPECT_TRUE(c.mayBeDropped) << "the file left the registry";
        } else {
            EXPECT_EQ(o.state, kLoadFinished);
            EXPECT_EQ(o.frameCount, static_cast<uint32_t>(target().frames));
            EXPECT_TRUE(o.segments[0] && o.segments[1]);
            EXPECT_EQ(o.wrongSamples, 0);
            if (c.exact) {
                EXPECT_EQ(o.zeroSamples, 0);
            }
        }
        expectOthersLoaded();
        releaseAll();
    }
}

// The file shrinks on disk while it is read: what is gone reads as zeros.
TEST_P(LoadFaultTest, FileTruncatedWhileRead) {
    const off_t frameBytes = 4;
    const off_t headerBytes = static_cast<off_t>(bytesOf(target()).size()) - frameBytes * target().frames;
    struct Case {
        const char* what;
        int beforePiece;  // -1: when the conversion begins
        off_t size;
        int zeros;        // samples not read, both channels (-1: some)
    };
    std::vector<Case> cases;
    if (GetParam() == Format::kFlac) {
        const off_t size = static_cast<off_t>(bytesOf(target()).size());
        cases.push_back({"to half, before the decode", -1, size / 2, -1});
        cases.push_back({"to its metadata, before the decode", -1, 100, -1});
    } else {
        cases.push_back({"to 1000 frames, before the raw data", 0, headerBytes + frameBytes * 1000, 2 * (320000 - 1000)});
        cases.push_back({"to nothing, before the raw data", 0, 0, 2 * 320000});
        // The first piece holds 300000 frames.
        cases.push_back(
            {"to 160000 frames, between the raw pieces", 1, headerBytes + frameBytes * 160000, 2 * 20000});
        // The raw bytes are in memory by then.
        cases.push_back({"to 1000 frames, when the conversion begins", -1, headerBytes + frameBytes * 1000, 0});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir_.write(target().name, bytesOf(target()));
        Fault fault;
        fault.call = Call::kPread;
        fault.afterCalls = c.beforePiece;
        fault.truncateTo = c.size;
        setFault(fault);
        loadAll();
        setFault(Fault());
        const Outcome o = outcomeOf(target());
        ASSERT_TRUE(o.held);
        EXPECT_EQ(o.state, kLoadFinished);
        EXPECT_EQ(o.frameCount, static_cast<uint32_t>(target().frames));
        EXPECT_EQ(o.wrongSamples, 0);
        if (c.zeros >= 0) {
            EXPECT_EQ(o.zeroSamples, c.zeros);
        } else {
            EXPECT_GT(o.zeroSamples, 0);
        }
        expectOthersLoaded();
        releaseAll();
    }
}

// A segment cannot be made: the entry is finished without segments, and
// the channel made before the failure is gone again.
TEST_P(LoadFaultTest, SegmentFailures) {
    struct Case {
        const char* what;
        Call call;
        int error;
    };
    const Case cases[] = {
        {"shm_open EMFILE", Call::kShmOpen, EMFILE}, {"shm_open ENOSPC", Call::kShmOpen, ENOSPC},
        {"shm_open EINTR", Call::kShmOpen, EINTR},   {"ftruncate ENOSPC", Call::kFtruncate, ENOSPC},
        {"ftruncate EIO", Call::kFtruncate, EIO},     {"posix_fallocate ENOSPC", Call::kFallocate, ENOSPC},
        {"posix_fallocate EINTR", Call::kFallocate, EINTR}, {"mmap ENOMEM", Call::kMmap, ENOMEM},
        {"mmap EMFILE", Call::kMmap, EMFILE},
    };
    for (const Case& c : cases) {
        for (int channel : {0, 1}) {
            SCOPED_TRACE(std::string(c.what) + ", channel " + std::to_string(channel));
            Fault fault;
            fault.call = c.call;
            fault.error = c.error;
            fault.channel = channel;
            setFault(fault);
            loadAll();
            setFault(Fault());
            const Outcome o = outcomeOf(target());
            ASSERT_TRUE(o.held);
            EXPECT_EQ(o.state, kLoadFinished);
            EXPECT_FALSE(o.segments[0] || o.segments[1]);
            expectOthersLoaded();
            releaseAll();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, LoadFaultTest, ::testing::Values(Format::kWave, Format::kAiff, Format::kFlac),
                         [](const ::testing::TestParamInfo<Format>& info) {
                             return info.param == Format::kWave ? "Wave" : info.param == Format::kAiff ? "Aiff" : "Flac";
                         });

}  // namespace
