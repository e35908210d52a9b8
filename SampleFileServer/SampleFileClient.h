// SampleFileClient: one client of the sample-file server, as a plug-in
// instance or a command-line tool would use it.
//
// A client owns a port of its own, named "<pid>.<counter>.ClientManager",
// whose run loop runs on a background thread of the client: there it answers
// the server's status polls and receives the notice that a loading pass is
// over. connect() reaches the server (starting it when none serves) and
// registers; the other calls send one message each.
//
// Results are 0 for success or a negative status: the port statuses of
// platform::PortStatus (-1 to -5), -7 for an unsendable message, or one of
// SampleFileClient::Status. describeStatus() turns each into a sentence.
//
// Threads: the public calls are meant for one owning thread at a time
// (the static attach and listing calls may run on any thread). Callbacks run
// on threads of the client: the loading-finished callback on its port
// thread, the connection and server-gone callbacks on its supervisor thread,
// which also runs connectAsync() and the reconnection after the server went
// away. A callback must not destroy the client that runs it.
//
// Nothing here prints: problems go to SampleFileClientLog.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SampleFileAttachment;
class SampleFileChannels;

namespace platform {
class LocalPort;
class RemotePort;
class RunLoop;
}  // namespace platform

class SampleFileClient {
public:
    enum Status : int {
        kClientOk = 0,
        kClientNoOwnPort = -20,        // the client's own port could not be made
        kClientNoServer = -21,         // no server serves, and none could be started
        kClientNotConnected = -22,     // connect() has not succeeded (or leave() ran)
        kClientBadArgument = -23,      // a name or path that cannot be sent
        kClientUnexpectedReply = -24,  // the server answered with a reply of the wrong size
        kClientNoSegment = -25,        // no segment holds that file's channel
        kClientFrameCountMismatch = -26,  // the segment holds another number of frames
        kClientListTooLong = -27,      // more entries than the server takes in one list
        kClientConnecting = -28,       // a connection is being made (connectAsync, reconnection)
        kClientStillLoading = -29,     // outcomes asked for while files are still loading
        kClientServerNotFound = -30,   // no server executable was found (lastError() names where)
        // -31 is the C API's out-of-memory status.
        kClientOverLimit = -32,        // the server dropped the list (or registration) for its limits
        kClientNotRegistered = -33,    // the server does not know this client (or could not reach
                                       // its port when it registered)
    };

    // Where the client is in reaching the server.
    enum class State : int {
        kIdle = 0,          // not connected, nothing under way (also after leave())
        kConnecting = 1,    // connectAsync() is under way
        kConnected = 2,     // registered with a server
        kFailed = 3,        // the last connection attempt failed (state() tells the status)
        kReconnecting = 4,  // the server went away; a new one is being reached
    };

    // The largest list the server takes: it drops a longer one whole and
    // keeps the client's previous list (SampleFileServer::kMaxPendingListEntries).
    static constexpr size_t kMaxListEntries = 100000;
    // Environment variable naming the server executable to start.
    static constexpr const char* kServerExecutableVariable = "QUILLORANTICS_SERVER";

    // What became of one file of the current list once progress is 0.
    struct FileOutcome {
        bool loaded;       // segments hold its samples
        int32_t channels;  // 1 or 2 when loaded, else 0
        int32_t frames;    // frames held when loaded, else 0
    };

    // attachSampleFile: accept whatever number of frames the segment holds.
    static constexpr int32_t kAnyFrameCount = -1;

    // One shared-memory segment of ours found in the shared-memory folder.
    struct SegmentListing {
        std::string name;        // the segment's name ("L_" or "R_" and 27 characters)
        std::string storedPath;  // the file path its header names ("" when damaged
                                 // beyond reading one)
        int32_t frameCount;      // samples it holds (as the header says)
        uint64_t size;           // bytes of the object (page-rounded)
        bool damaged;            // the header is not that of a whole segment: marker
                                 // not 1, empty or unterminated path, or a size that
                                 // does not match the frame count; a leftover
        bool inUse;              // some process maps it now (as far as the listing
                                 // could see: processes of other users are not)
    };

    struct Options {
        // Server executable to start when none serves; empty: the file named
        // kServerProcessName beside this process's executable, else on PATH.
        std::string serverExecutable;
        // Start a server when none serves.
        bool startServer = true;
        // How long connect() keeps trying to reach a server.
        double connectSeconds = 5.0;
        // Send and receive time-out of each message.
        float messageTimeoutSeconds = 5.0f;
        // When the server goes away while connected: reach a new one
        // (starting it), register again and resend the current list.
        bool reconnect = false;
    };

    struct Entry {
        std::string path;    // sent as is; must not contain a NUL
        int32_t frameCount;  // frames wanted; the server clips it to the file's length
    };

    SampleFileClient();
    explicit SampleFileClient(Options options);
    // Leaves the server when registered, then closes the client's port.
    ~SampleFileClient();
    SampleFileClient(const SampleFileClient&) = delete;
    SampleFileClient& operator=(const SampleFileClient&) = delete;

    // Makes the client's port (once), reaches the server (starting it when
    // allowed and needed, and retrying for connectSeconds) and registers
    // (message 0), waiting for the server's answer. Blocks for at most
    // connectSeconds plus one message time-out. Returns 0 or a negative
    // status: kClientOverLimit when the server serves as many clients as it
    // takes, kClientNotRegistered when it could not reach the client's port.
    int connect();
    // Starts connect() on the supervisor thread and returns at once: 0, or
    // kClientConnecting when a connection is already under way (0 too when
    // already connected). The result comes to the connection callback and
    // to state().
    int connectAsync();
    // The current state; *lastStatus (when given) receives the status of
    // the last connection attempt (0 when it succeeded). Never blocks.
    State state(int* lastStatus = nullptr) const;
    // A sentence about the last failure to connect (it names the places
    // searched for the server executable when none was found); empty when
    // the last attempt succeeded.
    std::string lastError() const;
    // Runs on the supervisor thread when a connectAsync() or a reconnection
    // ends: the new state (kConnected or kFailed) and its status. Set it
    // before connecting.
    void setConnectionCallback(std::function<void(State state, int status)> callback);
    // Runs on the supervisor thread when the server went away while the
    // client was connected, before any reconnection. Set it before connecting.
    void setServerGoneCallback(std::function<void()> callback);
    // The process id of the server connected to; 0 when not connected.
    pid_t serverPid() const;
    // Sends the list of sample files in use (message 3), in chunks of at
    // most 300 entries (and at most one message's bytes) under one new list
    // id; only the last chunk is final. An empty list tells the server that
    // no file is in use. Refused before anything is sent: a list longer than
    // kMaxListEntries (kClientListTooLong), a path with a NUL or too long
    // for one message (kClientBadArgument). The list is remembered as the
    // current one, resent after a reconnection, and is the list whose
    // outcomes fileOutcomes() tells. Blocks for at most one message time-out
    // per chunk; for the final chunk the client waits for the server's
    // answer: 0 once the list is in force, kClientOverLimit when the server
    // dropped it for its limits (the previous list stays in force),
    // kClientNotRegistered when the server does not know the client.
    int sendSampleFileList(const std::vector<Entry>& entries, int32_t wireDownSegments = 1);
    // Once no file of the current list is left to load (progress 0, asked
    // here): one outcome per entry of the current list, in its order.
    // kClientStillLoading when files remain. Blocks for at most one message
    // time-out, then maps and unmaps each file's segments.
    int fileOutcomes(std::vector<FileOutcome>* out);
    // Asks how many of this client's files are not finished yet (message 4).
    // Once the server went away: platform::kPortIsInvalid (kClientConnecting
    // while a reconnection is under way).
    int getLoadProgress(int32_t* remaining);
    // Sends a pause (non-zero) or resume (0) value (message 2).
    int pauseOrResumeServer(int32_t pauseValue);
    // Leaves the server (message 1). Afterwards the client is not connected;
    // connect() may register it again.
    int leave();

    // The client's name, which is also the name of its port.
    const std::string& name() const { return name_; }
    bool isConnected() const { return server_ != nullptr; }

    // Runs on the client's port thread each time the server reports that a
    // loading pass is over. Set it before connect().
    void setLoadingFinishedCallback(std::function<void()> callback);
    // How many loading-finished notices and status polls have arrived.
    int loadingFinishedCount() const { return loadingFinishedCount_.load(); }
    int statusPollCount() const { return statusPollCount_.load(); }
    // Waits until more than `seenCount` loading-finished notices have
    // arrived, or `seconds` have passed; true when they have.
    bool waitForLoadingFinished(int seenCount, double seconds);

    // A sentence for a status returned by this class.
    static const char* describeStatus(int status);

    // True when a server answers a progress request within timeoutSeconds.
    static bool isServerServing(float timeoutSeconds = 2.0f);
    // True when some process serves the server port (accepts a connection),
    // whether or not it would answer in time: a busy server counts.
    static bool isServerListening();
    // Asks the progress of the client registered as `clientName` without
    // registering (0 for a name that is not registered).
    static int getLoadProgressOf(const std::string& clientName, int32_t* remaining,
                                 float timeoutSeconds = 5.0f);
    // Maps channel `channel` (0 or 1) of the file at `path`, written as in
    // the list sent to the server, read-only into *out (detaching what *out
    // held). expectedFrames: the number of frames the segment must hold, or
    // kAnyFrameCount. Returns 0; kClientNoSegment when no valid segment holds
    // that file's channel; kClientFrameCountMismatch when it holds another
    // number of frames (nothing stays mapped); kClientBadArgument for a bad
    // channel, frame count or path. The samples are complete once the
    // client's load progress has reached 0.
    static int attachSampleFile(const std::string& path, int channel, int32_t expectedFrames,
                                SampleFileAttachment* out);
    // Every segment object of ours in the shared-memory folder, sorted by
    // name: objects under the object names of this user and port folder
    // (SampleFileServerUtilities::sharedMemoryObjectName) that have the
    // shape of a segment's, are owned by the effective user and grant
    // nothing to group or others. One whose header is not valid (see
    // SampleFileSharedmemSegment::isValidHeader) is listed as damaged.
    // inUse comes from the memory maps in /proc, read once per call.
    static std::vector<SegmentListing> listSegments();
    // Removes the segment object `name` (as listed). 0, or -errno.
    static int removeSegment(const std::string& name);
    // True when `objectFileName` (a file name in the shared-memory folder)
    // has the shape of a segment's object name of this user and port folder.
    static bool hasSegmentNameShape(const std::string& objectFileName);

    // The server executable that connect() would start, or "" when none is
    // found. Searched in this order: `explicitPath` when not empty; the
    // variable kServerExecutableVariable when set; the location configured
    // at build time (when there is one); beside the client code itself
    // (the shared library that holds it, else the executable); on PATH.
    // *searched (when given) receives every place looked at.
    static std::string findServerExecutable(const std::string& explicitPath = std::string(),
                                            std::vector<std::string>* searched = nullptr);
    // Maps every channel of the file at `path` (channel 0, and channel 1
    // when the file has one) into *out, as attachSampleFile does for one.
    static int attachAllChannels(const std::string& path, int32_t expectedFrames, SampleFileChannels* out);
    // Starts `executable` detached: in a session of its own, stdio on
    // /dev/null, no descriptors inherited, with the argument "--detached"
    // (the server then writes its output to its log file). Returns 0 when
    // it was started.
    static int startDetached(const std::string& executable);

private:
    int makeOwnPort();
    void closeOwnPort();
    int reachServer(std::shared_ptr<platform::RemotePort>* server);
    int connectOnce();
    void setState(State state, int status);
    std::shared_ptr<platform::RemotePort> currentServer() const;
    int unconnectedStatus() const;
    void startSupervisor();
    void stopSupervisor();
    void supervise();
    void onServerGone(uint64_t generation);
    void reconnect();
    int sendList(const std::shared_ptr<platform::RemotePort>& server);
    bool stopRequested(std::chrono::steady_clock::time_point until);

    Options options_;
    std::string name_;
    int32_t nextListId_;

    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<platform::LocalPort> port_;
    std::thread portThread_;

    // Guards everything below up to the supervisor's thread object, and
    // pairs with stateCondition_.
    mutable std::mutex stateMutex_;
    std::condition_variable stateCondition_;
    std::shared_ptr<platform::RemotePort> server_;
    uint64_t serverGeneration_ = 0;  // counts connections; a stale port's callback is ignored
    State state_ = State::kIdle;
    int lastStatus_ = 0;
    std::string lastError_;
    bool connectRequested_ = false;
    bool serverGone_ = false;      // news for the supervisor
    bool serverWentAway_ = false;  // the last connection ended from the server's side
    bool stopping_ = false;
    std::function<void(State, int)> connectionCallback_;
    std::function<void()> serverGoneCallback_;
    std::thread supervisor_;

    // Held while a connection is made, so that connect() and the
    // supervisor never make two at once.
    std::mutex connectMutex_;
    // Held while a list goes out (the caller's or a resend), so that the
    // server always ends with the newest list. Guards currentList_.
    std::mutex listMutex_;
    std::vector<Entry> currentList_;
    int32_t currentWireDown_ = 1;

    std::mutex noticeMutex_;  // guards loadingFinishedCallback_ and pairs with noticeCondition_
    std::condition_variable noticeCondition_;
    std::function<void()> loadingFinishedCallback_;
    std::atomic<int> loadingFinishedCount_{0};
    std::atomic<int> statusPollCount_{0};
};

// One channel of a sample file mapped read-only from the server's shared
// memory (SampleFileClient::attachSampleFile). Move-only; the mapping is
// released by detach() or the destructor and stays valid until then, even
// after the server has removed the segment.
class SampleFileAttachment {
public:
    SampleFileAttachment() = default;
    ~SampleFileAttachment() { detach(); }
    SampleFileAttachment(SampleFileAttachment&& other) noexcept { *this = std::move(other); }
    SampleFileAttachment& operator=(SampleFileAttachment&& other) noexcept;
    SampleFileAttachment(const SampleFileAttachment&) = delete;
    SampleFileAttachment& operator=(const SampleFileAttachment&) = delete;

    // Unmaps the segment; nothing when not attached.
    void detach();
    bool isAttached() const { return base_ != nullptr; }
    // frameCount() samples, frame 0 first; null when not attached.
    const float* samples() const;
    int32_t frameCount() const { return frames_; }
    // The path as the segment's header stores it (its last 1023 bytes).
    const std::string& storedPath() const { return storedPath_; }
    // The name of the segment attached (a later candidate after a collision).
    const std::string& segmentName() const { return segmentName_; }

private:
    friend class SampleFileClient;
    void* base_ = nullptr;
    int32_t frames_ = 0;
    std::string storedPath_;
    std::string segmentName_;
};

// Every channel of one sample file, mapped (SampleFileClient::attachAllChannels).
class SampleFileChannels {
public:
    static constexpr int kMaxChannels = 2;

    // Number of channels mapped: 0 (not attached), 1 or 2.
    int channelCount() const { return channels_; }
    // Frames of channel 0 (every channel holds as many).
    int32_t frameCount() const { return channels_ > 0 ? channel_[0].frameCount() : 0; }
    // The samples of `channel`; null for a channel not mapped.
    const float* samples(int channel) const {
        return channel >= 0 && channel < channels_ ? channel_[channel].samples() : nullptr;
    }
    const SampleFileAttachment& channel(int index) const { return channel_[index]; }
    void detach();

private:
    friend class SampleFileClient;
    SampleFileAttachment channel_[kMaxChannels];
    int channels_ = 0;
};
