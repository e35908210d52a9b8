#include "DiskReader.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "MessagePort.h"
#include "RawBufferPool.h"
#include "RhFileSystem.h"
#include "RhThreadPool.h"
#include "SampleFile.h"
#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "SampleFileServerUtilities.h"
#include "i2fConverter.h"

void (*DiskReader::sTestStageHook)(const SampleFileInfo*, int) = nullptr;

namespace {

// Sets the entry's state under the registry mutex.
void setLoadState(SampleFileInfo* info, SampleFileLoadState state) {
    std::lock_guard<std::mutex> lock(info->server->sampleFileList.mutex);
    info->loadState = state;
}

// The file cannot be held: it leaves the registry (its clients' progress no
// longer counts it) and is destroyed with its reader.
int dropEntry(SampleFileInfo* info) {
    SampleFileInfoList& files = info->server->sampleFileList;
    std::lock_guard<std::mutex> lock(files.mutex);
    info->loadState = kLoadFinished;
    files.deleteSampleFile(info, 1);
    return 0;
}

// The file stays held but has no segments: its clients see it finished and
// their attach fails.
int finishWithoutSegments(SampleFileInfo* info) {
    StreamableSampleFile* reader;
    {
        std::lock_guard<std::mutex> lock(info->server->sampleFileList.mutex);
        for (char*& buffer : info->rawBuffers) {
            RawBufferPool::shared().release(buffer);
            buffer = nullptr;
        }
        reader = info->reader;
        info->reader = nullptr;
        info->loadState = kLoadFinished;
    }
    delete reader;
    return 0;
}

// Reads the raw bytes in pieces; stops at the first short piece, or when the
// process is ending. What stays unread is zeros.
void readRawData(StreamableSampleFile* reader, unsigned char* buffer, int64_t rawSize) {
    int64_t done = 0;
    while (done < rawSize && !SampleFileServer::isTerminating()) {
        const int64_t remaining = rawSize - done;
        const unsigned wanted = remaining < DiskReader::kBytesPerRead ? static_cast<unsigned>(remaining)
                                                                       : DiskReader::kBytesPerRead;
        unsigned count = wanted;
        reader->readRawSamples(static_cast<int>(done), &count, buffer + done);
        if (count != wanted) {
            done += count <= wanted ? count : 0;
            break;
        }
        done += count;
    }
    if (done < rawSize)
        memset(buffer + done, 0, static_cast<size_t>(rawSize - done));
}

}  // namespace

SampleFileInfo* DiskReader::takeNextQueuedEntry(SampleFileServer* server) {
    std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
    for (int i = 0; i < server->sampleFileList.getCount(); i++) {
        SampleFileInfo* info = server->sampleFileList.getSampleFile(i);
        if (info->loadState == kLoadQueued) {
            info->loadState = kLoadReading;
            return info;
        }
    }
    server->diskReader->isRunning = 0;
    return nullptr;
}

void DiskReader::notifyClientsLoadingFinished(SampleFileServer* server) {
    // The ports are copied under the mutex and the notices sent without it:
    // a slow client must not hold up the serving thread meanwhile.
    std::vector<std::shared_ptr<platform::RemotePort>> ports;
    {
        std::lock_guard<std::mutex> lock(server->clientList.mutex);
        for (int i = 0; i < server->clientList.getCount(); i++)
            ports.push_back(server->clientList.getClient(i)->clientPort);
    }
    const char notice = 1;
    for (const std::shared_ptr<platform::RemotePort>& port : ports)
        SampleFileServerUtilities::sendMessage(&notice, 1, port.get(), kStoC_LoadingPassFinished, nullptr, 0,
                                               kLoadingFinishedTimeoutSeconds);
}

void* DiskReader::diskReaderStaticThreadFunction(void* argument) {
    if (!SampleFileServer::beginEntryJob())
        return nullptr;
    SampleFileServer* server = static_cast<SampleFileServer*>(argument);
    {
        std::lock_guard<std::mutex> lock(server->sampleFileList.mutex);
        server->diskReader->isRunning = 1;
    }
    bool passOver = false;
    RhFileSystem::beginLookupPass();
    while (!SampleFileServer::isTerminating()) {
        SampleFileInfo* info = takeNextQueuedEntry(server);
        if (info == nullptr) {
            passOver = true;
            break;
        }
        readOneSampleFile(info);
    }
    RhFileSystem::endLookupPass();
    SampleFileServer::endEntryJob();
    // The notices touch no entry; the server object is never freed.
    if (passOver)
        notifyClientsLoadingFinished(server);
    return nullptr;
}

int DiskReader::readOneSampleFile(SampleFileInfo* info) {
    for (int channel = 0; channel < kMaxChannels; channel++) {
        info->rawBuffers[channel] = nullptr;
        info->channelData[channel] = nullptr;
    }
    if (sTestStageHook != nullptr)
        sTestStageHook(info, 0);
    // The factory normalises the path it is given; the entry keeps the path
    // as the client sent it, since clients name segments by that text.
    RhPath path(info->path);
    StreamableSampleFile* reader = StreamableSampleFile::constructSampleFile(&path, nullptr);
    if (reader == nullptr)
        return dropEntry(info);
    info->reader = reader;
    if (reader->numChannels > kMaxChannels)
        return finishWithoutSegments(info);  // one segment per channel, two at most
    {
        std::lock_guard<std::mutex> lock(info->server->sampleFileList.mutex);
        if (info->frameCount > static_cast<uint32_t>(reader->numSampleFrames))
            info->frameCount = static_cast<uint32_t>(reader->numSampleFrames);
    }
    if (reader->getFileFormat() != SampleFileFormatCompressed) {
        const int64_t rawSize =
            static_cast<int64_t>(info->frameCount) * reader->bytesPerSample * reader->numChannels;
        // The readers address raw bytes with int offsets.
        if (rawSize > INT32_MAX)
            return dropEntry(info);
        char* buffer = RawBufferPool::shared().acquire(static_cast<size_t>(rawSize) + 16,
                                                       [] { return SampleFileServer::isTerminating() != 0; });
        if (buffer == nullptr)
            return dropEntry(info);
        info->rawBuffers[0] = buffer;
        readRawData(reader, reinterpret_cast<unsigned char*>(buffer), rawSize);
    }
    // The conversion job reopens a compressed file's stream when it decodes;
    // until then no descriptor is held for it.
    reader->closeStream();
    setLoadState(info, kLoadConverting);
    if (!ThreadPool::submitJob(info, i2fConverter::i2fStaticThreadFunction, kThreadPriorityHigh, kThreadSubPool0, 0,
                               1))
        return finishWithoutSegments(info);
    return 1;
}
