// SampleFileSharedmemSegment: the named shared-memory segments that hold one
// channel of one sample file as float32 samples, shared by the server (which
// creates and fills them) and its clients (which map them read-only).
//
// Segment layout (host byte order), see SampleFileSegmentHeader:
//   0     int32    segmentMarker  1, written by the creator
//   4     int32    frameCount     number of float32 samples that follow
//   8     char[1024] filePath     the file's path, NUL-terminated (its last
//                                 1023 bytes when longer)
//   1032  float32 x frameCount    samples of one channel, frame 0 first
// The object is sized to a multiple of the page size; the rest is zero.
//
// Names are computed, never exchanged: "L_" (channel 0) or "R_" (any other
// channel) followed by 27 characters encoding the SHA-1 digest of the path.
// When a name is held by another file's segment, both sides move on to the
// next candidate (the last character advanced), trying at most 11 names.
//
// All functions are static and keep no state of their own; several threads
// may create and attach segments at the same time.
#pragma once

#include <cstddef>
#include <cstdint>

class RhString;
class RhPath;

struct SampleFileSegmentHeader {
    int32_t segmentMarker;
    int32_t frameCount;
    char filePath[1024];
};
static_assert(sizeof(SampleFileSegmentHeader) == 1032, "segment header layout is shared with clients");

class SampleFileSharedmemSegment {
public:
    static constexpr int kHeaderSize = 1032;
    static constexpr int kFilePathSize = 1024;
    // Deepest step of a collision chain: depths 0..10, so at most 11 names.
    static constexpr int kMaxChainDepth = 10;

    // Release modes.
    static constexpr int kReleaseDetach = 0;           // unmap, close the descriptor
    static constexpr int kReleaseCloseDescriptor = 1;  // close the descriptor, keep the mapping
    static constexpr int kReleaseDestroy = 2;          // unlock, unmap, close, unlink the name

    // ---- Names ----

    // Stores in outName the first candidate name for channel `channel` of
    // the file at `path` (a null path reads as the empty path); replaces what
    // outName held. Null outName: nothing.
    static void createInitialHashString(const RhPath* path, int channel, RhString* outName);

    // Frees the per-thread state that computing names leaves in libcrypto.
    // Worker threads of the server call it when a job that made segments
    // ends: they are still alive when libcrypto cleans up at process exit,
    // which frees only the exiting thread's state.
    static void releaseNamingThreadState();

    // Turns a candidate name into the next one in place: its last character
    // goes up by one, and from above 'z' wraps to 'A'. Returns the position
    // of the changed character (length - 1), or -1 for an empty or null name.
    static int advanceToNextHashString(RhString* name);

    // ---- Sizes ----

    // 1032 + 4 x frames bytes (not raised to the page size); a negative
    // frame count counts as 0.
    static size_t fullSize(int frames);
    // The first sample of a segment whose header is at base (null for null).
    static float* samplesOf(void* base);

    // ---- Server side ----

    // Creates, sizes, reserves, maps read-write (and, with wireDown
    // non-zero, locks when RhMemory::okayToLock allows) the segment for
    // channel `channel` of the file at `path`, holding `frames` frames, and
    // writes its header. Returns the base (the header), with the name used
    // in *nameOut and the open descriptor in fdOut. Along the chain, a name
    // held by another file's valid segment of ours, or by an object that is
    // not ours alone (another user's, or open to others), is skipped; an
    // object of ours that holds this file or has a damaged header is a
    // leftover of an earlier server and is replaced by a fresh segment
    // (processes that map the old one keep their mapping). Returns null, and
    // fdOut -1, when 11 candidate names are taken, when frames is negative
    // or on a system failure (nothing is left behind then).
    static void* createSharedMemSegment(const RhPath* path, int channel, int frames, int& fdOut, RhString* nameOut,
                                        int wireDown);

    // One step of the creation chain at `depth`, with `candidate` the name
    // to try (advanced in place when held by another file).
    static void* createRecursive(const RhPath* path, int channel, int frames, RhString* candidate, int depth,
                                 RhString* nameOut, int& fdOut, int wireDown);

    // ---- Client side ----

    // Maps read-only the segment of the file at `path`. *name must hold the
    // first candidate (createInitialHashString); on success it holds the
    // name actually attached. The mapping covers the header's frame count,
    // which goes to framesOut, also when it differs from expectedFrames.
    // Objects that are not ours alone are never mapped: they count as
    // another file's segment and the chain moves on. Returns the base, or
    // null (framesOut 0, fdOut -1) when there is no such segment or 11
    // candidates belong to other files or users.
    static void* attachToSharedMemSegment(const RhPath* path, RhString* name, int channel, int& framesOut,
                                          int& fdOut, int expectedFrames);

    // One step of the attach chain at `depth`.
    static void* attachRecursive(const RhPath* path, int channel, RhString* name, int depth, int& fdOut,
                                 int expectedFrames);

    // ---- Both sides ----

    // True when `header` (null: could not be read) is that of a whole
    // segment in an object of objectSize bytes: marker 1, a frame count of
    // at least 0 whose page-rounded full size is the object's size, and a
    // non-empty, terminated path.
    static bool isValidHeader(const SampleFileSegmentHeader* header, uint64_t objectSize);

    // Releases a segment mapped with the full size for `frames`:
    // kReleaseDetach unmaps base and closes fd; kReleaseCloseDescriptor only
    // closes fd; kReleaseDestroy unlocks and unmaps base, closes fd and
    // removes `name`. fd -1 means no descriptor, a null base no mapping. Any
    // other mode does nothing.
    static void releaseSharedMemSegment(int mode, const RhString* name, int frames, void* base, int fd);
};
