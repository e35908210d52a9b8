#include "SampleFileInfoList.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <iterator>

#include "RawBufferPool.h"
#include "SampleFile.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"

SampleFileInfo::SampleFileInfo(SampleFileServer* server)
    : server(server), frameCount(0), loadState(kLoadQueued), reader(nullptr), segmentsLocked(0) {
    for (ClientInfo*& slot : clientSlots)
        slot = nullptr;
    for (int channel = 0; channel < kMaxChannels; channel++) {
        rawBuffers[channel] = nullptr;
        channelData[channel] = nullptr;
        segmentFds[channel] = -1;
    }
}

SampleFileInfo::~SampleFileInfo() {
    for (int channel = 0; channel < kMaxChannels; channel++) {
        RawBufferPool::shared().release(rawBuffers[channel]);
        rawBuffers[channel] = nullptr;
        if (channelData[channel] != nullptr) {
            void* base = reinterpret_cast<char*>(channelData[channel]) - SampleFileSharedmemSegment::kHeaderSize;
            // A name unlinked already (the process is ending) is not unlinked
            // again: by now it may belong to a segment made by someone else.
            const int mode = segmentNames[channel].getLength() > 0 ? SampleFileSharedmemSegment::kReleaseDestroy
                                                                   : SampleFileSharedmemSegment::kReleaseDetach;
            SampleFileSharedmemSegment::releaseSharedMemSegment(mode,
                                                                &segmentNames[channel],
                                                                static_cast<int>(frameCount), base,
                                                                segmentFds[channel]);
            channelData[channel] = nullptr;
            segmentFds[channel] = -1;
        }
    }
    delete reader;
    reader = nullptr;
    for (RhString& name : segmentNames)
        name.copyFrom(static_cast<const char*>(nullptr));
    path.copyFrom(static_cast<const char*>(nullptr));
}

int SampleFileInfo::getClientSlot(ClientInfo* client, int claim) {
    if (client == nullptr)
        return -1;
    for (int i = 0; i < kClientSlotCount; i++)
        if (clientSlots[i] == client)
            return i;
    if (!claim)
        return -1;
    for (int i = 0; i < kClientSlotCount; i++) {
        if (clientSlots[i] == nullptr) {
            clientSlots[i] = client;
            return i;
        }
    }
    return -1;
}

int SampleFileInfo::releaseClientSlot(ClientInfo* client) {
    if (client == nullptr)
        return 0;
    for (ClientInfo*& slot : clientSlots) {
        if (slot == client) {
            slot = nullptr;
            return 1;
        }
    }
    return 0;
}

void SampleFileInfo::unlinkSegmentNames() {
    for (RhString& name : segmentNames) {
        if (name.getLength() == 0)
            continue;
        SampleFileServerUtilities::unlinkSharedMemoryBlock(name.getText());
        name.copyFrom(static_cast<const char*>(nullptr));
    }
}

bool SampleFileInfo::hasNoClient() const {
    for (ClientInfo* slot : clientSlots)
        if (slot != nullptr)
            return false;
    return true;
}

SampleFileInfoList::SampleFileInfoList() : RhDynArray(static_cast<int>(sizeof(SampleFileInfo*))) {
    setIncrementCount(20000);
}

SampleFileInfoList::~SampleFileInfoList() {
    for (int i = 0; i < getCount(); i++)
        delete getSampleFile(i);
}

SampleFileInfo* SampleFileInfoList::getSampleFile(int index) const {
    void* item = (*this)[index];
    if (item == nullptr)
        return nullptr;
    SampleFileInfo* info;
    memcpy(&info, item, sizeof info);
    return info;
}

SampleFileInfo* SampleFileInfoList::findSampleFileByName(const char* path, int alreadyLocked, int& insertPos) {
    if (path == nullptr)
        path = "";
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    if (!alreadyLocked)
        lock.lock();
    const int n = getCount();
    if (n == 0) {
        insertPos = -1;
        return nullptr;
    }
    SampleFileInfo* first = getSampleFile(0);
    int order = strcmp(first->path.getText(), path);
    if (order == 0)
        return first;
    if (order > 0) {
        insertPos = -1;
        return nullptr;
    }
    if (n == 1) {
        insertPos = 0;
        return nullptr;
    }
    SampleFileInfo* last = getSampleFile(n - 1);
    order = strcmp(last->path.getText(), path);
    if (order == 0)
        return last;
    if (order < 0) {
        insertPos = n - 1;
        return nullptr;
    }
    return findRecursive(path, 0, n - 1, insertPos);
}

SampleFileInfo* SampleFileInfoList::findRecursive(const char* path, int lo, int hi, int& insertPos) {
    for (;;) {
        if (hi <= lo) {  // no valid call gets here; bisecting on would never end
            printf("RF:  error b !!\n");
            return nullptr;
        }
        if (lo + 1 == hi) {
            insertPos = lo;
            return nullptr;
        }
        // lo + hi cannot overflow for valid indices; the checks below catch misuse.
        const long long sum = static_cast<long long>(lo) + hi;
        const int mid = static_cast<int>(sum / 2);
        SampleFileInfo* entry = sum < -1 || mid < 0 || mid >= getCount() ? nullptr : getSampleFile(mid);
        if (entry == nullptr) {
            printf("RF:  error b !!\n");
            return nullptr;
        }
        const int order = strcmp(entry->path.getText(), path);
        if (order == 0)
            return entry;
        if (order < 0)
            lo = mid;
        else
            hi = mid;
    }
}

int SampleFileInfoList::insertSampleFile(SampleFileInfo* info, int insertPos) {
    void* stored;
    if (getCount() == 0)
        stored = append(&info);
    else if (insertPos < 0)
        stored = insertBefore(&info, 0);
    else
        stored = insertAfter(&info, insertPos);
    return stored != nullptr ? 1 : 0;
}

int SampleFileInfoList::insertSampleFiles(std::vector<SampleFileInfo*>& batch) {
    if (batch.empty())
        return 1;
    auto byPath = [](const SampleFileInfo* a, const SampleFileInfo* b) {
        return strcmp(a->path.getText(), b->path.getText()) < 0;
    };
    std::sort(batch.begin(), batch.end(), byPath);
    std::vector<SampleFileInfo*> merged;
    merged.reserve(static_cast<size_t>(getCount()) + batch.size());
    std::vector<SampleFileInfo*> held;
    held.reserve(static_cast<size_t>(getCount()));
    for (int i = 0; i < getCount(); i++)
        held.push_back(getSampleFile(i));
    std::merge(held.begin(), held.end(), batch.begin(), batch.end(), std::back_inserter(merged), byPath);
    // Grown first, so that a failure leaves the list as it was.
    for (size_t i = held.size(); i < merged.size(); i++) {
        SampleFileInfo* none = nullptr;
        if (append(&none) == nullptr) {
            deleteElements(static_cast<int>(held.size()), static_cast<int>(i - held.size()));
            return 0;
        }
    }
    for (size_t i = 0; i < merged.size(); i++)
        set(&merged[i], static_cast<int>(i));
    return 1;
}

void SampleFileInfoList::deleteSampleFile(SampleFileInfo* info, int alreadyLocked) {
    if (info == nullptr)
        return;
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    if (!alreadyLocked)
        lock.lock();
    const int index = getIndexOfObject(info);
    if (index < 0)
        return;
    deleteElement(index);
    delete info;
}
