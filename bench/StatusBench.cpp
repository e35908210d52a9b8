// How long the server takes to build its status document for 10,000 files
// held by 20 clients (every page of it, as `sfclient status` asks for them),
// built from registries in process. Plain main; prints the median.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ClientInfoList.h"
#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "ServerStatus.h"

int main() {
    constexpr int kFiles = 10000;
    constexpr int kClients = 20;
    SampleFileInfoList files;
    ClientInfoList clients;
    std::vector<ClientInfo*> made;
    for (int i = 0; i < kClients; i++) {
        ClientInfo* client = new ClientInfo((std::to_string(1000 + i) + ".0.ClientManager").c_str());
        clients.append(&client);
        made.push_back(client);
    }
    for (int i = 0; i < kFiles; i++) {
        char path[160];
        snprintf(path, sizeof path, "/home/user/Libraries/Grand Piano/Samples/Mic A/Note %05d Velocity %02d.wav", i,
                 i % 127);
        int insertPos = -1;
        if (files.findSampleFileByName(path, 1, insertPos) != nullptr)
            continue;
        SampleFileInfo* info = new SampleFileInfo(nullptr);
        info->path = path;
        info->loadState = kLoadFinished;
        info->frameCount = 480000;
        info->segmentNames[0] = "L_x";
        info->segmentNames[1] = "R_x";
        for (int c = 0; c < 4; c++)
            info->getClientSlot(made[static_cast<size_t>((i + c) % kClients)], 1);
        files.insertSampleFile(info, insertPos);
    }
    DiskReader* reader = nullptr;
    ServerStatus::ProcessFacts facts;
    std::vector<double> times;
    size_t bytes = 0;
    int pages = 0;
    for (int run = 0; run < 21; run++) {
        const auto start = std::chrono::steady_clock::now();
        ServerStatus::PageRequest request;
        bytes = 0;
        pages = 0;
        for (;;) {
            const std::string page = ServerStatus::buildPage(files, clients, &reader, facts, request);
            bytes += page.size();
            pages++;
            const size_t at = page.find("\"nextFile\":");
            if (at == std::string::npos || page.compare(at + 11, 4, "null") == 0)
                break;
            request.firstClient = INT32_MAX;
            request.firstFile = std::stoi(page.substr(at + 11));
        }
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    printf("%d files, %d clients: %zu bytes in %d page(s) (%.0f bytes per file); median %.2f ms for all pages\n",
           files.getCount(), kClients, bytes, pages, static_cast<double>(bytes) / files.getCount(),
           times[times.size() / 2]);
    return 0;
}
