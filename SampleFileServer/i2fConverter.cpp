#include "i2fConverter.h"

#include <cstdlib>
#include <mutex>

#include "DiskReader.h"
#include "RawBufferPool.h"
#include "RhRawToFloat.h"
#include "SampleFile.h"
#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "SampleFileSharedmemSegment.h"

namespace {

using Segment = SampleFileSharedmemSegment;

// Frames converted between two looks at whether the process is ending.
constexpr int32_t kFramesPerPiece = 1 << 16;

void convertRaw(SampleFileInfo* info, const StreamableSampleFile* reader, int channels) {
    const int32_t frames = static_cast<int32_t>(info->frameCount);
    const size_t frameBytes = static_cast<size_t>(reader->bytesPerSample) * static_cast<size_t>(channels);
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(info->rawBuffers[0]);
    for (int32_t start = 0; start < frames && !SampleFileServer::isTerminating(); start += kFramesPerPiece) {
        const int32_t count = frames - start < kFramesPerPiece ? frames - start : kFramesPerPiece;
        float* destinations[kMaxChannels];
        for (int c = 0; c < kMaxChannels; c++)
            destinations[c] = c < channels && info->channelData[c] != nullptr ? info->channelData[c] + start : nullptr;
        RhConvertSamplesRawToFloat(count, raw + frameBytes * static_cast<size_t>(start), reader->interleaved,
                                   channels, reader->bytesPerSample, reader->byteOrder, destinations);
    }
}

void freeRawBuffers(SampleFileInfo* info) {
    for (char*& buffer : info->rawBuffers) {
        RawBufferPool::shared().release(buffer);
        buffer = nullptr;
    }
}

}  // namespace

bool i2fConverter::createSegments(SampleFileInfo* info, int channels) {
    const int frames = static_cast<int>(info->frameCount);
    const int wireDown = info->server->wireDownSegments.load();
    for (int channel = 0; channel < channels; channel++) {
        if (SampleFileServer::isTerminating())
            return false;
        int fd = -1;
        RhString name;
        void* base = Segment::createSharedMemSegment(&info->path, channel, frames, fd, &name, wireDown);
        if (base == nullptr)
            return false;
        // Recorded at once, so that an end of the process between creation
        // and filling still finds the name to unlink. terminateSelf unlinks
        // the names recorded before it looked; one recorded after that is
        // unlinked here.
        std::lock_guard<std::mutex> lock(info->server->sampleFileList.mutex);
        info->channelData[channel] = Segment::samplesOf(base);
        info->segmentFds[channel] = fd;
        info->segmentNames[channel] = name;
        if (SampleFileServer::isTerminating())
            info->unlinkSegmentNames();
    }
    return true;
}

void i2fConverter::dropSegments(SampleFileInfo* info) {
    float* data[kMaxChannels];
    int fds[kMaxChannels];
    RhString names[kMaxChannels];
    {
        std::lock_guard<std::mutex> lock(info->server->sampleFileList.mutex);
        for (int c = 0; c < kMaxChannels; c++) {
            data[c] = info->channelData[c];
            fds[c] = info->segmentFds[c];
            names[c] = info->segmentNames[c];
            info->channelData[c] = nullptr;
            info->segmentFds[c] = -1;
            info->segmentNames[c].copyFrom(static_cast<const char*>(nullptr));
        }
    }
    for (int c = 0; c < kMaxChannels; c++) {
        if (data[c] == nullptr)
            continue;
        void* base = reinterpret_cast<char*>(data[c]) - Segment::kHeaderSize;
        const int mode = names[c].getLength() > 0 ? Segment::kReleaseDestroy : Segment::kReleaseDetach;
        Segment::releaseSharedMemSegment(mode, &names[c], static_cast<int>(info->frameCount), base, fds[c]);
    }
    freeRawBuffers(info);
}

void i2fConverter::fillSegments(SampleFileInfo* info, int channels) {
    StreamableSampleFile* reader = info->reader;
    if (reader->getFileFormat() == SampleFileFormatCompressed) {
        unsigned endFrames = info->frameCount;
        reader->retrieveSamples(channels, info->channelData, &endFrames, 0, static_cast<int>(info->frameCount), 0,
                                nullptr, -1.0f);
        reader->closeStream();
    } else {
        convertRaw(info, reader, channels);
        freeRawBuffers(info);
    }
}

void* i2fConverter::i2fStaticThreadFunction(void* argument) {
    if (!SampleFileServer::beginEntryJob())
        return nullptr;
    SampleFileInfo* info = static_cast<SampleFileInfo*>(argument);
    if (DiskReader::sTestStageHook != nullptr)
        DiskReader::sTestStageHook(info, 1);
    StreamableSampleFile* reader = info->reader;
    {
        std::lock_guard<std::mutex> lock(info->server->sampleFileList.mutex);
        if (info->frameCount > static_cast<uint32_t>(reader->numSampleFrames))
            info->frameCount = static_cast<uint32_t>(reader->numSampleFrames);
    }
    const int channels = reader->numChannels;
    if (!createSegments(info, channels)) {
        dropSegments(info);
    } else {
        fillSegments(info, channels);
        std::lock_guard<std::mutex> lock(info->server->sampleFileList.mutex);
        for (int c = 0; c < kMaxChannels; c++) {
            if (info->segmentFds[c] >= 0)
                Segment::releaseSharedMemSegment(Segment::kReleaseCloseDescriptor, &info->segmentNames[c], 0,
                                                 nullptr, info->segmentFds[c]);
            info->segmentFds[c] = -1;
        }
    }
    {
        std::lock_guard<std::mutex> lock(info->server->sampleFileList.mutex);
        info->loadState = kLoadFinished;  // the job's last access to the entry
    }
    SampleFileServer::endEntryJob();
    return nullptr;
}
