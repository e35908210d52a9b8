// What the server and its clients share: the names of the ports and of the
// server process, and the one routine that sends a message to a port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct stat;

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
    //
    // Every object is private to one user and one port folder: its name
    // carries the effective uid and the port folder's identity (see
    // sharedMemoryObjectName), and an object that is not owned by the
    // effective user, or that grants any permission to group or others, is
    // never mapped.

    // Values of *errOut.
    static constexpr int kShmOpenFailed = 1;
    static constexpr int kShmSizingFailed = 2;     // also: its memory could not be reserved
    static constexpr int kShmMappingFailed = 3;
    static constexpr int kShmNotOurs = 4;          // attach: another user's object, or open to others

    // Opens the shared-memory object `name` and maps `size` bytes of it,
    // raised to a multiple of the page size. create non-zero: removes any
    // object of that name, creates it afresh and exclusively (owner-only; an
    // object that reappears under the name in between is never adopted),
    // sizes it, reserves its memory (so that filling it can never fault for
    // want of memory) and maps it read-write, then locks it into memory when
    // wireDown is non-zero and RhMemory::okayToLock allows (a refused lock
    // only prints a line). create 0: opens an existing object and maps it
    // read-only; an object that is not ours (kShmNotOurs) or smaller than
    // the raised size is refused. Returns the base, or null with *errOut =
    // 1 (open failed), 2 (sizing or reserving failed), 3 (mapping failed)
    // or 4 (not ours); *errOut is untouched on success. *fdOut receives the
    // open descriptor, or -1 when none stays open (after a failure nothing
    // stays open, and in create mode the half-made object is removed).
    // errOut and fdOut may be null.
    static void* createOrAttachSharedMemoryBlock_IgnoreHashCollisions(int create, const char* name, size_t size,
                                                                     int* errOut, int* fdOut, int wireDown);
    // The create mode of createOrAttachSharedMemoryBlock_IgnoreHashCollisions.
    static void* createSharedMemoryBlock_IgnoreHashCollisions(const char* name, size_t size, int* errOut,
                                                             int* fdOut, int wireDown);
    // The attach mode of createOrAttachSharedMemoryBlock_IgnoreHashCollisions.
    static void* attachToSharedMemoryBlock_IgnoreHashCollisions(const char* name, size_t size, int* errOut,
                                                               int* fdOut);

    // What openOwnedSharedMemoryBlock found.
    enum ShmObjectState : int {
        kShmObjectAbsent = 0,      // no object has that name
        kShmObjectOurs = 1,        // ours: *fdOut is open read-only, the caller closes it
        kShmObjectNotOurs = 2,     // another user's, open to others, or no regular object
        kShmObjectUnopenable = 3,  // the open failed otherwise (EMFILE, ...)
    };
    // Opens the existing object `name` read-only, for reading without a
    // mapping (pread cannot fault the way a mapping beyond the object's end
    // does). The ownership test is made on the opened descriptor. On
    // kShmObjectOurs *fdOut holds the descriptor and *sizeOut the size in
    // bytes; otherwise nothing stays open. fdOut must not be null.
    static int openOwnedSharedMemoryBlock(const char* name, int* fdOut, uint64_t* sizeOut);
    // True when `st` describes a regular object owned by the effective user
    // with no permission bit for group or others.
    static bool isOursAlone(const struct stat& st);

    // Removes the object `name`; the result of shm_unlink (0 or -1 with errno).
    static int unlinkSharedMemoryBlock(const char* name);
    // Where the system keeps its shared-memory objects as files.
    static constexpr const char* kSharedMemoryFolder = "/dev/shm";
    // The start of every object name of the calling user and port folder:
    // "/Quillorantics-<euid>-<port folder identity>-" (the identity as
    // platform::portFolderIdentity gives it). Empty when the port folder is
    // refused: then no object can be named.
    static std::string sharedMemoryObjectPrefix();
    // The system's name for the object `name`: the prefix above followed by
    // `name` with every "/" replaced by "~" (the system refuses "/" inside
    // names; "~" never occurs in segment names, so distinct names stay
    // distinct). Empty when the prefix is.
    static std::string sharedMemoryObjectName(const char* name);
    // The same with a prefix computed once by the caller.
    static std::string sharedMemoryObjectName(const std::string& prefix, const char* name);
    // size raised to the next multiple of the page size (unchanged when it is one).
    static size_t roundUpToPageSize(size_t size);
};
