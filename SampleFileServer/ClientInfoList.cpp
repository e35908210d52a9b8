#include "ClientInfoList.h"

#include <cstring>

#include "MessagePort.h"

ClientInfo::ClientInfo(const char* name) : clientName(name != nullptr ? name : ""), pendingListId(-1) {}

ClientInfo::~ClientInfo() = default;

void ClientInfo::clearPendingList() {
    pendingPaths.clear();
    pendingFrameCounts.clear();
    pendingListId = -1;
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

ClientInfo* ClientInfoList::findClientByName(const char* name, int alreadyLocked) {
    if (name == nullptr)
        return nullptr;
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    if (!alreadyLocked)
        lock.lock();
    for (int i = 0; i < getCount(); i++) {
        ClientInfo* client = getClient(i);
        if (client != nullptr && strcmp(client->clientName.getText(), name) == 0)
            return client;
    }
    return nullptr;
}

ClientInfo* ClientInfoList::findClientByPort(const platform::RemotePort* port, int alreadyLocked) {
    if (port == nullptr)
        return nullptr;
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    if (!alreadyLocked)
        lock.lock();
    for (int i = 0; i < getCount(); i++) {
        ClientInfo* client = getClient(i);
        if (client != nullptr && client->clientPort.get() == port)
            return client;
    }
    return nullptr;
}
