// The QuilloranticsServer process: serves "ServerManagerPort_v3" until its
// last client is gone. Reads no arguments and exits with status 0 in every
// case, at once when another server already serves the port.
#include <sys/resource.h>

#include "RhMemory.h"
#include "SampleFileServer.h"
#ifdef RH_TEST_STAND_IN_LOADER
#include "StandInLoader.h"  // a test build only; the shipped server never has it
#endif

// A test build of this file may define shorter status-poll intervals; the
// shipped server always uses the constants of SampleFileServer.
#ifndef RH_FIRST_STATUS_POLL_SECONDS
#define RH_FIRST_STATUS_POLL_SECONDS SampleFileServer::kFirstStatusPollSeconds
#endif
#ifndef RH_STATUS_POLL_INTERVAL_SECONDS
#define RH_STATUS_POLL_INTERVAL_SECONDS SampleFileServer::kStatusPollIntervalSeconds
#endif

namespace {

constexpr rlim_t kWantedOpenFiles = 10240;

// Raises the soft limit of open files to 10240, or to the hard limit when
// that is lower. Failures are ignored.
void raiseOpenFileLimit() {
    struct rlimit limits;
    if (getrlimit(RLIMIT_NOFILE, &limits) != 0)
        return;
    rlim_t wanted = kWantedOpenFiles;
    if (limits.rlim_max != RLIM_INFINITY && limits.rlim_max < wanted)
        wanted = limits.rlim_max;
    if (limits.rlim_cur != RLIM_INFINITY && limits.rlim_cur >= wanted)
        return;
    limits.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limits);
}

}  // namespace

int main() {
    raiseOpenFileLimit();
    // Segments may be locked into memory; let as much be locked as allowed.
    RhMemory::raiseLockedMemoryLimit();
#ifdef RH_TEST_STAND_IN_LOADER
    installStandInLoader();
#endif
    // A test build may lower the limits so that tests can reach them.
#ifdef RH_TEST_MAX_REGISTERED_CLIENTS
    SampleFileServer::sLimits.maxRegisteredClients = RH_TEST_MAX_REGISTERED_CLIENTS;
#endif
#ifdef RH_TEST_MAX_HELD_SAMPLE_FILES
    SampleFileServer::sLimits.maxHeldSampleFiles = RH_TEST_MAX_HELD_SAMPLE_FILES;
#endif
#ifdef RH_TEST_MAX_HELD_PATH_BYTES
    SampleFileServer::sLimits.maxHeldPathBytes = RH_TEST_MAX_HELD_PATH_BYTES;
#endif
    SampleFileServer::runServerMain(RH_FIRST_STATUS_POLL_SECONDS, RH_STATUS_POLL_INTERVAL_SECONDS);
    return 0;
}
