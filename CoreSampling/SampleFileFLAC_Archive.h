// SampleFileFLAC_Archive: reader of FLAC-coded sample files, decoded with
// the libFLAC++ stream decoder fed from RhIFStream, so members of archive
// containers decode in place.
//
// A file may begin with the tag "QvCA" in place of "fLaC"; the read
// callback presents it to the decoder as "fLaC". open runs the metadata
// pass (STREAMINFO, SEEKTABLE, the "STINFO" Vorbis comment holding
// "loopMode loopStart loopEnd x") and leaves the stream open. The reader
// never hands out raw bytes: retrieveSamples rewinds (close, reopen, decoder
// reset), decodes straight into float channel arrays, placing every frame
// by its absolute sample number, and closes the stream again.
//
// Refused at open with 6: no STREAMINFO, no frames (or more than a signed
// 32-bit count holds, or room for none after the metadata), files of 2 GiB
// or more (the callbacks pass 32-bit positions). A frame count larger than
// the file's bytes can code is clipped (largestFrameCountFor).
// Samples are scaled by the stream's real bits per sample, so a 12- or
// 20-bit file lies in [-1, 1) like any other.
//
// Threads: decodeBusy, tested and set under decodeMutex, keeps two decodes
// of one object apart (the second returns at once). stopRequested and the
// process-wide hook sShouldStopDecoding end a running decode at its next
// frame. The decoding thread's timer slack is lowered for the decode so
// that the brake's short sleeps last what they ask for.
#pragma once

#include <FLAC++/decoder.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "SampleFile.h"

class SampleFileFLAC_Archive : public StreamableSampleFile, public FLAC::Decoder::Stream {
public:
    // Timer slack of a decoding thread, in nanoseconds.
    static constexpr unsigned long kDecodeTimerSlackNanoseconds = 1000;
    // Largest stream the 32-bit positions of the callbacks can address.
    static constexpr long long kLargestStreamBytes = 0x7FFFFFFFLL;  // 2 GiB - 1

    // Asked once per decoded frame when set: non-zero makes every running
    // decode stop at that frame (the process is ending). The owner of the
    // process sets it; null means never.
    static std::atomic<int (*)()> sShouldStopDecoding;

    // The most frames a stream of `streamBytes` bytes can code: the marker
    // and STREAMINFO take 42 bytes, and a frame (at most 65536 samples per
    // channel) takes at least 10. A STREAMINFO claiming more is not
    // believed: open clips the frame count to this, so that a small file
    // cannot have segments of gigabytes made for it.
    static long long largestFrameCountFor(long long streamBytes);

    explicit SampleFileFLAC_Archive(const RhPath* path);
    // Stops a running decode at its next frame and waits for it and for
    // retrieval jobs; no decode starts afterwards.
    ~SampleFileFLAC_Archive() override;

    // Opens with the metadata pass: 0, or 1 (cannot be opened), 6 (no
    // STREAMINFO, no frames, 2 GiB or more), 9 (decoder unusable).
    int open(int option) override;
    // metadataPassWanted 0 only rewinds the stream and the decoder.
    int open(int option, int metadataPassWanted);

    // Decodes frames from startFrame up to *endFrameInOut (exclusive) into
    // destinations[c] at their absolute frame numbers, for channels below
    // numChannels and the file's channel count; endFrame and scratch are
    // not used. Null destinations decode into the playback buffer.
    // Asynchronous non-zero queues threadRetrieval. brake < 0: sStreamBrake
    // milliseconds after each decoded frame. Returns 0, or the open result
    // when the stream cannot be opened (destinations zeroed up to
    // *endFrameInOut then). A call while this object decodes returns 0 at
    // once.
    int retrieveSamples(int numChannels, float** destinations, unsigned* endFrameInOut, int startFrame, int endFrame,
                        int asynchronous, unsigned char* scratch, float brake) override;
    void* threadRetrieval(void* job) override;
    int canDoStreaming() override { return 1; }

    int32_t endFrame;
    int32_t startFrame;
    std::atomic<int32_t> decodeBusy;  // tested and set under decodeMutex
    std::mutex decodeMutex;
    float** destinations;             // not owned; the decode in progress
    int32_t bitsPerSample;            // of the stream, from STREAMINFO

protected:
    ::FLAC__StreamDecoderReadStatus read_callback(FLAC__byte buffer[], size_t* bytes) override;
    ::FLAC__StreamDecoderSeekStatus seek_callback(FLAC__uint64 absoluteByteOffset) override;
    ::FLAC__StreamDecoderTellStatus tell_callback(FLAC__uint64* absoluteByteOffset) override;
    ::FLAC__StreamDecoderLengthStatus length_callback(FLAC__uint64* streamLength) override;
    bool eof_callback() override;
    ::FLAC__StreamDecoderWriteStatus write_callback(const ::FLAC__Frame* frame,
                                                    const FLAC__int32* const buffer[]) override;
    void metadata_callback(const ::FLAC__StreamMetadata* metadata) override;
    void error_callback(::FLAC__StreamDecoderErrorStatus status) override;

private:
    static void* retrievalStaticThreadFunction(void* object);
    const char* lastPathComponent() const;
    // The decoder's buffers (some 70 KB once a file has been decoded) live
    // only for a metadata pass or a decode: a server holds thousands of
    // readers. prepareDecoder initialises it when needed (true when ready).
    bool prepareDecoder();
    void releaseDecoder();
    int decode(int channels, float** into, int32_t end, int start);
    void takeStreamInfo(const ::FLAC__StreamMetadata* metadata);
    void takeLoopComment(const ::FLAC__StreamMetadata* metadata);
    // The stream's size in bytes; -1 when unknown.
    long long streamLength();
    void clearDecodeBusy();

    int destinationCount;       // destinations of the decode in progress
    bool decodeEnded;           // the write callback has ended the decode in progress
    bool decoderReady;          // initialised, with buffers
    bool metadataPassRunning;   // the metadata callback fills the fields only then
    bool streamInfoSeen;
    bool tooManyFrames;
};
