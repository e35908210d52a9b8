// Round trip of a progress request (message 4: 256 bytes out, 4 bytes back)
// through the real server process, against a bare AF_UNIX request/reply of
// the same sizes between two processes, measured in the same run.
//
// A wake-up across cores costs several times one on the same core, so the
// figures depend on where the scheduler puts the processes. Each placement
// is measured with a server and a bare peer of its own: unpinned, both ends
// on one core, and the client on one core with the server (the bare peer
// likewise) on another.
//
// Prints both medians and their ratio per placement; the goal is a ratio of
// at most 1.5 in each.
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "MessagePort.h"
#include "SampleFileClient.h"
#include "SampleFileServerUtilities.h"

#ifndef QUILLORANTICS_SERVER_PATH
#error "QUILLORANTICS_SERVER_PATH must name the server executable"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 10;           // alternating blocks of each kind
constexpr int kRequestsPerRound = 2000;
constexpr int kWarmup = 1000;
constexpr size_t kRequestBytes = 256;
constexpr size_t kReplyBytes = 4;

bool readFully(int fd, char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = read(fd, buffer + done, length - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeFully(int fd, const char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, buffer + done, length - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Where each end runs: a CPU number, or -1 for wherever the scheduler
// likes (the mask the benchmark started with).
struct Placement {
    const char* name;
    int clientCpu;
    int serverCpu;
};

cpu_set_t gStartMask;

void pinCallingThread(int cpu) {
    if (cpu < 0) {
        sched_setaffinity(0, sizeof gStartMask, &gStartMask);
        return;
    }
    cpu_set_t mask;
    CPU_ZERO(&mask);
    CPU_SET(cpu, &mask);
    sched_setaffinity(0, sizeof mask, &mask);
}

// The bare peer: a child process that answers every 256 bytes with 4.
struct BarePeer {
    int fd = -1;
    pid_t pid = -1;

    bool start(int cpu) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            pinCallingThread(cpu);
            close(pair[0]);
            char request[kRequestBytes];
            const char reply[kReplyBytes] = {0, 0, 0, 0};
            while (readFully(pair[1], request, sizeof request) && writeFully(pair[1], reply, sizeof reply)) {
            }
            _exit(0);
        }
        close(pair[1]);
        fd = pair[0];
        return pid > 0;
    }

    double roundTripMicros() {
        char request[kRequestBytes] = {'x'};
        char reply[kReplyBytes];
        const auto start = Clock::now();
        if (!writeFully(fd, request, sizeof request) || !readFully(fd, reply, sizeof reply))
            return -1.0;
        return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }

    ~BarePeer() {
        if (fd >= 0)
            close(fd);
        if (pid > 0)
            waitpid(pid, nullptr, 0);
    }
};

double median(std::vector<double> values) {
    if (values.empty())
        return 0.0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

bool waitUntilServing() {
    for (int i = 0; i < 500; i++) {
        if (platform::RemotePort::connect(SampleFileServerUtilities::kServerManagerPortName) != nullptr)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

struct Medians {
    double bare = 0;
    double server = 0;
};

int runBench(const Placement& placement, Medians* medians) {
    SampleFileClient::Options options;
    options.serverExecutable = QUILLORANTICS_SERVER_PATH;
    options.startServer = false;
    SampleFileClient client(options);
    if (client.connect() != 0) {
        fprintf(stderr, "RoundTripBench: could not register with the server.\n");
        return 1;
    }
    // A registered client with a few files, so that the server does its
    // real lookup and count for every request.
    std::vector<SampleFileClient::Entry> entries;
    for (int i = 0; i < 50; i++)
        entries.push_back({"/bench/file" + std::to_string(i) + ".wav", 1000});
    client.sendSampleFileList(entries);

    BarePeer bare;
    if (!bare.start(placement.serverCpu)) {
        fprintf(stderr, "RoundTripBench: could not start the bare peer.\n");
        return 1;
    }
    int32_t remaining = 0;
    for (int i = 0; i < kWarmup; i++) {
        client.getLoadProgress(&remaining);
        bare.roundTripMicros();
    }
    std::vector<double> serverTimes;
    std::vector<double> bareTimes;
    for (int round = 0; round < kRounds; round++) {
        for (int i = 0; i < kRequestsPerRound; i++) {
            const auto start = Clock::now();
            if (client.getLoadProgress(&remaining) != 0) {
                fprintf(stderr, "RoundTripBench: a progress request failed.\n");
                return 1;
            }
            serverTimes.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        for (int i = 0; i < kRequestsPerRound; i++) {
            double micros = bare.roundTripMicros();
            if (micros < 0) {
                fprintf(stderr, "RoundTripBench: the bare peer failed.\n");
                return 1;
            }
            bareTimes.push_back(micros);
        }
    }
    medians->bare = median(bareTimes);
    medians->server = median(serverTimes);
    printf("  %-44s %10.2f %10.2f %8.2f\n", placement.name, medians->bare, medians->server,
           medians->server / medians->bare);
    client.leave();
    return 0;
}

// One placement with a server of its own in a port folder of its own.
int runPlacement(const Placement& placement) {
    char folder[] = "/tmp/roundtrip-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        fprintf(stderr, "RoundTripBench: cannot make a temporary folder.\n");
        return 1;
    }
    // A port folder of its own: never meets a real server.
    setenv("XDG_RUNTIME_DIR", folder, 1);
    // The client's threads, made after this, inherit the calling thread's CPU.
    pinCallingThread(placement.clientCpu);
    pid_t server = fork();
    if (server == 0) {
        pinCallingThread(placement.serverCpu);
        execl(QUILLORANTICS_SERVER_PATH, QUILLORANTICS_SERVER_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    int result = 1;
    Medians medians;
    if (server > 0 && waitUntilServing())
        result = runBench(placement, &medians);
    else
        fprintf(stderr, "RoundTripBench: the server did not start.\n");
    if (server > 0) {
        // It ends by itself when the client leaves; make sure of it.
        bool reaped = false;
        for (int i = 0; i < 300 && !reaped; i++) {
            reaped = waitpid(server, nullptr, WNOHANG) == server;
            if (!reaped)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!reaped) {
            kill(server, SIGKILL);
            waitpid(server, nullptr, 0);
        }
    }
    pinCallingThread(-1);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return result;
}

}  // namespace

int main() {
    if (sched_getaffinity(0, sizeof gStartMask, &gStartMask) != 0) {
        fprintf(stderr, "RoundTripBench: cannot read the CPU mask.\n");
        return 1;
    }
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; cpu++)
        if (CPU_ISSET(cpu, &gStartMask))
            cpus.push_back(cpu);
    std::vector<Placement> placements = {{"unpinned", -1, -1}};
    static char oneCore[64], twoCores[64];
    snprintf(oneCore, sizeof oneCore, "one core (both on CPU %d)", cpus[0]);
    placements.push_back({oneCore, cpus[0], cpus[0]});
    if (cpus.size() > 1) {
        snprintf(twoCores, sizeof twoCores, "two cores (client CPU %d, server CPU %d)", cpus[0], cpus[1]);
        placements.push_back({twoCores, cpus[0], cpus[1]});
    }
    printf("Round trips: %d of each kind per placement, 256 bytes out, 4 bytes back\n", kRounds * kRequestsPerRound);
    printf("  %-44s %10s %10s %8s\n", "placement", "bare us", "server us", "ratio");
    int result = 0;
    for (const Placement& placement : placements)
        result |= runPlacement(placement);
    if (cpus.size() < 2)
        printf("  (one CPU only: the two-core placement is left out)\n");
    printf("  ratio: median of server progress (message 4) over median of a bare AF_UNIX\n"
           "  request/reply between two processes; goal <= 1.5 in each placement\n");
    return result;
}
