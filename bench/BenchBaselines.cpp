#include "BenchBaselines.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <FLAC++/decoder.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// Fresh anonymous memory, as a plug-in's buffer for a newly loaded file:
// every page faults in when first written. Unmapped on destruction.
class FreshBuffer {
public:
    explicit FreshBuffer(size_t bytes) : bytes_(bytes) {
        void* memory = mmap(nullptr, std::max<size_t>(bytes, 1), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                            -1, 0);
        data_ = memory == MAP_FAILED ? nullptr : static_cast<float*>(memory);
    }
    ~FreshBuffer() {
        if (data_ != nullptr)
            munmap(data_, std::max<size_t>(bytes_, 1));
    }
    FreshBuffer(FreshBuffer&& other) noexcept : data_(other.data_), bytes_(other.bytes_) { other.data_ = nullptr; }
    FreshBuffer(const FreshBuffer&) = delete;
    FreshBuffer& operator=(const FreshBuffer&) = delete;
    FreshBuffer& operator=(FreshBuffer&&) = delete;
    float* data() const { return data_; }

private:
    float* data_;
    size_t bytes_;
};

// Runs job(file, keep) for every file on `threads` threads; the buffers each
// job keeps stay alive until the clock has stopped, as a plug-in keeps them.
double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

Timing runOnThreads(const std::vector<LibraryFile>& files, int threads,
                    const std::function<bool(const LibraryFile&, std::vector<FreshBuffer>&)>& job) {
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::vector<FreshBuffer>> kept(threads);
    auto worker = [&](int thread) {
        for (size_t i = next++; i < files.size() && !failed; i = next++)
            if (!job(files[i], kept[thread]))
                failed = true;
    };
    const auto start = Clock::now();
    const double cpuStart = processCpuSeconds();
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; t++)
        pool.emplace_back(worker, t);
    worker(0);
    for (std::thread& thread : pool)
        thread.join();
    Timing timing;
    timing.wall = failed ? -1.0 : std::chrono::duration<double>(Clock::now() - start).count();
    timing.cpu = processCpuSeconds() - cpuStart;
    return timing;
}

bool decodeOneWithSndfile(const LibraryFile& file, std::vector<FreshBuffer>& kept) {
    SF_INFO info{};
    SNDFILE* handle = sf_open(file.path.c_str(), SFM_READ, &info);
    if (handle == nullptr) {
        fprintf(stderr, "LoadBench: libsndfile cannot open %s\n", file.path.c_str());
        return false;
    }
    FreshBuffer buffer(static_cast<size_t>(info.frames) * info.channels * sizeof(float));
    const sf_count_t read = buffer.data() ? sf_readf_float(handle, buffer.data(), info.frames) : -1;
    sf_close(handle);
    if (read != info.frames) {
        fprintf(stderr, "LoadBench: libsndfile read %lld of %lld frames of %s\n", static_cast<long long>(read),
                static_cast<long long>(info.frames), file.path.c_str());
        return false;
    }
    kept.push_back(std::move(buffer));
    return true;
}

// Decodes into one fresh float buffer per channel, converting each block as
// it is written.
class FloatFlacDecoder : public FLAC::Decoder::File {
public:
    explicit FloatFlacDecoder(std::vector<FreshBuffer>& kept) : kept_(kept) {}
    bool failed() const { return failed_; }
    int64_t framesDone() const { return done_; }
    int64_t framesExpected() const { return total_; }

protected:
    void metadata_callback(const ::FLAC__StreamMetadata* metadata) override {
        if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO)
            return;
        total_ = static_cast<int64_t>(metadata->data.stream_info.total_samples);
        channels_ = static_cast<int>(metadata->data.stream_info.channels);
        for (int c = 0; c < channels_; c++) {
            kept_.emplace_back(static_cast<size_t>(total_) * sizeof(float));
            out_[c] = kept_.back().data();
            failed_ = failed_ || out_[c] == nullptr;
        }
    }
    ::FLAC__StreamDecoderWriteStatus write_callback(const ::FLAC__Frame* frame,
                                                    const FLAC__int32* const buffer[]) override {
        const int64_t count = std::min<int64_t>(frame->header.blocksize, total_ - done_);
        if (failed_ || count < 0 || static_cast<int>(frame->header.channels) != channels_)
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        const float scale = 1.0f / static_cast<float>(1u << (frame->header.bits_per_sample - 1));
        for (int c = 0; c < channels_; c++) {
            float* out = out_[c] + done_;
            const FLAC__int32* in = buffer[c];
            for (int64_t i = 0; i < count; i++)
                out[i] = static_cast<float>(in[i]) * scale;
        }
        done_ += count;
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }
    void error_callback(::FLAC__StreamDecoderErrorStatus) override { failed_ = true; }

private:
    std::vector<FreshBuffer>& kept_;
    float* out_[8] = {};
    int channels_ = 0;
    int64_t total_ = 0;
    int64_t done_ = 0;
    bool failed_ = false;
};

bool decodeOneWithFlac(const LibraryFile& file, std::vector<FreshBuffer>& kept) {
    FloatFlacDecoder decoder(kept);
    const bool ok = decoder.init(file.path.c_str()) == FLAC__STREAM_DECODER_INIT_STATUS_OK &&
                    decoder.process_until_end_of_stream() && !decoder.failed() &&
                    decoder.framesDone() == decoder.framesExpected();
    if (!ok)
        fprintf(stderr, "LoadBench: libFLAC++ could not decode %s\n", file.path.c_str());
    decoder.finish();
    return ok;
}

// Names of the memory-limit objects: "/rh-loadbench-<pid>-<index>", the
// indices handed out in order, so an interrupted run can unlink them all.
std::atomic<int> sObjectCount{0};

std::string objectName(int index) {
    return "/rh-loadbench-" + std::to_string(getpid()) + "-" + std::to_string(index);
}

struct SharedObject {
    void* base = MAP_FAILED;
    size_t size = 0;
};

bool fillOneObject(size_t floatBytes, bool populate, SharedObject* object) {
    const int index = sObjectCount++;
    const std::string name = objectName(index);
    const int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) {
        fprintf(stderr, "LoadBench: shm_open %s: %s\n", name.c_str(), strerror(errno));
        return false;
    }
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    object->size = (1032 + floatBytes + page - 1) / page * page;
    bool ok = ftruncate(fd, static_cast<off_t>(object->size)) == 0;
    if (ok && populate)
        ok = fallocate(fd, 0, 0, static_cast<off_t>(object->size)) == 0;
    if (ok)
        object->base = mmap(nullptr, object->size, PROT_READ | PROT_WRITE, MAP_SHARED | (populate ? MAP_POPULATE : 0),
                            fd, 0);
    close(fd);
    if (!ok || object->base == MAP_FAILED) {
        fprintf(stderr, "LoadBench: cannot size or map %s\n", name.c_str());
        return false;
    }
    char* bytes = static_cast<char*>(object->base);
    memset(bytes, 0, 1032);
    float* samples = reinterpret_cast<float*>(bytes + 1032);
    std::fill(samples, samples + floatBytes / sizeof(float), 0.25f);
    return true;
}

}  // namespace

Timing decodeWithSndfile(const std::vector<LibraryFile>& files, int threads) {
    return runOnThreads(files, threads, decodeOneWithSndfile);
}

Timing decodeWithFlac(const std::vector<LibraryFile>& files, int threads) {
    std::vector<LibraryFile> flacFiles;
    for (const LibraryFile& file : files)
        if (isFlac(file.formatClass))
            flacFiles.push_back(file);
    return runOnThreads(flacFiles, threads, decodeOneWithFlac);
}

Timing fillSharedMemory(const std::vector<LibraryFile>& files, int threads, bool populate) {
    std::mutex mappedMutex;
    std::vector<SharedObject> mapped;
    const int firstIndex = sObjectCount;
    const Timing timing = runOnThreads(files, threads, [&](const LibraryFile& file, std::vector<FreshBuffer>&) {
        for (int c = 0; c < file.channels; c++) {
            SharedObject object;
            const bool ok = fillOneObject(static_cast<size_t>(file.frames) * sizeof(float), populate, &object);
            if (object.base != MAP_FAILED) {
                std::lock_guard<std::mutex> lock(mappedMutex);
                mapped.push_back(object);
            }
            if (!ok)
                return false;
        }
        return true;
    });
    for (const SharedObject& object : mapped)
        munmap(object.base, object.size);
    const int end = sObjectCount;
    for (int i = firstIndex; i < end; i++)
        shm_unlink(objectName(i).c_str());
    return timing;
}

void unlinkSharedMemoryLeftovers() {
    const int end = sObjectCount;
    for (int i = 0; i < end; i++)
        shm_unlink(objectName(i).c_str());
}

void warmPageCache(const std::vector<LibraryFile>& files) {
    std::vector<char> buffer(1 << 20);
    for (const LibraryFile& file : files) {
        const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        while (read(fd, buffer.data(), buffer.size()) > 0) {
        }
        close(fd);
    }
}

void evictPageCache(const std::vector<LibraryFile>& files) {
    for (const LibraryFile& file : files) {
        const int fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        fdatasync(fd);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

}  // namespace bench
