#include "SampleFile.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "RhIFStream.h"
#include "RhRawToFloat.h"
#include "RhThreadPool.h"
#include "SampleFileFactory.h"

float StreamableSampleFile::sStreamBrake = 0.1f;
float StreamableSampleFile::sStreamBytesPerRead = 0.1f;
std::atomic<int32_t> StreamableSampleFile::sFLACerrorCount{0};

namespace {

// 4 or more bytes at the start of the file, or fewer when it is shorter or
// cannot be opened (good stays 0 then).
struct FirstBytes {
    char bytes[4] = {0, 0, 0, 0};
    int count = 0;
    int good = 0;
};

// Reads the first bytes through `stream` when given (left open, for the
// reader to go on with), else through a stream of its own.
FirstBytes readFirstBytes(const RhPath* path, RhIFStream** keep) {
    FirstBytes first;
    RhIFStream* stream = new RhIFStream(path->getText(), 0);
    first.good = stream->good();
    if (first.good)
        first.count = stream->read(first.bytes, 4);
    if (keep != nullptr && first.good) {
        *keep = stream;
        return first;
    }
    delete stream;
    return first;
}

bool startsCompressed(const FirstBytes& first) {
    return memcmp(first.bytes, "fLaC", 4) == 0 || memcmp(first.bytes, "QvCA", 4) == 0;
}

bool isOneOf(const char* text, std::initializer_list<const char*> spellings) {
    for (const char* spelling : spellings)
        if (strcmp(text, spelling) == 0)
            return true;
    return false;
}

// True when the path has a folder part and its last component is "audio".
bool isSuffixLessAudioFile(const RhPath* path) {
    const char* text = path->getText();
    const char* tail = path->tailString(0);
    return tail != nullptr && tail != text && strcmp(tail, "audio") == 0;
}

// Aligned scratch for raw bytes; freed with free().
unsigned char* allocateScratch(size_t bytes) {
    void* memory = nullptr;
    if (posix_memalign(&memory, 16, bytes) != 0)
        return nullptr;
    return static_cast<unsigned char*>(memory);
}

}  // namespace

StreamableSampleFile::StreamableSampleFile()
    : stream(nullptr),
      preparedStream(nullptr),
      numSampleFrames(0),
      numChannels(2),
      sampleRate(44100.0f),
      bytesPerSample(2),
      interleaved(true),
      fileFormat(SampleFileFormatNone),
      byteOrder(0),
      dataOffset(0),
      memoryBacked(0),
      streamBrake(0.0f),
      loopMode(0),
      loopStart(0),
      loopEnd(0),
      baseNote(60),
      pitchRatio(1.0),
      stopRequested(0),
      retrievalWanted(0),
      retrievalRunning(0),
      cleanupRunning(0) {
    memset(chunkIdText, 0, sizeof chunkIdText);
}

StreamableSampleFile::~StreamableSampleFile() {
    delete stream;
    stream = nullptr;
    delete preparedStream;
    preparedStream = nullptr;
    playbackBuffer.release();
}

// ---- Detection and the factory ----

SampleFileFormat StreamableSampleFile::getFileFormat(RhPath* path) {
    return detectFormat(path, nullptr);
}

SampleFileFormat StreamableSampleFile::detectFormat(RhPath* path, RhIFStream** keep) {
    if (path == nullptr || path->getText() == nullptr)
        return SampleFileFormatNone;
    const char* suffix = path->suffix();
    bool sniffAsWave;
    if (suffix == nullptr) {
        if (!isSuffixLessAudioFile(path))
            return SampleFileFormatNone;
        sniffAsWave = true;
    } else if (isOneOf(suffix, {"wav", "WAV"})) {
        sniffAsWave = true;
    } else if (isOneOf(suffix, {"aiff", "AIFF", "aifc", "AIFC", "aif", "AIF"})) {
        sniffAsWave = false;
    } else if (isOneOf(suffix, {"flc", "FLC"})) {
        return SampleFileFormatCompressed;  // never looked into
    } else {
        return SampleFileFormatNone;
    }
    const FirstBytes first = readFirstBytes(path, keep);
    const bool complete = first.good && first.count >= 4;
    if (!sniffAsWave)
        return complete && startsCompressed(first) ? SampleFileFormatCompressed : SampleFileFormatAIFF;
    if (!complete)
        return SampleFileFormatWAVE;
    if (startsCompressed(first))
        return SampleFileFormatCompressed;
    if (memcmp(first.bytes, "FORM", 4) == 0 || memcmp(first.bytes, "form", 4) == 0)
        return SampleFileFormatAIFF;
    return SampleFileFormatWAVE;
}

StreamableSampleFile* StreamableSampleFile::constructSampleFile(RhPath* path, SampleFileError* error) {
    if (error != nullptr)
        *error = SampleFileErrorNone;
    if (path == nullptr)
        return nullptr;
    path->eliminateSingleDotsAndDoubleDots();
    // The stream that looked at the first bytes is the one the reader goes
    // on with: every open of a file costs its lookups in the containers.
    RhIFStream* sniffed = nullptr;
    const SampleFileFormat format = detectFormat(path, &sniffed);
    if (format == SampleFileFormatNone) {
        delete sniffed;
        return nullptr;
    }
    int result = SampleFileErrorUnsupportedFormat;
    StreamableSampleFile* reader = SampleFileFactory::makeReader(format, path);
    if (reader != nullptr) {
        reader->preparedStream = sniffed;
        result = reader->open(0);
    } else {
        delete sniffed;
    }
    if (error != nullptr)
        *error = static_cast<SampleFileError>(result);
    if (result == SampleFileErrorNone)
        return reader;
    delete reader;
    return nullptr;
}

void StreamableSampleFile::formatErrorMessage(SampleFileError error, RhString* text) {
    if (text == nullptr)
        return;
    switch (error) {
        case SampleFileErrorNone:
            return;
        case SampleFileErrorNotFound:
            text->append("Sample file not found on disk");
            return;
        case SampleFileErrorNoReadPermission:
            text->append("Sample file does not have read permission");
            return;
        case SampleFileErrorTooManyFilesOpen:
            text->append("Unable to open sample file, perhaps too many files open");
            return;
        case SampleFileErrorNotSampleFile:
            text->append("Requested file is not a sample file");
            return;
        case SampleFileErrorUnsupportedFormat:
            text->append("Sample file format is not supported");
            return;
        case SampleFileErrorOutOfMemory:
            text->append("Out of memory trying to open");
            return;
        default:
            text->append("Error accessing sample file, possibly missing or corrupt");
            return;
    }
}

// ---- Streams ----

int StreamableSampleFile::ensureStream() {
    if (stream == nullptr && preparedStream != nullptr) {
        stream = preparedStream;
        preparedStream = nullptr;
        stream->seekg(0, 0);
    }
    if (stream == nullptr)
        stream = new RhIFStream(path.getText(), 0);
    return stream->good();
}

void StreamableSampleFile::closeStream() {
    if (stream != nullptr)
        stream->close();
}

long long StreamableSampleFile::streamEndOf(RhIFStreamAPI* from) {
    if (from == nullptr)
        return -1;
    const long long here = from->tellg();
    if (here < 0 || from->seekg(0, 2) != 0)
        return -1;
    const long long end = from->tellg();
    // A position past what an int offset can name (a walk that skipped a
    // lying size) lies past the end anyway: the stream stays at its end.
    if (here <= INT32_MAX)
        from->seekg(static_cast<int>(here), 0);
    return end;
}

long long StreamableSampleFile::bytesAfterDataOffset() {
    if (stream == nullptr || !stream->good())
        return 0;
    const long long end = streamEndOf(stream);
    return end > dataOffset ? end - dataOffset : 0;
}

int StreamableSampleFile::reopenAtDataOffset() {
    stream->close();
    if (!stream->reopen() || stream->seekg(dataOffset, 0) != 0)
        return SampleFileErrorAccess;
    return stream->good() ? SampleFileErrorNone : SampleFileErrorAccess;
}

void StreamableSampleFile::setPitchRatioFromCents(int cents) {
    double ratio = 1.0;
    for (int i = 0; i < cents; i++)
        ratio *= 1.0005777895;
    for (int i = 0; i > cents; i--)
        ratio /= 1.0005777895;
    pitchRatio = ratio;
}

void StreamableSampleFile::readRawSamples(int byteOffset, unsigned* byteCount, unsigned char* destination) {
    if (byteCount == nullptr)
        return;
    const unsigned wanted = *byteCount;
    *byteCount = 0;
    if (destination == nullptr || byteOffset < 0)
        return;
    if (stream == nullptr && !ensureStream())
        return;
    if (!stream->good() && !stream->reopen())
        return;
    const long long start = static_cast<long long>(dataOffset) + byteOffset;
    if (start > INT32_MAX)
        return;
    if (stream->tellg() != start && stream->seekg(static_cast<int>(start), 0) != 0)
        return;
    const long long total =
        static_cast<long long>(bytesPerSample) * numSampleFrames * static_cast<long long>(numChannels);
    long long amount = wanted;
    if (byteOffset + amount > total)
        amount = total - byteOffset;
    if (amount <= 0)
        return;
    const int got = stream->read(destination, static_cast<unsigned>(amount));
    *byteCount = got > 0 ? static_cast<unsigned>(got) : 0;
}

void StreamableSampleFile::getLowLevelDiskFileInfo(RhPath* out, unsigned long long* offsetOut) {
    if (!ensureStream()) {
        if (offsetOut != nullptr)
            *offsetOut = 0;
        if (out != nullptr)
            out->copyFrom(&path);
        return;
    }
    stream->getLowLevelDiskFileInfo(out, offsetOut);
}

// ---- Retrieval into float arrays ----

int StreamableSampleFile::retrieveSamples(int channels, float** destinations, unsigned* bufferFrames,
                                          int startFrame, int endFrame, int asynchronous, unsigned char* scratch,
                                          float brake) {
    if (channels > kMaxRetrievalChannels || numChannels > kMaxRetrievalChannels)
        return SampleFileErrorUnsupportedFormat;  // would overrun the table of destinations
    streamBrake = brake < 0.0f ? sStreamBrake : brake;
    if (asynchronous) {
        retrievalWanted.store(1);
        std::lock_guard<std::mutex> lock(retrievalMutex);
        if (retrievalRunning.load() != 0)
            return 0;
        retrievalRunning.store(1);
        if (!ThreadPool::submitJob(this, threadRetrievalStaticThreadFunction, kThreadPriorityNormal, kThreadSubPool1,
                                   0, 1))
            retrievalRunning.store(0);
        return 0;
    }
    int64_t capacity = bufferFrames != nullptr ? *bufferFrames : 0;
    if (destinations == nullptr) {
        if (!playbackBuffer.allocate(numSampleFrames))
            return 0;
        destinations = playbackBuffer.channels();
        capacity = playbackBuffer.capacity();
        channels = channels < PlaybackBuffer::kChannels ? channels : PlaybackBuffer::kChannels;
    }
    int64_t end = endFrame < 0 ? numSampleFrames : endFrame;
    if (end > numSampleFrames)
        end = numSampleFrames;  // never past the data
    if (capacity < end)
        end = capacity;
    if (startFrame < 0 || end <= startFrame || channels <= 0 || numChannels <= 0)
        return 0;
    const int64_t frames = end - startFrame;
    // The raw data holds every channel of the file; channels beyond the
    // caller's destinations are skipped by the conversion.
    const int64_t frameBytes = static_cast<int64_t>(bytesPerSample) * numChannels;
    const int64_t wanted = frameBytes * frames;
    const int64_t offset = frameBytes * startFrame;
    if (wanted > UINT32_MAX || offset > INT32_MAX)
        return 0;
    unsigned char* raw = scratch;
    if (raw == nullptr && (raw = allocateScratch(static_cast<size_t>(wanted) + 4)) == nullptr)
        return 0;
    unsigned count = static_cast<unsigned>(wanted);
    readRawSamples(static_cast<int>(offset), &count, raw);
    if (count > 0) {
        if (count < wanted)
            memset(raw + count, 0, static_cast<size_t>(wanted - count));  // a short read converts as silence
        float* shifted[kMaxRetrievalChannels] = {};
        for (int c = 0; c < channels && c < numChannels; c++)
            shifted[c] = destinations[c] != nullptr ? destinations[c] + startFrame : nullptr;
        RhConvertSamplesRawToFloat(static_cast<int32_t>(frames), raw, interleaved, numChannels, bytesPerSample,
                                   byteOrder, shifted);
        if (destinations == playbackBuffer.channels())
            playbackBuffer.setFilledFrames(static_cast<int32_t>(end));
    }
    if (raw != scratch)
        free(raw);
    return 0;
}

void* StreamableSampleFile::threadRetrievalStaticThreadFunction(void* object) {
    return static_cast<StreamableSampleFile*>(object)->threadRetrieval(nullptr);
}

void* StreamableSampleFile::threadRetrieval(void* job) {
    (void)job;
    if (retrievalWanted.load() == 0 || !playbackBuffer.allocate(numSampleFrames)) {
        retrievalRunning.store(0);
        return nullptr;
    }
    const int step = static_cast<int>(sStreamBytesPerRead * 500000.0f + 1000.0f) / 16 * 4;
    const int channels = numChannels < PlaybackBuffer::kChannels ? numChannels : PlaybackBuffer::kChannels;
    unsigned char* scratch =
        step > 0 ? allocateScratch(static_cast<size_t>(bytesPerSample) * numChannels * step + 20) : nullptr;
    if (scratch == nullptr) {
        retrievalRunning.store(0);
        return nullptr;
    }
    const int capacity = playbackBuffer.capacity();
    int start = playbackBuffer.preloadedHeadFrames();
    int end = start + step < capacity ? start + step : capacity;
    while (stopRequested.load() == 0) {
        unsigned frames = static_cast<unsigned>(capacity);
        retrieveSamples(channels, nullptr, &frames, start, end, 0, scratch, -1.0f);
        playbackBuffer.setFilledFrames(capacity < end ? capacity : end);
        if (streamBrake > 0.0f)
            usleep(static_cast<useconds_t>(streamBrake * 1000.0f));
        if (playbackBuffer.filledFrames() >= capacity)
            break;
        start = end;
        end = end + step < capacity ? end + step : capacity;
    }
    closeStream();
    free(scratch);
    retrievalRunning.store(0);
    return nullptr;
}

void StreamableSampleFile::releaseFullSizeBuffers() {
    retrievalWanted.store(0);
    stopRequested.store(1);
    std::lock_guard<std::mutex> lock(cleanupMutex);
    if (cleanupRunning.load() != 0)
        return;
    cleanupRunning.store(1);
    if (!ThreadPool::submitJob(this, memoryCleanupStaticThreadFunction, kThreadPriorityLowest, kThreadSubPool0, 0, 0))
        cleanupRunning.store(0);
}

void* StreamableSampleFile::memoryCleanupStaticThreadFunction(void* object) {
    static_cast<StreamableSampleFile*>(object)->memoryCleanup(nullptr);
    return nullptr;
}

int StreamableSampleFile::memoryCleanup(void* job) {
    (void)job;
    if (retrievalWanted.load() == 0)
        playbackBuffer.release();
    cleanupRunning.store(0);
    return 1;
}

int StreamableSampleFile::fetchInterleavedSamples(int startFrame, unsigned char* out, unsigned* frames) {
    (void)startFrame;
    (void)out;
    if (frames != nullptr)
        *frames = 0;
    return 0;
}

void StreamableSampleFile::busyWaitForStreamToFinish() {
    stopRequested.store(1);
    retrievalWanted.store(0);
    for (std::atomic<int32_t>* flag : {&cleanupRunning, &retrievalRunning}) {
        std::mutex& mutex = flag == &cleanupRunning ? cleanupMutex : retrievalMutex;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (flag->load() == 0) {
                    flag->store(1);  // no new job of this kind starts
                    break;
                }
            }
            usleep(1000);
        }
    }
}
