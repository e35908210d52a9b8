#include "SampleFileServerMessages.h"

#include <cstring>

size_t SampleFileServerMessages::recordSize(int32_t messageId) {
    switch (messageId) {
        case kCtoS_RegisterClient: return sizeof(CtoS_RegisterClient_MessageData);
        case kCtoS_UnregisterClient: return sizeof(CtoS_UnregisterClient_MessageData);
        case kCtoS_PauseOrResumeServer: return sizeof(CtoS_PauseOrResumeServer_MessageData);
        case kCtoS_ReplyListOfSampleFilesInUseByClient:
            return sizeof(CtoS_ReplyListOfSampleFilesInUseByClient_MessageData);
        case kCtoS_GetLoadProgress: return sizeof(CtoS_GetLoadProgress_MessageData);
        default: return 0;
    }
}

static bool pathsFitInData(const char* data, size_t length) {
    CtoS_ReplyListOfSampleFilesInUseByClient_MessageData fixed;
    memcpy(&fixed, data, sizeof fixed);
    if (fixed.entryCount < 0 || fixed.entryCount > kMaxEntriesPerListChunk)
        return false;
    size_t offset = sizeof fixed;
    for (int32_t i = 0; i < fixed.entryCount; i++) {
        if (offset >= length)
            return false;
        const void* end = memchr(data + offset, '\0', length - offset);
        if (end == nullptr)
            return false;
        offset = static_cast<size_t>(static_cast<const char*>(end) - data) + 1;
    }
    return true;
}

bool SampleFileServerMessages::isWellFormed(int32_t messageId, const char* data, size_t length) {
    size_t size = recordSize(messageId);
    if (size == 0 || data == nullptr || length < size)
        return false;
    if (messageId != kCtoS_PauseOrResumeServer && memchr(data, '\0', kClientNameBytes) == nullptr)
        return false;
    if (messageId == kCtoS_ReplyListOfSampleFilesInUseByClient)
        return pathsFitInData(data, length);
    return true;
}
