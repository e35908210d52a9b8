#include "SfclientStatus.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "HumanUnits.h"
#include "MessagePort.h"
#include "SampleFileClient.h"
#include "SampleFileServerUtilities.h"
#include "ServerStatus.h"
#include "ToolMessages.h"

namespace sfclient {
namespace {

constexpr const char* kTool = "sfclient";
constexpr double kRequestSeconds = 5.0;
// A document of more pages than this is taken as a fault of the server.
constexpr int kMaxPages = 100000;

int indexOrMinusOne(const JsonValue* value) {
    if (value == nullptr || value->type != JsonValue::Type::Number || value->number < 0 || value->number > INT32_MAX)
        return -1;
    return static_cast<int>(value->number);
}

JsonValue* arrayMember(JsonValue& object, const char* key) {
    JsonValue* member = object.find(key);
    return member != nullptr && member->type == JsonValue::Type::Array ? member : nullptr;
}

// ---- Printing for people ----

std::string localTime(time_t when) {
    struct tm parts;
    char text[32] = "";
    if (localtime_r(&when, &parts) != nullptr)
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

uint64_t bytesAt(const JsonValue& object, const char* key) {
    const double value = object.numberAt(key);
    return value > 0 ? static_cast<uint64_t>(value) : 0;
}

uint64_t savedBytes(const JsonValue& totals) {
    const uint64_t held = bytesAt(totals, "bytesHeld");
    const uint64_t copies = bytesAt(totals, "bytesPrivateCopies");
    return copies > held ? copies - held : 0;
}

std::string serverLine(const JsonValue& document) {
    static const JsonValue kEmpty;
    const JsonValue* server = document.find("server");
    const JsonValue& s = server != nullptr ? *server : kEmpty;
    const time_t started = static_cast<time_t>(s.numberAt("startTimeUnix"));
    char line[256];
    snprintf(line, sizeof line, "%s %s, pid %lld, running since %s (%s)", s.textAt("name", "server").c_str(),
             s.textAt("version", "?").c_str(), static_cast<long long>(s.numberAt("pid")), localTime(started).c_str(),
             tool::humanDuration(static_cast<int64_t>(time(nullptr) - started)).c_str());
    return line;
}

void printStatus(const JsonValue& document) {
    static const JsonValue kEmpty;
    const JsonValue* totalsValue = document.find("totals");
    const JsonValue& totals = totalsValue != nullptr ? *totalsValue : kEmpty;
    printf("Server: %s\n", serverLine(document).c_str());
    printf("Reader: %s; files: %lld (%lld queued, %lld reading, %lld converting, %lld finished)\n",
           totals.textAt("reader", "?").c_str(), static_cast<long long>(totals.numberAt("files")),
           static_cast<long long>(totals.numberAt("filesQueued")),
           static_cast<long long>(totals.numberAt("filesReading")),
           static_cast<long long>(totals.numberAt("filesConverting")),
           static_cast<long long>(totals.numberAt("filesFinished")));
    printf("Memory: %s held, %s locked; private copies would take %s, so sharing saves %s\n",
           tool::humanBytes(bytesAt(totals, "bytesHeld")).c_str(),
           tool::humanBytes(bytesAt(totals, "bytesLocked")).c_str(),
           tool::humanBytes(bytesAt(totals, "bytesPrivateCopies")).c_str(),
           tool::humanBytes(savedBytes(totals)).c_str());

    const JsonValue* clients = document.find("clients");
    const size_t clientCount = clients != nullptr ? clients->items.size() : 0;
    printf("\nClients: %zu\n", clientCount);
    if (clientCount > 0) {
        printf("  %8s  %6s  %8s  %s\n", "PID", "FILES", "PENDING", "NAME");
        for (const JsonValue& client : clients->items)
            printf("  %8lld  %6lld  %8lld  %s\n", static_cast<long long>(client.numberAt("pid")),
                   static_cast<long long>(client.numberAt("filesUsed")),
                   static_cast<long long>(client.numberAt("filesPending")), client.textAt("name").c_str());
    }

    const JsonValue* files = document.find("files");
    const size_t fileCount = files != nullptr ? files->items.size() : 0;
    printf("\nFiles: %zu\n", fileCount);
    if (fileCount > 0) {
        printf("  %-10s  %2s  %10s  %10s  %7s  %6s  %s\n", "STATE", "CH", "FRAMES", "HELD", "CLIENTS", "LOCKED",
               "PATH");
        for (const JsonValue& file : files->items)
            printf("  %-10s  %2lld  %10lld  %10s  %7lld  %6s  %s\n", file.textAt("state").c_str(),
                   static_cast<long long>(file.numberAt("channels")), static_cast<long long>(file.numberAt("frames")),
                   tool::humanBytes(bytesAt(file, "bytesHeld")).c_str(),
                   static_cast<long long>(file.numberAt("clients")), file.boolAt("locked") ? "yes" : "no",
                   file.textAt("path").c_str());
    }
}

// ---- top ----

sigset_t interruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Sleeps up to `seconds`; true when an interruption arrived. SIGINT and
// SIGTERM are blocked by sfclient's main, so they wait here to be taken.
bool interruptedWithin(double seconds) {
    sigset_t set = interruptSignals();
    struct timespec wait;
    wait.tv_sec = static_cast<time_t>(seconds);
    wait.tv_nsec = static_cast<long>((seconds - static_cast<double>(wait.tv_sec)) * 1e9);
    for (;;) {
        const int taken = sigtimedwait(&set, nullptr, &wait);
        if (taken > 0)
            return true;
        if (taken < 0 && errno == EINTR)
            continue;  // another signal; the rest of the wait is not worth keeping exact
        return false;
    }
}

int terminalRows() {
    struct winsize size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
    return 24;
}

// One frame of top: the summary, then the files loading and the files
// loaded, as many as the terminal has rows for.
std::string topFrame(const JsonValue& document, double bytesPerSecond, int rows) {
    static const JsonValue kEmpty;
    const JsonValue* totalsValue = document.find("totals");
    const JsonValue& totals = totalsValue != nullptr ? *totalsValue : kEmpty;
    const long long finished = static_cast<long long>(totals.numberAt("filesFinished"));
    const long long files = static_cast<long long>(totals.numberAt("files"));
    std::string out;
    char line[512];
    snprintf(line, sizeof line, "%s    %s\n", serverLine(document).c_str(), localTime(time(nullptr)).c_str());
    out += line;
    snprintf(line, sizeof line, "Clients %lld   Files %lld: %lld loading, %lld loaded   Reader %s\n",
             static_cast<long long>(totals.numberAt("clients")), files, files - finished, finished,
             totals.textAt("reader", "?").c_str());
    out += line;
    snprintf(line, sizeof line, "Held %s   Saved %s   Locked %s   Load %s/s\n\n",
             tool::humanBytes(bytesAt(totals, "bytesHeld")).c_str(), tool::humanBytes(savedBytes(totals)).c_str(),
             tool::humanBytes(bytesAt(totals, "bytesLocked")).c_str(),
             tool::humanBytes(static_cast<uint64_t>(std::max(0.0, bytesPerSecond))).c_str());
    out += line;
    snprintf(line, sizeof line, "%-10s  %10s  %7s  %s\n", "STATE", "HELD", "CLIENTS", "PATH");
    out += line;

    std::vector<const JsonValue*> ordered;
    if (const JsonValue* list = document.find("files"))
        for (const JsonValue& file : list->items)
            ordered.push_back(&file);
    std::stable_sort(ordered.begin(), ordered.end(), [](const JsonValue* a, const JsonValue* b) {
        return (a->textAt("state") != "finished") > (b->textAt("state") != "finished");
    });
    const int room = std::max(1, rows - 6);
    int shown = 0;
    for (const JsonValue* file : ordered) {
        if (shown == room - 1 && ordered.size() > static_cast<size_t>(room)) {
            snprintf(line, sizeof line, "... and %zu more\n", ordered.size() - static_cast<size_t>(shown));
            out += line;
            break;
        }
        snprintf(line, sizeof line, "%-10s  %10s  %7lld  %s\n", file->textAt("state").c_str(),
                 tool::humanBytes(bytesAt(*file, "bytesHeld")).c_str(),
                 static_cast<long long>(file->numberAt("clients")), file->textAt("path").c_str());
        out += line;
        shown++;
    }
    if (ordered.empty())
        out += "(no files)\n";
    return out;
}

bool parseCount(const char* text, long long* out) {
    errno = 0;
    char* end = nullptr;
    const long long value = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 1000000000)
        return false;
    *out = value;
    return true;
}

}  // namespace

std::string noServerSentence() {
    auto port = platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName);
    if (port == nullptr)
        return "No server is serving.";
    const pid_t pid = port->peerPid();
    if (pid <= 0)
        return "A server holds the port but does not answer; it may be stopped or too busy.";
    // The state letter follows the parenthesised command name in /proc/PID/stat.
    const std::string stat = [&] {
        std::string text;
        if (FILE* file = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r")) {
            char buffer[512];
            const size_t n = fread(buffer, 1, sizeof buffer, file);
            text.assign(buffer, n);
            fclose(file);
        }
        return text;
    }();
    const size_t close = stat.rfind(')');
    const char state = close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
    const std::string id = std::to_string(pid);
    if (state == 'T' || state == 't')
        return "A server (pid " + id + ") holds the port but is stopped, so it does not answer; continue it with "
               "`kill -CONT " + id + "`.";
    return "A server (pid " + id + ") holds the port but does not answer; it may be too busy or hung.";
}

int fetchStatus(JsonValue* document, std::string* why) {
    auto port = platform::RemotePort::connect(ServerStatus::kServerStatusPortName);
    if (port == nullptr) {
        if (SampleFileClient::isServerListening()) {
            *why = "The server serves no status port; it may be an older version, or still starting.";
            return kFetchNoStatusPort;
        }
        *why = "No server is serving.";
        return kFetchNoServer;
    }
    int32_t request[2] = {0, 0};
    *document = JsonValue();
    for (int page = 0; page < kMaxPages; page++) {
        std::string reply;
        const int status = port->sendRequest(ServerStatus::kStatusRequest, request, sizeof request, kRequestSeconds,
                                             kRequestSeconds, true, &reply);
        if (status != platform::kPortSuccess) {
            *why = status == platform::kPortReceiveTimeout
                       ? "The server did not answer the status request in time; it may be stopped or busy."
                       : std::string("The status request failed. ") + SampleFileClient::describeStatus(status);
            return kFetchNoStatusPort;
        }
        JsonValue part;
        std::string parseProblem;
        if (!parseJson(reply, &part, &parseProblem) || part.type != JsonValue::Type::Object ||
            arrayMember(part, "clients") == nullptr || arrayMember(part, "files") == nullptr) {
            *why = "The server's status answer is not a status document" +
                   (parseProblem.empty() ? std::string(".") : " (" + parseProblem + ").");
            return kFetchBadDocument;
        }
        const JsonValue* pageInfo = part.find("page");
        const int nextClient = pageInfo != nullptr ? indexOrMinusOne(pageInfo->find("nextClient")) : -1;
        const int nextFile = pageInfo != nullptr ? indexOrMinusOne(pageInfo->find("nextFile")) : -1;
        if (page == 0) {
            *document = std::move(part);
        } else {
            for (const char* key : {"clients", "files"}) {
                JsonValue* into = arrayMember(*document, key);
                JsonValue* from = arrayMember(part, key);
                for (JsonValue& item : from->items)
                    into->items.push_back(std::move(item));
            }
        }
        if (nextClient < 0 && nextFile < 0) {
            auto& members = document->members;
            members.erase(std::remove_if(members.begin(), members.end(),
                                         [](const auto& member) { return member.first == "page"; }),
                          members.end());
            return kFetchOk;
        }
        // Clients are listed before files: once they are done, later pages
        // start past every client.
        const int32_t following[2] = {nextClient >= 0 ? nextClient : INT32_MAX,
                                      nextFile >= 0 ? nextFile : INT32_MAX};
        if (following[0] <= request[0] && following[1] <= request[1]) {
            *why = "The server's status pages do not advance.";
            return kFetchBadDocument;
        }
        request[0] = following[0];
        request[1] = following[1];
    }
    *why = "The server's status document has too many pages.";
    return kFetchBadDocument;
}

int runStatus(int argc, char** argv) {
    bool json = false;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--json") == 0)
            json = true;
        else
            return tool::usageError(kTool, std::string("Unknown argument for status: ") + argv[i] + ".");
    }
    JsonValue document;
    std::string why;
    const int result = fetchStatus(&document, &why);
    if (result == kFetchNoServer)
        return tool::failure(kTool, noServerSentence());
    if (result != kFetchOk)
        return tool::failure(kTool, why);
    if (json)
        printf("%s\n", toJson(document).c_str());
    else
        printStatus(document);
    return tool::kExitOk;
}

int runTop(int argc, char** argv) {
    long long count = 0;  // 0: until interrupted
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--count") == 0) {
            if (i + 1 >= argc || !parseCount(argv[i + 1], &count))
                return tool::usageError(kTool, "--count needs a whole number from 1 to 1000000000.");
            i++;
        } else {
            return tool::usageError(kTool, std::string("Unknown argument for top: ") + argv[i] + ".");
        }
    }
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    using Clock = std::chrono::steady_clock;
    Clock::time_point previousTime;
    double previousBytes = -1.0;
    for (long long frame = 0; count == 0 || frame < count; frame++) {
        JsonValue document;
        std::string why;
        const int result = fetchStatus(&document, &why);
        std::string text;
        if (result == kFetchOk) {
            const Clock::time_point now = Clock::now();
            const JsonValue* totals = document.find("totals");
            const double bytes = totals != nullptr ? totals->numberAt("bytesHeld") : 0.0;
            double rate = 0.0;
            const double seconds = std::chrono::duration<double>(now - previousTime).count();
            if (previousBytes >= 0.0 && seconds > 0.0)
                rate = (bytes - previousBytes) / seconds;
            previousBytes = bytes;
            previousTime = now;
            text = topFrame(document, rate, terminal ? terminalRows() : 24);
        } else {
            text = localTime(time(nullptr)) + "  " + (result == kFetchNoServer ? noServerSentence() : why) + "\n";
            previousBytes = -1.0;
        }
        // On a terminal each frame replaces the last; elsewhere frames follow
        // one another, separated by a blank line.
        if (terminal)
            fputs("\033[H\033[J", stdout);
        else if (frame > 0)
            fputs("\n", stdout);
        fputs(text.c_str(), stdout);
        fflush(stdout);
        if (count != 0 && frame + 1 >= count)
            break;
        if (interruptedWithin(1.0))
            break;
    }
    return tool::kExitOk;
}

}  // namespace sfclient
