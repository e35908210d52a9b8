// StreamableSampleFile: the abstract base of every sample-file reader, with
// format detection and the factory.
//
// One object stands for one sample file named by a path, which may lie
// inside an archive container (the stream then reads the member's window).
// `open` parses the header and leaves the stream open; the samples are then
// delivered either as raw bytes (readRawSamples, uncompressed formats) or
// decoded and converted to float channel arrays (retrieveSamples).
//
// Threads: an object is opened and read by one thread at a time (on the
// server's road: the disk reader, then the conversion job). The flags
// retrievalRunning and cleanupRunning are each tested and set under their
// own mutex, so at most one retrieval job and one cleanup job exist per
// object; the destructor waits for both (busyWaitForStreamToFinish).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "PlaybackBuffer.h"
#include "RhPath.h"
#include "RhString.h"

class RhIFStream;
class RhIFStreamAPI;

enum SampleFileFormat : int32_t {
    SampleFileFormatNone = 0,        // not a sample file that this system reads
    SampleFileFormatAIFF = 1,        // AIFF or AIFC
    SampleFileFormatWAVE = 4,        // RIFF WAVE
    SampleFileFormatCompressed = 6,  // FLAC-coded
};

enum SampleFileError : int32_t {
    SampleFileErrorNone = 0,
    SampleFileErrorNotFound = 1,
    SampleFileErrorNoReadPermission = 2,
    SampleFileErrorTooManyFilesOpen = 4,
    SampleFileErrorNotSampleFile = 5,
    SampleFileErrorUnsupportedFormat = 6,
    SampleFileErrorOutOfMemory = 7,
    SampleFileErrorAccess = 9,
};

class StreamableSampleFile {
public:
    // Destinations one retrieveSamples call can take.
    static constexpr int kMaxRetrievalChannels = 12;

    // Pause in milliseconds of a retrieval step whose caller passes a
    // negative brake.
    static float sStreamBrake;
    // Sizing factor of the steps of asynchronous retrieval.
    static float sStreamBytesPerRead;
    // Open and seek failures of the compressed reader; only incremented.
    static std::atomic<int32_t> sFLACerrorCount;  // atomic: parallel conversion jobs may fail at once

    StreamableSampleFile();
    // Waits for nothing itself (each reader's destructor first calls
    // busyWaitForStreamToFinish); deletes the stream and the playback buffer.
    virtual ~StreamableSampleFile();
    StreamableSampleFile(const StreamableSampleFile&) = delete;
    StreamableSampleFile& operator=(const StreamableSampleFile&) = delete;

    // ---- Detection and the factory ----

    // The format by suffix (case-sensitive spellings) and first bytes;
    // SampleFileFormatNone for a null path or a file this system does not read.
    static SampleFileFormat getFileFormat(RhPath* path);
    // Normalises *path in place, detects the format, creates the reader and
    // opens it. Returns the open reader (the caller deletes it), or null:
    // *error (when given) receives open's result, or 0 for a path that is no
    // sample file at all.
    static StreamableSampleFile* constructSampleFile(RhPath* path, SampleFileError* error);
    // Appends the sentence for `error` to *text (nothing for 0 or null text).
    static void formatErrorMessage(SampleFileError error, RhString* text);

    SampleFileFormat getFileFormat() const { return static_cast<SampleFileFormat>(fileFormat); }

    // ---- Virtual operations ----

    // Parses the header (first call) or reopens the stream (later calls).
    // Returns a SampleFileError; 0 leaves the stream open.
    virtual int open(int option) = 0;
    // Converts frames startFrame..endFrame-1 (endFrame < 0: to the end) into
    // destinations[c] + startFrame, for numChannels channels (at most
    // kMaxRetrievalChannels; more is refused with 6 and nothing written).
    // bufferFrames: in, the frame capacity of the destinations (the end is
    // lowered to it); null destinations use the playback buffer. Asynchronous
    // non-zero queues threadRetrieval instead and returns 0. scratch (may be
    // null) holds at least the raw bytes of the range plus 4. brake < 0:
    // sStreamBrake. Returns 0.
    virtual int retrieveSamples(int numChannels, float** destinations, unsigned* bufferFrames, int startFrame,
                                int endFrame, int asynchronous, unsigned char* scratch, float brake);
    // Stops streaming and schedules freeing the playback buffer on the pool.
    virtual void releaseFullSizeBuffers();
    // Worker body of asynchronous retrieval (argument unused).
    virtual void* threadRetrieval(void* job);
    // Worker body that frees the playback buffer (argument unused); returns 1.
    virtual int memoryCleanup(void* job);
    // Writing side only; the readers here return 0 frames.
    virtual int fetchInterleavedSamples(int startFrame, unsigned char* out, unsigned* frames);
    // 1 for every reader.
    virtual int canDoStreaming() = 0;

    // ---- Raw reading ----

    // Copies up to *byteCount raw sample bytes, starting byteOffset bytes
    // after the first sample byte, never past the sample data; *byteCount
    // receives the count delivered (0 on a failed stream). Reopens a closed
    // stream and repositions only when the next byte is not where the last
    // read ended. Bytes are delivered as they stand in the file.
    void readRawSamples(int byteOffset, unsigned* byteCount, unsigned char* destination);
    // The position of `from`'s end (the file's or the member's), its own
    // position left as it was; -1 when it cannot be told.
    static long long streamEndOf(RhIFStreamAPI* from);
    // Names the physical file holding the sample file (the container for a
    // member) and the sample file's byte offset in it.
    void getLowLevelDiskFileInfo(RhPath* out, unsigned long long* offsetOut);
    // Closes the stream, if any, giving the open file back; reading reopens it.
    void closeStream();
    // Sets stopRequested, clears retrievalWanted and waits (polling every
    // millisecond) until no cleanup or retrieval job runs, then holds both
    // flags set so that none starts again. Every reader's destructor calls it.
    void busyWaitForStreamToFinish();

    // ---- Fields (see the model description in each reader) ----

    char chunkIdText[5];          // scratch copy of a 4-byte chunk id
    RhIFStream* stream;           // owned; created lazily
    RhIFStream* preparedStream;   // owned; the factory's open stream, taken over by ensureStream
    RhPath path;
    int32_t numSampleFrames;
    int16_t numChannels;
    float sampleRate;
    int16_t bytesPerSample;
    bool interleaved;
    int32_t fileFormat;           // SampleFileFormat
    int32_t byteOrder;            // 0 big-endian (8-bit signed), 1 little-endian (8-bit offset 128)
    int32_t dataOffset;           // stream position of the first sample byte
    int32_t memoryBacked;         // writing side only
    RhString memoryName;          // writing side only
    RhString memoryText;          // writing side only
    float streamBrake;            // ms to pause after each retrieval step; <= 0 none
    int32_t loopMode;             // 0 no loop, else the loop's play mode
    int32_t loopStart;            // first frame of the sustain loop
    int32_t loopEnd;              // last frame of the sustain loop, inclusive
    int32_t baseNote;             // MIDI note of the unshifted recording
    double pitchRatio;            // from the file's detune in cents
    std::atomic<int32_t> stopRequested;
    std::atomic<int32_t> retrievalWanted;
    std::atomic<int32_t> retrievalRunning;  // tested and set under retrievalMutex; the job clears it
    std::atomic<int32_t> cleanupRunning;    // tested and set under cleanupMutex; the job clears it
    std::mutex retrievalMutex;
    std::mutex cleanupMutex;
    std::mutex flagMutex;         // the third mutex of the model; guards nothing of the base
    PlaybackBuffer playbackBuffer;

protected:
    // Creates the stream on path when there is none. 1 when it is good.
    int ensureStream();
    // Bytes the stream holds from dataOffset to its end (the file's or the
    // member's end); 0 when unknown. Readers clip their frame count to it.
    long long bytesAfterDataOffset();
    // The later calls of open: closes and reopens the stream at the first
    // sample byte. 0, or 9 when it cannot be reopened there.
    int reopenAtDataOffset();
    // Stores `cents` as pitchRatio (1.0005777895 to that power).
    void setPitchRatioFromCents(int cents);

private:
    // getFileFormat; with keep non-null, the stream that read the first
    // bytes is handed over through *keep (when it opened) instead of closed.
    static SampleFileFormat detectFormat(RhPath* path, RhIFStream** keep);
    static void* threadRetrievalStaticThreadFunction(void* object);
    static void* memoryCleanupStaticThreadFunction(void* object);
};
