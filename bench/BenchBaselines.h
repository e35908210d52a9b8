// The baselines the load benchmark compares the server with: what a plug-in
// instance does today (decode each file with libsndfile or libFLAC++ into
// fresh buffers of its own), and the memory limit (write the same float
// bytes into fresh shared-memory objects). Each spreads the files over
// `threads` threads and returns the wall time and the process's CPU time in
// seconds; the wall time is negative (with a message on stderr) when a file
// could not be handled.
#pragma once

#include <vector>

#include "BenchLibrary.h"

namespace bench {

struct Timing {
    double wall = -1;
    double cpu = 0;
};

// Decodes every file to interleaved float with libsndfile.
Timing decodeWithSndfile(const std::vector<LibraryFile>& files, int threads);
// Decodes every FLAC file to float, one buffer per channel, with libFLAC++.
Timing decodeWithFlac(const std::vector<LibraryFile>& files, int threads);
// Creates one shared-memory object per file and channel, of the size the
// server's segment would have, and fills it. The objects are unlinked
// after the clock has stopped. populate: reserve the object's pages
// (fallocate) and map them populated (MAP_POPULATE) before filling, instead
// of taking a page fault for every page.
Timing fillSharedMemory(const std::vector<LibraryFile>& files, int threads, bool populate);
// Unlinks the objects fillSharedMemory may have left when the process is
// interrupted (async-signal-safe enough for a benchmark's signal handler).
void unlinkSharedMemoryLeftovers();

// Reads every file once so that it is in the page cache.
void warmPageCache(const std::vector<LibraryFile>& files);
// Evicts the files from the page cache (posix_fadvise DONTNEED).
void evictPageCache(const std::vector<LibraryFile>& files);

}  // namespace bench
