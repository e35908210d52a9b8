#include "ServerStatus.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "ClientInfoList.h"
#include "MessagePort.h"
#include "QuilloranticsVersion.h"
#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"

namespace {

// Room kept for the page object and the closing brackets.
constexpr size_t kPageTrailerBytes = 160;

// ---- JSON text ----

// Length of the UTF-8 sequence that starts at s[i] (1 to 4), or 0 when the
// bytes there are no valid, shortest-form sequence.
size_t utf8SequenceLength(const unsigned char* s, size_t n, size_t i) {
    const unsigned char c = s[i];
    size_t length = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                               : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
    if (length == 0 || i + length > n)
        return 0;
    uint32_t cp = length == 1 ? c : length == 2 ? (c & 0x1Fu) : length == 3 ? (c & 0x0Fu) : (c & 0x07u);
    for (size_t k = 1; k < length; k++) {
        if ((s[i + k] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i + k] & 0x3Fu);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

// Appends `text` as a JSON string. Bytes that are not valid UTF-8 become
// U+FFFD, so the document is always valid JSON.
void appendString(std::string& out, const char* text) {
    static const char kHex[] = "0123456789abcdef";
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text != nullptr ? text : "");
    const size_t n = strlen(reinterpret_cast<const char*>(s));
    out += '"';
    for (size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            i++;
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            i++;
        } else {
            const size_t length = utf8SequenceLength(s, n, i);
            if (length == 0) {
                out += "\\ufffd";
                i++;
            } else {
                out.append(reinterpret_cast<const char*>(s + i), length);
                i += length;
            }
        }
    }
    out += '"';
}

void appendKey(std::string& out, const char* key) {
    out += '"';
    out += key;
    out += "\":";
}

void appendNumber(std::string& out, const char* key, long long value) {
    appendKey(out, key);
    out += std::to_string(value);
}

void appendUnsigned(std::string& out, const char* key, unsigned long long value) {
    appendKey(out, key);
    out += std::to_string(value);
}

void appendBool(std::string& out, const char* key, bool value) {
    appendKey(out, key);
    out += value ? "true" : "false";
}

void appendIndexOrNull(std::string& out, const char* key, int index) {
    appendKey(out, key);
    out += index < 0 ? std::string("null") : std::to_string(index);
}

const char* stateName(int32_t state) {
    switch (state) {
        case kLoadQueued: return "queued";
        case kLoadReading: return "reading";
        case kLoadConverting: return "converting";
        case kLoadFinished: return "finished";
        default: return "unknown";
    }
}

std::string isoTime(time_t when) {
    struct tm parts;
    char text[32];
    if (gmtime_r(&when, &parts) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return std::string();
    return text;
}

// Bytes of memory that this process has locked (VmLck of /proc/self/status);
// 0 when it cannot be read.
unsigned long long lockedBytesOfProcess() {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buffer[8192];
    size_t used = 0;
    for (;;) {
        ssize_t n = read(fd, buffer + used, sizeof buffer - 1 - used);
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
        if (used >= sizeof buffer - 1)
            break;
    }
    close(fd);
    buffer[used] = '\0';
    const char* line = strstr(buffer, "\nVmLck:");
    unsigned long long kib = 0;
    if (line == nullptr || sscanf(line + 7, "%llu", &kib) != 1)
        return 0;
    return kib * 1024ull;
}

// What one file holds, from the fields of its entry.
struct FileFigures {
    int channels = 0;
    unsigned long long bytesHeld = 0;     // the segments as mapped (page-rounded)
    unsigned long long bytesSamples = 0;  // the float samples alone
    int clients = 0;
};

FileFigures figuresOf(const SampleFileInfo& info) {
    FileFigures figures;
    for (int channel = 0; channel < kMaxChannels; channel++)
        if (info.channelData[channel] != nullptr || info.segmentNames[channel].getLength() > 0)
            figures.channels++;
    const int frames = info.frameCount > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX
                                                                           : static_cast<int>(info.frameCount);
    const unsigned long long segment =
        SampleFileServerUtilities::roundUpToPageSize(SampleFileSharedmemSegment::fullSize(frames));
    figures.bytesHeld = segment * static_cast<unsigned>(figures.channels);
    figures.bytesSamples = 4ull * info.frameCount * static_cast<unsigned>(figures.channels);
    for (ClientInfo* slot : info.clientSlots)
        if (slot != nullptr)
            figures.clients++;
    return figures;
}

void appendFile(std::string& out, const SampleFileInfo& info, const FileFigures& figures) {
    out += "{";
    appendKey(out, "path");
    appendString(out, info.path.getText());
    out += ",";
    appendKey(out, "state");
    appendString(out, stateName(info.loadState));
    out += ",";
    appendNumber(out, "channels", figures.channels);
    out += ",";
    appendUnsigned(out, "frames", info.frameCount);
    out += ",";
    appendUnsigned(out, "bytesHeld", figures.bytesHeld);
    out += ",";
    appendNumber(out, "clients", figures.clients);
    out += ",";
    appendBool(out, "locked", info.segmentsLocked != 0);
    out += "}";
}

struct ClientFigures {
    int filesUsed = 0;
    int filesPending = 0;
};

void appendClient(std::string& out, const ClientInfo& client, const ClientFigures& figures) {
    out += "{";
    appendKey(out, "name");
    appendString(out, client.clientName.getText());
    out += ",";
    appendNumber(out, "pid", client.clientPort != nullptr ? client.clientPort->peerPid() : 0);
    out += ",";
    appendNumber(out, "filesUsed", figures.filesUsed);
    out += ",";
    appendNumber(out, "filesPending", figures.filesPending);
    out += "}";
}

// ---- The port ----

std::mutex sPortMutex;                       // guards sPort
std::unique_ptr<platform::LocalPort> sPort;  // the status port once served

}  // namespace

ServerStatus::PageRequest ServerStatus::parseRequest(const std::string& data) {
    PageRequest request;
    if (data.size() >= 2 * sizeof(int32_t)) {
        memcpy(&request.firstClient, data.data(), sizeof(int32_t));
        memcpy(&request.firstFile, data.data() + sizeof(int32_t), sizeof(int32_t));
    }
    if (request.firstClient < 0)
        request.firstClient = 0;
    if (request.firstFile < 0)
        request.firstFile = 0;
    return request;
}

std::string ServerStatus::buildPage(SampleFileInfoList& files, ClientInfoList& clients, DiskReader* const* reader,
                                    const ProcessFacts& facts, PageRequest request, size_t limit) {
    // One string, written front to back: the document of a big server is
    // about a megabyte, and copying it around would cost more than making it.
    std::string head;
    head.reserve(limit);
    head += "{";
    appendKey(head, "server");
    head += "{";
    appendKey(head, "name");
    appendString(head, SampleFileServerUtilities::kServerProcessName);
    head += ",";
    appendKey(head, "version");
    appendString(head, kQuilloranticsVersion);
    head += ",";
    appendNumber(head, "pid", facts.pid);
    head += ",";
    appendKey(head, "startTime");
    appendString(head, isoTime(facts.startTime).c_str());
    head += ",";
    appendNumber(head, "startTimeUnix", static_cast<long long>(facts.startTime));
    head += ",";
    appendNumber(head, "paused", facts.paused);
    head += ",";
    appendBool(head, "lockNewSegments", facts.lockNewSegments != 0);
    head += "},";

    const unsigned long long bytesLocked = lockedBytesOfProcess();
    int nextClient = -1;
    int nextFile = -1;
    {
        std::lock_guard<std::mutex> filesLock(files.mutex);
        std::lock_guard<std::mutex> clientsLock(clients.mutex);
        const int clientCount = clients.getCount();
        const int fileCount = files.getCount();
        std::unordered_map<const ClientInfo*, int> clientIndex;
        clientIndex.reserve(static_cast<size_t>(clientCount));
        for (int i = 0; i < clientCount; i++)
            clientIndex.emplace(clients.getClient(i), i);
        std::vector<ClientFigures> perClient(static_cast<size_t>(clientCount));

        unsigned long long bytesHeld = 0;
        unsigned long long bytesPrivate = 0;
        int byState[4] = {0, 0, 0, 0};
        for (int i = 0; i < fileCount; i++) {
            const SampleFileInfo* info = files.getSampleFile(i);
            const FileFigures figures = figuresOf(*info);
            bytesHeld += figures.bytesHeld;
            bytesPrivate += figures.bytesSamples * static_cast<unsigned>(figures.clients);
            if (info->loadState >= kLoadQueued && info->loadState <= kLoadFinished)
                byState[info->loadState]++;
            for (ClientInfo* slot : info->clientSlots) {
                auto found = slot != nullptr ? clientIndex.find(slot) : clientIndex.end();
                if (found == clientIndex.end())
                    continue;
                perClient[static_cast<size_t>(found->second)].filesUsed++;
                if (info->loadState != kLoadFinished)
                    perClient[static_cast<size_t>(found->second)].filesPending++;
            }
        }
        const bool readerRunning = reader != nullptr && *reader != nullptr && (*reader)->isRunning != 0;

        appendKey(head, "totals");
        head += "{";
        appendNumber(head, "clients", clientCount);
        head += ",";
        appendNumber(head, "files", fileCount);
        head += ",";
        appendNumber(head, "filesQueued", byState[kLoadQueued]);
        head += ",";
        appendNumber(head, "filesReading", byState[kLoadReading]);
        head += ",";
        appendNumber(head, "filesConverting", byState[kLoadConverting]);
        head += ",";
        appendNumber(head, "filesFinished", byState[kLoadFinished]);
        head += ",";
        appendUnsigned(head, "bytesHeld", bytesHeld);
        head += ",";
        appendUnsigned(head, "bytesLocked", bytesLocked);
        head += ",";
        appendUnsigned(head, "bytesPrivateCopies", bytesPrivate);
        head += ",";
        appendKey(head, "reader");
        appendString(head, readerRunning ? "running" : "idle");
        head += "},";

        // Entries go in while they fit; the first one left out is where the
        // next page begins. A page holds at least one entry when any is left.
        // An entry that does not fit is cut off again.
        int listed = 0;
        bool full = false;
        appendKey(head, "clients");
        head += "[";
        for (int i = request.firstClient; i < clientCount; i++) {
            const size_t before = head.size();
            if (listed > 0)
                head += ",";
            appendClient(head, *clients.getClient(i), perClient[static_cast<size_t>(i)]);
            if (head.size() + kPageTrailerBytes > limit && listed > 0) {
                head.resize(before);
                nextClient = i;
                full = true;
                break;
            }
            listed++;
        }
        head += "],";
        appendKey(head, "files");
        head += "[";
        if (full) {
            nextFile = request.firstFile < fileCount ? request.firstFile : -1;
        } else {
            int listedFiles = 0;
            for (int i = request.firstFile; i < fileCount; i++) {
                const SampleFileInfo* info = files.getSampleFile(i);
                const size_t before = head.size();
                if (listedFiles > 0)
                    head += ",";
                appendFile(head, *info, figuresOf(*info));
                if (head.size() + kPageTrailerBytes > limit && listed + listedFiles > 0) {
                    head.resize(before);
                    nextFile = i;
                    break;
                }
                listedFiles++;
            }
        }
        head += "],";
    }

    std::string out = std::move(head);
    appendKey(out, "page");
    out += "{";
    appendNumber(out, "firstClient", request.firstClient);
    out += ",";
    appendIndexOrNull(out, "nextClient", nextClient);
    out += ",";
    appendNumber(out, "firstFile", request.firstFile);
    out += ",";
    appendIndexOrNull(out, "nextFile", nextFile);
    out += "}}";
    return out;
}

int ServerStatus::startServing(SampleFileServer* server, platform::RunLoop& loop) {
    std::lock_guard<std::mutex> lock(sPortMutex);
    if (sPort != nullptr || server == nullptr)
        return sPort != nullptr ? 1 : 0;
    ProcessFacts started;
    started.pid = getpid();
    started.startTime = time(nullptr);
    std::string why;
    std::unique_ptr<platform::LocalPort> port = platform::LocalPort::create(
        kServerStatusPortName,
        [server, started](int32_t messageId, const std::string& data) -> std::optional<std::string> {
            if (messageId != kStatusRequest)
                return std::nullopt;
            ProcessFacts facts = started;
            facts.paused = server->pausedFlag.load();
            facts.lockNewSegments = server->wireDownSegments.load();
            return buildPage(server->sampleFileList, server->clientList, &server->diskReader, facts,
                             parseRequest(data));
        },
        &why);
    if (port == nullptr || !port->addToRunLoop(loop)) {
        fprintf(stderr, "%s: The status port %s is not served: %s.\n", SampleFileServerUtilities::kServerProcessName,
                kServerStatusPortName, port == nullptr ? why.c_str() : "it could not join the run loop");
        fflush(stderr);
        return 0;
    }
    sPort = std::move(port);
    return 1;
}

void ServerStatus::stopServing() {
    std::lock_guard<std::mutex> lock(sPortMutex);
    // The port object itself stays: this may run inside its own callback,
    // and the process is about to end.
    if (sPort != nullptr)
        sPort->invalidate();
}
