// What the server and its clients share: the names of the ports and of the
// server process, and the one routine that sends a message to a port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {
class RemotePort;
}

class SampleFileServerUtilities {
public:
    // Name of the port the server serves.
    static constexpr const char* kServerManagerPortName = "ServerManagerPort_v3";
    // Clients put this into the names of their own ports.
    static constexpr const char* kClientManagerPortNameSuffix = "ClientManager";
    // Name of the server's executable.
    static constexpr const char* kServerProcessName = "QuilloranticsServer";

    // Status returned by sendMessage when there is nothing to send or no port.
    static constexpr int kUnsendableMessage = -7;

    // Sends `length` bytes of `payload` as message `messageId` to `port`, with
    // send and receive time-outs of `timeoutSeconds`. With waitForReply
    // non-zero it waits for the reply and stores it in *replyOut when given;
    // otherwise the message goes one-way. Returns 0 on success, -7 when
    // payload or port is null (or length is negative), else the port's
    // negative status (platform::PortStatus).
    static int sendMessage(const void* payload, int length, platform::RemotePort* port, int messageId,
                           std::string* replyOut, int waitForReply, float timeoutSeconds);

    // ---- Raw shared-memory objects (SampleFileServerUtilities_Shm.cpp) ----

    // Opens the shared-memory object `name` and maps `size` bytes of it,
    // raised to a multiple of the page size. create non-zero: removes any
    // object of that name, creates it afresh (owner-only), sizes it and maps
    // it read-write, then locks it into memory when wireDown is non-zero and
    // RhMemory::okayToLock allows (a refused lock only prints a line).
    // create 0: opens an existing object and maps it read-only; an object
    // smaller than the raised size is refused. Returns the base, or null with
    // *errOut = 1 (open failed), 2 (sizing failed) or 3 (mapping failed);
    // *errOut is untouched on success. *fdOut receives the open descriptor,
    // or -1 when none stays open (after a failure nothing stays open, and in
    // create mode the half-made object is removed). errOut and fdOut may be null.
    static void* createOrAttachSharedMemoryBlock_IgnoreHashCollisions(int create, const char* name, size_t size,
                                                                     int* errOut, int* fdOut, int wireDown);
    // The create mode of createOrAttachSharedMemoryBlock_IgnoreHashCollisions.
    static void* createSharedMemoryBlock_IgnoreHashCollisions(const char* name, size_t size, int* errOut,
                                                             int* fdOut, int wireDown);
    // The attach mode of createOrAttachSharedMemoryBlock_IgnoreHashCollisions.
    static void* attachToSharedMemoryBlock_IgnoreHashCollisions(const char* name, size_t size, int* errOut,
                                                               int* fdOut);
    // Removes the object `name`; the result of shm_unlink (0 or -1 with errno).
    static int unlinkSharedMemoryBlock(const char* name);
    // Where the system keeps its shared-memory objects as files.
    static constexpr const char* kSharedMemoryFolder = "/dev/shm";
    // The system's name for the object `name`: a leading "/" and every "/"
    // inside the name replaced by "~" (the system refuses "/" inside names;
    // "~" never occurs in segment names, so distinct names stay distinct).
    static std::string sharedMemoryObjectName(const char* name);
    // size raised to the next multiple of the page size (unchanged when it is one).
    static size_t roundUpToPageSize(size_t size);
};
