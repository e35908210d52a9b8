#include "SampleFileFLAC_Archive.h"

#include <FLAC/metadata.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "DiagnosticLog.h"
#include "RhIFStream.h"
#include "RhRawToFloat.h"
#include "RhThreadPool.h"

std::atomic<int (*)()> SampleFileFLAC_Archive::sShouldStopDecoding{nullptr};

namespace {

// Lowers the calling thread's timer slack for its lifetime and restores the
// slack it found: a decoding thread's 100-microsecond sleeps would otherwise
// stretch by the default slack of 50 microseconds.
class ScopedTimerSlack {
public:
    explicit ScopedTimerSlack(unsigned long nanoseconds) : previous_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)) {
        prctl(PR_SET_TIMERSLACK, nanoseconds, 0, 0, 0);
    }
    ~ScopedTimerSlack() {
        if (previous_ > 0)
            prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous_), 0, 0, 0);
    }
    ScopedTimerSlack(const ScopedTimerSlack&) = delete;
    ScopedTimerSlack& operator=(const ScopedTimerSlack&) = delete;

private:
    long previous_;
};

bool processIsEnding() {
    int (*shouldStop)() = SampleFileFLAC_Archive::sShouldStopDecoding.load();
    return shouldStop != nullptr && shouldStop() != 0;
}

// The next integer of text at *at, clamped to int32; false when none.
bool nextInteger(const char*& at, int32_t& value) {
    char* end = nullptr;
    errno = 0;
    const long long parsed = strtoll(at, &end, 10);
    if (end == at)
        return false;
    at = end;
    value = parsed > INT32_MAX ? INT32_MAX : parsed < INT32_MIN ? INT32_MIN : static_cast<int32_t>(parsed);
    return true;
}

// Scales right-aligned integers of `bits` bits so that full scale is 1.0.
void convertChannel(const FLAC__int32* samples, int frames, int bits, float* out) {
    if (bits % 8 == 0) {
        float* const destination[1] = {out};
        RhConvertSamplesRawToFloatV(frames, samples, true, 1, 4, 1, destination, bits / 8);
        return;
    }
    // 12 or 20 bits and the like: whole-byte scaling would be up to 128
    // times too loud, so scale by the real width (exact: a power of two).
    const float scale = ldexpf(1.0f, 1 - bits);
    for (int i = 0; i < frames; i++)
        out[i] = static_cast<float>(samples[i]) * scale;
}

}  // namespace

SampleFileFLAC_Archive::SampleFileFLAC_Archive(const RhPath* source)
    : endFrame(0),
      startFrame(0),
      decodeBusy(0),
      destinations(nullptr),
      bitsPerSample(0),
      destinationCount(0),
      decodeEnded(false),
      decoderReady(false),
      metadataPassRunning(false),
      streamInfoSeen(false),
      tooManyFrames(false) {
    stopRequested.store(0);
    if (source != nullptr)
        path.copyFrom(source);
    numSampleFrames = 0;
    numChannels = 0;
    fileFormat = SampleFileFormatCompressed;
    byteOrder = 1;
    prepareDecoder();
}

bool SampleFileFLAC_Archive::prepareDecoder() {
    if (!decoderReady) {
        set_metadata_respond_all();  // finish() puts the settings back to their defaults
        decoderReady = init() == FLAC__STREAM_DECODER_INIT_STATUS_OK;
    }
    return decoderReady;
}

void SampleFileFLAC_Archive::releaseDecoder() {
    finish();
    decoderReady = false;
}

SampleFileFLAC_Archive::~SampleFileFLAC_Archive() {
    stopRequested.store(1);
    retrievalWanted.store(0);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(decodeMutex);
            stopRequested.store(1);
            if (decodeBusy.load() == 0) {
                decodeBusy.store(1);  // no decode starts any more
                break;
            }
        }
        usleep(1000);
    }
    busyWaitForStreamToFinish();
    finish();
}

// ---- Opening ----

long long SampleFileFLAC_Archive::largestFrameCountFor(long long streamBytes) {
    constexpr long long kBytesBeforeFrames = 4 + 38;  // marker, STREAMINFO block
    constexpr long long kSmallestFrameBytes = 10;     // header 6, one constant subframe 2, CRC 2
    constexpr long long kLargestBlockFrames = 65536;
    if (streamBytes <= kBytesBeforeFrames)
        return 0;
    return (streamBytes - kBytesBeforeFrames) / kSmallestFrameBytes * kLargestBlockFrames;
}

int SampleFileFLAC_Archive::open(int option) { return open(option, 1); }

long long SampleFileFLAC_Archive::streamLength() {
    if (stream == nullptr || !stream->good())
        return -1;
    if (stream->isInArchive())
        return stream->getSize();
    return streamEndOf(stream);
}

int SampleFileFLAC_Archive::open(int option, int metadataPassWanted) {
    (void)option;
    if (stream != nullptr) {
        stream->close();
        stream->reopen();
    } else {
        ensureStream();
    }
    if (!stream->good())
        return SampleFileErrorNotFound;
    const long long length = streamLength();
    if (length < 0 || length > kLargestStreamBytes)
        return SampleFileErrorUnsupportedFormat;
    if (!prepareDecoder() || !reset())
        return SampleFileErrorAccess;
    if (!metadataPassWanted)
        return SampleFileErrorNone;
    streamInfoSeen = false;
    tooManyFrames = false;
    metadataPassRunning = true;
    process_until_end_of_metadata();
    metadataPassRunning = false;
    releaseDecoder();
    // Without STREAMINFO nothing says what the frames hold or how many there are.
    if (!streamInfoSeen || tooManyFrames || numSampleFrames <= 0 || numChannels <= 0)
        return SampleFileErrorUnsupportedFormat;
    const long long codable = largestFrameCountFor(length);
    if (numSampleFrames > codable)
        numSampleFrames = static_cast<int32_t>(codable);
    return numSampleFrames > 0 ? SampleFileErrorNone : SampleFileErrorUnsupportedFormat;
}

void SampleFileFLAC_Archive::metadata_callback(const ::FLAC__StreamMetadata* metadata) {
    if (!metadataPassRunning || metadata == nullptr)
        return;  // a rewind passes the metadata again; the fields stand
    switch (metadata->type) {
        case FLAC__METADATA_TYPE_STREAMINFO:
            takeStreamInfo(metadata);
            break;
        case FLAC__METADATA_TYPE_SEEKTABLE:
            if (!FLAC__metadata_object_seektable_is_legal(metadata))
                printf("Seek table problem: %d\n", 0);
            break;
        case FLAC__METADATA_TYPE_VORBIS_COMMENT:
            takeLoopComment(metadata);
            break;
        default:
            break;
    }
}

void SampleFileFLAC_Archive::takeStreamInfo(const ::FLAC__StreamMetadata* metadata) {
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    streamInfoSeen = true;
    tooManyFrames = info.total_samples > static_cast<FLAC__uint64>(INT32_MAX);
    numSampleFrames = tooManyFrames ? 0 : static_cast<int32_t>(info.total_samples);
    sampleRate = static_cast<float>(info.sample_rate);
    numChannels = static_cast<int16_t>(info.channels);
    bitsPerSample = static_cast<int32_t>(info.bits_per_sample);
    // The bytes that hold one sample (12 bits take 2), never 0.
    bytesPerSample = static_cast<int16_t>((info.bits_per_sample + 7) / 8);
}

void SampleFileFLAC_Archive::takeLoopComment(const ::FLAC__StreamMetadata* metadata) {
    const int index = FLAC__metadata_object_vorbiscomment_find_entry_from(metadata, 0, "STINFO");
    if (index < 0)
        return;
    const FLAC__StreamMetadata_VorbisComment_Entry& entry =
        metadata->data.vorbis_comment.comments[static_cast<unsigned>(index)];
    char text[256];
    const size_t length = entry.length < sizeof text - 1 ? entry.length : sizeof text - 1;
    memcpy(text, entry.entry, length);
    text[length] = '\0';
    const char* at = strchr(text, '=');
    if (at == nullptr)
        return;
    at++;
    int32_t mode = 0;
    int32_t start = 0;
    int32_t end = 0;
    // The fourth integer is not interpreted.
    if (!nextInteger(at, mode) || !nextInteger(at, start) || !nextInteger(at, end))
        return;
    loopMode = mode;
    loopStart = start;
    loopEnd = end;
}

// ---- Decoder callbacks ----

::FLAC__StreamDecoderReadStatus SampleFileFLAC_Archive::read_callback(FLAC__byte buffer[], size_t* bytes) {
    if (stream == nullptr || !stream->good() || *bytes == 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    const long long at = stream->tellg();
    const unsigned wanted = *bytes > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<unsigned>(*bytes);
    const int got = stream->read(buffer, wanted);
    if (got <= 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    *bytes = static_cast<size_t>(got);
    if (at == 0 && got >= 4 && memcmp(buffer, "QvCA", 4) == 0)
        memcpy(buffer, "fLaC", 4);
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

::FLAC__StreamDecoderSeekStatus SampleFileFLAC_Archive::seek_callback(FLAC__uint64 absoluteByteOffset) {
    if (stream == nullptr || absoluteByteOffset > static_cast<FLAC__uint64>(kLargestStreamBytes))
        return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    return stream->seekg(static_cast<int>(absoluteByteOffset), 0) == 0 ? FLAC__STREAM_DECODER_SEEK_STATUS_OK
                                                                        : FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
}

::FLAC__StreamDecoderTellStatus SampleFileFLAC_Archive::tell_callback(FLAC__uint64* absoluteByteOffset) {
    const long long at = stream != nullptr ? stream->tellg() : -1;
    if (at < 0)
        return FLAC__STREAM_DECODER_TELL_STATUS_ERROR;
    *absoluteByteOffset = static_cast<uint32_t>(at);
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

::FLAC__StreamDecoderLengthStatus SampleFileFLAC_Archive::length_callback(FLAC__uint64* length) {
    const long long bytes = streamLength();
    if (bytes < 0)
        return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
    *length = static_cast<FLAC__uint64>(bytes);
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

bool SampleFileFLAC_Archive::eof_callback() { return false; }

void SampleFileFLAC_Archive::error_callback(::FLAC__StreamDecoderErrorStatus status) {
    (void)status;
    printf("Decode compressed audio error\n");
}

::FLAC__StreamDecoderWriteStatus SampleFileFLAC_Archive::write_callback(const ::FLAC__Frame* frame,
                                                                        const FLAC__int32* const buffer[]) {
    if (stopRequested.load() != 0 || destinations == nullptr || processIsEnding()) {
        decodeEnded = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    const FLAC__FrameHeader& header = frame->header;
    const int64_t first = header.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
                              ? static_cast<int64_t>(header.number.sample_number)
                              : static_cast<int64_t>(header.number.frame_number) * header.blocksize;
    int64_t frames = header.blocksize;
    bool last = false;
    if (first + frames > endFrame) {
        frames = endFrame - first;
        last = true;
    }
    if (frames > 0) {
        const int channels = destinationCount < static_cast<int>(header.channels) ? destinationCount
                                                                                   : static_cast<int>(header.channels);
        for (int c = 0; c < channels; c++)
            if (destinations[c] != nullptr)
                convertChannel(buffer[c], static_cast<int>(frames), static_cast<int>(header.bits_per_sample),
                               destinations[c] + first);
        if (destinations == playbackBuffer.channels())
            playbackBuffer.setFilledFrames(static_cast<int32_t>(first + frames));
    }
    if (streamBrake > 0.0f)
        usleep(static_cast<useconds_t>(streamBrake * 1000.0f));
    if (stopRequested.load() != 0 || last) {
        decodeEnded = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

// ---- Retrieval ----

void SampleFileFLAC_Archive::clearDecodeBusy() {
    std::lock_guard<std::mutex> lock(decodeMutex);
    decodeBusy.store(0);
}

int SampleFileFLAC_Archive::retrieveSamples(int channels, float** into, unsigned* endFrameInOut, int start,
                                            int endFrameUnused, int asynchronous, unsigned char* scratch,
                                            float brake) {
    (void)endFrameUnused;
    (void)scratch;
    const float pause = brake < 0.0f ? sStreamBrake : brake;
    if (asynchronous) {
        streamBrake = pause;
        retrievalWanted.store(1);
        std::lock_guard<std::mutex> lock(retrievalMutex);
        if (retrievalRunning.load() != 0)
            return 0;
        retrievalRunning.store(1);
        // Waits for the pool's lock: without waiting, a request made while a
        // worker holds the lock would be dropped without a word.
        if (!ThreadPool::submitJob(this, retrievalStaticThreadFunction, kThreadPriorityNormal, kThreadSubPool1,
                                   0, 1))
            retrievalRunning.store(0);
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(decodeMutex);
        if (decodeBusy.load() != 0)
            return 0;
        decodeBusy.store(1);
        stopRequested.store(0);
    }
    // Only now: a call refused above must not change the running decode's pause.
    streamBrake = pause;
    unsigned end = endFrameInOut != nullptr ? *endFrameInOut : 0;
    if (into == nullptr) {
        if (!playbackBuffer.allocate(numSampleFrames)) {
            clearDecodeBusy();
            return 0;
        }
        into = playbackBuffer.channels();
        end = static_cast<unsigned>(playbackBuffer.capacity());
        channels = channels < PlaybackBuffer::kChannels ? channels : PlaybackBuffer::kChannels;
    }
    const int32_t clippedEnd = end > static_cast<unsigned>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(end);
    const int result = decode(channels, into, clippedEnd, start);
    clearDecodeBusy();
    return result;
}

int SampleFileFLAC_Archive::decode(int channels, float** into, int32_t end, int start) {
    const int opened = open(0, 0);
    if (opened != SampleFileErrorNone || stream == nullptr || !stream->good()) {
        sFLACerrorCount++;
        for (int c = 0; c < channels; c++)
            if (into[c] != nullptr)
                memset(into[c], 0, static_cast<size_t>(end) * sizeof(float));
        DiagnosticLog::addEventToLog("FLAC open fail R %d %s\n", opened, lastPathComponent());
        releaseDecoder();
        closeStream();
        return opened != SampleFileErrorNone ? opened : SampleFileErrorNotFound;
    }
    ScopedTimerSlack slack(kDecodeTimerSlackNanoseconds);
    destinations = into;
    destinationCount = channels;
    endFrame = end;
    startFrame = start;
    decodeEnded = false;
    if (start > 0 && !seek_absolute(static_cast<FLAC__uint64>(start))) {
        // The seek delivers the frame holding startFrame to the write
        // callback; when that frame already ends the range (or a stop came),
        // its abort fails the seek, and the decode is simply complete.
        if (decodeEnded || stopRequested.load() != 0) {
            destinations = nullptr;
            releaseDecoder();
            closeStream();
            return 0;
        }
        sFLACerrorCount++;
        DiagnosticLog::addEventToLog("FLAC seek failure M %d %d %s\n", start, static_cast<int>(streamLength()),
                                     lastPathComponent());
        reset();  // decoding starts again from the first frame
    }
    process_until_end_of_stream();
    destinations = nullptr;
    releaseDecoder();
    closeStream();
    return 0;
}

void* SampleFileFLAC_Archive::retrievalStaticThreadFunction(void* object) {
    return static_cast<SampleFileFLAC_Archive*>(object)->threadRetrieval(nullptr);
}

const char* SampleFileFLAC_Archive::lastPathComponent() const {
    const char* tail = path.tailString(1);
    return tail != nullptr ? tail : "";
}

void* SampleFileFLAC_Archive::threadRetrieval(void* job) {
    (void)job;
    if (retrievalWanted.load() != 0 && playbackBuffer.allocate(numSampleFrames)) {
        unsigned frames = static_cast<unsigned>(playbackBuffer.capacity());
        const int channels = numChannels < PlaybackBuffer::kChannels ? numChannels : PlaybackBuffer::kChannels;
        retrieveSamples(channels, playbackBuffer.channels(), &frames, playbackBuffer.preloadedHeadFrames(), -1, 0,
                        nullptr, streamBrake);
    }
    retrievalRunning.store(0);
    return nullptr;
}
