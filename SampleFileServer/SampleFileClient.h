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
// Threads: the public calls are meant for one owning thread at a time. The
// loading-finished callback runs on the client's port thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SampleFileAttachment;

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
        kClientOverLimit = -27,        // the server dropped the list (or registration) for its limits
        kClientNotRegistered = -28,    // the server does not know this client (or could not reach
                                       // its port when it registered)
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
    // (message 0), waiting for the server's answer. Returns 0 or a negative
    // status: kClientOverLimit when the server serves as many clients as it
    // takes, kClientNotRegistered when it could not reach the client's port.
    int connect();
    // Sends the list of sample files in use (message 3), in chunks of at
    // most 300 entries under one new list id; only the last chunk is final,
    // and for it the client waits for the server's answer. An empty list
    // tells the server that no file is in use. Returns 0 once the list is in
    // force; kClientOverLimit when the server dropped it for its limits (the
    // previous list stays in force), kClientNotRegistered when the server
    // does not know the client; or a port status.
    int sendSampleFileList(const std::vector<Entry>& entries, int32_t wireDownSegments = 1);
    // Asks how many of this client's files are not finished yet (message 4).
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

    // The server executable that connect() would start, or "" when none is found.
    static std::string findServerExecutable();
    // Starts `executable` detached: in a session of its own, stdio on
    // /dev/null, no descriptors inherited, with the argument "--detached"
    // (the server then writes its output to its log file). Returns 0 when
    // it was started.
    static int startDetached(const std::string& executable);

private:
    int makeOwnPort();
    void closeOwnPort();
    int reachServer();

    Options options_;
    std::string name_;
    int32_t nextListId_;

    std::unique_ptr<platform::RunLoop> loop_;
    std::unique_ptr<platform::LocalPort> port_;
    std::thread portThread_;
    std::shared_ptr<platform::RemotePort> server_;

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
