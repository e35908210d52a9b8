// SampleFileAIF_Archive: reader of AIFF and uncompressed AIFC files.
//
// open walks the chunks once, to the end of the file or member (not to the
// FORM size), with ids compared ignoring case, and fills the model from
// COMM, SSND, INST and MARK; the stream stays open. The base then reads the
// samples raw, big-endian (8-bit samples signed).
//
// Pad rules: COMM, SSND and MARK are taken at their size as written; INST
// and unknown chunks are skipped at their size rounded up to even.
//
// Loops: INST names its sustain loop by marker ids, resolved through the
// MARK copy met so far, so loop points come out only when MARK precedes
// INST; with INST first the loop is switched off.
//
// Damaged files: a file without SSND is refused (6) rather than read from
// its first byte; the frame count never exceeds what the stream holds after
// the first sample byte; no chunk copy is larger than what the stream still
// holds, and marker lookups never leave the stored MARK copy.
#pragma once

#include <cstdint>

#include "SampleFile.h"

class RhIFStreamAPI;

class SampleFileAIF_Archive : public StreamableSampleFile {
public:
    static constexpr int kInstChunkBytes = 20;

    explicit SampleFileAIF_Archive(const RhPath* path);
    // Waits for running jobs, then frees the MARK copy.
    ~SampleFileAIF_Archive() override;

    // First call: parses the header. 0, or 1 (cannot be opened), 6 (no COMM
    // or SSND, no frames, bits other than 8/16/24/32, channels not positive,
    // AIFC compression other than "NONE"). Later calls reopen the stream at
    // the first sample byte: 0, or 9.
    int open(int option) override;
    int canDoStreaming() override { return 1; }

    // One chunk: id as its 4 bytes lie in the file, size from its header,
    // the stream positioned at the body. Returns the bytes of the chunk
    // still to skip, or a negative value to end the walk.
    virtual int readOneChunk(uint32_t chunkId, int32_t size, RhIFStreamAPI* from);
    // The chunk walk from the FORM header on.
    void readContainer(RhIFStreamAPI* from);
    // The frame position of marker `id` in the MARK copy; 0 without MARK or
    // when the marker is not found within the bytes stored.
    int32_t getMarkerOffset(int id) const;

    // The sample rate field of COMM (80-bit extended, big-endian) as a
    // double: 0 for all-zero bytes, infinity for the maximum exponent,
    // never undefined for any exponent.
    static double extendedToDouble(const unsigned char bytes[10]);

    bool isAIFC;
    unsigned char* markChunk;    // owned: "MARK", size (big-endian), body as read
    int32_t markChunkSize;       // size field of MARK
    int32_t markChunkStored;     // bytes of markChunk actually holding data
    int32_t formSize;            // size field of FORM (kept, not used for the walk)
    unsigned char instChunk[kInstChunkBytes];

private:
    int readCommonChunk(int32_t size, RhIFStreamAPI* from);
    int readSoundDataChunk(int32_t size, RhIFStreamAPI* from);
    int readInstrumentChunk(int32_t size, RhIFStreamAPI* from);
    int readMarkerChunk(int32_t size, RhIFStreamAPI* from);

    bool soundDataSeen;
};
