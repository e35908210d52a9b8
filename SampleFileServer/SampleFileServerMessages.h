// The records that clients send to the server, at their fixed offsets, and
// the checks that a received block of bytes must pass before any field of it
// is read. Integers are 32-bit signed in host byte order; texts are
// NUL-terminated. The wire format is described in docs/protocol.md.
#pragma once

#include <cstddef>
#include <cstdint>

// Message ids from client to server.
enum SampleFileServerMessageId : int32_t {
    kCtoS_RegisterClient = 0,
    kCtoS_UnregisterClient = 1,
    kCtoS_PauseOrResumeServer = 2,
    kCtoS_ReplyListOfSampleFilesInUseByClient = 3,
    kCtoS_GetLoadProgress = 4,
};

// Message ids from server to client; each carries one byte of no meaning.
enum SampleFileClientMessageId : int32_t {
    kStoC_StatusPoll = 0,              // the client answers (any reply) to show it is alive
    kStoC_LoadingPassFinished = 1,     // one-way: the server has no more files waiting
};

constexpr int kClientNameBytes = 256;        // name field, NUL included
constexpr int kMaxEntriesPerListChunk = 300;  // entries of one message 3
constexpr int kLoadProgressReplyBytes = 4;   // one int32
constexpr int kStatusReplyBytes = 4;         // one int32, a SampleFileServerReplyStatus

// The reply to message 0 and to every chunk of message 3, for a sender that
// asks for one (one-way senders get none): one int32.
enum SampleFileServerReplyStatus : int32_t {
    kReplyTaken = 0,          // message 0: registered, or registered already; message 3:
                              // the chunk was taken (a final one: the list is in force)
    kReplyOverLimit = 1,      // dropped whole for one of the server's limits: a list (the
                              // client's previous list stays in force) or a registration
    kReplyNotRegistered = 2,  // message 3 from a name that is not registered; message 0
                              // whose port the server could not reach
};
constexpr float kStatusPollTimeoutSeconds = 5.0f;
constexpr float kLoadingFinishedTimeoutSeconds = 5.0f;

struct CtoS_RegisterClient_MessageData {
    char clientName[kClientNameBytes];  // client name = name of its port
    char reserved[8];                   // no effect
};

struct CtoS_UnregisterClient_MessageData {
    char clientName[kClientNameBytes];
};

struct CtoS_PauseOrResumeServer_MessageData {
    char clientName[kClientNameBytes];  // not read
    int32_t pauseValue;
};

// Fixed part of message 3; `entryCount` NUL-terminated paths follow it back
// to back.
struct CtoS_ReplyListOfSampleFilesInUseByClient_MessageData {
    char clientName[kClientNameBytes];
    int32_t listId;            // one value for all chunks of one list
    int32_t isFinalChunk;      // non-zero: the list is complete
    int32_t wireDownSegments;  // non-zero: lock new segments in memory
    int32_t entryCount;        // 0 to 300
    int32_t frameCounts[kMaxEntriesPerListChunk];
};

struct CtoS_GetLoadProgress_MessageData {
    char clientName[kClientNameBytes];
};

static_assert(sizeof(CtoS_RegisterClient_MessageData) == 264, "record size is part of the wire format");
static_assert(sizeof(CtoS_UnregisterClient_MessageData) == 256, "record size is part of the wire format");
static_assert(sizeof(CtoS_PauseOrResumeServer_MessageData) == 260, "record size is part of the wire format");
static_assert(offsetof(CtoS_PauseOrResumeServer_MessageData, pauseValue) == 256, "wire offset");
static_assert(sizeof(CtoS_ReplyListOfSampleFilesInUseByClient_MessageData) == 1472,
              "record size is part of the wire format");
static_assert(offsetof(CtoS_ReplyListOfSampleFilesInUseByClient_MessageData, listId) == 256, "wire offset");
static_assert(offsetof(CtoS_ReplyListOfSampleFilesInUseByClient_MessageData, isFinalChunk) == 260, "wire offset");
static_assert(offsetof(CtoS_ReplyListOfSampleFilesInUseByClient_MessageData, wireDownSegments) == 264,
              "wire offset");
static_assert(offsetof(CtoS_ReplyListOfSampleFilesInUseByClient_MessageData, entryCount) == 268, "wire offset");
static_assert(offsetof(CtoS_ReplyListOfSampleFilesInUseByClient_MessageData, frameCounts) == 272, "wire offset");
static_assert(sizeof(CtoS_GetLoadProgress_MessageData) == 256, "record size is part of the wire format");

// Checks of received bytes. A record passes when the data holds at least
// the fixed record and, where a name is read, the name ends with a NUL
// within its 256 bytes.
class SampleFileServerMessages {
public:
    // Fixed size of the record of message `messageId`; 0 for an unknown id.
    static size_t recordSize(int32_t messageId);

    // True when `data` (length bytes) may be read as the record of
    // `messageId`: known id, long enough, and a terminated name for every
    // message whose name the server reads (all but message 2). For message 3
    // also: entryCount is 0 to 300 and all its paths end with a NUL inside
    // the data (bytes after the last path are allowed and ignored).
    static bool isWellFormed(int32_t messageId, const char* data, size_t length);
};
