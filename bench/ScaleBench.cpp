// How the serving thread's work grows with the size of lists and the number
// of clients: the server's message handlers called in process, as the
// serving thread calls them, with no reader (every file stays queued) and
// clients without ports. Prints medians beside a baseline measured in the
// same run: sorting and searching the same paths in a std::vector, the
// least any registry could do.
//
//   ScaleBench [PATHS] [CLIENTS]     (default 10000 and 100)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ClientInfoList.h"
#include "SampleFileServer.h"
#include "SampleFileServerMessages.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// The chunks of one list, as a client would send them (300 entries each).
std::vector<std::string> listChunks(const std::string& client, const std::vector<std::string>& paths, int listId) {
    std::vector<std::string> chunks;
    for (size_t first = 0; first < paths.size(); first += kMaxEntriesPerListChunk) {
        const size_t count = std::min<size_t>(kMaxEntriesPerListChunk, paths.size() - first);
        CtoS_ReplyListOfSampleFilesInUseByClient_MessageData record;
        memset(&record, 0, sizeof record);
        snprintf(record.clientName, sizeof record.clientName, "%s", client.c_str());
        record.listId = listId;
        record.isFinalChunk = first + count == paths.size();
        record.wireDownSegments = 0;
        record.entryCount = static_cast<int32_t>(count);
        for (size_t i = 0; i < count; i++)
            record.frameCounts[i] = 1000;
        std::string data(reinterpret_cast<const char*>(&record), sizeof record);
        for (size_t i = 0; i < count; i++)
            data += paths[first + i] + std::string(1, '\0');
        chunks.push_back(std::move(data));
    }
    return chunks;
}

// Applies one list of `paths` for `client` and returns the seconds taken.
double applyList(SampleFileServer* server, const std::string& client, const std::vector<std::string>& paths,
                 int listId) {
    const std::vector<std::string> chunks = listChunks(client, paths, listId);
    const Clock::time_point start = Clock::now();
    for (const std::string& chunk : chunks) {
        CtoS_ReplyListOfSampleFilesInUseByClient_MessageData record;
        memcpy(&record, chunk.data(), sizeof record);
        server->processSampleFileListMessage(&record, chunk);
    }
    return secondsSince(start);
}

// The baseline: sort the paths and look each one up, in a std::vector.
double vectorBaseline(std::vector<std::string> paths) {
    const Clock::time_point start = Clock::now();
    std::vector<std::string> sorted;
    for (std::string& path : paths) {
        auto at = std::lower_bound(sorted.begin(), sorted.end(), path);
        if (at == sorted.end() || *at != path)
            sorted.insert(at, std::move(path));
    }
    return secondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
    const int pathCount = argc > 1 ? atoi(argv[1]) : 10000;
    const int clientCount = argc > 2 ? atoi(argv[2]) : 100;
    char folder[] = "/tmp/quillorantics-scale.XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    setenv("XDG_RUNTIME_DIR", folder, 1);
    SampleFileServer::sDiskReaderJobFunction = nullptr;  // files stay queued
    // Never destroyed: destroying the server ends the process.
    auto* server = new SampleFileServer(3600.0, 3600.0);
    if (server->serverPort == nullptr) {
        fprintf(stderr, "ScaleBench: the server port could not be made in %s\n", folder);
        return 1;
    }
    std::vector<std::string> names;
    for (int i = 0; i < clientCount; i++) {
        names.push_back("scale-" + std::to_string(i) + ".ClientManager");
        auto* client = new ClientInfo(names.back().c_str());
        std::lock_guard<std::mutex> lock(server->clientList.mutex);
        server->clientList.append(&client);
    }
    // Paths of a library's depth, in the order a plug-in might send them
    // (grouped by instrument, not sorted).
    std::vector<std::string> paths;
    for (int i = 0; i < pathCount; i++) {
        const int reversed = pathCount - 1 - i;
        paths.push_back("/home/user/Music/Libraries/Grand Piano/Samples/Mic " + std::to_string(reversed % 7) +
                        "/Velocity " + std::to_string(reversed % 23) + "/note-" + std::to_string(reversed) + ".wav");
    }
    std::vector<std::string> shuffled = paths;
    std::srand(7);
    std::random_shuffle(shuffled.begin(), shuffled.end());

    printf("ScaleBench: %d paths in %zu chunks, %d clients\n", pathCount,
           (paths.size() + kMaxEntriesPerListChunk - 1) / kMaxEntriesPerListChunk, clientCount);
    std::vector<double> first, again, baseline;
    first.push_back(applyList(server, names[0], shuffled, 1));
    for (int round = 0; round < 5; round++) {
        // The same list once more (every file held), and a baseline of it.
        again.push_back(applyList(server, names[0], paths, 2 + round));
        baseline.push_back(vectorBaseline(shuffled));
    }
    // Every client uses the whole list: slots fill up to their 10 places.
    for (int i = 1; i < clientCount; i++)
        applyList(server, names[static_cast<size_t>(i)], paths, 1);
    std::vector<double> progress;
    CtoS_GetLoadProgress_MessageData request;
    memset(&request, 0, sizeof request);
    for (int round = 0; round < 51; round++) {
        snprintf(request.clientName, sizeof request.clientName, "%s",
                 names[static_cast<size_t>(round % clientCount)].c_str());
        const Clock::time_point start = Clock::now();
        const std::string reply = server->processGetLoadProgressClientMessage(&request);
        progress.push_back(secondsSince(start));
        if (reply.size() != 4)
            return 1;
    }
    printf("  list applied, files new           %8.2f ms  (goal < 50 ms)\n", first[0] * 1e3);
    printf("  list applied, files held          %8.2f ms  (median of 5)\n", median(again) * 1e3);
    printf("  baseline: sorted vector insert    %8.2f ms  (median of 5)\n", median(baseline) * 1e3);
    printf("  ratio, new list / baseline        %8.2f\n", first[0] / median(baseline));
    printf("  progress reply, %d clients        %8.3f ms  (median of 51; goal < 1 ms)\n", clientCount,
           median(progress) * 1e3);
    fflush(stdout);
    // The server's end unlinks nothing here (no segments) and exits 0.
    rmdir(folder);
    server->terminateSelf();
}
