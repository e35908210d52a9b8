// DiskReader: the single reader job of the server. It takes queued entries
// one at a time, in path order, opens each through the sample-file factory,
// reads its raw sample bytes (uncompressed formats) and hands the entry to a
// conversion job (i2fConverter). Only one file is read from disk at a time
// so that disk access stays sequential; conversions run in parallel at a
// higher pool priority.
//
// Locking: isRunning and every entry's loadState change only with the
// sampleFileList mutex held. No mutex is held while a file is opened or
// read. The job keeps to the entry-job rule of SampleFileServer.
#pragma once

#include <cstdint>

class SampleFileInfo;
class SampleFileServer;

class DiskReader {
public:
    // Largest piece of raw data asked of a reader in one call.
    static constexpr unsigned kBytesPerRead = 1200000;

    explicit DiskReader(SampleFileServer* server) : isRunning(0), server(server) {}

    // The reader job (argument: the server). Reads every queued entry, then
    // tells every registered client that the loading pass is over. Returns null.
    static void* diskReaderStaticThreadFunction(void* server);
    // Reads one entry (state kLoadReading) and queues its conversion: 1.
    // 0 when the file was dropped (it left the registry) or finished
    // without segments (more than two channels, conversion not queued).
    static int readOneSampleFile(SampleFileInfo* info);

    // TEST BUILDS ONLY: called before an entry is opened (stage 0) and
    // before its conversion begins (stage 1), outside every lock. Null in
    // the shipped server.
    static void (*sTestStageHook)(const SampleFileInfo* info, int stage);

    int32_t isRunning;          // 1 while a reader job is queued or active; guarded by the sampleFileList mutex
    SampleFileServer* server;   // back pointer

private:
    // The first queued entry, now kLoadReading; null when none is left
    // (isRunning is then 0, set under the same lock).
    static SampleFileInfo* takeNextQueuedEntry(SampleFileServer* server);
    // Sends message 1 to every registered client.
    static void notifyClientsLoadingFinished(SampleFileServer* server);
};
