// ServerStatus: the read-only status port that the server serves beside its
// message port, and the JSON document that it answers with.
//
// The port "ServerStatusPort_v1" uses the frames and the same-user rule of
// every port (docs/protocol.md). It takes one request, kStatusRequest, whose
// data are empty or two int32 values (the first client and the first file to
// list), and answers with one page of the document described in
// docs/status.md. Requests change nothing in the server.
//
// Locking: a page is built with the sampleFileList mutex and then the
// clientList mutex held, in the server's lock order, and with nothing else
// done under them than reading the registries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

class ClientInfoList;
class DiskReader;
class SampleFileInfoList;
class SampleFileServer;

namespace platform {
class RunLoop;
}

class ServerStatus {
public:
    static constexpr const char* kServerStatusPortName = "ServerStatusPort_v1";
    // The one request of the status port.
    static constexpr int32_t kStatusRequest = 1;
    // A page never exceeds this many bytes, well inside the frame limit.
    static constexpr size_t kMaxPageBytes = 1000000;

    // Which part of the lists one page holds.
    struct PageRequest {
        int32_t firstClient = 0;
        int32_t firstFile = 0;
    };

    // What the document says about the process itself.
    struct ProcessFacts {
        pid_t pid = 0;
        time_t startTime = 0;     // seconds since the epoch
        int32_t paused = 0;       // last pause value received
        int32_t lockNewSegments = 1;
    };

    // The request carried by `data` (empty: the first page). Short or
    // negative values count as 0.
    static PageRequest parseRequest(const std::string& data);

    // One page of the document: the server and the totals always, then the
    // clients from firstClient and the files from firstFile, as many as fit
    // into limit bytes (at least one entry whenever any is left). `reader`
    // points at the server's reader field, read under the sampleFileList
    // mutex like everything else.
    static std::string buildPage(SampleFileInfoList& files, ClientInfoList& clients, DiskReader* const* reader,
                                 const ProcessFacts& facts, PageRequest request, size_t limit = kMaxPageBytes);

    // Serves the status port of `server` on `loop` (the serving thread's run
    // loop). Returns 1, or 0 when the port could not be made; the server
    // serves its clients either way.
    static int startServing(SampleFileServer* server, platform::RunLoop& loop);
    // Closes the status port, from any thread; nothing when it is not served.
    static void stopServing();
};
