// The QuilloranticsServer process: serves "ServerManagerPort_v3" until its
// last client is gone. Reads no configuration and exits with status 0 in
// every case, at once when another server already serves the port.
//
// Arguments: --help and --version print and exit; --detached (given by the
// clients that start the server) sends standard output and error to the
// log file in the user's state folder; any other argument is ignored.
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "PortFolder.h"
#include "QuilloranticsVersion.h"
#include "RhMemory.h"
#include "SampleFileServer.h"
#include "SampleFileServerUtilities.h"
#include "ServerLog.h"
#ifdef RH_TEST_STAND_IN_LOADER
#include "StandInLoader.h"  // a test build only; the shipped server never has it
#endif
#ifdef RH_TEST_STAGE_HOOKS
#include "StageHooks.h"  // a test build only; the shipped server never has it
#endif

// A test build of this file may define shorter status-poll intervals; the
// shipped server always uses the constants of SampleFileServer.
#ifndef RH_FIRST_STATUS_POLL_SECONDS
#define RH_FIRST_STATUS_POLL_SECONDS SampleFileServer::kFirstStatusPollSeconds
#endif
#ifndef RH_STATUS_POLL_INTERVAL_SECONDS
#define RH_STATUS_POLL_INTERVAL_SECONDS SampleFileServer::kStatusPollIntervalSeconds
#endif
// A test build may also bound its log file more tightly.
#ifndef RH_SERVER_LOG_CAP_BYTES
#define RH_SERVER_LOG_CAP_BYTES ServerLog::kCapBytes
#endif

namespace {

constexpr rlim_t kWantedOpenFiles = 10240;

const char kHelp[] =
    "Usage: QuilloranticsServer [--help | --version]\n"
    "\n"
    "The sample-file server: loads the sample files that plug-in instances use\n"
    "once per user and shares them through shared memory. Clients start it when\n"
    "none serves, and it ends when its last client has gone; there is no need to\n"
    "start it by hand. It reads no configuration.\n"
    "\n"
    "  --help       print this text\n"
    "  --version    print the version\n"
    "  --detached   (given by clients that start it) send standard output and\n"
    "               error to the log file in the state folder:\n"
    "               $XDG_STATE_HOME/Quillorantics/QuilloranticsServer.log, else\n"
    "               ~/.local/state/Quillorantics/QuilloranticsServer.log\n"
    "\n"
    "Other arguments are ignored. Exit status: 0.\n";

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

int main(int argc, char** argv) {
    const char* const name = SampleFileServerUtilities::kServerProcessName;
    bool detached = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            fputs(kHelp, stdout);
            return 0;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s %s\n", name, kQuilloranticsVersion);
            return 0;
        }
        if (strcmp(argv[i], "--detached") == 0)
            detached = true;
    }
    if (detached) {
        std::string why;
        if (!ServerLog::redirectOutput(ServerLog::folder(), RH_SERVER_LOG_CAP_BYTES, &why))
            fprintf(stderr, "%s: Cannot write the log file: %s.\n", name, why.c_str());
    }
    // A folder that is refused serves no port; say which and why, since the
    // clients can only tell that they reached no server.
    std::string folder;
    std::string why;
    if (!platform::portFolder(&folder, &why)) {
        fprintf(stderr, "%s: Cannot serve %s: %s. The folder must be yours, a real folder, and closed to "
                        "others (mode 0700).\n",
                name, SampleFileServerUtilities::kServerManagerPortName, why.c_str());
        fflush(stderr);
        return 0;
    }
    raiseOpenFileLimit();
    // Segments may be locked into memory; let as much be locked as allowed.
    RhMemory::raiseLockedMemoryLimit();
#ifdef RH_TEST_STAND_IN_LOADER
    installStandInLoader();
#endif
#ifdef RH_TEST_STAGE_HOOKS
    installStageHooks();
#endif
#ifdef RH_TEST_NO_READER
    // A test build for the protocol alone: every file named stays queued.
    SampleFileServer::sDiskReaderJobFunction = nullptr;
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
