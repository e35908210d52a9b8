// sfclient: a command-line client of the sample-file server.
//
//   sfclient load [--hold] [--frames N] [--wait SECONDS] [--list FILE] [--no-check] FILE...
//   sfclient info FILE...
//   sfclient peek FILE FRAME
//   sfclient progress NAME
//   sfclient ping
//   sfclient segments [--remove-stale] [FOLDER]
//   sfclient status [--json]
//   sfclient top [--count N]
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

#include "MessagePort.h"
#include "PortFolder.h"
#include "RhPath.h"
#include "SampleFileClient.h"
#include "SampleFileServerUtilities.h"
#include "ServerLog.h"
#include "SfclientReport.h"
#include "SfclientStatus.h"
#include "ToolMessages.h"

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
    "  load [--hold] [--frames N] [--wait SECONDS] [--list FILE] [--no-check] FILE...\n"
    "      Registers with the server (starting it when none serves), sends the\n"
    "      FILEs as the list of sample files in use, shows the progress until\n"
    "      none is loading, prints a table of the loaded files (channels,\n"
    "      frames, peak level, segments) and the reason for each file that did\n"
    "      not load, and leaves the server. Exit status 1 when any file did not\n"
    "      load.\n"
    "      --list FILE   also load the paths listed in FILE, one per line\n"
    "                    (- reads them from standard input)\n"
    "      --no-check    send the FILEs without checking here first that each\n"
    "                    exists and can be read (the server may see files that\n"
    "                    this process does not)\n"
    "      --hold        stay registered, showing the progress, until\n"
    "                    interrupted (Ctrl-C), then leave\n"
    "      --frames N    frames wanted of each file (default: the whole file;\n"
    "                    0 asks for no frames at all)\n"
    "      --wait SECONDS  without --hold: give up waiting for the load after\n"
    "                    SECONDS, with exit status 1 (default 60); 0 shows the\n"
    "                    progress once and leaves, with exit status 0\n"
    "      The client's name is printed; `sfclient progress NAME` asks about it.\n"
    "  info FILE...\n"
    "      Shows what the sample-file readers see in each FILE: format,\n"
    "      channels, frames, sample rate, bits, loop, base note, pitch ratio,\n"
    "      and for a file inside an archive container the container and offset.\n"
    "  peek FILE FRAME\n"
    "      Prints the float value of frame FRAME in each channel of FILE as a\n"
    "      server holds it, read from its shared memory (no registration).\n"
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
    "  status [--json]\n"
    "      Shows what the server holds: its clients (name, pid, files used and\n"
    "      still loading), its files (state, channels, frames, memory held,\n"
    "      clients, locked) and the totals, with the memory that sharing saves.\n"
    "      --json        prints the server's status document instead of tables\n"
    "  top [--count N]\n"
    "      Shows a compact view of the server every second until interrupted\n"
    "      (Ctrl-C): clients, files loading and loaded, memory held and saved,\n"
    "      and the load throughput. --count N stops after N views.\n"
    "  --help, COMMAND --help\n"
    "      Shows this text.\n"
    "  --version\n"
    "      Shows the version.\n"
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

// The folder of this program's executable, or "" when unknown.
std::string ownFolder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    std::string text(path, static_cast<size_t>(n));
    return text.substr(0, text.rfind('/'));
}

// Why connecting to the server failed, as one sentence that names what the
// user can look at: the port folder, the executable looked for or started.
std::string connectFailure(int status) {
    std::string folder;
    std::string why;
    if ((status == SampleFileClient::kClientNoOwnPort || status == SampleFileClient::kClientNoServer) &&
        !platform::portFolder(&folder, &why))
        return std::string("No message port can be opened: ") + why + ".";
    if (status != SampleFileClient::kClientNoServer)
        return std::string("Could not register with the server. ") + SampleFileClient::describeStatus(status);
    const char* server = SampleFileServerUtilities::kServerProcessName;
    const std::string executable = SampleFileClient::findServerExecutable();
    if (executable.empty())
        return std::string("No sample-file server is serving, and none could be started: no executable ") + server +
               " was found beside sfclient (" + ownFolder() + ") or on PATH.";
    return std::string("No sample-file server is serving, and none could be started: ") + executable +
           " was started but did not serve in time; its messages are in " + ServerLog::folder() + "/" +
           ServerLog::kLogFileName + ".";
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

// Appends the paths listed in `listFile` ("-": standard input), one per
// line; empty lines are skipped. False, with a sentence, when it cannot be read.
bool readListFile(const std::string& listFile, std::vector<std::string>* paths, std::string* problem) {
    FILE* in = listFile == "-" ? stdin : fopen(listFile.c_str(), "r");
    if (in == nullptr) {
        *problem = "Cannot read the list " + listFile + ": " + strerror(errno) + ".";
        return false;
    }
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, in)) >= 0) {
        std::string path(line, static_cast<size_t>(length));
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
            path.pop_back();
        if (!path.empty())
            paths->push_back(path);
    }
    free(line);
    if (in != stdin)
        fclose(in);
    return true;
}

// What is wrong with `path` as seen from here (empty when nothing is): a
// file inside an archive container counts as present.
std::string localProblem(const std::string& path) {
    RhPath local(path.c_str());
    if (!local.exists())
        return "No such file.";
    if (local.isDir())
        return "It is a folder, not a sample file.";
    if (local.existsNonArchive() && access(path.c_str(), R_OK) != 0)
        return std::string("It cannot be read: ") + strerror(errno) + ".";
    return std::string();
}

int runLoad(int argc, char** argv) {
    bool hold = false;
    bool check = true;
    int32_t frames = kWholeFile;
    double waitSeconds = kDefaultWaitSeconds;
    std::vector<std::string> paths;
    bool optionsEnded = false;
    for (int i = 0; i < argc; i++) {
        std::string argument = argv[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument == "--hold") {
            hold = true;
        } else if (!optionsEnded && argument == "--no-check") {
            check = false;
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
        } else if (!optionsEnded && argument == "--list") {
            if (i + 1 >= argc)
                return usageError("--list needs a FILE with one path per line, or - for standard input.");
            std::string problem;
            if (!readListFile(argv[i + 1], &paths, &problem))
                return failure(problem);
            i++;
        } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
            return usageError("Unknown option for load: " + argument + ".");
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.empty())
        return usageError("load needs at least one FILE.");

    // The server holds a file named twice once, and counts it once.
    std::vector<SampleFileClient::Entry> entries;
    std::vector<std::string> distinctPaths;
    std::set<std::string> seen;
    int refused = 0;
    for (const std::string& given : paths) {
        const std::string path = absolutePath(given);
        if (!seen.insert(path).second)
            continue;
        const std::string problem = check ? localProblem(path) : std::string();
        if (!problem.empty()) {
            fprintf(stderr, "sfclient: %s: %s\n", path.c_str(), problem.c_str());
            refused++;
            continue;
        }
        entries.push_back({path, frames});
        distinctPaths.push_back(path);
    }
    if (entries.empty())
        return failure("No file to load.");

    SampleFileClient client;
    int status = client.connect();
    if (status != 0)
        return failure(connectFailure(status));
    printf("Registered as %s.\n", client.name().c_str());
    status = client.sendSampleFileList(entries);
    if (status != 0)
        return failure(std::string("Could not send the list of files. ") + SampleFileClient::describeStatus(status));
    printf("Sent %zu file%s.\n", entries.size(), entries.size() == 1 ? "" : "s");
    if (hold)
        printf("Staying registered until interrupted (Ctrl-C).\n");
    fflush(stdout);

    // Show the progress until nothing is left (without --hold: or until
    // --wait seconds have passed), report the files, then (with --hold: once
    // interrupted) leave.
    sfclient::ProgressDisplay progress(stdout, distinctPaths.size());
    const double step = 0.1;
    double waited = 0.0;
    bool reported = false;
    int exitCode = refused > 0 ? kExitFailure : kExitOk;
    for (;;) {
        int32_t remaining = 0;
        status = client.getLoadProgress(&remaining);
        if (status == platform::kPortIsInvalid || status == platform::kPortBecameInvalid) {
            progress.finish();
            return failure("The server went away (it ended or was killed); the files are no longer held for "
                           "this client.");
        }
        if (status != 0) {
            progress.finish();
            exitCode = failure(std::string("Could not ask for the load progress. ") +
                               SampleFileClient::describeStatus(status));
            break;
        }
        progress.show(remaining);
        if (remaining == 0 && !reported) {
            progress.finish();
            if (sfclient::printLoadReport(distinctPaths, stdout) > 0)
                exitCode = kExitFailure;
            fflush(stdout);
            reported = true;
        }
        if (reported && !hold)
            break;
        if (!hold && waitSeconds == 0.0)
            break;  // asked not to wait: the progress was shown once
        if (!hold && waited >= waitSeconds) {
            progress.finish();
            char sentence[160];
            snprintf(sentence, sizeof sentence, "Gave up waiting for the load after %g s; %d file%s still loading.",
                     waitSeconds, remaining, remaining == 1 ? "" : "s");
            exitCode = failure(sentence);
            break;
        }
        if (interruptedWithin(step)) {
            progress.finish();
            if (!reported)
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

int runPeek(int argc, char** argv) {
    long long frame;
    if (argc != 2 || !parseNumber(argv[1], 0, INT32_MAX, &frame))
        return usageError("peek needs a FILE and a FRAME number (0 or more).");
    return sfclient::printSamples(absolutePath(argv[0]), static_cast<int32_t>(frame), stdout);
}

int runInfo(int argc, char** argv) {
    if (argc == 0)
        return usageError("info needs at least one FILE.");
    std::vector<std::string> paths;
    for (int i = 0; i < argc; i++)
        paths.push_back(absolutePath(argv[i]));
    return sfclient::printFileInfo(paths, stdout) > 0 ? kExitFailure : kExitOk;
}

int runProgress(int argc, char** argv) {
    if (argc != 1)
        return usageError("progress needs exactly one NAME, the name that `sfclient load` printed.");
    int32_t remaining = 0;
    int status = SampleFileClient::getLoadProgressOf(argv[0], &remaining);
    if (status == SampleFileClient::kClientNoServer)
        return failure(sfclient::noServerSentence());
    if (status == platform::kPortReceiveTimeout || status == platform::kPortSendTimeout)
        return failure(sfclient::noServerSentence());
    if (status != 0)
        return failure(std::string("Could not ask for the load progress. ") + SampleFileClient::describeStatus(status));
    printf("%d file%s of %s still loading.\n", remaining, remaining == 1 ? "" : "s", argv[0]);
    return kExitOk;
}

int runPing(int argc) {
    if (argc != 0)
        return usageError("ping takes no arguments.");
    if (!SampleFileClient::isServerServing())
        return failure(sfclient::noServerSentence());
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
    if (command == "--version")
        return tool::printVersion("sfclient");
    if (command == "load")
        return runLoad(argc - 2, argv + 2);
    if (command == "info")
        return runInfo(argc - 2, argv + 2);
    if (command == "peek")
        return runPeek(argc - 2, argv + 2);
    if (command == "progress")
        return runProgress(argc - 2, argv + 2);
    if (command == "ping")
        return runPing(argc - 2);
    if (command == "segments")
        return runSegments(argc - 2, argv + 2);
    if (command == "status")
        return sfclient::runStatus(argc - 2, argv + 2);
    if (command == "top")
        return sfclient::runTop(argc - 2, argv + 2);
    return usageError("Unknown command: " + command + ".");
}
