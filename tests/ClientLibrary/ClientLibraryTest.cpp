// The client library through its C interface, with the test server whose
// stand-in loader turns every listed file into a one-channel segment.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <quillorantics/client.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ClientLibraryTestSupport.h"

#ifndef RH_CONFIGURED_SERVER_PATH
#error "RH_CONFIGURED_SERVER_PATH must name the installed location the library searches"
#endif
#ifndef QUILLORANTICS_TEST_LOADER_SERVER_PATH
#error "QUILLORANTICS_TEST_LOADER_SERVER_PATH must name the server built with the stand-in loader"
#endif

namespace {

using clienttest::LogCollector;
using clienttest::waitUntil;

class ClientLibraryTest : public clienttest::ClientFixture {
protected:
    static qsf_options testOptions() {
        qsf_options options;
        qsf_options_init(&options);
        options.server_executable = QUILLORANTICS_TEST_LOADER_SERVER_PATH;
        return options;
    }

    // Sends `paths` with `frames` each and waits until none is left to load.
    static void loadList(qsf_client* client, const std::vector<std::string>& paths, const std::vector<int32_t>& frames) {
        std::vector<const char*> texts;
        for (const std::string& path : paths)
            texts.push_back(path.c_str());
        ASSERT_EQ(qsf_client_send_list(client, texts.data(), frames.data(), texts.size()), QSF_OK);
        ASSERT_TRUE(waitUntil([&] { return remaining(client) == 0; }, 10.0)) << "the files were not loaded";
    }

    static int32_t remaining(qsf_client* client) {
        int32_t left = -1;
        return qsf_client_get_progress(client, &left) == QSF_OK ? left : -1;
    }

    static std::vector<qsf_file_outcome> outcomes(qsf_client* client, size_t count) {
        std::vector<qsf_file_outcome> found(count, qsf_file_outcome{-1, -1, -1});
        EXPECT_EQ(qsf_client_get_outcomes(client, found.data(), count), QSF_OK);
        return found;
    }

    void TearDown() override { qsf_set_log_callback(nullptr, nullptr); }
};

struct Events {
    std::atomic<int> gone{0};
    std::atomic<int> connectionResults{0};
    static void onGone(void* self) { static_cast<Events*>(self)->gone++; }
    static void onConnection(void* self, int, int) { static_cast<Events*>(self)->connectionResults++; }
};

TEST_F(ClientLibraryTest, AKilledServerIsReportedAndAFreshOneLoadsTheListAgainUnasked) {
    const std::string piano = samplePath("piano.wav");
    const std::string strings = samplePath("strings.wav");
    const qsf_options options = testOptions();
    qsf_client* client = qsf_client_create(&options);
    ASSERT_NE(client, nullptr);
    Events events;
    qsf_client_set_server_gone_callback(client, Events::onGone, &events);
    qsf_client_set_connection_callback(client, Events::onConnection, &events);
    ASSERT_EQ(qsf_client_connect(client), QSF_OK);
    loadList(client, {piano, strings}, {100, 50});
    std::vector<qsf_file_outcome> first = outcomes(client, 2);
    EXPECT_EQ(first[0].loaded, 1);
    EXPECT_EQ(first[0].channels, 1);
    EXPECT_EQ(first[0].frames, 100);
    EXPECT_EQ(first[1].frames, 50);
    int status = -1;
    qsf_file* held = qsf_file_attach(piano.c_str(), 100, &status);
    ASSERT_NE(held, nullptr) << qsf_status_text(status);

    const int killed = qsf_client_server_pid(client);
    ASSERT_GT(killed, 0);
    ASSERT_EQ(kill(killed, SIGKILL), 0);
    ASSERT_TRUE(waitUntil([&] { return events.gone.load() >= 1; }, 5.0))
        << "the server-gone callback did not run; state " << qsf_client_state(client, nullptr);
    // What the killed server left is removed: only a fresh server can make
    // the segments again.
    for (const std::string& path : {piano, strings})
        shm_unlink(SampleFileServerUtilities::sharedMemoryObjectName(srvtest::segmentName(path).c_str()).c_str());

    ASSERT_TRUE(waitUntil(
        [&] {
            return qsf_client_state(client, nullptr) == QSF_STATE_CONNECTED && qsf_client_server_pid(client) > 0 &&
                   qsf_client_server_pid(client) != killed;
        },
        10.0))
        << "no new server was reached";
    EXPECT_GE(events.connectionResults.load(), 1);
    ASSERT_TRUE(waitUntil(
        [&] {
            return remaining(client) == 0 && srvtest::segmentExists(srvtest::segmentName(piano)) &&
                   srvtest::segmentExists(srvtest::segmentName(strings));
        },
        10.0))
        << "the list was not loaded again";
    std::vector<qsf_file_outcome> again = outcomes(client, 2);
    EXPECT_EQ(again[0].loaded, 1);
    EXPECT_EQ(again[1].loaded, 1);
    EXPECT_EQ(again[1].frames, 50);

    // The mapping made before the kill stayed valid throughout.
    ASSERT_EQ(qsf_file_frames(held), 100);
    EXPECT_EQ(qsf_file_samples(held, 0)[99], 0.0f);
    EXPECT_EQ(qsf_file_samples(held, 1), nullptr);
    qsf_file_detach(held);
    qsf_client_destroy(client);
    EXPECT_TRUE(srvtest::waitUntilNotServing(5.0)) << "the fresh server outlived its only client";
}

TEST_F(ClientLibraryTest, OutcomesTellLoadedFilesFromFilesWithoutSegments) {
    const std::string kept = samplePath("kept.wav");
    const std::string lost = samplePath("lost.wav");
    const qsf_options options = testOptions();
    qsf_client* client = qsf_client_create(&options);
    ASSERT_EQ(qsf_client_connect(client), QSF_OK);
    loadList(client, {kept, lost}, {QSF_WHOLE_FILE, 10});
    shm_unlink(SampleFileServerUtilities::sharedMemoryObjectName(srvtest::segmentName(lost).c_str()).c_str());

    // One entry more than the list: it is zeroed.
    std::vector<qsf_file_outcome> found = outcomes(client, 3);
    EXPECT_EQ(found[0].loaded, 1);
    EXPECT_GT(found[0].frames, 0);
    EXPECT_EQ(found[1].loaded, 0);
    EXPECT_EQ(found[1].channels, 0);
    EXPECT_EQ(found[1].frames, 0);
    EXPECT_EQ(found[2].loaded, 0);
    int status = 0;
    EXPECT_EQ(qsf_file_attach(lost.c_str(), QSF_ANY_FRAME_COUNT, &status), nullptr);
    EXPECT_EQ(status, QSF_ERR_NO_SEGMENT);
    qsf_client_destroy(client);
}

TEST_F(ClientLibraryTest, ListsTheServerWouldNotTakeAreRefusedBeforeSending) {
    LogCollector log;
    qsf_set_log_callback(LogCollector::callback, &log);
    const qsf_options options = testOptions();
    qsf_client* client = qsf_client_create(&options);
    ASSERT_EQ(qsf_client_connect(client), QSF_OK);
    const std::string held = samplePath("held.wav");
    loadList(client, {held}, {10});

    const std::string path = samplePath("many.wav");
    const std::vector<const char*> tooMany(QSF_MAX_LIST_ENTRIES + 1, path.c_str());
    const std::string huge(1 << 20, 'p');
    const char* hugePath[] = {huge.c_str()};
    const char* nullPath[] = {nullptr};
    struct Case {
        const char* what;
        const char* const* paths;
        size_t count;
        int status;
    } cases[] = {
        {"more entries than the server takes", tooMany.data(), tooMany.size(), QSF_ERR_LIST_TOO_LONG},
        {"a path longer than one message", hugePath, 1, QSF_ERR_BAD_ARGUMENT},
        {"a null path", nullPath, 1, QSF_ERR_BAD_ARGUMENT},
    };
    for (const Case& c : cases)
        EXPECT_EQ(qsf_client_send_list(client, c.paths, nullptr, c.count), c.status) << c.what;
    EXPECT_FALSE(log.containing("refused").empty());
    // The list in force is still the one sent before.
    std::vector<qsf_file_outcome> found = outcomes(client, 1);
    EXPECT_EQ(found[0].loaded, 1);
    EXPECT_EQ(found[0].frames, 10);
    qsf_client_destroy(client);
}

TEST_F(ClientLibraryTest, AsyncConnectReturnsBeforeAnAttemptThatCannotSucceedEnds) {
    // A "server" that never serves: the attempt could last connect_seconds.
    const std::string pidFile = dir.file("silent.pid");
    const std::string silent = dir.write("silent-server", "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 60\n");
    ASSERT_EQ(chmod(silent.c_str(), 0700), 0);
    qsf_options options = testOptions();
    options.server_executable = silent.c_str();
    options.connect_seconds = 60.0;
    qsf_client* client = qsf_client_create(&options);
    ASSERT_EQ(qsf_client_connect_async(client), QSF_OK);
    EXPECT_EQ(qsf_client_state(client, nullptr), QSF_STATE_CONNECTING);
    EXPECT_EQ(qsf_client_connect_async(client), QSF_ERR_CONNECTING);
    // A list given meanwhile waits for the connection.
    const std::string path = samplePath("waiting.wav");
    const char* paths[] = {path.c_str()};
    EXPECT_EQ(qsf_client_send_list(client, paths, nullptr, 1), QSF_ERR_CONNECTING);
    // The attempt goes on after the "server" started, without the caller.
    const bool started = waitUntil([&] { return !rhtest::readFile(pidFile).empty(); }, 5.0);
    EXPECT_EQ(qsf_client_state(client, nullptr), QSF_STATE_CONNECTING);
    qsf_client_destroy(client);  // ends the attempt
    ASSERT_TRUE(started) << "the client never started the server";
    kill(std::stoi(rhtest::readFile(pidFile)), SIGKILL);
}

TEST_F(ClientLibraryTest, AMissingServerExecutableFailsTheAttemptNamingWhereItWasLookedFor) {
    const std::string missing = dir.file("no-such-server");
    const std::string fromVariable = dir.file("no-such-server-either");
    rhtest::ScopedEnv path{"PATH", dir.path()};
    struct Case {
        const char* what;
        const char* option;
        const char* variable;
        std::vector<std::string> named;
    } cases[] = {
        {"the option", missing.c_str(), fromVariable.c_str(), {missing}},
        {"the variable", nullptr, fromVariable.c_str(), {fromVariable, QSF_SERVER_VARIABLE}},
        {"the search", nullptr, nullptr, {"beside the client", "PATH"}},
    };
    for (const Case& c : cases) {
        if (c.option == nullptr && c.variable == nullptr && access(RH_CONFIGURED_SERVER_PATH, X_OK) == 0)
            continue;  // a server is installed on this machine: the search finds it
        std::unique_ptr<rhtest::ScopedEnv> variable =
            c.variable ? std::make_unique<rhtest::ScopedEnv>(QSF_SERVER_VARIABLE, c.variable)
                       : std::make_unique<rhtest::ScopedEnv>(QSF_SERVER_VARIABLE);
        qsf_options options;
        qsf_options_init(&options);
        options.server_executable = c.option;
        qsf_client* client = qsf_client_create(&options);
        ASSERT_EQ(qsf_client_connect_async(client), QSF_OK) << c.what;
        int status = 0;
        ASSERT_TRUE(waitUntil([&] { return qsf_client_state(client, &status) == QSF_STATE_FAILED; }, 10.0)) << c.what;
        EXPECT_EQ(status, QSF_ERR_SERVER_NOT_FOUND) << c.what;
        char why[2048];
        qsf_client_last_error(client, why, sizeof why);
        for (const std::string& place : c.named)
            EXPECT_NE(std::string(why).find(place), std::string::npos) << c.what << ": " << why;
        qsf_client_destroy(client);
    }
}

TEST_F(ClientLibraryTest, NothingReachesStandardOutputAndTheSegmentCodesLinesReachTheLog) {
    LogCollector log;
    qsf_set_log_callback(LogCollector::callback, &log);
    const std::string captured = dir.file("stdout");
    fflush(stdout);
    const int saved = dup(1);
    const int capture = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(saved, 0);
    ASSERT_GE(capture, 0);
    dup2(capture, 1);
    close(capture);

    const qsf_options options = testOptions();
    qsf_client* client = qsf_client_create(&options);
    const int connected = qsf_client_connect(client);
    const std::string path = samplePath("quiet.wav");
    const char* paths[] = {path.c_str()};
    const int sent = qsf_client_send_list(client, paths, nullptr, 1);
    const bool loaded = waitUntil([&] { return remaining(client) == 0; }, 10.0);
    qsf_file_outcome outcome{};
    const int told = qsf_client_get_outcomes(client, &outcome, 1);
    int status = 0;
    // The segment code reports a failed attach on its diagnostic stream.
    qsf_file* missing = qsf_file_attach(dir.file("never-listed.wav").c_str(), 10, &status);
    qsf_client_destroy(client);

    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ(connected, QSF_OK);
    EXPECT_EQ(sent, QSF_OK);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(told, QSF_OK);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(rhtest::readFile(captured), "");
    const auto attachLines = log.containing("ATTACH:");
    ASSERT_FALSE(attachLines.empty());
    EXPECT_EQ(attachLines.front().first, QSF_LOG_DEBUG);
    EXPECT_FALSE(log.containing("Registered as").empty());
}

}  // namespace
