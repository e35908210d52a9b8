// The registry of sample files: one SampleFileInfo per file held, sorted
// ascending by the byte-wise order of the path text (strcmp), paths unique.
//
// Locking: SampleFileInfoList::mutex guards the list, every entry's client
// slots and load state, and the disk reader's running flag. It is taken
// before the ClientInfoList mutex whenever both are held. No job holds it
// while it reads, decodes or converts a file.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "RhDynArray.h"
#include "RhPath.h"
#include "RhString.h"

class ClientInfo;
class SampleFileServer;
class StreamableSampleFile;

// Load states of a sample file.
enum SampleFileLoadState : int32_t {
    kLoadQueued = 0,      // waiting to be read
    kLoadReading = 1,     // the reader job is reading it
    kLoadConverting = 2,  // raw data read; conversion queued or running
    kLoadFinished = 3,    // samples are in the segments, or loading failed
};

constexpr int kClientSlotCount = 10;  // clients recorded per sample file
constexpr int kMaxChannels = 2;       // per-channel arrays of a sample file

class SampleFileInfo {
public:
    // An empty record: back pointer set, all slots free, state kLoadQueued,
    // frameCount 0, no reader, no buffers, no segments.
    explicit SampleFileInfo(SampleFileServer* server);
    // Releases the raw buffers, the segments (unlinking the names still
    // held) and the reader.
    ~SampleFileInfo();
    SampleFileInfo(const SampleFileInfo&) = delete;
    SampleFileInfo& operator=(const SampleFileInfo&) = delete;

    // The slot index (0 to 9) holding `client`; when absent and claim is
    // non-zero, the lowest free slot, now holding it. -1 when client is
    // null, absent without claim, or absent with every slot taken.
    int getClientSlot(ClientInfo* client, int claim);
    // Clears the first slot holding `client`; 1 when one was cleared, else 0.
    int releaseClientSlot(ClientInfo* client);
    // True when every slot is free.
    bool hasNoClient() const;
    // Removes the names of the entry's segments from the system and forgets
    // them; the mappings stay until the entry is destroyed. The caller holds
    // the sampleFileList mutex.
    void unlinkSegmentNames();

    SampleFileServer* server;
    ClientInfo* clientSlots[kClientSlotCount];  // null: free slot
    RhPath path;                                // exactly as the client sent it; the sort key
    uint32_t frameCount;                        // frames to hold
    int32_t loadState;                          // SampleFileLoadState
    StreamableSampleFile* reader;               // owned; the open reader or null
    char* rawBuffers[kMaxChannels];             // owned (malloc); raw data until converted
    float* channelData[kMaxChannels];           // samples inside each channel's segment, or null
    int32_t segmentFds[kMaxChannels];           // -1 when closed or none
    RhString segmentNames[kMaxChannels];        // empty when none
    int32_t segmentsLocked;                     // 1 once its segments are locked into physical
                                                // memory (set by whoever makes them); else 0
};

// Owns its SampleFileInfo records (item: SampleFileInfo*); storage grows by
// 20000 items at a time.
class SampleFileInfoList : public RhDynArray {
public:
    SampleFileInfoList();
    // Destroys every record still held.
    ~SampleFileInfoList() override;

    // The entry whose path equals `path`, or null. When null is returned,
    // insertPos receives where the path belongs: -1 for the front, else the
    // index after which it goes (left unchanged only on the internal-error
    // path of findRecursive). Takes the mutex unless alreadyLocked.
    SampleFileInfo* findSampleFileByName(const char* path, int alreadyLocked, int& insertPos);
    // Bisection step of findSampleFileByName, with entry[lo] < path < entry[hi].
    SampleFileInfo* findRecursive(const char* path, int lo, int hi, int& insertPos);
    // Inserts `info` where findSampleFileByName said (insertPos -1: front).
    // Returns 1, or 0 when the list could not grow (info is then not held).
    // The caller holds the mutex.
    int insertSampleFile(SampleFileInfo* info, int insertPos);
    // Inserts every entry of `batch` (paths unique, none held yet) where its
    // path belongs, in one merge pass: a long list of new files costs one
    // move of the list instead of one per file. Returns 1, or 0 when the
    // list could not grow (then none of them is held). The caller holds the
    // mutex.
    int insertSampleFiles(std::vector<SampleFileInfo*>& batch);
    // Removes `info` (found by identity) and destroys it; nothing when it is
    // not held. Takes the mutex unless alreadyLocked.
    void deleteSampleFile(SampleFileInfo* info, int alreadyLocked);
    // The entry at index, or null out of range. The caller holds the mutex.
    SampleFileInfo* getSampleFile(int index) const;

    std::mutex mutex;
};
