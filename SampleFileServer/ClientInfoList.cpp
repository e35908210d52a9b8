#include "ClientInfoList.h"

#include <cstring>

#include "MessagePort.h"

namespace {

// Pending lists grow by this many items at first, then by twice as many at
// each growth: a list of many chunks costs linear, not quadratic, copying.
constexpr int kPendingFirstIncrement = 32;

void growGeometrically(RhDynArray& list) {
    list.setIncrementCount(kPendingFirstIncrement);
    list.setIncrementCountScale(2);
}

}  // namespace

ClientInfo::ClientInfo(const char* name)
    : clientName(name != nullptr ? name : ""), pendingListId(-1), pendingBytes(0), droppedListId(-1) {
    growGeometrically(pendingPaths);
    growGeometrically(pendingFrameCounts);
}

ClientInfo::~ClientInfo() = default;

void ClientInfo::clearPendingList() {
    pendingPaths.clear();
    pendingFrameCounts.clear();
    growGeometrically(pendingPaths);  // the next list starts small again
    growGeometrically(pendingFrameCounts);
    pendingListId = -1;
    pendingBytes = 0;
}

ClientInfoList::ClientInfoList() : RhDynArray(static_cast<int>(sizeof(ClientInfo*))) {}

ClientInfoList::~ClientInfoList() {
    for (int i = 0; i < getCount(); i++)
        delete getClient(i);
}

ClientInfo* ClientInfoList::getClient(int index) const {
    void* item = (*this)[index];
    if (item == nullptr)
        return nullptr;
    ClientInfo* client;
    memcpy(&client, item, sizeof client);
    return client;
}

template <typename Matches>
ClientInfo* ClientInfoList::findFirst(Matches matches, int alreadyLocked) {
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    if (!alreadyLocked)
        lock.lock();
    for (int i = 0; i < getCount(); i++) {
        ClientInfo* client = getClient(i);
        if (client != nullptr && matches(client))
            return client;
    }
    return nullptr;
}

ClientInfo* ClientInfoList::findClientByName(const char* name, int alreadyLocked) {
    if (name == nullptr)
        return nullptr;
    return findFirst([name](const ClientInfo* c) { return strcmp(c->clientName.getText(), name) == 0; },
                     alreadyLocked);
}

ClientInfo* ClientInfoList::findClientByPort(const platform::RemotePort* port, int alreadyLocked) {
    if (port == nullptr)
        return nullptr;
    return findFirst([port](const ClientInfo* c) { return c->clientPort.get() == port; }, alreadyLocked);
}
