// Soak of the real server under client churn.
//
// Makes a library of generated sample files (WAVE and AIFF, mono and stereo,
// 16 and 24 bits; a few damaged) in a temporary folder, then keeps CLIENTS
// client processes alive for the given time. Each client connects (the
// first one starts the server), sends random lists, waits until its files
// are loaded, attaches to every channel and checks the samples against the
// values the files were generated from, and leaves in one of three ways:
// normally, by SIGKILL, or by SIGSTOP followed later by SIGKILL. At the end
// every client leaves; the server must then exit with status 0 and leave
// none of the library's segments behind. The server's resident memory and
// open descriptors are sampled every second and printed (start, peak, end).
//
// Hermetic: its own XDG_RUNTIME_DIR (port folder), HOME and XDG_STATE_HOME
// below the temporary folder, which is removed at the end.
//
// Usage: Soak --server PATH [--seconds N] [--clients N] [--files N]
// Exit status 0 when every check held.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "PortFolder.h"
#include "RhPath.h"
#include "RhString.h"
#include "SampleFileClient.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"
#include "ServerProcessSupport.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// ---- The library ----

enum class Damage { kNone, kDataCut, kFramesLie, kGarbage, kEmpty, kUnsupportedBits };

struct FileSpec {
    std::string path;
    bool aiff = false;
    int channels = 1;
    int bits = 16;
    int frames = 0;        // frames the file holds (what a load delivers)
    Damage damage = Damage::kNone;
    uint32_t seed = 0;
    bool loadable() const { return damage == Damage::kNone || damage == Damage::kDataCut || damage == Damage::kFramesLie; }
};

// The integer sample of frame f, channel c: a mix of a ramp and the seed,
// never the same for neighbouring frames, full-scale range exercised.
int32_t sampleValue(const FileSpec& s, int f, int c) {
    const uint32_t x = (static_cast<uint32_t>(f) * 2654435761u) ^ (s.seed + 97u * static_cast<uint32_t>(c));
    const int32_t range = 1 << (s.bits - 1);
    return static_cast<int32_t>(x % static_cast<uint32_t>(2 * range)) - range;
}

float expectedFloat(const FileSpec& s, int f, int c) {
    return static_cast<float>(sampleValue(s, f, c)) / static_cast<float>(1 << (s.bits - 1));
}

void putLE(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) out += static_cast<char>((v >> (8 * i)) & 0xff);
}
void putBE(std::string& out, uint32_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

std::string samplesOf(const FileSpec& s, int frames, bool bigEndian) {
    std::string out;
    const int width = s.bits / 8;
    for (int f = 0; f < frames; f++)
        for (int c = 0; c < s.channels; c++) {
            const uint32_t v = static_cast<uint32_t>(sampleValue(s, f, c));
            bigEndian ? putBE(out, v, width) : putLE(out, v, width);
        }
    return out;
}

std::string waveBytes(const FileSpec& s, int claimedFrames, int writtenFrames, int bits) {
    const int width = s.bits / 8;
    std::string body = "WAVEfmt ";
    putLE(body, 16, 4);
    putLE(body, 1, 2);
    putLE(body, static_cast<uint32_t>(s.channels), 2);
    putLE(body, 44100, 4);
    putLE(body, static_cast<uint32_t>(44100 * width * s.channels), 4);
    putLE(body, static_cast<uint32_t>(width * s.channels), 2);
    putLE(body, static_cast<uint32_t>(bits), 2);
    body += "data";
    putLE(body, static_cast<uint32_t>(claimedFrames * width * s.channels), 4);
    body += samplesOf(s, writtenFrames, false);
    std::string file = "RIFF";
    putLE(file, static_cast<uint32_t>(body.size()), 4);
    return file + body;
}

std::string aiffBytes(const FileSpec& s, int claimedFrames, int writtenFrames) {
    const std::string samples = samplesOf(s, writtenFrames, true);
    std::string comm = "COMM";
    putBE(comm, 18, 4);
    putBE(comm, static_cast<uint32_t>(s.channels), 2);
    putBE(comm, static_cast<uint32_t>(claimedFrames), 4);
    putBE(comm, static_cast<uint32_t>(s.bits), 2);
    comm += std::string("\x40\x0E\xAC\x44\0\0\0\0\0\0", 10);  // 44100
    std::string ssnd = "SSND";
    putBE(ssnd, static_cast<uint32_t>(8 + samples.size()), 4);
    putBE(ssnd, 0, 4);  // offset
    putBE(ssnd, 0, 4);  // block size
    ssnd += samples;
    std::string body = "AIFF" + comm + ssnd;
    std::string file = "FORM";
    putBE(file, static_cast<uint32_t>(body.size()), 4);
    return file + body;
}

std::vector<FileSpec> makeLibrary(const std::string& folder, int count, std::mt19937& rng) {
    std::vector<FileSpec> library;
    for (int i = 0; i < count; i++) {
        FileSpec s;
        s.seed = rng();
        s.aiff = i % 3 == 1;
        s.channels = 1 + static_cast<int>(rng() % 2);
        s.bits = rng() % 4 == 0 ? 24 : 16;
        s.frames = 500 + static_cast<int>(rng() % 40000);
        // Every 25th file is damaged, one way after the other.
        if (i % 25 == 24) s.damage = static_cast<Damage>(1 + (i / 25) % 5);
        const std::string folderPart = folder + "/bank" + std::to_string(i % 7);
        fs::create_directories(folderPart);
        s.path = folderPart + "/s" + std::to_string(i) + (s.aiff ? ".aif" : ".wav");
        std::string bytes;
        switch (s.damage) {
            case Damage::kNone:
                bytes = s.aiff ? aiffBytes(s, s.frames, s.frames) : waveBytes(s, s.frames, s.frames, s.bits);
                break;
            case Damage::kDataCut:  // cut in the middle of the samples
            case Damage::kFramesLie: {  // the header claims twice the frames written
                const int written = s.damage == Damage::kDataCut ? s.frames / 2 : s.frames;
                bytes = s.aiff ? aiffBytes(s, s.frames * 2, written) : waveBytes(s, s.frames * 2, written, s.bits);
                if (s.damage == Damage::kDataCut) {
                    const int width = s.bits / 8 * s.channels;
                    bytes.resize(bytes.size() - static_cast<size_t>(width / 2 + 1));  // half a frame less
                    s.frames = written - 1;
                }
                break;
            }
            case Damage::kGarbage:
                for (int b = 0; b < 3000; b++) bytes += static_cast<char>(rng());
                break;
            case Damage::kEmpty:
                break;
            case Damage::kUnsupportedBits:
                bytes = waveBytes(s, s.frames, s.frames, 12);  // refused, whatever the suffix
                break;
        }
        std::ofstream(s.path, std::ios::binary) << bytes;
        library.push_back(s);
    }
    return library;
}

// ---- One client process ----

struct ClientPlan {
    int rounds;
    uint32_t seed;
};

// Returns the exit status: 0 when every check held, 1 otherwise.
int runClient(const std::vector<FileSpec>& library, const std::string& server, const ClientPlan& plan) {
    std::mt19937 rng(plan.seed);
    SampleFileClient::Options options;
    options.serverExecutable = server;
    options.connectSeconds = 20.0;
    SampleFileClient client(options);
    int status = client.connect();
    if (status != 0) {
        std::fprintf(stderr, "client %d: connect: %s\n", getpid(), SampleFileClient::describeStatus(status));
        return 1;
    }
    int failures = 0;
    for (int round = 0; round < plan.rounds && failures == 0; round++) {
        std::vector<SampleFileClient::Entry> entries;
        std::vector<const FileSpec*> chosen;
        const int n = 1 + static_cast<int>(rng() % 30);
        for (int i = 0; i < n; i++) {
            const FileSpec& s = library[rng() % library.size()];
            chosen.push_back(&s);
            entries.push_back({s.path, INT32_MAX});
        }
        if ((status = client.sendSampleFileList(entries)) != 0) {
            std::fprintf(stderr, "client %d: list: %s\n", getpid(), SampleFileClient::describeStatus(status));
            return 1;
        }
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        int32_t remaining = -1;
        while ((status = client.getLoadProgress(&remaining)) == 0 && remaining > 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (status != 0 || remaining != 0) {
            std::fprintf(stderr, "client %d: progress %d (%s)\n", getpid(), remaining,
                         SampleFileClient::describeStatus(status));
            return 1;
        }
        for (const FileSpec* s : chosen) {
            for (int c = 0; c < 2; c++) {
                SampleFileAttachment a;
                const int got = SampleFileClient::attachSampleFile(s->path, c, SampleFileClient::kAnyFrameCount, &a);
                const bool shouldExist = s->loadable() && c < s->channels;
                if (!shouldExist) {
                    if (got == 0) {
                        std::fprintf(stderr, "client %d: %s channel %d attached but should not exist\n", getpid(),
                                     s->path.c_str(), c);
                        failures++;
                    }
                    continue;
                }
                if (got != 0) {
                    std::fprintf(stderr, "client %d: %s channel %d: %s\n", getpid(), s->path.c_str(), c,
                                 SampleFileClient::describeStatus(got));
                    failures++;
                    continue;
                }
                if (a.frameCount() != s->frames) {
                    std::fprintf(stderr, "client %d: %s holds %d frames, not %d\n", getpid(), s->path.c_str(),
                                 a.frameCount(), s->frames);
                    failures++;
                    continue;
                }
                const float* samples = a.samples();
                int wrong = 0;
                for (int f = 0; f < s->frames; f++) wrong += samples[f] != expectedFloat(*s, f, c);
                if (wrong != 0) {
                    std::fprintf(stderr, "client %d: %s channel %d: %d samples differ\n", getpid(), s->path.c_str(),
                                 c, wrong);
                    failures++;
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 300));
    }
    client.leave();
    return failures == 0 ? 0 : 1;
}

// ---- Watching the server ----

struct Usage {
    long rssKb = 0;
    int fds = 0;
};

bool readUsage(pid_t pid, Usage* out) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    if (!status) return false;
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) out->rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
    out->fds = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return false;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') out->fds++;
    closedir(d);
    return true;
}

enum class Exit { kNormal, kKill, kStopThenKill };

struct Child {
    Exit exit = Exit::kNormal;
    Clock::time_point signalAt;   // kill or stop
    Clock::time_point killAt;     // after a stop
    bool stopped = false;
};

// Every segment name the library's files could have (both channels, whole chains).
std::vector<std::string> leftSegments(const std::vector<FileSpec>& library) {
    std::vector<std::string> left;
    for (const FileSpec& s : library)
        for (int c = 0; c < 2; c++) {
            RhPath path(s.path.c_str());
            RhString name;
            SampleFileSharedmemSegment::createInitialHashString(&path, c, &name);
            for (int depth = 0; depth <= SampleFileSharedmemSegment::kMaxChainDepth; depth++) {
                const std::string object = SampleFileServerUtilities::sharedMemoryObjectName(name.getText());
                if (access(("/dev/shm" + object).c_str(), F_OK) == 0) left.push_back(object);
                SampleFileSharedmemSegment::advanceToNextHashString(&name);
            }
        }
    return left;
}

double secondsArgument(int argc, char** argv, const char* name, double fallback) {
    for (int i = 1; i + 1 < argc; i++)
        if (std::strcmp(argv[i], name) == 0) return std::atof(argv[i + 1]);
    return fallback;
}

std::string stringArgument(int argc, char** argv, const char* name) {
    for (int i = 1; i + 1 < argc; i++)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return std::string();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string server = stringArgument(argc, argv, "--server");
    const double seconds = secondsArgument(argc, argv, "--seconds", 60.0);
    const int clients = static_cast<int>(secondsArgument(argc, argv, "--clients", 50));
    const int files = static_cast<int>(secondsArgument(argc, argv, "--files", 300));
    if (server.empty() || access(server.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "usage: Soak --server PATH [--seconds N] [--clients N] [--files N]\n");
        return 2;
    }
    // The server, detached by the client that starts it, is adopted by this
    // process, so that its exit status can be collected.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("PR_SET_CHILD_SUBREAPER");
        return 2;
    }
    char folderTemplate[] = "/tmp/rhsoak-XXXXXX";
    if (mkdtemp(folderTemplate) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string root = folderTemplate;
    for (const char* sub : {"/run", "/home", "/state", "/lib"}) fs::create_directories(root + sub);
    chmod((root + "/run").c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);

    std::mt19937 rng(static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
    const std::vector<FileSpec> library = makeLibrary(root + "/lib", files, rng);
    std::printf("soak: %d clients over %d files (%d damaged) for %.0f s in %s\n", clients, files,
                static_cast<int>(std::count_if(library.begin(), library.end(),
                                               [](const FileSpec& s) { return s.damage != Damage::kNone; })),
                seconds, root.c_str());
    std::fflush(stdout);

    std::map<pid_t, Child> children;
    std::map<Exit, int> started;
    int failedClients = 0;
    int finishedNormally = 0;
    pid_t serverProcess = -1;
    int serverStatus = -1;
    bool churning = true;
    int serversEndedEarly = 0;  // with clients still about: only a fault ends a server then
    Usage first, peak, last;
    bool haveFirst = false;
    auto nextSample = Clock::now();

    auto reap = [&](bool block) {
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, block ? 0 : WNOHANG)) > 0) {
            auto it = children.find(pid);
            if (it == children.end()) {
                if (pid == serverProcess) {
                    serverStatus = status;
                    if (churning) {
                        serversEndedEarly++;
                        std::printf("server %d ended during the churn (status %d)\n", pid, status);
                        serverProcess = -1;
                        serverStatus = -1;
                    }
                }
                continue;  // the first child of a detached start, or the server
            }
            if (it->second.exit == Exit::kNormal) {
                if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                    finishedNormally++;
                else
                    failedClients++;
            } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
                failedClients++;  // a client to be killed that failed a check first
            }
            children.erase(it);
            if (block) break;
        }
    };
    auto sample = [&]() {
        if (serverProcess <= 0) {
            serverProcess = srvtest::serverPid();
            if (serverProcess <= 0) return;
        }
        Usage u;
        if (!readUsage(serverProcess, &u)) return;
        if (!haveFirst) first = u, haveFirst = true;
        peak.rssKb = std::max(peak.rssKb, u.rssKb);
        peak.fds = std::max(peak.fds, u.fds);
        last = u;
    };

    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::uniform_int_distribution<int> lifeMs(50, 2500);
    while (Clock::now() < end) {
        while (static_cast<int>(children.size()) < clients) {
            Child child;
            const unsigned pick = rng() % 3;
            child.exit = pick == 0 ? Exit::kNormal : pick == 1 ? Exit::kKill : Exit::kStopThenKill;
            child.signalAt = Clock::now() + std::chrono::milliseconds(lifeMs(rng));
            child.killAt = child.signalAt + std::chrono::milliseconds(1000 + lifeMs(rng));
            const ClientPlan plan{1 + static_cast<int>(rng() % 3), static_cast<uint32_t>(rng())};
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid < 0) {
                std::perror("fork");
                break;
            }
            if (pid == 0) {
                // The attach side reports every missing segment on standard
                // output (mono files have no channel 1): not wanted here.
                const int devNull = open("/dev/null", O_WRONLY);
                if (devNull >= 0) dup2(devNull, 1);
                _exit(runClient(library, server, plan));
            }
            children[pid] = child;
            started[child.exit]++;
        }
        const auto now = Clock::now();
        for (auto& [pid, child] : children) {
            if (child.exit == Exit::kKill && now >= child.signalAt) {
                kill(pid, SIGKILL);
            } else if (child.exit == Exit::kStopThenKill) {
                if (!child.stopped && now >= child.signalAt) {
                    kill(pid, SIGSTOP);
                    child.stopped = true;
                } else if (child.stopped && now >= child.killAt) {
                    kill(pid, SIGKILL);
                }
            }
        }
        reap(false);
        if (Clock::now() >= nextSample) {
            sample();
            nextSample += std::chrono::seconds(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Everyone leaves: normal clients finish their rounds, the others are killed.
    sample();
    churning = false;
    const Usage endOfChurn = last;
    for (auto& [pid, child] : children)
        if (child.exit != Exit::kNormal) kill(pid, SIGKILL);
    while (!children.empty()) reap(true);

    // The server ends by itself once its last client is gone.
    bool serverEnded = false;
    const auto serverDeadline = Clock::now() + std::chrono::seconds(30);
    while (serverProcess > 0 && Clock::now() < serverDeadline) {
        reap(false);
        if (serverStatus != -1) {
            serverEnded = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (serverProcess > 0 && !serverEnded) {
        kill(serverProcess, SIGKILL);
        waitpid(serverProcess, nullptr, 0);
    }
    const std::vector<std::string> left = leftSegments(library);
    for (const std::string& name : left) shm_unlink(name.c_str());
    std::error_code ec;
    fs::remove_all(root, ec);

    const bool serverOk = serverEnded && WIFEXITED(serverStatus) && WEXITSTATUS(serverStatus) == 0;
    std::printf("clients: %d normal (%d finished with every check held), %d killed, %d stopped then killed; %d failed\n",
                started[Exit::kNormal], finishedNormally, started[Exit::kKill], started[Exit::kStopThenKill],
                failedClients);
    std::printf("server RSS: start %ld KiB, peak %ld KiB, end %ld KiB; descriptors: start %d, peak %d, end %d\n",
                first.rssKb, peak.rssKb, endOfChurn.rssKb, first.fds, peak.fds, endOfChurn.fds);
    if (!serverEnded)
        std::printf("server: did not end within 30 s of the last client\n");
    else if (!serverOk)
        std::printf("server: ended with status %d (signal %d)\n", WIFEXITED(serverStatus) ? WEXITSTATUS(serverStatus) : -1,
                    WIFSIGNALED(serverStatus) ? WTERMSIG(serverStatus) : 0);
    else
        std::printf("server: exited with status 0\n");
    std::printf("segments left in /dev/shm: %zu\n", left.size());
    const bool ok = serverProcess > 0 && serverOk && serversEndedEarly == 0 && left.empty() && failedClients == 0 && finishedNormally > 0;
    std::printf("soak: %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
}
