// SampleFileWAV_Archive: reader of RIFF WAVE files holding integer PCM.
//
// open walks the chunks once within the RIFF size ("fmt ", "data", "smpl",
// "inst"; ids compared ignoring case) and leaves the stream open; the base
// then reads the samples raw, little-endian (8-bit unsigned with offset 128).
// The frame count never exceeds what the stream holds after the first
// sample byte, whatever the "data" size field claims.
#pragma once

#include <cstdint>

#include "SampleFile.h"

class SampleFileWAV_Archive : public StreamableSampleFile {
public:
    // Bytes of a "smpl" body that hold the loop count and the first loop.
    static constexpr int kSmplBytesForFirstLoop = 52;

    explicit SampleFileWAV_Archive(const RhPath* path);
    // Waits for running jobs, then frees the chunk copies.
    ~SampleFileWAV_Archive() override;

    // First call: parses the header. 0, or 1 (cannot be opened), 5 (not
    // RIFF/WAVE), 6 (not integer PCM, bits not a multiple of 8, no
    // channels), 9 (no "fmt " or "data", no frames, damaged chunk). Later
    // calls reopen the stream at the first sample byte: 0, or 9.
    int open(int option) override;
    int canDoStreaming() override { return 1; }

    unsigned char riffHeader[12];
    unsigned char formatChunk[16];
    unsigned char* smplChunk;   // owned copy of the "smpl" body, or null
    unsigned char* instChunk;   // owned copy of the "inst" body, or null
    int32_t dataSize;
    int32_t smplChunkSize;
    int32_t instChunkSize;

private:
    enum WalkStep { kWalkOn, kWalkStop };
    int readFormatChunk(int32_t size, bool& fmtSeen, WalkStep& step);
    WalkStep takeDataChunk(int32_t size);
    WalkStep readSmplChunk(int32_t size);
    WalkStep readInstChunk(int32_t size);
    // Reads up to `size` bytes of a chunk body (never more than the stream
    // still holds) into a new block; null when nothing came.
    unsigned char* copyChunkBody(int64_t size, int32_t& copied);
    int fail(int error);
};
