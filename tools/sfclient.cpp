// sfclient: a command-line client of the sample-file server.
//
//   sfclient load [--hold] [--frames N] [--wait SECONDS] FILE...
//   sfclient progress NAME
//   sfclient ping
//   sfclient segments [--remove-stale] [FOLDER]
//
// Exit status: 0 success, 1 failure, 2 bad usage.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "SampleFileClient.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Frames asked for when no --frames is given: the server clips the count to
// each file's length, so the largest count means the whole file.
constexpr int32_t kWholeFile = INT32_MAX;
constexpr double kDefaultWaitSeconds = 60.0;

const char* const kHelp =
    "Usage: sfclient COMMAND [OPTIONS]\n"
    "\n"
    "A client of the sample-file server QuilloranticsServer.\n"
    "\n"
    "Commands:\n"
    "  load [--hold] [--frames N] [--wait SECONDS] FILE...\n"
    "      Registers with the server (starting it when none serves), sends the\n"
    "      FILEs as the list of sample files in use, shows how many are still\n"
    "      loading until none is, and leaves the server.\n"
    "      --hold        stay registered, showing the progress, until\n"
    "                    interrupted (Ctrl-C), then leave\n"
    "      --frames N    frames wanted of each file (default: the whole file;\n"
    "                    0 asks for no frames at all)\n"
    "      --wait SECONDS  without --hold: give up waiting for the load after\n"
    "                    SECONDS (default 60; 0 shows the progress once)\n"
    "      The client's name is printed; `sfclient progress NAME` asks about it.\n"
    "  progress NAME\n"
    "      Shows how many files of the client registered as NAME are still\n"
    "      loading (0 for a name that is not registered).\n"
    "  ping\n"
    "      Tells whether a server is serving; exit status 0 when one is, 1 when not.\n"
    "  segments [--remove-stale] [FOLDER]\n"
    "      Lists the shared-memory segments that your servers of this port\n"
    "      folder made for sample files: name, frames, size in bytes and the\n"
    "      file's path; a segment whose header is damaged (left by a server\n"
    "      that died while making it) is shown as damaged. With FOLDER, only\n"
    "      the segments of files inside FOLDER.\n"
    "      --remove-stale  removes those segments (damaged ones too), and names\n"
    "                    each one removed, but only when no server is serving\n"
    "                    (none accepts a connection, however busy), and never\n"
    "                    one that a process still maps: such a segment is named\n"
    "                    as skipped. A server replaces the segments that a dead\n"
    "                    server left for a file when that file is loaded again;\n"
    "                    the others stay in memory until removed or until the\n"
    "                    system restarts.\n"
    "  --help, COMMAND --help\n"
    "      Shows this text.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 bad usage.\n";

int usageError(const std::string& sentence) {
    fprintf(stderr, "sfclient: %s\nRun `sfclient --help` for the usage.\n", sentence.c_str());
    return kExitUsage;
}

int failure(const std::string& sentence) {
    fprintf(stderr, "sfclient: %s\n", sentence.c_str());
    return kExitFailure;
}

bool parseNumber(const char* text, long long low, long long high, long long* out) {
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return false;
    *out = value;
    return true;
}

bool parseSeconds(const char* text, double* out) {
    errno = 0;
    char* end = nullptr;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value >= 0.0) || value > 1e6)
        return false;
    *out = value;
    return true;
}

// The server does not share our working folder: relative paths are made
// absolute (without resolving links, which the server interprets itself).
std::string absolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char folder[PATH_MAX];
    if (getcwd(folder, sizeof folder) == nullptr)
        return path;
    return std::string(folder) + "/" + path;
}

// SIGINT and SIGTERM are blocked in every thread and taken with sigtimedwait,
// so an interruption is handled where the program expects it.
sigset_t interruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Sleeps up to `seconds`; true when an interruption arrived.
bool interruptedWithin(double seconds) {
    sigset_t set = interruptSignals();
    struct timespec wait;
    wait.tv_sec = static_cast<time_t>(seconds);
    wait.tv_nsec = static_cast<long>((seconds - static_cast<double>(wait.tv_sec)) * 1e9);
    return sigtimedwait(&set, nullptr, &wait) > 0;
}

int runLoad(int argc, char** argv) {
    bool hold = false;
    int32_t frames = kWholeFile;
    double waitSeconds = kDefaultWaitSeconds;
    std::vector<SampleFileClient::Entry> entries;
    bool optionsEnded = false;
    for (int i = 0; i < argc; i++) {
        std::string argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument == "--hold") {
            hold = true;
        } else if (!optionsEnded && argument == "--frames") {
            long long value;
            if (i + 1 >= argc || !parseNumber(argv[i + 1], 0, INT32_MAX, &value))
                return usageError("--frames needs a whole number from 0 to 2147483647.");
            frames = static_cast<int32_t>(value);
            i++;
        } else if (!optionsEnded && argument == "--wait") {
            if (i + 1 >= argc || !parseSeconds(argv[i + 1], &waitSeconds))
                return usageError("--wait needs a number of seconds, 0 or more.");
            i++;
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            return usageError("Unknown option for load: " + argument + ".");
        } else {
            entries.push_back({absolutePath(argument), 0});
        }
    }
    if (entries.empty())
        return usageError("load needs at least one FILE.");
    for (SampleFileClient::Entry& entry : entries)
        entry.frameCount = frames;

    SampleFileClient client;
    int status = client.connect();
    if (status != 0)
        return failure(std::string("Could not register with the server. ") + SampleFileClient::describeStatus(status));
    printf("Registered as %s.\n", client.name().c_str());
    status = client.sendSampleFileList(entries);
    if (status != 0)
        return failure(std::string("Could not send the list of files. ") + SampleFileClient::describeStatus(status));
    printf("Sent %zu file%s.\n", entries.size(), entries.size() == 1 ? "" : "s");
    // The server holds a file named twice once, and counts it once.
    std::set<std::string> distinctPaths;
    for (const SampleFileClient::Entry& entry : entries)
        distinctPaths.insert(entry.path);
    const size_t fileCount = distinctPaths.size();
    if (hold)
        printf("Staying registered until interrupted (Ctrl-C).\n");
    fflush(stdout);

    // Without --hold: show the progress until nothing is left, or give up
    // after --wait seconds, then leave. With --hold: show it until
    // interrupted, then leave.
    const double step = 0.1;
    double waited = 0.0;
    int32_t shown = -1;
    int exitCode = kExitOk;
    for (;;) {
        int32_t remaining = 0;
        status = client.getLoadProgress(&remaining);
        if (status != 0) {
            exitCode = failure(std::string("Could not ask for the load progress. ") +
                               SampleFileClient::describeStatus(status));
            break;
        }
        if (remaining != shown) {
            if (remaining == 0)
                printf("Nothing left to load.\n");
            else
                printf("Still loading: %d of %zu file%s.\n", remaining, fileCount, fileCount == 1 ? "" : "s");
            fflush(stdout);
            shown = remaining;
        }
        if (remaining == 0 && !hold)
            break;
        if (!hold && waited >= waitSeconds) {
            char sentence[160];
            snprintf(sentence, sizeof sentence, "Gave up waiting for the load after %g s; %d file%s still loading.",
                     waitSeconds, remaining, remaining == 1 ? "" : "s");
            exitCode = failure(sentence);
            break;
        }
        if (interruptedWithin(step)) {
            if (!hold)
                exitCode = failure("Interrupted before the load was done.");
            break;
        }
        waited += step;
    }
    status = client.leave();
    if (status != 0)
        return failure(std::string("Could not leave the server. ") + SampleFileClient::describeStatus(status));
    printf("Left the server.\n");
    return exitCode;
}

int runProgress(int argc, char** argv) {
    if (argc != 1)
        return usageError("progress needs exactly one NAME, the name that `sfclient load` printed.");
    int32_t remaining = 0;
    int status = SampleFileClient::getLoadProgressOf(argv[0], &remaining);
    if (status == SampleFileClient::kClientNoServer)
        return failure("No server is serving.");
    if (status != 0)
        return failure(std::string("Could not ask for the load progress. ") + SampleFileClient::describeStatus(status));
    printf("%d file%s of %s still loading.\n", remaining, remaining == 1 ? "" : "s", argv[0]);
    return kExitOk;
}

int runPing(int argc) {
    if (argc != 0)
        return usageError("ping takes no arguments.");
    if (!SampleFileClient::isServerServing()) {
        fprintf(stderr, "sfclient: No server is serving.\n");
        return kExitFailure;
    }
    printf("A server is serving.\n");
    return kExitOk;
}

// True when `path` is `folder` or lies inside it.
bool isInside(const std::string& path, const std::string& folder) {
    if (folder.empty())
        return true;
    if (path.compare(0, folder.size(), folder) != 0)
        return false;
    return path.size() == folder.size() || folder.back() == '/' || path[folder.size()] == '/';
}

int runSegments(int argc, char** argv) {
    bool removeStale = false;
    std::string folder;
    bool folderGiven = false;
    for (int i = 0; i < argc; i++) {
        std::string argument = argv[i];
        if (argument == "--remove-stale") {
            removeStale = true;
        } else if (argument.size() > 1 && argument[0] == '-') {
            return usageError("Unknown option for segments: " + argument + ".");
        } else if (folderGiven) {
            return usageError("segments takes at most one FOLDER.");
        } else {
            folderGiven = true;
            folder = absolutePath(argument);
            while (folder.size() > 1 && folder.back() == '/')
                folder.pop_back();
        }
    }

    std::vector<SampleFileClient::SegmentListing> segments;
    for (SampleFileClient::SegmentListing& segment : SampleFileClient::listSegments())
        if (isInside(segment.storedPath, folder))
            segments.push_back(std::move(segment));

    if (!removeStale) {
        if (segments.empty())
            printf("No segments found.\n");
        for (const SampleFileClient::SegmentListing& segment : segments) {
            if (segment.damaged)
                printf("%s  damaged  %llu bytes%s%s\n", segment.name.c_str(),
                       static_cast<unsigned long long>(segment.size), segment.storedPath.empty() ? "" : "  ",
                       segment.storedPath.c_str());
            else
                printf("%s  %d frames  %llu bytes  %s\n", segment.name.c_str(), segment.frameCount,
                       static_cast<unsigned long long>(segment.size), segment.storedPath.c_str());
        }
        return kExitOk;
    }

    // A serving server may still use every one of them, also one too busy to
    // answer at once, or be making one (its header is not written yet).
    // Servers of other port folders use other object names and are never
    // seen here. (A server that starts right after these checks makes
    // segments of its own under names that the removal below may meet; it
    // only happens when the user starts one meanwhile.)
    if (SampleFileClient::isServerListening())
        return failure("A server is serving; its segments may be in use, so none was removed.");
    int removed = 0;
    int skipped = 0;
    int exitCode = kExitOk;
    for (const SampleFileClient::SegmentListing& segment : segments) {
        const std::string what = segment.damaged ? "damaged" : segment.storedPath;
        if (segment.inUse) {
            printf("Skipped %s (%s): a process still maps it.\n", segment.name.c_str(), what.c_str());
            skipped++;
            continue;
        }
        int status = SampleFileClient::removeSegment(segment.name);
        if (status != 0) {
            exitCode = failure("Could not remove " + segment.name + ": " + strerror(-status) + ".");
            continue;
        }
        printf("Removed %s (%s).\n", segment.name.c_str(), what.c_str());
        removed++;
    }
    if (removed == 0 && skipped == 0 && exitCode == kExitOk)
        printf("No stale segments found.\n");
    else if (removed > 0)
        printf("Removed %d stale segment%s.\n", removed, removed == 1 ? "" : "s");
    if (skipped > 0)
        printf("Skipped %d segment%s in use.\n", skipped, skipped == 1 ? "" : "s");
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread inherits the mask.
    sigset_t signals = interruptSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A server that goes away must not kill us while we write to it.
    signal(SIGPIPE, SIG_IGN);

    if (argc < 2)
        return usageError("No command given.");
    std::string command = argv[1];
    bool wantsHelp = command == "--help" || command == "-h" || command == "help";
    // `COMMAND --help` too; after "--" every argument is a FILE.
    for (int i = 2; i < argc && !wantsHelp && strcmp(argv[i], "--") != 0; i++)
        wantsHelp = strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0;
    if (wantsHelp) {
        fputs(kHelp, stdout);
        return kExitOk;
    }
    if (command == "load")
        return runLoad(argc - 2, argv + 2);
    if (command == "progress")
        return runProgress(argc - 2, argv + 2);
    if (command == "ping")
        return runPing(argc - 2);
    if (command == "segments")
        return runSegments(argc - 2, argv + 2);
    return usageError("Unknown command: " + command + ".");
}
