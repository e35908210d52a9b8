// TEST BUILDS ONLY: the stand-in loader of StandInLoader.h. It follows the
// entry-job protocol of SampleFileServer like the real reader will, so that
// terminateSelf never destroys an entry under it.
#include "StandInLoader.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"

namespace {

using Segment = SampleFileSharedmemSegment;

// The first queued entry, now converting; null when none is queued (the
// reader is then marked idle under the same lock).
SampleFileInfo* takeQueuedEntry(SampleFileServer* server) {
    std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
    for (int i = 0; i < server->sampleFileList.getCount(); i++) {
        SampleFileInfo* info = server->sampleFileList.getSampleFile(i);
        if (info->loadState == kLoadQueued) {
            info->loadState = kLoadConverting;
            return info;
        }
    }
    server->diskReader->isRunning = 0;
    return nullptr;
}

// Gives `info` its channel-0 segment (zero samples) and finishes it. A
// converting entry is never reclaimed, so it is used here without the lock.
void loadEntry(SampleFileServer* server, SampleFileInfo* info) {
    const int frames = static_cast<int>(std::min<uint32_t>(info->frameCount, kStandInMaxFrames));
    int fd = -1;
    RhString name;
    void* base = Segment::createSharedMemSegment(&info->path, 0, frames, fd, &name, server->wireDownSegments.load());
    if (base != nullptr)
        Segment::releaseSharedMemSegment(Segment::kReleaseCloseDescriptor, &name, frames, base, fd);
    std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
    info->frameCount = static_cast<uint32_t>(frames);
    if (base != nullptr) {
        info->segmentNames[0] = name;
        info->channelData[0] = Segment::samplesOf(base);
        info->segmentFds[0] = -1;
    }
    info->loadState = kLoadFinished;
}

void notifyClients(SampleFileServer* server) {
    const char notice = 1;
    std::lock_guard<std::mutex> lock(server->clientList.mutex);
    for (int i = 0; i < server->clientList.getCount(); i++)
        SampleFileServerUtilities::sendMessage(&notice, 1, server->clientList.getClient(i)->clientPort.get(),
                                               kStoC_LoadingPassFinished, nullptr, 0, kLoadingFinishedTimeoutSeconds);
}

void* standInLoaderStaticThreadFunction(void* argument) {
    if (!SampleFileServer::beginEntryJob())
        return nullptr;
    SampleFileServer* server = static_cast<SampleFileServer*>(argument);
    bool allDone = false;
    while (!SampleFileServer::isTerminating()) {
        SampleFileInfo* info = takeQueuedEntry(server);
        if (info == nullptr) {
            allDone = true;
            break;
        }
        loadEntry(server, info);
    }
    SampleFileServer::endEntryJob();
    // The notices touch no entry: the server object itself is never freed.
    if (allDone)
        notifyClients(server);
    return nullptr;
}

}  // namespace

void installStandInLoader() {
    SampleFileServer::sDiskReaderJobFunction = standInLoaderStaticThreadFunction;
}
