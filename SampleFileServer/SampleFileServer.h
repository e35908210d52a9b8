// SampleFileServer: the one server object of the QuilloranticsServer process.
//
// It serves the port "ServerManagerPort_v3" on the serving thread's run
// loop, keeps the registries of clients and sample files, answers progress
// requests, polls its clients on a timer and ends the process when its last
// client is gone. Every client message is handled on the serving thread, one
// at a time and to completion; polls and loading run on pool threads.
//
// Threads and locks: docs/threads-and-locks.md has the whole map (every
// thread, every mutex with what it guards, the order and who waits for
// whom). In short: sampleFileList.mutex, then clientList.mutex, then leaf
// locks (sEntryJobMutex among them); no registry mutex is held while a file
// is read or converted or a client is sent to. pausedFlag and
// wireDownSegments are atomics.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ClientInfoList.h"
#include "DiskReader.h"
#include "RunLoop.h"
#include "SampleFileInfoList.h"
#include "SampleFileServerMessages.h"

namespace platform {
class LocalPort;
class RemotePort;
}  // namespace platform

class SampleFileServer;

// What one client, and all of them together, may make the server hold.
// Beyond a limit the server drops the list (or the registration) whole and
// says so in the reply, for a sender that asks for one.
struct SampleFileServerLimits {
    int32_t maxPendingListEntries;  // entries in the chunks of one client's unfinished list
    int64_t maxPendingListBytes;    // bytes of those chunks (each path with its NUL, plus 4)
    int64_t maxPendingBytes;        // the same over all clients together
    int32_t maxRegisteredClients;   // clients registered at one time
    int32_t maxHeldSampleFiles;     // entries in sampleFileList
    int64_t maxHeldPathBytes;       // bytes of their paths (each with its NUL)
};

// The status timer as the run loop will run it: made by the constructor,
// scheduled by runLoop().
struct StatusTimer {
    std::chrono::steady_clock::time_point firstFire;  // construction time + first delay
    double intervalSeconds;
    platform::RunLoop::TimerId timerId;
    int32_t scheduled;  // 1 once added to serverRunLoop
};

class SampleFileServer {
public:
    // Seconds from start to the first status poll, and between polls.
    static constexpr double kFirstStatusPollSeconds = 120.0;
    static constexpr double kStatusPollIntervalSeconds = 60.0;
    // Entries that the chunks of one list may hold: a longer list is dropped
    // whole, so that an endless list cannot take all memory.
    static constexpr int32_t kMaxPendingListEntries = 100000;
    // How long the end of the process waits for jobs that read or convert
    // files before it exits without them.
    static constexpr double kEntryJobWaitSeconds = 3.0;
    // The limits in force; a test build of the server may lower them from
    // its main before the server is constructed.
    static SampleFileServerLimits sLimits;

    // Builds the registries and the port; only when the port could be made
    // (no other process serves the name) also the disk reader and the status
    // timer. The intervals exist so that a test build can shorten them.
    explicit SampleFileServer(double firstStatusPollSeconds = kFirstStatusPollSeconds,
                              double statusPollIntervalSeconds = kStatusPollIntervalSeconds);
    // Ends the process through terminateSelf().
    ~SampleFileServer();
    SampleFileServer(const SampleFileServer&) = delete;
    SampleFileServer& operator=(const SampleFileServer&) = delete;

    // Attaches the port and the timer to the calling thread's run loop and
    // runs it; returns only when the port cannot be added. Once the loop
    // has run, the process ends when it stops: through terminateSelf (also
    // when the loop gave up for any other reason).
    void runLoop();
    // Constructs the server, stores it in gSampleFileServer and runs its loop
    // when it serves. Returns when it does not serve.
    static void runServerMain(double firstStatusPollSeconds = kFirstStatusPollSeconds,
                              double statusPollIntervalSeconds = kStatusPollIntervalSeconds);
    // The status timer's callback (serving thread): hands a status poll to
    // the thread pool. info is the server; null: nothing.
    static void timerCallback(StatusTimer* timer, void* info);
    // Destroys every held sample file, releases the timer and the port, stops
    // the run loop and exits the process with status 0, from any thread.
    [[noreturn]] void terminateSelf();

    // ---- Messages (serving thread) ----

    // The server port's callback: checks and dispatches one client message.
    // Returns the reply (4 bytes for message 4) or nothing. Messages with an
    // unknown id, no data, or data that fail SampleFileServerMessages::
    // isWellFormed are dropped without reply.
    static std::optional<std::string> serverManagerMessageReceiptCallBack(platform::LocalPort* port,
                                                                          int32_t messageId,
                                                                          const std::string& data, void* info);
    // Message 0: registers the client when its port can be reached at once
    // (its queue of new connections is not full), is served by another
    // process than this one, the name is new, and fewer than
    // sLimits.maxRegisteredClients are registered. Returns 0; *status (when
    // given) gets the SampleFileServerReplyStatus.
    int processRegisterClientMessage(const CtoS_RegisterClient_MessageData* record, int32_t* status = nullptr);
    // Message 1: deleteClient(clientName). Returns 0 (or does not return).
    int processUnregisterClientMessage(const CtoS_UnregisterClient_MessageData* record);
    // Message 2: stores pauseValue in pausedFlag. Returns 0.
    int processPauseOrResumeServerMessage(const CtoS_PauseOrResumeServer_MessageData* record);
    // Message 3: copies the whole message and applies it through
    // receiveSampleFileListStaticThreadFunction on this thread. Returns 0;
    // *status (when given) gets the SampleFileServerReplyStatus.
    int processSampleFileListMessage(const CtoS_ReplyListOfSampleFilesInUseByClient_MessageData* record,
                                     const std::string& data, int32_t* status = nullptr);
    // Applies one chunk of a list (job: a SampleFileListJob, freed here; its
    // statusOut, when set, receives the SampleFileServerReplyStatus).
    static void* receiveSampleFileListStaticThreadFunction(void* job);
    // Message 4: 4 bytes, the number of the client's files not finished (0
    // for a name that is not registered).
    std::string processGetLoadProgressClientMessage(const CtoS_GetLoadProgress_MessageData* record);

    // ---- Clients going away ----

    // Removes the named client (when registered) from every slot and from
    // the registry, reclaims unused files, and ends the process when no
    // client is left; otherwise returns the number of clients.
    int deleteClient(const char* name);
    // Destroys every sample file that no client uses and that is neither
    // being read nor converted.
    void reclaimResources();
    // Pool job: asks every client for a sign of life and removes the silent
    // ones; ends the process when no client is left. argument: the server.
    // The clients are asked without the clientList mutex held, so that a
    // silent client does not hold up the messages of the others; a poll that
    // starts while another is still running does nothing.
    static void* pollClientsForStatusStaticThreadFunction(void* server);
    // Runs (on the serving thread) when a client's port became invalid:
    // removes that client. info is unused; the server is gSampleFileServer.
    static void portInvalidatedCallback(platform::RemotePort* port, void* info);

    // ---- Jobs that touch sample-file entries ----
    //
    // terminateSelf destroys every entry, also one that a pool job is reading
    // or converting at that moment. So that no job touches an entry, or
    // writes into its segments, after the entry is gone, every pool job that
    // touches entries (the disk reader, the conversions) keeps to this:
    //
    //   if (!SampleFileServer::beginEntryJob())
    //       return nullptr;          // ending: touch nothing, not even the argument
    //   for (each piece of work) {
    //       if (SampleFileServer::isTerminating())
    //           break;               // stop early; leave the entry as it is
    //       ... read, convert or write one piece ...
    //   }
    //   SampleFileServer::endEntryJob();  // after the job's last access to any entry
    //
    // terminateSelf refuses new entry jobs from its first moment, unlinks
    // every segment name and gives up the port, then waits (holding no
    // registry mutex, at most kEntryJobWaitSeconds) until every begun job
    // has ended, and only then destroys the entries. When a job is still
    // running after that wait (stuck in a read), the process exits without
    // destroying anything: the mappings go with it. A begun job may
    // take the registry mutexes, but must not wait for the thread that calls
    // terminateSelf (the serving thread or a status poll). Jobs that touch
    // no entry, such as the status poll, need none of this.
    //
    // 1 when the calling job may go on (it must then call endEntryJob), 0
    // once the process is ending.
    static int beginEntryJob();
    // Ends what beginEntryJob began; the thread's last one also frees the
    // per-thread state that naming segments left (see
    // SampleFileSharedmemSegment::releaseNamingThreadState).
    static void endEntryJob();
    // 1 once terminateSelf has begun: entry jobs stop between two pieces of work.
    static int isTerminating();

    // The job that startDiskReader submits (argument: the server): the
    // disk reader. Only a test build of the server changes it, from its
    // main, to a stand-in loader; the shipped server has no way to change it.
    static void* (*sDiskReaderJobFunction)(void*);

    // ---- Fields ----

    StatusTimer* statusTimer;                       // null when not serving
    ClientInfoList clientList;
    SampleFileInfoList sampleFileList;
    DiskReader* diskReader;                         // owned; null when not serving
    platform::RunLoop* serverRunLoop;               // set by runLoop()
    int32_t portRunLoopSource;                      // 1 while serverPort is attached to serverRunLoop
    std::unique_ptr<platform::LocalPort> serverPort;  // null when another process serves the name
    std::atomic<int32_t> pausedFlag;                // last value of message 2
    std::atomic<int32_t> wireDownSegments;          // from the latest message 3; 1 at start

    // Set by the first terminateSelf: the process is ending. Set only with
    // sEntryJobMutex held (beginEntryJob tests it under the same mutex).
    static std::atomic<int> sTerminating;
    // Set by that terminateSelf once the files, timer and port are released.
    static std::atomic<int> sResourcesReleased;

private:
    // Blocks the calling thread until the process exits under it.
    [[noreturn]] static void waitForTheEnd();
    // Waits until no entry job is running except those begun by the calling
    // thread itself (which never resumes them), for at most `seconds`; false
    // when some job is still running then. sTerminating is set.
    static bool waitForEntryJobs(double seconds);

    // Guards sEntryJobCount and the setting of sTerminating.
    static std::mutex sEntryJobMutex;
    // Entry jobs between beginEntryJob and endEntryJob.
    static int sEntryJobCount;
    // 1 while a status poll runs.
    static std::atomic<int> sPollRunning;
    // Queues the disk-reader job; called with the sampleFileList mutex held
    // when a list queued a file and no reader job is active.
    void startDiskReader();
    // Installs the invalidation callback of a newly registered client's port.
    void watchClientPort(const std::shared_ptr<platform::RemotePort>& port);
};

// The single server of the process; set by runServerMain (or whoever
// constructs the server) before its loop runs.
extern SampleFileServer* gSampleFileServer;
