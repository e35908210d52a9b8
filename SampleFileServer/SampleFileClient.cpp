#include "SampleFileClient.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>

#include "Base64.h"
#include "MessagePort.h"
#include "RhPath.h"
#include "RhString.h"
#include "RunLoop.h"
#include "SampleFileServerMessages.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"
#include "SysCalls.h"

namespace {

std::atomic<unsigned> sClientCounter{0};

std::string makeClientName() {
    return std::to_string(getpid()) + "." + std::to_string(sClientCounter.fetch_add(1)) + "." +
           SampleFileServerUtilities::kClientManagerPortNameSuffix;
}

// Copies `name` into a 256-byte name field; false when it does not fit with
// its NUL or contains a NUL of its own.
bool putName(char (&field)[kClientNameBytes], const std::string& name) {
    if (name.size() >= sizeof field || name.find('\0') != std::string::npos)
        return false;
    memset(field, 0, sizeof field);
    memcpy(field, name.data(), name.size());
    return true;
}

bool isExecutableFile(const std::string& path) {
    return !path.empty() && access(path.c_str(), X_OK) == 0;
}

// The client's status for the reply to message 0 or 3. An empty reply
// comes from a server that gives none: taken.
int statusOfReply(const std::string& reply) {
    if (reply.empty())
        return SampleFileClient::kClientOk;
    if (reply.size() != kStatusReplyBytes)
        return SampleFileClient::kClientUnexpectedReply;
    int32_t status;
    memcpy(&status, reply.data(), sizeof status);
    switch (status) {
        case kReplyTaken: return SampleFileClient::kClientOk;
        case kReplyOverLimit: return SampleFileClient::kClientOverLimit;
        case kReplyNotRegistered: return SampleFileClient::kClientNotRegistered;
        default: return SampleFileClient::kClientUnexpectedReply;
    }
}

int askProgress(platform::RemotePort* server, const std::string& clientName, int32_t* remaining,
                float timeoutSeconds) {
    CtoS_GetLoadProgress_MessageData record;
    if (!putName(record.clientName, clientName))
        return SampleFileClient::kClientBadArgument;
    std::string reply;
    int status = SampleFileServerUtilities::sendMessage(&record, sizeof record, server, kCtoS_GetLoadProgress,
                                                        &reply, 1, timeoutSeconds);
    if (status != 0)
        return status;
    if (reply.size() != kLoadProgressReplyBytes)
        return SampleFileClient::kClientUnexpectedReply;
    int32_t count;
    memcpy(&count, reply.data(), sizeof count);
    if (remaining != nullptr)
        *remaining = count;
    return 0;
}

}  // namespace

SampleFileClient::SampleFileClient() : SampleFileClient(Options{}) {}

SampleFileClient::SampleFileClient(Options options)
    : options_(std::move(options)), name_(makeClientName()), nextListId_(1) {}

SampleFileClient::~SampleFileClient() {
    if (server_ != nullptr)
        leave();
    closeOwnPort();
}

void SampleFileClient::setLoadingFinishedCallback(std::function<void()> callback) {
    std::lock_guard<std::mutex> lock(noticeMutex_);
    loadingFinishedCallback_ = std::move(callback);
}

bool SampleFileClient::waitForLoadingFinished(int seenCount, double seconds) {
    std::unique_lock<std::mutex> lock(noticeMutex_);
    return noticeCondition_.wait_for(lock, std::chrono::duration<double>(seconds),
                                     [&] { return loadingFinishedCount_.load() > seenCount; });
}

int SampleFileClient::makeOwnPort() {
    if (port_ != nullptr)
        return 0;
    auto loop = std::make_unique<platform::RunLoop>();
    auto port = platform::LocalPort::create(
        name_, [this](int32_t messageId, const std::string&) -> std::optional<std::string> {
            if (messageId == kStoC_StatusPoll) {
                statusPollCount_.fetch_add(1);
                return std::string(1, '\1');
            }
            if (messageId == kStoC_LoadingPassFinished) {
                std::function<void()> callback;
                {
                    std::lock_guard<std::mutex> lock(noticeMutex_);
                    loadingFinishedCount_.fetch_add(1);
                    callback = loadingFinishedCallback_;
                }
                noticeCondition_.notify_all();
                if (callback)
                    callback();
            }
            return std::nullopt;
        });
    if (port == nullptr || !port->addToRunLoop(*loop))
        return kClientNoOwnPort;
    loop_ = std::move(loop);
    port_ = std::move(port);
    platform::RunLoop* runLoop = loop_.get();
    portThread_ = std::thread([runLoop] { runLoop->run(); });
    return 0;
}

void SampleFileClient::closeOwnPort() {
    if (loop_ == nullptr)
        return;
    loop_->stop();
    if (portThread_.joinable())
        portThread_.join();
    port_.reset();
    loop_.reset();
}

int SampleFileClient::reachServer() {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options_.connectSeconds));
    bool started = false;
    for (;;) {
        server_ = platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName);
        if (server_ != nullptr)
            return 0;
        if (!started && options_.startServer) {
            started = true;
            std::string executable =
                options_.serverExecutable.empty() ? findServerExecutable() : options_.serverExecutable;
            if (startDetached(executable) != 0)
                return kClientNoServer;
        }
        if (Clock::now() >= deadline)
            return kClientNoServer;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int SampleFileClient::connect() {
    if (server_ != nullptr)
        return 0;
    int status = makeOwnPort();
    if (status != 0)
        return status;
    status = reachServer();
    if (status != 0)
        return status;
    CtoS_RegisterClient_MessageData record;
    memset(&record, 0, sizeof record);
    putName(record.clientName, name_);
    std::string reply;
    status = SampleFileServerUtilities::sendMessage(&record, sizeof record, server_.get(), kCtoS_RegisterClient,
                                                    &reply, 1, options_.messageTimeoutSeconds);
    if (status == 0)
        status = statusOfReply(reply);
    if (status != 0)
        server_.reset();
    return status;
}

int SampleFileClient::sendSampleFileList(const std::vector<Entry>& entries, int32_t wireDownSegments) {
    if (server_ == nullptr)
        return kClientNotConnected;
    for (const Entry& entry : entries)
        if (entry.path.find('\0') != std::string::npos)
            return kClientBadArgument;
    const int32_t listId = nextListId_++;
    size_t first = 0;
    do {
        const size_t count = std::min<size_t>(entries.size() - first, kMaxEntriesPerListChunk);
        CtoS_ReplyListOfSampleFilesInUseByClient_MessageData fixed;
        memset(&fixed, 0, sizeof fixed);
        putName(fixed.clientName, name_);
        fixed.listId = listId;
        fixed.isFinalChunk = first + count == entries.size() ? 1 : 0;
        fixed.wireDownSegments = wireDownSegments;
        fixed.entryCount = static_cast<int32_t>(count);
        std::string message(reinterpret_cast<const char*>(&fixed), sizeof fixed);
        for (size_t i = 0; i < count; i++) {
            const Entry& entry = entries[first + i];
            memcpy(message.data() + offsetof(CtoS_ReplyListOfSampleFilesInUseByClient_MessageData, frameCounts) +
                       i * sizeof(int32_t),
                   &entry.frameCount, sizeof(int32_t));
            message.append(entry.path);
            message.push_back('\0');
        }
        if (message.size() > platform::kMaxMessageBytes)
            return kClientBadArgument;
        // Only the final chunk waits for the answer: the server handles the
        // chunks of one connection in order, and a list dropped part-way is
        // answered as dropped at its final chunk.
        const int waitForReply = fixed.isFinalChunk;
        std::string reply;
        int status = SampleFileServerUtilities::sendMessage(message.data(), static_cast<int>(message.size()),
                                                            server_.get(), kCtoS_ReplyListOfSampleFilesInUseByClient,
                                                            waitForReply ? &reply : nullptr, waitForReply,
                                                            options_.messageTimeoutSeconds);
        if (status == 0 && waitForReply)
            status = statusOfReply(reply);
        if (status != 0)
            return status;
        first += count;
    } while (first < entries.size());
    return 0;
}

int SampleFileClient::getLoadProgress(int32_t* remaining) {
    if (server_ == nullptr)
        return kClientNotConnected;
    return askProgress(server_.get(), name_, remaining, options_.messageTimeoutSeconds);
}

int SampleFileClient::pauseOrResumeServer(int32_t pauseValue) {
    if (server_ == nullptr)
        return kClientNotConnected;
    CtoS_PauseOrResumeServer_MessageData record;
    memset(&record, 0, sizeof record);
    putName(record.clientName, name_);
    record.pauseValue = pauseValue;
    return SampleFileServerUtilities::sendMessage(&record, sizeof record, server_.get(), kCtoS_PauseOrResumeServer,
                                                  nullptr, 0, options_.messageTimeoutSeconds);
}

int SampleFileClient::leave() {
    if (server_ == nullptr)
        return kClientNotConnected;
    CtoS_UnregisterClient_MessageData record;
    memset(&record, 0, sizeof record);
    putName(record.clientName, name_);
    int status = SampleFileServerUtilities::sendMessage(&record, sizeof record, server_.get(), kCtoS_UnregisterClient,
                                                        nullptr, 0, options_.messageTimeoutSeconds);
    server_.reset();
    return status;
}

const char* SampleFileClient::describeStatus(int status) {
    switch (status) {
        case kClientOk: return "Success.";
        case platform::kPortSendTimeout: return "The server did not take the message in time.";
        case platform::kPortReceiveTimeout: return "The server did not answer in time.";
        case platform::kPortIsInvalid: return "The connection to the server is closed.";
        case platform::kPortTransportError: return "The message could not be passed to the server.";
        case platform::kPortBecameInvalid: return "The server went away while the client waited for its answer.";
        case SampleFileServerUtilities::kUnsendableMessage: return "The message could not be sent.";
        case kClientNoOwnPort: return "The client could not open its own message port.";
        case kClientNoServer: return "No sample-file server is serving, and none could be started.";
        case kClientNotConnected: return "The client is not connected to the server.";
        case kClientBadArgument: return "A name or path cannot be sent to the server (too long or holding a NUL byte).";
        case kClientUnexpectedReply: return "The server gave an answer of the wrong size.";
        case kClientNoSegment: return "No shared-memory segment holds that channel of the file.";
        case kClientFrameCountMismatch: return "The segment holds another number of frames than expected.";
        case kClientOverLimit:
            return "The server refused: it holds as much for its clients as it takes (the list, or the "
                   "registration, was dropped whole).";
        case kClientNotRegistered: return "The server does not know this client.";
        default: return "Unknown error.";
    }
}

bool SampleFileClient::isServerServing(float timeoutSeconds) {
    auto server = platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName);
    if (server == nullptr)
        return false;
    // The empty name is never registered: the server answers 0.
    return askProgress(server.get(), std::string(), nullptr, timeoutSeconds) == 0;
}

bool SampleFileClient::isServerListening() {
    return platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName) != nullptr;
}

int SampleFileClient::getLoadProgressOf(const std::string& clientName, int32_t* remaining, float timeoutSeconds) {
    auto server = platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName);
    if (server == nullptr)
        return kClientNoServer;
    return askProgress(server.get(), clientName, remaining, timeoutSeconds);
}

// ---- Segments ----

namespace {

using Segment = SampleFileSharedmemSegment;

// Length of a segment's name: "L_" or "R_" and 27 encoded characters.
constexpr size_t kSegmentNameLength = 29;

// What the segment object `name` holds; false when it is not ours alone
// (or cannot be opened). A header that cannot be read whole, or is not
// valid, makes a damaged listing.
bool readSegmentHeader(const std::string& name, SampleFileClient::SegmentListing* out) {
    platform::SysCalls& sys = platform::sys();
    int fd = -1;
    uint64_t size = 0;
    if (SampleFileServerUtilities::openOwnedSharedMemoryBlock(name.c_str(), &fd, &size) !=
        SampleFileServerUtilities::kShmObjectOurs)
        return false;
    SampleFileSegmentHeader header;
    const bool whole = sys.pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
    sys.close(fd);
    out->size = size;
    out->damaged = !Segment::isValidHeader(whole ? &header : nullptr, size);
    out->frameCount = whole ? header.frameCount : 0;
    out->storedPath = whole ? std::string(header.filePath, strnlen(header.filePath, sizeof header.filePath)) : "";
    return true;
}

// The segment name in `objectFileName` when it is a segment object name
// under `prefix` (an object prefix without its leading '/'); "" otherwise.
std::string segmentNameIn(const std::string& objectFileName, const std::string& prefix) {
    if (prefix.empty() || objectFileName.size() != prefix.size() + kSegmentNameLength ||
        objectFileName.compare(0, prefix.size(), prefix) != 0)
        return std::string();
    std::string name = objectFileName.substr(prefix.size());
    if (name.compare(0, 2, "L_") != 0 && name.compare(0, 2, "R_") != 0)
        return std::string();
    // Encoded characters, '/' standing as '~' in object names; the last one
    // may have been advanced past the alphabet along a collision chain.
    for (size_t i = 2; i + 1 < kSegmentNameLength; i++) {
        if (name[i] == '~')
            name[i] = '/';
        if (name[i] == '\0' || strchr(encodingTable, name[i]) == nullptr)
            return std::string();
    }
    const char last = name[kSegmentNameLength - 1];
    if (last <= ' ' || last >= 0x7f || last == '/')
        return std::string();
    if (last == '~')
        name[kSegmentNameLength - 1] = '/';
    return name;
}

// The object prefix of this user and port folder without its leading '/'.
std::string objectFilePrefix() {
    const std::string prefix = SampleFileServerUtilities::sharedMemoryObjectPrefix();
    return prefix.empty() ? prefix : prefix.substr(1);
}

// The whole content of a small file such as /proc/<pid>/maps; empty when it
// cannot be read.
std::string readWholeFile(const std::string& path) {
    platform::SysCalls& sys = platform::sys();
    std::string content;
    int fd = sys.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return content;
    char buffer[16384];
    for (;;) {
        ssize_t n = sys.read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
    }
    sys.close(fd);
    return content;
}

// The object file names in the shared-memory folder that some process maps
// now. Processes whose maps cannot be read (those of other users) are left
// out: they cannot open our segments anyway.
std::set<std::string> mappedObjectFileNames() {
    std::set<std::string> names;
    const std::string folder = std::string(SampleFileServerUtilities::kSharedMemoryFolder) + "/";
    const std::string_view deleted = " (deleted)";
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return names;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;  // not a process
        const std::string maps = readWholeFile(std::string("/proc/") + entry->d_name + "/maps");
        const std::string_view all(maps);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            if (end == std::string_view::npos)
                end = all.size();
            const std::string_view line = all.substr(start, end - start);
            start = end + 1;
            // The path is the last field; an object unlinked since it was
            // mapped is marked deleted and is not the one under its name now.
            const size_t at = line.find(folder);
            if (at == std::string_view::npos)
                continue;
            const std::string_view name = line.substr(at + folder.size());
            if (name.size() < deleted.size() || name.substr(name.size() - deleted.size()) != deleted)
                names.emplace(name);
        }
    }
    closedir(proc);
    return names;
}

}  // namespace

bool SampleFileClient::hasSegmentNameShape(const std::string& objectFileName) {
    return !segmentNameIn(objectFileName, objectFilePrefix()).empty();
}

std::vector<SampleFileClient::SegmentListing> SampleFileClient::listSegments() {
    std::vector<SegmentListing> found;
    const std::string prefix = objectFilePrefix();
    if (prefix.empty())
        return found;
    DIR* folder = opendir(SampleFileServerUtilities::kSharedMemoryFolder);
    if (folder == nullptr)
        return found;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(folder)) {
        std::string name = segmentNameIn(entry->d_name, prefix);
        if (!name.empty())
            names.push_back(std::move(name));
    }
    closedir(folder);
    for (const std::string& name : names) {
        SegmentListing listing{};
        if (!readSegmentHeader(name, &listing))
            continue;
        listing.name = name;
        found.push_back(listing);
    }
    // Read after the folder, as close as can be to what a caller does next.
    const std::set<std::string> mapped = mappedObjectFileNames();
    for (SegmentListing& listing : found) {
        const std::string objectName =
            SampleFileServerUtilities::sharedMemoryObjectName("/" + prefix, listing.name.c_str());
        listing.inUse = mapped.count(objectName.substr(1)) != 0;  // without its leading '/'
    }
    std::sort(found.begin(), found.end(),
              [](const SegmentListing& a, const SegmentListing& b) { return a.name < b.name; });
    return found;
}

int SampleFileClient::removeSegment(const std::string& name) {
    if (name.find('\0') != std::string::npos)
        return -EINVAL;
    return SampleFileServerUtilities::unlinkSharedMemoryBlock(name.c_str()) == 0 ? 0 : -errno;
}

int SampleFileClient::attachSampleFile(const std::string& path, int channel, int32_t expectedFrames,
                                       SampleFileAttachment* out) {
    if (out == nullptr)
        return kClientBadArgument;
    out->detach();
    if (channel < 0 || channel > 1 || expectedFrames < kAnyFrameCount || path.find('\0') != std::string::npos)
        return kClientBadArgument;
    RhPath filePath(path.c_str());
    RhString name;
    Segment::createInitialHashString(&filePath, channel, &name);
    int frames = 0;
    int fd = -1;
    void* base = Segment::attachToSharedMemSegment(&filePath, &name, channel, frames, fd,
                                                   expectedFrames == kAnyFrameCount ? 0 : expectedFrames);
    if (base == nullptr)
        return kClientNoSegment;
    // The mapping outlives the descriptor.
    Segment::releaseSharedMemSegment(Segment::kReleaseCloseDescriptor, &name, frames, base, fd);
    const auto* header = static_cast<const SampleFileSegmentHeader*>(base);
    int status = kClientOk;
    if (header->segmentMarker != 1)
        status = kClientNoSegment;
    else if (expectedFrames != kAnyFrameCount && frames != expectedFrames)
        status = kClientFrameCountMismatch;
    if (status != kClientOk) {
        Segment::releaseSharedMemSegment(Segment::kReleaseDetach, &name, frames, base, -1);
        return status;
    }
    out->base_ = base;
    out->frames_ = frames;
    out->storedPath_.assign(header->filePath, strnlen(header->filePath, sizeof header->filePath));
    out->segmentName_ = name.getText();
    return kClientOk;
}

SampleFileAttachment& SampleFileAttachment::operator=(SampleFileAttachment&& other) noexcept {
    if (this != &other) {
        detach();
        base_ = other.base_;
        frames_ = other.frames_;
        storedPath_ = std::move(other.storedPath_);
        segmentName_ = std::move(other.segmentName_);
        other.base_ = nullptr;
        other.frames_ = 0;
    }
    return *this;
}

void SampleFileAttachment::detach() {
    if (base_ == nullptr)
        return;
    Segment::releaseSharedMemSegment(Segment::kReleaseDetach, nullptr, frames_, base_, -1);
    base_ = nullptr;
    frames_ = 0;
    storedPath_.clear();
    segmentName_.clear();
}

const float* SampleFileAttachment::samples() const {
    return base_ != nullptr ? Segment::samplesOf(base_) : nullptr;
}

std::string SampleFileClient::findServerExecutable() {
    const std::string fileName = SampleFileServerUtilities::kServerProcessName;
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string folder(self, static_cast<size_t>(length));
        folder.erase(folder.rfind('/') + 1);
        if (isExecutableFile(folder + fileName))
            return folder + fileName;
    }
    const char* path = getenv("PATH");
    if (path == nullptr)
        return std::string();
    std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        std::string folder = list.substr(start, end - start);
        if (!folder.empty()) {
            std::string candidate = folder + "/" + fileName;
            if (isExecutableFile(candidate))
                return candidate;
        }
        start = end + 1;
    }
    return std::string();
}

int SampleFileClient::startDetached(const std::string& givenExecutable) {
    if (!isExecutableFile(givenExecutable))
        return -1;
    // The server starts in "/": a relative path must be made absolute first.
    std::string executable = givenExecutable;
    if (executable[0] != '/') {
        char folder[PATH_MAX];
        if (getcwd(folder, sizeof folder) == nullptr)
            return -1;
        executable = std::string(folder) + "/" + executable;
    }
    // Everything the children need is prepared before fork: between fork and
    // exec only async-signal-safe calls are allowed.
    const char* file = executable.c_str();
    // --detached: the server sends its output to its log file, since nobody
    // reads the /dev/null it is given here. A server that does not know the
    // argument ignores it.
    char detachedArgument[] = "--detached";
    char* const argv[] = {const_cast<char*>(file), detachedArgument, nullptr};
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        // First child: a session of its own, then the server as its child,
        // so the server has no controlling terminal and is adopted by init.
        if (setsid() < 0)
            _exit(1);
        pid_t server = fork();
        if (server != 0)
            _exit(server < 0 ? 1 : 0);
        // No hold on the client's working folder.
        if (chdir("/") != 0)
            _exit(1);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, 0);
            dup2(devNull, 1);
            dup2(devNull, 2);
        }
        // No descriptor of the client (its sockets in particular) may live on
        // in the server.
        if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
            for (int fd = 3; fd < 65536; fd++)
                close(fd);
        execv(file, argv);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}
