// End-to-end load benchmark: the real server and client load a generated
// mixed library into shared memory, beside what plug-in instances do today
// (libsndfile or libFLAC++ into fresh buffers of their own) and the memory
// limit (filling fresh shared-memory objects), all in the same run.
//
// Environment:
//   RH_BENCH_LIBRARY_MB   size of the library's source files (default 1024)
//   RH_BENCH_CACHE        cache folder for the library (default: the build's
//                         bench-cache folder)
//   RH_BENCH_PERF         0: no perf stat of the server even when perf works
//   RH_BENCH_REPEAT       passes of the warm figures; each figure is the best
//                         of them (default 3)
//   RH_BENCH_PERF_RECORD  a file: one more whole-library load with the server
//                         under perf record -g, written into it
//
// Figures are MB/s (10^6 bytes per second) of float output. Warm page cache
// is the main figure; cold-cache figures are indicative only (on a virtual
// machine the host may still hold the files).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchBaselines.h"
#include "BenchLibrary.h"
#include "SampleFileClient.h"

#ifndef QUILLORANTICS_SERVER_PATH
#error "QUILLORANTICS_SERVER_PATH must name the server executable"
#endif
#ifndef RH_BENCH_CACHE_DEFAULT
#error "RH_BENCH_CACHE_DEFAULT must name the default cache folder"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using bench::LibraryFile;

constexpr int kMemoryClients = 20;
constexpr int32_t kAllFrames = 0x7fffffff;  // the server clips it to the file's length

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

uint64_t floatBytes(const std::vector<LibraryFile>& files) {
    uint64_t total = 0;
    for (const LibraryFile& file : files)
        total += file.floatBytes();
    return total;
}

double megabytesPerSecond(uint64_t bytes, double seconds) {
    return seconds > 0 ? bytes / 1e6 / seconds : 0.0;
}

// ---- Temporary folders, removed at exit and on interruption ----

std::vector<std::string>& temporaryFolders() {
    static std::vector<std::string> folders;
    return folders;
}

std::string makeTemporaryFolder() {
    char folder[] = "/tmp/loadbench-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return "";
    temporaryFolders().push_back(folder);
    return folder;
}

void removeTemporaryFolder(const std::string& folder) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    auto& folders = temporaryFolders();
    folders.erase(std::remove(folders.begin(), folders.end(), folder), folders.end());
}

void cleanUpEverything() {
    bench::unlinkSharedMemoryLeftovers();
    std::error_code ignored;
    for (const std::string& folder : temporaryFolders())
        fs::remove_all(folder, ignored);
    temporaryFolders().clear();
}

// Our clients' ports close with the process, so the servers we started see
// their last client go and unlink their segments themselves.
void onSignal(int signalNumber) {
    cleanUpEverything();
    _exit(128 + signalNumber);
}

// ---- /proc readings ----

std::map<std::string, long> readKilobyteFields(const std::string& file) {
    std::map<std::string, long> fields;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        fields[line.substr(0, colon)] = std::atol(line.c_str() + colon + 1);
    }
    return fields;
}

long meminfoKilobytes(const std::string& field) {
    return readKilobyteFields("/proc/meminfo")[field];
}

// The server that our client started: the process running the server
// executable with our port folder in its environment.
pid_t findServer(const std::string& portFolder) {
    std::error_code error;
    const fs::path serverPath = fs::canonical(QUILLORANTICS_SERVER_PATH, error);
    const std::string wanted = "XDG_RUNTIME_DIR=" + portFolder;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code linkError;
        if (fs::read_symlink(entry.path() / "exe", linkError) != serverPath)
            continue;
        std::ifstream environ(entry.path() / "environ", std::ios::binary);
        std::string variable;
        while (std::getline(environ, variable, '\0'))
            if (variable == wanted)
                return static_cast<pid_t>(std::atol(name.c_str()));
    }
    return -1;
}

bool processExists(pid_t pid) {
    return pid > 0 && fs::exists("/proc/" + std::to_string(pid));
}

bool waitForExit(pid_t pid, double seconds) {
    const auto start = Clock::now();
    while (processExists(pid)) {
        if (secondsSince(start) > seconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

pid_t parentOf(pid_t pid) {
    return static_cast<pid_t>(readKilobyteFields("/proc/" + std::to_string(pid) + "/status")["PPid"]);
}

// Samples the server's memory outside shared memory while a load runs.
class MemorySampler {
public:
    explicit MemorySampler(pid_t pid) : pid_(pid), thread_([this] { run(); }) {}
    ~MemorySampler() { stop(); }
    void stop() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    long peakAnonKilobytes() const { return peakAnon_; }
    long peakFileKilobytes() const { return peakFile_; }

private:
    void run() {
        const std::string status = "/proc/" + std::to_string(pid_) + "/status";
        while (running_) {
            auto fields = readKilobyteFields(status);
            peakAnon_ = std::max(peakAnon_, fields["RssAnon"]);
            peakFile_ = std::max(peakFile_, fields["RssFile"]);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    pid_t pid_;
    std::atomic<bool> running_{true};
    long peakAnon_ = 0;
    long peakFile_ = 0;
    std::thread thread_;
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(fraction * (values.size() - 1) + 0.5));
    return values[index];
}

// ---- One load by the real server ----

struct LoadOptions {
    bool probe = false;             // a second client asks progress in a loop
    std::string perfPrefix;         // command run before the server ("" for none)
    std::string perfOutput;         // where the prefix writes its report
    // Runs after the load while the server still holds the files.
    std::function<void(const std::vector<LibraryFile>& loaded)> whileHeld;
};

struct LoadResult {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;  // the server's, from its start to the end of the load
    std::vector<LibraryFile> loaded;
    std::vector<LibraryFile> notLoaded;
    long peakAnonKilobytes = 0;
    long peakFileKilobytes = 0;
    std::vector<double> probeMicros;
    std::string perfReport;
};

std::vector<SampleFileClient::Entry> entriesOf(const std::vector<LibraryFile>& files) {
    std::vector<SampleFileClient::Entry> entries;
    for (const LibraryFile& file : files)
        entries.push_back({file.path, kAllFrames});
    return entries;
}

bool waitForProgressZero(SampleFileClient& client, double limitSeconds) {
    const auto start = Clock::now();
    for (;;) {
        int32_t remaining = -1;
        if (client.getLoadProgress(&remaining) != 0)
            return false;
        if (remaining == 0)
            return true;
        if (secondsSince(start) > limitSeconds)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Files whose every channel has a segment of the right frame count. Read
// from the segment listing, which (unlike a failed attach) prints nothing.
std::vector<bool> findLoaded(const std::vector<LibraryFile>& files) {
    std::map<std::string, int> channelsFound;
    for (const auto& segment : SampleFileClient::listSegments())
        channelsFound[segment.storedPath + "\n" + std::to_string(segment.frameCount)]++;
    std::vector<bool> loaded;
    for (const LibraryFile& file : files)
        loaded.push_back(channelsFound[file.path + "\n" + std::to_string(file.frames)] == file.channels);
    return loaded;
}

// The CPU time a process has used so far.
double cpuSecondsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t end = text.rfind(')');
    if (end == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; index++)
        if (index == 14 || index == 15)
            ticks += std::atof(field.c_str());
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string writeWrapper(const std::string& folder, const std::string& prefix) {
    const std::string path = folder + "/server-wrapper.sh";
    std::ofstream script(path);
    script << "#!/bin/sh\nexec " << prefix << " '" << QUILLORANTICS_SERVER_PATH << "'\n";
    script.close();
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

LoadResult loadThroughServer(const std::vector<LibraryFile>& files, const LoadOptions& options) {
    LoadResult result;
    const std::string portFolder = makeTemporaryFolder();
    if (portFolder.empty())
        return result;
    setenv("XDG_RUNTIME_DIR", portFolder.c_str(), 1);
    // The log of the server started here goes with the folder, not into the
    // user's state folder.
    setenv("XDG_STATE_HOME", portFolder.c_str(), 1);
    SampleFileClient::Options clientOptions;
    clientOptions.serverExecutable = options.perfPrefix.empty() ? std::string(QUILLORANTICS_SERVER_PATH)
                                                                : writeWrapper(portFolder, options.perfPrefix);
    clientOptions.messageTimeoutSeconds = 30.0f;
    pid_t server = -1;
    pid_t wrapper = -1;
    {
        SampleFileClient client(clientOptions);
        if (client.connect() != 0) {
            fprintf(stderr, "LoadBench: the client could not start or reach the server.\n");
            removeTemporaryFolder(portFolder);
            return result;
        }
        for (int i = 0; i < 200 && server < 0; i++) {
            server = findServer(portFolder);
            if (server < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (server > 0 && !options.perfPrefix.empty())
            wrapper = parentOf(server);

        SampleFileClient prober(clientOptions);
        std::atomic<bool> loading{true};
        std::thread probeThread;
        if (options.probe && prober.connect() == 0) {
            prober.sendSampleFileList({});
            probeThread = std::thread([&] {
                while (loading) {
                    int32_t remaining = 0;
                    const auto start = Clock::now();
                    if (prober.getLoadProgress(&remaining) != 0)
                        break;
                    result.probeMicros.push_back(secondsSince(start) * 1e6);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        }
        std::unique_ptr<MemorySampler> sampler;
        if (server > 0)
            sampler = std::make_unique<MemorySampler>(server);

        const auto start = Clock::now();
        const bool sent = client.sendSampleFileList(entriesOf(files)) == 0;
        const bool finished = sent && waitForProgressZero(client, 1800);
        result.seconds = secondsSince(start);
        loading = false;
        if (probeThread.joinable())
            probeThread.join();
        if (sampler) {
            sampler->stop();
            result.peakAnonKilobytes = sampler->peakAnonKilobytes();
            result.peakFileKilobytes = sampler->peakFileKilobytes();
        }
        if (finished) {
            if (server > 0)
                result.cpuSeconds = cpuSecondsOf(server);
            const std::vector<bool> loaded = findLoaded(files);
            for (size_t i = 0; i < files.size(); i++)
                (loaded[i] ? result.loaded : result.notLoaded).push_back(files[i]);
            if (options.whileHeld)
                options.whileHeld(result.loaded);
            result.ok = true;
        } else {
            fprintf(stderr, "LoadBench: the load did not finish.\n");
        }
        prober.leave();
        client.leave();
    }
    // The server ends when its last client has left.
    if (server > 0 && !waitForExit(server, 30))
        fprintf(stderr, "LoadBench: the server (pid %d) did not end.\n", static_cast<int>(server));
    if (wrapper > 0)
        waitForExit(wrapper, 10);
    if (!options.perfOutput.empty()) {
        std::ifstream report(options.perfOutput);
        std::stringstream text;
        text << report.rdbuf();
        result.perfReport = text.str();
    }
    removeTemporaryFolder(portFolder);
    return result;
}

// ---- Memory with many clients attached ----

// A child client: registers, sends the list read from `listFile`, waits for
// progress 0, attaches every channel of every file and reads one sample per
// page, reports "ready" on stdout and holds everything until stdin closes.
int runAttachChild(const char* listFile) {
    std::vector<SampleFileClient::Entry> entries;
    std::ifstream list(listFile);
    std::string path;
    while (std::getline(list, path))
        entries.push_back({path, kAllFrames});
    SampleFileClient::Options options;
    options.startServer = false;
    options.messageTimeoutSeconds = 30.0f;
    SampleFileClient client(options);
    if (client.connect() != 0 || client.sendSampleFileList(entries) != 0 || !waitForProgressZero(client, 600))
        return 2;
    std::vector<SampleFileAttachment> attachments;
    volatile float sum = 0;
    for (const auto& entry : entries)
        for (int channel = 0; channel < 2; channel++) {
            SampleFileAttachment attachment;
            if (SampleFileClient::attachSampleFile(entry.path, channel, SampleFileClient::kAnyFrameCount,
                                                   &attachment) != 0)
                continue;
            const float* samples = attachment.samples();
            for (int32_t i = 0; i < attachment.frameCount(); i += 1024)
                sum = sum + samples[i];
            attachments.push_back(std::move(attachment));
        }
    if (write(STDOUT_FILENO, "r", 1) != 1)
        return 3;
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    attachments.clear();
    client.leave();
    return 0;
}

struct ManyClientsResult {
    bool ok = false;
    long shmemDeltaKilobytes = 0;
    long pageTablesDeltaKilobytes = 0;
    long clientsPssKilobytes = 0;
    long clientsPssShmemKilobytes = 0;
    long serverPssKilobytes = 0;
};

ManyClientsResult attachManyClients(const std::vector<LibraryFile>& loaded, const std::string& folder,
                                    long shmemBefore, long pageTablesBefore) {
    ManyClientsResult result;
    const std::string listFile = folder + "/list.txt";
    {
        std::ofstream list(listFile);
        for (const LibraryFile& file : loaded)
            list << file.path << "\n";
    }
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return result;
    self[length] = '\0';
    struct Child {
        pid_t pid;
        int toChild;
        int fromChild;
    };
    std::vector<Child> children;
    for (int i = 0; i < kMemoryClients; i++) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            break;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            break;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            execl(self, self, "--attach-child", listFile.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        if (pid < 0) {
            close(in[1]);
            close(out[0]);
            break;
        }
        children.push_back({pid, in[1], out[0]});
    }
    int ready = 0;
    for (const Child& child : children) {
        pollfd wait = {child.fromChild, POLLIN, 0};
        char byte;
        if (poll(&wait, 1, 600000) == 1 && read(child.fromChild, &byte, 1) == 1)
            ready++;
    }
    if (ready == kMemoryClients) {
        result.shmemDeltaKilobytes = meminfoKilobytes("Shmem") - shmemBefore;
        result.pageTablesDeltaKilobytes = meminfoKilobytes("PageTables") - pageTablesBefore;
        for (const Child& child : children) {
            auto fields = readKilobyteFields("/proc/" + std::to_string(child.pid) + "/smaps_rollup");
            result.clientsPssKilobytes += fields["Pss"];
            result.clientsPssShmemKilobytes += fields["Pss_Shmem"];
        }
        result.ok = true;
    } else {
        fprintf(stderr, "LoadBench: only %d of %d clients attached.\n", ready, kMemoryClients);
    }
    for (const Child& child : children) {
        close(child.toChild);
        close(child.fromChild);
    }
    for (const Child& child : children)
        waitpid(child.pid, nullptr, 0);
    return result;
}

// ---- Report ----

void printFigure(const char* what, uint64_t bytes, bench::Timing timing) {
    if (timing.wall < 0)
        printf("  %-48s failed\n", what);
    else
        printf("  %-48s %7.2f s %7.0f MB/s   CPU %6.2f s %7.0f MB/CPU-s\n", what, timing.wall,
               megabytesPerSecond(bytes, timing.wall), timing.cpu, megabytesPerSecond(bytes, timing.cpu));
}

bench::Timing timingOf(const LoadResult& run) {
    bench::Timing timing;
    timing.wall = run.ok ? run.seconds : -1;
    timing.cpu = run.cpuSeconds;
    return timing;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void printRatio(const char* what, double ratio, const char* goal) {
    printf("  %-58s %6.2f  %s\n", what, ratio, goal);
}

std::vector<LibraryFile> select(const std::vector<LibraryFile>& files, bool flac) {
    std::vector<LibraryFile> chosen;
    for (const LibraryFile& file : files)
        if (bench::isFlac(file.formatClass) == flac)
            chosen.push_back(file);
    return chosen;
}

bool perfWorks() {
    const char* setting = std::getenv("RH_BENCH_PERF");
    if (setting != nullptr && std::string(setting) == "0")
        return false;
    return std::system("perf stat -e task-clock true >/dev/null 2>&1") == 0;
}

// Segments of our library left behind (a server that was killed): removed.
int removeLeftoverSegments(const std::string& libraryFolder) {
    int removed = 0;
    for (const auto& segment : SampleFileClient::listSegments())
        if (segment.storedPath.rfind(libraryFolder, 0) == 0 && !segment.inUse &&
            SampleFileClient::removeSegment(segment.name) == 0)
            removed++;
    return removed;
}

void printLibrary(const bench::Library& library) {
    std::map<bench::FormatClass, std::pair<int, uint64_t>> counts;
    uint64_t source = 0;
    for (const LibraryFile& file : library.files) {
        counts[file.formatClass].first++;
        counts[file.formatClass].second += file.sourceBytes;
        source += file.sourceBytes;
    }
    printf("Library %s: %zu files, %.0f MB of source files, %.0f MB of float output\n", library.folder.c_str(),
           library.files.size(), source / 1e6, floatBytes(library.files) / 1e6);
    for (const auto& [formatClass, count] : counts)
        printf("  %-12s %3d files %7.0f MB\n", bench::formatClassName(formatClass), count.first, count.second / 1e6);
}

// The shortest of several timings of one figure: on a shared machine the
// other work only ever makes a run slower.
struct Best {
    bench::Timing timing;
    void offer(const bench::Timing& candidate) {
        if (candidate.wall >= 0 && (timing.wall < 0 || candidate.wall < timing.wall))
            timing = candidate;
    }
    double rate(uint64_t bytes) const { return timing.wall < 0 ? 0.0 : megabytesPerSecond(bytes, timing.wall); }
    double cpuRate(uint64_t bytes) const { return timing.cpu <= 0 ? 0.0 : megabytesPerSecond(bytes, timing.cpu); }
};

double ratio(double numerator, double denominator) {
    return denominator > 0 ? numerator / denominator : 0.0;
}

int runBench() {
    const char* sizeSetting = std::getenv("RH_BENCH_LIBRARY_MB");
    const int megabytes = sizeSetting != nullptr ? std::max(10, std::atoi(sizeSetting)) : 1024;
    const char* cacheSetting = std::getenv("RH_BENCH_CACHE");
    const std::string cache = cacheSetting != nullptr ? cacheSetting : RH_BENCH_CACHE_DEFAULT;
    const char* repeatSetting = std::getenv("RH_BENCH_REPEAT");
    const int passes = repeatSetting != nullptr ? std::max(1, std::atoi(repeatSetting)) : 3;
    bench::Library library;
    if (!bench::prepareLibrary(cache, megabytes, &library))
        return 1;
    printLibrary(library);
    printf("Load average at the start: %s (other work on this machine shares its cores)\n", loadAverage().c_str());
    const std::vector<LibraryFile>& all = library.files;
    const std::vector<LibraryFile> allPlain = select(all, false);
    const std::vector<LibraryFile> allFlac = select(all, true);

    fprintf(stderr, "LoadBench: warming the page cache\n");
    bench::warmPageCache(all);

    // The first load of the whole library also finds what the server loads,
    // and 20 clients attach to it while the server holds it.
    fprintf(stderr, "LoadBench: pass 1 of %d: server, whole library, then %d clients attach\n", passes,
            kMemoryClients);
    const long shmemBefore = meminfoKilobytes("Shmem");
    const long pageTablesBefore = meminfoKilobytes("PageTables");
    ManyClientsResult many;
    LoadOptions firstOptions;
    firstOptions.whileHeld = [&](const std::vector<LibraryFile>& loadedFiles) {
        many = attachManyClients(loadedFiles, temporaryFolders().back(), shmemBefore, pageTablesBefore);
    };
    const LoadResult first = loadThroughServer(all, firstOptions);
    if (!first.ok)
        return 1;
    fprintf(stderr, "  %.2f s\n", first.seconds);
    const std::vector<LibraryFile>& loaded = first.loaded;
    const bool partial = loaded.size() != all.size();
    const uint64_t allBytes = floatBytes(all);
    const uint64_t loadedBytes = floatBytes(loaded);
    const uint64_t flacBytes = floatBytes(allFlac);

    Best serverWhole, serverPlain, serverFlac, sndfile1, sndfile2, sndfile2Loaded, flac2;
    Best limitFaulting1, limitFaulting2, limitPopulated2;
    uint64_t plainLoadedBytes = 0, flacLoadedBytes = 0;
    long peakAnon = first.peakAnonKilobytes, peakFile = first.peakFileKilobytes;
    serverWhole.offer(timingOf(first));
    for (int pass = 0; pass < passes; pass++) {
        if (pass > 0) {
            fprintf(stderr, "LoadBench: pass %d of %d: server, whole library\n", pass + 1, passes);
            const LoadResult again = loadThroughServer(all, {});
            serverWhole.offer(timingOf(again));
            fprintf(stderr, "  %.2f s\n", again.seconds);
            peakAnon = std::max(peakAnon, again.peakAnonKilobytes);
            peakFile = std::max(peakFile, again.peakFileKilobytes);
        }
        fprintf(stderr, "LoadBench: pass %d of %d: server per format class, then the baselines\n", pass + 1, passes);
        const LoadResult plainRun = loadThroughServer(allPlain, {});
        serverPlain.offer(timingOf(plainRun));
        fprintf(stderr, "  WAV+AIFF %.2f s\n", plainRun.seconds);
        plainLoadedBytes = floatBytes(plainRun.loaded);
        const LoadResult flacRun = loadThroughServer(allFlac, {});
        flacLoadedBytes = floatBytes(flacRun.loaded);
        if (flacLoadedBytes > 0)
            serverFlac.offer(timingOf(flacRun));
        limitFaulting2.offer(bench::fillSharedMemory(all, 2, false));
        limitPopulated2.offer(bench::fillSharedMemory(all, 2, true));
        limitFaulting1.offer(bench::fillSharedMemory(all, 1, false));
        sndfile1.offer(bench::decodeWithSndfile(all, 1));
        sndfile2.offer(bench::decodeWithSndfile(all, 2));
        if (partial)
            sndfile2Loaded.offer(bench::decodeWithSndfile(loaded, 2));
        flac2.offer(bench::decodeWithFlac(all, 2));
    }
    if (!partial)
        sndfile2Loaded = sndfile2;

    // Responsiveness and the server's counters during a full-speed load.
    fprintf(stderr, "LoadBench: server, whole library with a progress prober\n");
    LoadOptions probeOptions;
    probeOptions.probe = true;
    std::string perfFolder;
    const bool perf = perfWorks();
    if (perf) {
        perfFolder = makeTemporaryFolder();
        probeOptions.perfOutput = perfFolder + "/perf.txt";
        probeOptions.perfPrefix = "perf stat -e task-clock,page-faults,context-switches,cpu-migrations -o '" +
                                  probeOptions.perfOutput + "' --";
    }
    const LoadResult probed = loadThroughServer(all, probeOptions);
    const char* recordFile = std::getenv("RH_BENCH_PERF_RECORD");
    if (perf && recordFile != nullptr) {
        fprintf(stderr, "LoadBench: server, whole library under perf record\n");
        LoadOptions recordOptions;
        recordOptions.perfPrefix = "perf record -q -g -o '" + std::string(recordFile) + "' --";
        loadThroughServer(all, recordOptions);
    }
    if (!perfFolder.empty())
        removeTemporaryFolder(perfFolder);

    // Cold cache, indicative, once each.
    fprintf(stderr, "LoadBench: cold cache (indicative)\n");
    bench::evictPageCache(all);
    const LoadResult cold = loadThroughServer(all, {});
    bench::evictPageCache(all);
    const bench::Timing sndfile2Cold = bench::decodeWithSndfile(loaded, 2);
    bench::evictPageCache(all);
    const bench::Timing flac2Cold = bench::decodeWithFlac(all, 2);

    // ---- Figures ----
    printf("\nNot loaded by the server (left out of its figures and ratios): %zu files", first.notLoaded.size());
    std::map<std::string, int> notLoadedByClass;
    for (const LibraryFile& file : first.notLoaded)
        notLoadedByClass[bench::formatClassName(file.formatClass)]++;
    for (const auto& [name, count] : notLoadedByClass)
        printf(", %d %s", count, name.c_str());
    printf("\n\nWarm page cache, best of %d (MB/s of float output; CPU: the process's CPU time,\n"
           "for the server its own):\n", passes);
    printFigure("server, whole library (loaded files)", loadedBytes, serverWhole.timing);
    printFigure("server, WAV+AIFF alone (loaded files)", plainLoadedBytes, serverPlain.timing);
    if (flacLoadedBytes == 0)
        printf("  %-48s not loaded\n", "server, FLAC alone");
    else
        printFigure("server, FLAC alone (loaded files)", flacLoadedBytes, serverFlac.timing);
    printFigure("libsndfile, 1 thread, whole library", allBytes, sndfile1.timing);
    printFigure("libsndfile, 2 threads, whole library", allBytes, sndfile2.timing);
    if (partial)
        printFigure("libsndfile, 2 threads, files the server loaded", loadedBytes, sndfile2Loaded.timing);
    printFigure("libFLAC++, 2 threads, FLAC files", flacBytes, flac2.timing);
    printFigure("memory limit: shm fill faulting, 1 thread", allBytes, limitFaulting1.timing);
    printFigure("memory limit: shm fill faulting, 2 threads", allBytes, limitFaulting2.timing);
    printFigure("memory limit: shm fill populated, 2 threads", allBytes, limitPopulated2.timing);

    // The limit is the faster way of filling fresh shared memory.
    const bool populatedFaster = limitPopulated2.rate(allBytes) > limitFaulting2.rate(allBytes);
    const Best& limit2 = populatedFaster ? limitPopulated2 : limitFaulting2;
    printf("\nRatios, warm (wall-clock MB/s; in brackets the same ratio of MB per CPU-second):\n");
    auto printBoth = [](const char* what, double wallRatio, double cpuRatio, const char* goal) {
        printf("  %-58s %6.2f  (%5.2f)  %s\n", what, wallRatio, cpuRatio, goal);
    };
    printBoth("server whole library / libsndfile 2 threads, same files",
              ratio(serverWhole.rate(loadedBytes), sndfile2Loaded.rate(loadedBytes)),
              ratio(serverWhole.cpuRate(loadedBytes), sndfile2Loaded.cpuRate(loadedBytes)), "goal >= 1.5");
    printBoth("server whole library / libsndfile 1 thread, all files",
              ratio(serverWhole.rate(loadedBytes), sndfile1.rate(allBytes)),
              ratio(serverWhole.cpuRate(loadedBytes), sndfile1.cpuRate(allBytes)), "");
    printBoth(populatedFaster ? "server WAV+AIFF / memory limit 2 threads (populated)"
                              : "server WAV+AIFF / memory limit 2 threads (faulting)",
              ratio(serverPlain.rate(plainLoadedBytes), limit2.rate(allBytes)),
              ratio(serverPlain.cpuRate(plainLoadedBytes), limit2.cpuRate(allBytes)), "goal >= 0.75");
    if (flacLoadedBytes == 0)
        printf("  %-58s    n/a           FLAC not loaded by the server yet (goal >= 0.9)\n",
               "server FLAC / libFLAC++ 2 threads");
    else
        printBoth("server FLAC / libFLAC++ 2 threads", ratio(serverFlac.rate(flacLoadedBytes), flac2.rate(flacBytes)),
                  ratio(serverFlac.cpuRate(flacLoadedBytes), flac2.cpuRate(flacBytes)), "goal >= 0.9");

    printf("\nCold page cache, once each (indicative: a virtual machine's host may still cache the files):\n");
    printFigure("server, whole library (loaded files)", floatBytes(cold.loaded), timingOf(cold));
    printFigure("libsndfile, 2 threads, files the server loaded", loadedBytes, sndfile2Cold);
    printFigure("libFLAC++, 2 threads, FLAC files", flacBytes, flac2Cold);
    printRatio("server / libsndfile 2 threads, same files (cold)",
               ratio(megabytesPerSecond(floatBytes(cold.loaded), cold.seconds),
                     megabytesPerSecond(loadedBytes, sndfile2Cold.wall)),
               "indicative");

    printf("\nMemory:\n");
    if (many.ok) {
        const double copy = loadedBytes / 1024.0;  // kB
        const long clientsPrivate = many.clientsPssKilobytes - many.clientsPssShmemKilobytes;
        printf("  one float copy of the loaded files:                %8.0f MB\n", copy / 1024);
        printf("  Shmem grown, server and %d clients attached:       %8.0f MB  (%.3f copies)\n", kMemoryClients,
               many.shmemDeltaKilobytes / 1024.0, many.shmemDeltaKilobytes / copy);
        printf("  clients' Pss, sum:                                 %8.0f MB  (%.0f MB of it shared memory)\n",
               many.clientsPssKilobytes / 1024.0, many.clientsPssShmemKilobytes / 1024.0);
        printf("  page tables grown (not in Pss):                    %8.0f MB\n",
               many.pageTablesDeltaKilobytes / 1024.0);
        printRatio("(Shmem growth + clients' Pss outside shm) / one copy",
                   (many.shmemDeltaKilobytes + clientsPrivate) / copy, "goal <= 1.05");
        printRatio("the same with the page tables",
                   (many.shmemDeltaKilobytes + clientsPrivate + many.pageTablesDeltaKilobytes) / copy, "");
    } else {
        printf("  %d clients: failed\n", kMemoryClients);
    }
    printf("  server's RssAnon peak during the whole-library loads: %6.1f MB  (goal < 50 MB; RssFile %.1f MB)\n",
           peakAnon / 1024.0, peakFile / 1024.0);

    printf("\nResponsiveness: progress round trips during a full-speed load (%zu requests, load %.2f s):\n",
           probed.probeMicros.size(), probed.seconds);
    printf("  p50 %.0f us, p99 %.0f us, max %.0f us  (goal p99 < 50 ms)\n", percentile(probed.probeMicros, 0.5),
           percentile(probed.probeMicros, 0.99), percentile(probed.probeMicros, 1.0));
    if (!probed.perfReport.empty())
        printf("\nperf stat of the server during that load:%s", probed.perfReport.c_str());
    if (perf && recordFile != nullptr)
        printf("\nperf record of the server during another whole-library load: %s\n", recordFile);

    printf("\nLoad average at the end: %s\n", loadAverage().c_str());
    const int leftovers = removeLeftoverSegments(library.folder);
    if (leftovers > 0)
        printf("\nWARNING: %d segments of the library were left in shared memory (removed).\n", leftovers);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--attach-child")
        return runAttachChild(argv[2]);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGHUP, onSignal);
    signal(SIGPIPE, SIG_IGN);
    const int result = runBench();
    cleanUpEverything();
    return result;
}
