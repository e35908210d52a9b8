// The registry of clients: one ClientInfo per registered client, in order
// of registration, names unique.
//
// Locking: ClientInfoList::mutex guards the list (lookup, append, removal)
// and is taken after the SampleFileInfoList mutex whenever both are held.
// A ClientInfo is freed only by SampleFileServer::deleteClient, which holds
// the sampleFileList mutex and then this mutex while it removes and
// destroys the record. Code that uses a ClientInfo pointer therefore holds
// one of the two mutexes from the lookup to its last use.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "RhDynArray.h"
#include "RhString.h"
#include "RhStringList.h"

namespace platform {
class RemotePort;
}

class ClientInfo {
public:
    // A record for `name` (null reads as ""), with no port, empty pending
    // lists, pendingListId -1, pendingBytes 0 and droppedListId -1.
    explicit ClientInfo(const char* name);
    ~ClientInfo();
    ClientInfo(const ClientInfo&) = delete;
    ClientInfo& operator=(const ClientInfo&) = delete;

    // Empties the pending lists, sets pendingListId to -1 and pendingBytes to 0.
    void clearPendingList();

    RhString clientName;                            // also the name of the client's port
    std::shared_ptr<platform::RemotePort> clientPort;  // the server's sending end to the client
    RhStringList pendingPaths;                      // paths of the chunks of an unfinished list
    RhIntArray pendingFrameCounts;                  // their frame counts, same order
    int32_t pendingListId;                          // listId of those chunks; -1 when none
    int64_t pendingBytes;                           // bytes those chunks brought: each path
                                                    // with its NUL, and 4 for its frame count
    int32_t droppedListId;                          // listId of a list dropped for its length whose
                                                    // remaining chunks are ignored; -1 when none
};

// Owns its ClientInfo records (item: ClientInfo*).
class ClientInfoList : public RhDynArray {
public:
    ClientInfoList();
    // Destroys every record still held.
    ~ClientInfoList() override;

    // The client whose name equals `name` byte for byte, or null (also for
    // a null name). Takes the mutex unless alreadyLocked.
    ClientInfo* findClientByName(const char* name, int alreadyLocked = 0);
    // The client whose port is `port`, or null. Takes the mutex unless alreadyLocked.
    ClientInfo* findClientByPort(const platform::RemotePort* port, int alreadyLocked = 0);
    // The record at index, or null out of range. The caller holds the mutex.
    ClientInfo* getClient(int index) const;

    std::mutex mutex;

private:
    // The first client for which matches(client) holds, or null. Takes the
    // mutex unless alreadyLocked.
    template <typename Matches>
    ClientInfo* findFirst(Matches matches, int alreadyLocked);
};
