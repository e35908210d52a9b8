#include "SampleFileServer.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "MessagePort.h"
#include "RhThreadPool.h"
#include "SampleFileFLAC_Archive.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"
#include "ServerStatus.h"
#include "SignalSource.h"

SampleFileServer* gSampleFileServer = nullptr;

SampleFileServerLimits SampleFileServer::sLimits = {
    SampleFileServer::kMaxPendingListEntries,
    int64_t{16} << 20,   // 16 MiB of one client's unfinished list
    int64_t{64} << 20,   // 64 MiB of unfinished lists in all
    256,                 // clients
    250000,              // held files
    int64_t{128} << 20,  // 128 MiB of their paths
};

namespace {

// One message 3 handed to receiveSampleFileListStaticThreadFunction.
struct SampleFileListJob {
    SampleFileServer* server;
    char* message;   // malloc'ed copy of the data, 200 zero bytes past its end
    size_t length;   // bytes of data
    int32_t* statusOut;  // null, or where the handler puts its SampleFileServerReplyStatus
};

std::string statusReply(int32_t status) {
    return std::string(reinterpret_cast<const char*>(&status), sizeof status);
}

// Bytes that `count` paths starting at `path` (back to back, each with its
// NUL) bring to a pending list: the paths with their NULs, and 4 for each
// frame count.
int64_t pendingBytesOf(const char* path, int32_t count) {
    int64_t bytes = 0;
    for (int32_t i = 0; i < count; i++) {
        const size_t length = strlen(path);
        bytes += static_cast<int64_t>(length) + 1 + static_cast<int64_t>(sizeof(int32_t));
        path += length + 1;
    }
    return bytes;
}

constexpr size_t kMessageCopySlack = 200;

// How long the serving thread waits for room in a registering client's
// queue of new connections: a port that never accepts must not hold up
// the messages of every other client.
constexpr double kClientConnectSeconds = 0.05;

}  // namespace

// ---- Construction, run loop, end ----

SampleFileServer::SampleFileServer(double firstStatusPollSeconds, double statusPollIntervalSeconds)
    : statusTimer(nullptr),
      diskReader(nullptr),
      serverRunLoop(nullptr),
      portRunLoopSource(0),
      pausedFlag(0),
      wireDownSegments(1) {
    serverPort = platform::LocalPort::create(
        SampleFileServerUtilities::kServerManagerPortName,
        [this](int32_t messageId, const std::string& data) {
            return serverManagerMessageReceiptCallBack(serverPort.get(), messageId, data, this);
        });
    if (serverPort == nullptr)
        return;
    // A decode running when the process ends stops at its next frame.
    SampleFileFLAC_Archive::sShouldStopDecoding.store(&SampleFileServer::isTerminating);
    diskReader = new DiskReader(this);
    statusTimer = new StatusTimer;
    statusTimer->firstFire = std::chrono::steady_clock::now() +
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(firstStatusPollSeconds));
    statusTimer->intervalSeconds = statusPollIntervalSeconds;
    statusTimer->timerId = 0;
    statusTimer->scheduled = 0;
}

SampleFileServer::~SampleFileServer() {
    terminateSelf();
}

void SampleFileServer::runLoop() {
    platform::RunLoop& loop = platform::RunLoop::current();
    if (serverPort == nullptr || !serverPort->addToRunLoop(loop)) {
        printf("FATAL Error in CFMessagePorCreateLocal ");
        fflush(stdout);
        return;
    }
    portRunLoopSource = 1;
    serverRunLoop = &loop;
    ServerStatus::startServing(this, loop);
    if (statusTimer != nullptr) {
        std::chrono::duration<double> firstDelay = statusTimer->firstFire - std::chrono::steady_clock::now();
        if (firstDelay.count() < 0)
            firstDelay = std::chrono::duration<double>(0);
        StatusTimer* timer = statusTimer;
        statusTimer->timerId = loop.addTimer(firstDelay, std::chrono::duration<double>(statusTimer->intervalSeconds),
                                             [this, timer] { timerCallback(timer, this); });
        statusTimer->scheduled = 1;
    }
    loop.run();
    if (sTerminating.load() != 0)
        waitForTheEnd();  // terminateSelf runs on another thread and exits the process
    // The loop gave up (its wait failed) while the server still served: end
    // the way every end goes, so that no segment outlives the process.
    terminateSelf();
}

void SampleFileServer::runServerMain(double firstStatusPollSeconds, double statusPollIntervalSeconds) {
    // A peer that goes away must never end the process: writes to it fail instead.
    signal(SIGPIPE, SIG_IGN);
    // The signals that end a session (a logout sends SIGTERM and SIGHUP) end
    // the server the way its last client's leaving does, on the serving
    // thread: its segments are unlinked and its port removed. Blocked before
    // the first other thread starts, so that every thread inherits the mask.
    std::unique_ptr<platform::SignalSource> endSignals = platform::SignalSource::create({SIGTERM, SIGINT, SIGHUP});
    // Never freed while serving: destroying it ends the process.
    gSampleFileServer = new SampleFileServer(firstStatusPollSeconds, statusPollIntervalSeconds);
    if (gSampleFileServer->serverPort == nullptr)
        return;
    if (endSignals != nullptr)
        endSignals->addToRunLoop(platform::RunLoop::current(), [](int) { gSampleFileServer->terminateSelf(); });
    gSampleFileServer->runLoop();
}

void SampleFileServer::timerCallback(StatusTimer* timer, void* info) {
    (void)timer;
    if (info == nullptr)
        return;
    // The serving thread does no polling itself.
    ThreadPool::submitJob(info, pollClientsForStatusStaticThreadFunction, kThreadPriorityNormal, kThreadSubPool0, 0, 1);
}

std::atomic<int> SampleFileServer::sTerminating{0};
std::atomic<int> SampleFileServer::sResourcesReleased{0};
std::mutex SampleFileServer::sEntryJobMutex;
int SampleFileServer::sEntryJobCount = 0;
std::atomic<int> SampleFileServer::sPollRunning{0};
void* (*SampleFileServer::sDiskReaderJobFunction)(void*) = DiskReader::diskReaderStaticThreadFunction;

namespace {
// Entry jobs begun, and not yet ended, by the calling thread.
thread_local int tEntryJobDepth = 0;
}  // namespace

int SampleFileServer::beginEntryJob() {
    std::lock_guard<std::mutex> lock(sEntryJobMutex);
    if (sTerminating.load() != 0)
        return 0;
    sEntryJobCount++;
    tEntryJobDepth++;
    return 1;
}

void SampleFileServer::endEntryJob() {
    {
        std::lock_guard<std::mutex> lock(sEntryJobMutex);
        if (tEntryJobDepth == 0)
            return;  // nothing begun on this thread
        sEntryJobCount--;
        tEntryJobDepth--;
        if (tEntryJobDepth > 0)
            return;
    }
    // Entry jobs make segments, and naming them leaves per-thread state in
    // libcrypto that would outlive its clean-up at exit on a pool thread.
    SampleFileSharedmemSegment::releaseNamingThreadState();
}

int SampleFileServer::isTerminating() {
    return sTerminating.load() != 0 ? 1 : 0;
}

bool SampleFileServer::waitForEntryJobs(double seconds) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(seconds));
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(sEntryJobMutex);
            if (sEntryJobCount <= tEntryJobDepth)
                return true;
        }
        if (std::chrono::steady_clock::now() >= end)
            return false;
        usleep(1000);
    }
}

void SampleFileServer::waitForTheEnd() {
    {
        // This thread never resumes the entry jobs it began: the thread that
        // releases the resources must not wait for them.
        std::lock_guard<std::mutex> lock(sEntryJobMutex);
        sEntryJobCount -= tEntryJobDepth;
        tEntryJobDepth = 0;
    }
    // The first caller of terminateSelf ends the process. A pool worker must
    // not wait for that: the pool's teardown at exit waits for busy workers.
    // It ends the process itself once the resources are released.
    if (SingleThreadInThreadPool::currentWorker() != nullptr) {
        while (sResourcesReleased.load() == 0)
            usleep(1000);
        _exit(0);
    }
    for (;;)
        pause();
}

void SampleFileServer::terminateSelf() {
    // Only one thread may release the resources and run the exit handlers;
    // any other caller (or the serving thread returning from its stopped
    // loop) waits for the process to end under it.
    int alreadyEnding;
    {
        std::lock_guard<std::mutex> lock(sEntryJobMutex);
        alreadyEnding = sTerminating.exchange(1);
    }
    if (alreadyEnding != 0)
        waitForTheEnd();
    // No entry job starts from now on; those running stop at their next
    // check. First what must not outlive the process even if a job never
    // returns: the segments' names and the port.
    {
        std::lock_guard<std::mutex> lock(sampleFileList.mutex);
        for (int i = 0; i < sampleFileList.getCount(); i++)
            sampleFileList.getSampleFile(i)->unlinkSegmentNames();
    }
    if (serverPort != nullptr) {
        // Frees the name at once for a next server. The port object itself
        // is left to the process exit: this may run inside its own callback.
        serverPort->invalidate();
    }
    ServerStatus::stopServing();
    if (!waitForEntryJobs(kEntryJobWaitSeconds)) {
        // A job is stuck, most likely in a read on a dead network or FUSE
        // mount. Nothing of ours is left to find; the memory that the busy
        // entries hold goes with the process. The exit handlers are skipped:
        // the pool's teardown would wait for the stuck worker.
        fflush(stdout);
        sResourcesReleased.store(1);
        _exit(0);
    }
    // None of the entries is touched by a job any more.
    {
        std::lock_guard<std::mutex> lock(sampleFileList.mutex);
        for (int i = sampleFileList.getCount() - 1; i >= 0; i--) {
            SampleFileInfo* info = sampleFileList.getSampleFile(i);
            sampleFileList.deleteElement(i);
            delete info;
        }
        // Under the mutex that guards the reader: a handler on the serving
        // thread may look at it until the process is gone.
        delete diskReader;
        diskReader = nullptr;
    }
    if (statusTimer != nullptr) {
        if (statusTimer->scheduled && serverRunLoop != nullptr)
            serverRunLoop->removeTimer(statusTimer->timerId);
        delete statusTimer;
        statusTimer = nullptr;
    }
    if (serverRunLoop != nullptr)
        serverRunLoop->stop();
    fflush(stdout);
    sResourcesReleased.store(1);
    exit(0);
}

// ---- Messages ----

std::optional<std::string> SampleFileServer::serverManagerMessageReceiptCallBack(platform::LocalPort* port,
                                                                                 int32_t messageId,
                                                                                 const std::string& data,
                                                                                 void* info) {
    (void)port;
    SampleFileServer* server = static_cast<SampleFileServer*>(info);
    if (server == nullptr || messageId < kCtoS_RegisterClient || messageId > kCtoS_GetLoadProgress || data.empty())
        return std::nullopt;
    if (!SampleFileServerMessages::isWellFormed(messageId, data.data(), data.size()))
        return std::nullopt;
    // The fixed part is copied out: the data carry no alignment promise.
    switch (messageId) {
        case kCtoS_RegisterClient: {
            CtoS_RegisterClient_MessageData record;
            memcpy(&record, data.data(), sizeof record);
            int32_t status = kReplyTaken;
            server->processRegisterClientMessage(&record, &status);
            return statusReply(status);
        }
        case kCtoS_UnregisterClient: {
            CtoS_UnregisterClient_MessageData record;
            memcpy(&record, data.data(), sizeof record);
            server->processUnregisterClientMessage(&record);
            return std::nullopt;
        }
        case kCtoS_PauseOrResumeServer: {
            CtoS_PauseOrResumeServer_MessageData record;
            memcpy(&record, data.data(), sizeof record);
            server->processPauseOrResumeServerMessage(&record);
            return std::nullopt;
        }
        case kCtoS_ReplyListOfSampleFilesInUseByClient: {
            CtoS_ReplyListOfSampleFilesInUseByClient_MessageData record;
            memcpy(&record, data.data(), sizeof record);
            int32_t status = kReplyTaken;
            server->processSampleFileListMessage(&record, data, &status);
            return statusReply(status);
        }
        case kCtoS_GetLoadProgress: {
            CtoS_GetLoadProgress_MessageData record;
            memcpy(&record, data.data(), sizeof record);
            return server->processGetLoadProgressClientMessage(&record);
        }
        default:
            return std::nullopt;
    }
}

int SampleFileServer::processRegisterClientMessage(const CtoS_RegisterClient_MessageData* record, int32_t* status) {
    int32_t ignored;
    if (status == nullptr)
        status = &ignored;
    *status = kReplyTaken;
    {
        // Checked first so that a flood of names costs no connection each;
        // checked again below, where the record is appended.
        std::lock_guard<std::mutex> lock(clientList.mutex);
        if (clientList.findClientByName(record->clientName, 1) != nullptr)
            return 0;  // the registration under this name stays as it was
        if (clientList.getCount() >= sLimits.maxRegisteredClients) {
            *status = kReplyOverLimit;
            return 0;
        }
    }
    ClientInfo* client = new ClientInfo(record->clientName);
    client->clientPort = platform::RemotePort::connect(client->clientName.getText(), kClientConnectSeconds);
    // A port served by this very process (the server's own, under whatever
    // name) would answer the status polls for a client that does not exist
    // and keep the server alive forever.
    if (client->clientPort == nullptr || !client->clientPort->isValid() ||
        client->clientPort->peerPid() == getpid()) {
        delete client;
        *status = kReplyNotRegistered;
        return 0;
    }
    watchClientPort(client->clientPort);
    std::unique_lock<std::mutex> lock(clientList.mutex);
    const bool known = clientList.findClientByName(client->clientName.getText(), 1) != nullptr;
    if (known || clientList.getCount() >= sLimits.maxRegisteredClients || clientList.append(&client) == nullptr) {
        lock.unlock();
        delete client;  // a registration under this name stays as it was
        if (!known)
            *status = kReplyOverLimit;
    }
    return 0;
}

void SampleFileServer::watchClientPort(const std::shared_ptr<platform::RemotePort>& port) {
    if (serverRunLoop == nullptr)
        return;
    platform::RunLoop* loop = serverRunLoop;
    std::weak_ptr<platform::RemotePort> weakPort = port;
    // The removal is posted so that it runs after the port's own callback
    // has returned: deleteClient destroys the port object.
    port->setInvalidationCallback(*loop, [loop, weakPort] {
        loop->post([weakPort] {
            if (std::shared_ptr<platform::RemotePort> invalidated = weakPort.lock())
                portInvalidatedCallback(invalidated.get(), nullptr);
        });
    });
}

int SampleFileServer::processUnregisterClientMessage(const CtoS_UnregisterClient_MessageData* record) {
    deleteClient(record->clientName);
    return 0;
}

int SampleFileServer::processPauseOrResumeServerMessage(const CtoS_PauseOrResumeServer_MessageData* record) {
    pausedFlag.store(record->pauseValue);
    return 0;
}

int SampleFileServer::processSampleFileListMessage(const CtoS_ReplyListOfSampleFilesInUseByClient_MessageData* record,
                                                   const std::string& data, int32_t* status) {
    (void)record;
    if (status != nullptr)
        *status = kReplyOverLimit;  // unless the handler says otherwise: no memory for the copy
    SampleFileListJob* job = static_cast<SampleFileListJob*>(malloc(sizeof(SampleFileListJob)));
    char* copy = static_cast<char*>(calloc(1, data.size() + kMessageCopySlack));
    if (job == nullptr || copy == nullptr) {
        free(job);
        free(copy);
        return 0;
    }
    memcpy(copy, data.data(), data.size());
    job->server = this;
    job->message = copy;
    job->length = data.size();
    job->statusOut = status;
    receiveSampleFileListStaticThreadFunction(job);
    return 0;
}

namespace {

// Bytes of unfinished lists over all clients. The caller holds the
// sampleFileList mutex (no client is freed meanwhile).
int64_t pendingBytesOfAllClients(ClientInfoList& clients) {
    std::lock_guard<std::mutex> lock(clients.mutex);
    int64_t bytes = 0;
    for (int i = 0; i < clients.getCount(); i++)
        bytes += clients.getClient(i)->pendingBytes;
    return bytes;
}

// True when the entries held once `client`'s complete pending list is in
// force (and the entries that nobody uses any more are reclaimed) stay within
// the limits on held files. The caller holds the sampleFileList mutex.
bool heldFilesWouldFit(SampleFileInfoList& files, ClientInfo* client, const SampleFileServerLimits& limits) {
    std::unordered_set<std::string_view> wanted;
    const int pending = client->pendingPaths.getCount();
    for (int i = 0; i < pending; i++) {
        const RhString* path = client->pendingPaths.getIthString(static_cast<unsigned>(i));
        wanted.emplace(path->getText(), path->getLength());
    }
    int64_t count = 0;
    int64_t bytes = 0;
    for (int i = 0; i < files.getCount(); i++) {
        SampleFileInfo* info = files.getSampleFile(i);
        const std::string_view path(info->path.getText(), info->path.getLength());
        bool stays = info->loadState == kLoadReading || info->loadState == kLoadConverting || wanted.erase(path) != 0;
        for (int slot = 0; !stays && slot < kClientSlotCount; slot++)
            stays = info->clientSlots[slot] != nullptr && info->clientSlots[slot] != client;
        if (stays) {
            count++;
            bytes += static_cast<int64_t>(path.size()) + 1;
        }
    }
    for (const std::string_view& path : wanted) {  // the paths not held yet
        count++;
        bytes += static_cast<int64_t>(path.size()) + 1;
    }
    return count <= limits.maxHeldSampleFiles && bytes <= limits.maxHeldPathBytes;
}

}  // namespace

void* SampleFileServer::receiveSampleFileListStaticThreadFunction(void* jobArgument) {
    SampleFileListJob* job = static_cast<SampleFileListJob*>(jobArgument);
    SampleFileServer* server = job->server;
    CtoS_ReplyListOfSampleFilesInUseByClient_MessageData record;
    memcpy(&record, job->message, sizeof record);
    // The dispatcher checked that entryCount paths end inside the data.
    const char* firstPath = job->message + sizeof record;
    int32_t status = kReplyTaken;
    bool reclaim = false;
    {
        // Held from the lookup to the last use of the client: deleteClient
        // needs this mutex before it can free the client.
        std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
        ClientInfo* client = server->clientList.findClientByName(record.clientName);
        if (client == nullptr)
            status = kReplyNotRegistered;
        if (client != nullptr && client->droppedListId != -1) {
            if (client->droppedListId == record.listId) {
                // The rest of a list dropped for a limit: ignored up to and
                // with its final chunk.
                if (record.isFinalChunk != 0)
                    client->droppedListId = -1;
                client = nullptr;
                status = kReplyOverLimit;
            } else {
                client->droppedListId = -1;  // another list begins
            }
        }
        if (client != nullptr) {
            if (client->pendingListId != -1 && client->pendingListId != record.listId)
                client->clearPendingList();  // an unfinished older list is dropped
            client->pendingListId = record.listId;
            const SampleFileServerLimits& limits = sLimits;
            const int64_t chunkBytes = pendingBytesOf(firstPath, record.entryCount);
            bool fits = client->pendingPaths.getCount() + record.entryCount <= limits.maxPendingListEntries &&
                        client->pendingBytes + chunkBytes <= limits.maxPendingListBytes &&
                        pendingBytesOfAllClients(server->clientList) + chunkBytes <= limits.maxPendingBytes;
            if (fits) {
                const char* path = firstPath;
                for (int32_t i = 0; i < record.entryCount; i++) {
                    client->pendingPaths.appendString(path);
                    client->pendingFrameCounts.appendInt(record.frameCounts[i]);
                    path += strlen(path) + 1;
                }
                client->pendingBytes += chunkBytes;
                if (record.isFinalChunk != 0)
                    fits = heldFilesWouldFit(server->sampleFileList, client, limits);
            }
            if (!fits) {
                // Too much: the whole list is dropped and the client keeps
                // its previous one.
                client->clearPendingList();
                if (record.isFinalChunk == 0)
                    client->droppedListId = record.listId;
                client = nullptr;
                status = kReplyOverLimit;
            }
        }
        if (client != nullptr) {
            server->wireDownSegments.store(record.wireDownSegments);
            if (record.isFinalChunk != 0) {
                SampleFileInfoList& files = server->sampleFileList;
                for (int i = files.getCount() - 1; i >= 0; i--)
                    files.getSampleFile(i)->releaseClientSlot(client);
                // Files not held yet are made first and inserted together.
                // A path named twice is one entry, with the frame count of
                // its first naming.
                std::vector<SampleFileInfo*> created;
                std::unordered_set<std::string_view> createdPaths;  // texts held by pendingPaths
                createdPaths.reserve(static_cast<size_t>(client->pendingPaths.getCount()));
                const int pending = client->pendingPaths.getCount();
                for (int i = 0; i < pending; i++) {
                    const RhString* pendingText = client->pendingPaths.getIthString(static_cast<unsigned>(i));
                    const char* pendingPath = pendingText->getText();
                    int insertPos = -1;
                    SampleFileInfo* info = files.findSampleFileByName(pendingPath, 1, insertPos);
                    if (info != nullptr) {
                        info->getClientSlot(client, 1);
                        continue;
                    }
                    if (!createdPaths.emplace(pendingPath, pendingText->getLength()).second)
                        continue;
                    info = new SampleFileInfo(server);
                    info->frameCount =
                        static_cast<uint32_t>(client->pendingFrameCounts.getIthInt(static_cast<unsigned>(i)));
                    info->path = pendingPath;
                    info->loadState = kLoadQueued;
                    info->getClientSlot(client, 1);
                    created.push_back(info);
                }
                if (!files.insertSampleFiles(created)) {
                    for (SampleFileInfo* info : created)
                        delete info;
                    created.clear();
                }
                const bool queued = !created.empty();
                if (queued && server->diskReader != nullptr && server->diskReader->isRunning == 0)
                    server->startDiskReader();
                client->clearPendingList();
                reclaim = true;
            }
        }
    }
    if (reclaim)
        server->reclaimResources();
    if (job->statusOut != nullptr)
        *job->statusOut = status;
    free(job->message);
    free(job);
    return nullptr;
}

void SampleFileServer::startDiskReader() {
    if (sDiskReaderJobFunction == nullptr || diskReader == nullptr)
        return;
    diskReader->isRunning = 1;
    if (ThreadPool::submitJob(this, sDiskReaderJobFunction, kThreadPriorityNormal, kThreadSubPool0, 0, 1) == 0)
        diskReader->isRunning = 0;  // refused: the next list that queues a file tries again
}

std::string SampleFileServer::processGetLoadProgressClientMessage(const CtoS_GetLoadProgress_MessageData* record) {
    int32_t count = 0;
    {
        std::lock_guard<std::mutex> lock(sampleFileList.mutex);
        ClientInfo* client = clientList.findClientByName(record->clientName);
        if (client != nullptr) {
            for (int i = 0; i < sampleFileList.getCount(); i++) {
                SampleFileInfo* info = sampleFileList.getSampleFile(i);
                if (info->loadState != kLoadFinished && info->getClientSlot(client, 0) >= 0)
                    count++;
            }
        }
    }
    return std::string(reinterpret_cast<const char*>(&count), sizeof count);
}

// ---- Clients going away ----

int SampleFileServer::deleteClient(const char* name) {
    int remaining;
    {
        std::lock_guard<std::mutex> filesLock(sampleFileList.mutex);
        std::lock_guard<std::mutex> clientsLock(clientList.mutex);
        ClientInfo* client = clientList.findClientByName(name, 1);
        if (client != nullptr) {
            for (int i = sampleFileList.getCount() - 1; i >= 0; i--)
                sampleFileList.getSampleFile(i)->releaseClientSlot(client);
            clientList.deleteElement(clientList.getIndexOfObject(client));
            delete client;
        }
        remaining = clientList.getCount();
    }
    reclaimResources();
    if (remaining == 0)
        terminateSelf();
    return remaining;
}

void SampleFileServer::reclaimResources() {
    std::lock_guard<std::mutex> lock(sampleFileList.mutex);
    for (int i = sampleFileList.getCount() - 1; i >= 0; i--) {
        SampleFileInfo* info = sampleFileList.getSampleFile(i);
        if (info->hasNoClient() && info->loadState != kLoadReading && info->loadState != kLoadConverting) {
            sampleFileList.deleteElement(i);
            delete info;
        }
    }
}

void* SampleFileServer::pollClientsForStatusStaticThreadFunction(void* argument) {
    SampleFileServer* server = static_cast<SampleFileServer*>(argument);
    if (server == nullptr)
        return nullptr;
    // Timer firings go on while a poll waits for silent clients (5 seconds
    // each); a second poll would only ask them again and hold another thread.
    if (sPollRunning.exchange(1) != 0)
        return nullptr;
    // The names and ports are copied under the mutex and the clients asked
    // without it: a client that does not answer must not hold up the
    // serving thread, and with it every other client's messages, while the
    // poll waits for it. The copied port stays usable even if the client is
    // removed meanwhile.
    struct Peer {
        std::string name;
        std::shared_ptr<platform::RemotePort> port;
    };
    std::vector<Peer> peers;
    {
        std::lock_guard<std::mutex> lock(server->clientList.mutex);
        for (int i = 0; i < server->clientList.getCount(); i++) {
            ClientInfo* client = server->clientList.getClient(i);
            peers.push_back({client->clientName.getText(), client->clientPort});
        }
    }
    RhStringList deadClients;
    const char ping = 0;
    for (const Peer& peer : peers) {
        platform::RemotePort* port = peer.port.get();
        if (port == nullptr || !port->isValid() ||
            SampleFileServerUtilities::sendMessage(&ping, 1, port, kStoC_StatusPoll, nullptr, 1,
                                                   kStatusPollTimeoutSeconds) < 0)
            deadClients.appendString(peer.name.c_str());
    }
    peers.clear();
    for (int i = 0; i < deadClients.getCount(); i++)
        server->deleteClient(deadClients.getIthString(static_cast<unsigned>(i))->getText());
    int remaining;
    {
        std::lock_guard<std::mutex> lock(server->clientList.mutex);
        remaining = server->clientList.getCount();
    }
    if (remaining == 0)
        server->terminateSelf();
    server->reclaimResources();
    sPollRunning.store(0);
    return nullptr;
}

void SampleFileServer::portInvalidatedCallback(platform::RemotePort* port, void* info) {
    (void)info;
    SampleFileServer* server = gSampleFileServer;
    if (server == nullptr)
        return;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(server->clientList.mutex);
        ClientInfo* client = server->clientList.findClientByPort(port, 1);
        if (client == nullptr)
            return;
        name = client->clientName.getText();
    }
    server->deleteClient(name.c_str());
}
