// i2fConverter: the conversion job of one sample file. It creates one
// shared-memory segment per channel, writes the samples straight into them
// (raw-to-float conversion, or decoding for compressed files) and finishes
// the entry. Many conversion jobs run at once, each touching only its own
// entry, which is in kLoadConverting and therefore never reclaimed under it.
#pragma once

class SampleFileInfo;

class i2fConverter {
public:
    // The conversion job (argument: one SampleFileInfo in kLoadConverting).
    // Returns null. Keeps to the entry-job rule of SampleFileServer.
    static void* i2fStaticThreadFunction(void* info);

private:
    // Makes the segments of every channel; false (none left) when one fails.
    static bool createSegments(SampleFileInfo* info, int channels);
    // Fills the segments from the raw buffer or by decoding.
    static void fillSegments(SampleFileInfo* info, int channels);
    // Releases what createSegments made (the names unlinked) and the raw buffers.
    static void dropSegments(SampleFileInfo* info);
};
