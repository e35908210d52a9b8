// The load benchmark's library of generated sample files: stereo 44.1 kHz
// WAV (16 and 24 bits), AIFF (16 bits) and FLAC (16 and 24 bits), 5 to 30 MB
// each, with music-like content (tones, tremolo and filtered noise, so that
// FLAC compresses about as real recordings do).
//
// The library is generated once with the sox command-line tool into a cache
// folder and reused while its manifest is there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

enum class FormatClass { kWav16, kWav24, kAiff16, kFlac16, kFlac24 };

const char* formatClassName(FormatClass formatClass);
bool isFlac(FormatClass formatClass);

struct LibraryFile {
    std::string path;
    FormatClass formatClass;
    int channels = 0;
    int64_t frames = 0;
    uint64_t sourceBytes = 0;

    uint64_t floatBytes() const { return static_cast<uint64_t>(frames) * channels * sizeof(float); }
};

struct Library {
    std::string folder;
    std::vector<LibraryFile> files;  // sorted by path
};

// Generates (when its manifest is missing) and opens the library of about
// `megabytes` MB of source files under `cacheFolder`. Frame and channel
// counts come from the files' headers (libsndfile). Prints progress on
// stderr. False, with a message on stderr, when it cannot.
bool prepareLibrary(const std::string& cacheFolder, int megabytes, Library* library);

}  // namespace bench
