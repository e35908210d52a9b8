// The command-line client, run as a user would: usage errors, ping, and a
// held load that starts the server and leaves it cleanly on Ctrl-C.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MessagePort.h"
#include "SampleFileClient.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"
#include "SegmentSupport.h"
#include "ServerProcessSupport.h"
#include "TestSupport.h"

#ifndef SFCLIENT_PATH
#error "SFCLIENT_PATH must name the sfclient executable"
#endif
#ifndef QUILLORANTICS_TEST_LOADER_SERVER_PATH
#error "QUILLORANTICS_TEST_LOADER_SERVER_PATH must name the server built with the stand-in loader"
#endif

namespace {

using srvtest::Clock;

class SfclientTest : public ::testing::Test {
protected:
    struct Result {
        int status;
        std::string output;  // stdout and stderr together
    };

    Result run(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv = {SFCLIENT_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        srvtest::ChildProcess child;
        const std::string out = runtimeDir.file("out-" + std::to_string(runs_++));
        EXPECT_TRUE(child.start(argv, out));
        std::optional<int> status = child.waitExit(10.0);
        EXPECT_TRUE(status.has_value()) << "sfclient did not end";
        return {status.value_or(-1), rhtest::readFile(out)};
    }

    // Waits until `file` holds `text`.
    static bool waitForOutput(const std::string& file, const std::string& text, double seconds = 5.0) {
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < end) {
            if (rhtest::readFile(file).find(text) != std::string::npos)
                return true;
            srvtest::sleepSeconds(0.02);
        }
        return false;
    }

    // The client name that `sfclient load` printed in `output`.
    static std::string clientNameIn(const std::string& output) {
        const std::string marker = "Registered as ";
        size_t start = output.find(marker);
        if (start == std::string::npos)
            return std::string();
        start += marker.size();
        size_t end = output.find(".\n", start);
        return end == std::string::npos ? std::string() : output.substr(start, end - start);
    }

    // A 441-frame WAVE file of a sine at -3 dBFS, its segments watched.
    std::string sample(const std::string& name, int channels) {
        const std::string path = segments.watch(runtimeDir.file(name));
        const std::string command = "sox -q -n -r 44100 -b 16 -c " + std::to_string(channels) + " -t wavpcm '" +
                                    path + "' synth 0.01 sine 1000 gain -3 2>/dev/null";
        EXPECT_EQ(system(command.c_str()), 0) << command;
        return path;
    }

    rhtest::TempDir runtimeDir;
    rhtest::ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtimeDir.path()};
    srvtest::SegmentSweeper segments;  // after every server is gone
    srvtest::ServerSweeper sweeper;

private:
    int runs_ = 0;
};

TEST_F(SfclientTest, HelpAndUsageErrors) {
    Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"load", "--hold", "progress", "ping", "segments", "--remove-stale"})
        EXPECT_NE(help.output.find(command), std::string::npos) << command;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"load", "--help"}, std::vector<std::string>{"load", "a.wav", "-h"},
          std::vector<std::string>{"segments", "--help"}, std::vector<std::string>{"progress", "--help"}}) {
        Result commandHelp = run(arguments);
        EXPECT_EQ(commandHelp.status, 0) << arguments[0];
        EXPECT_EQ(commandHelp.output, help.output) << arguments[0];
    }

    struct Case {
        std::vector<std::string> arguments;
        const char* sentence;
    };
    const std::vector<Case> cases = {
        {{}, "No command given."},
        {{"fetch"}, "Unknown command: fetch."},
        {{"load"}, "load needs at least one FILE."},
        {{"load", "--frames", "-1", "a.wav"}, "--frames needs a whole number"},
        {{"load", "--frames"}, "--frames needs a whole number"},
        {{"load", "--wait", "soon", "a.wav"}, "--wait needs a number of seconds"},
        {{"load", "--fast", "a.wav"}, "Unknown option for load: --fast."},
        {{"progress"}, "progress needs exactly one NAME"},
        {{"ping", "now"}, "ping takes no arguments."},
        {{"segments", "--all"}, "Unknown option for segments: --all."},
        {{"segments", "a", "b"}, "segments takes at most one FOLDER."},
    };
    for (const Case& c : cases) {
        Result result = run(c.arguments);
        EXPECT_EQ(result.status, 2) << c.sentence;
        EXPECT_NE(result.output.find(c.sentence), std::string::npos) << result.output;
    }
    EXPECT_FALSE(SampleFileClient::isServerServing()) << "a usage error must not start a server";
}

TEST_F(SfclientTest, PingAndProgressWithoutServer) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"ping"},
                                                      std::vector<std::string>{"progress", "x.ClientManager"}}) {
        Result result = run(arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.output.find("No server is serving."), std::string::npos) << result.output;
    }
}

TEST_F(SfclientTest, HeldLoadStartsTheServerReportsAndLeavesOnInterrupt) {
    const std::string a = sample("a.wav", 2);
    const std::string b = sample("b.wav", 1);
    const std::string out = runtimeDir.file("held");
    srvtest::ChildProcess held;
    // A file named twice is one file to the server, and so to the count.
    ASSERT_TRUE(held.start({SFCLIENT_PATH, "load", "--hold", a, b, a}, out));
    ASSERT_TRUE(waitForOutput(out, "2 of 2 files loaded.")) << rhtest::readFile(out);
    const std::string report = rhtest::readFile(out);
    EXPECT_NE(report.find("Nothing left to load."), std::string::npos) << report;
    EXPECT_NE(report.find("2           441      -3.0  " + a), std::string::npos) << report;
    EXPECT_NE(report.find("1           441      -3.0  " + b), std::string::npos) << report;
    const std::string name = clientNameIn(report);
    ASSERT_FALSE(name.empty()) << report;

    Result ping = run({"ping"});
    EXPECT_EQ(ping.status, 0);
    EXPECT_NE(ping.output.find("A server is serving."), std::string::npos);
    Result progress = run({"progress", name});
    EXPECT_EQ(progress.status, 0);
    EXPECT_NE(progress.output.find("0 files of " + name + " still loading."), std::string::npos) << progress.output;

    held.signal(SIGINT);
    std::optional<int> status = held.waitExit(5.0);
    ASSERT_TRUE(status.has_value()) << "sfclient did not end on Ctrl-C";
    EXPECT_EQ(*status, 0);
    EXPECT_NE(rhtest::readFile(out).find("Left the server."), std::string::npos) << rhtest::readFile(out);
    EXPECT_TRUE(srvtest::waitUntilNotServing(3.0)) << "the server should end with its last client";
}

TEST_F(SfclientTest, LoadNamesEveryFileThatDidNotLoad) {
    const std::string good = sample("good.wav", 1);
    const std::string junk = segments.watch(runtimeDir.write("junk.wav", "no samples here"));
    const std::string folder = runtimeDir.file("folder.wav");
    mkdir(folder.c_str(), 0700);
    const std::string list = runtimeDir.write("list.txt", good + "\n\n" + junk + "\n");
    Result result = run({"load", "--list", list, runtimeDir.file("missing.wav"), folder});
    EXPECT_EQ(result.status, 1);
    for (const std::string& expected : std::vector<std::string>{runtimeDir.file("missing.wav") + ": No such file.", folder + ": It is a folder, not a sample file.",
          "Not loaded: " + junk + "\n  Requested file is not a sample file.", "1 of 2 files loaded."})
        EXPECT_NE(result.output.find(expected), std::string::npos) << expected << "\n" << result.output;

    Result loaded = run({"load", "--list", runtimeDir.write("one.txt", good + "\n")});
    EXPECT_EQ(loaded.status, 0) << loaded.output;
    EXPECT_NE(loaded.output.find("1 of 1 file loaded."), std::string::npos) << loaded.output;

    Result info = run({"info", good, runtimeDir.file("missing.wav")});
    EXPECT_EQ(info.status, 1);
    for (const std::string& expected : std::vector<std::string>{"format       WAVE", "channels     1", "frames       441",
                                        "sample rate  44100 Hz", "bits         16", "loop         none",
                                        "cannot be read: Sample file not found on disk"})
        EXPECT_NE(info.output.find(expected), std::string::npos) << expected << "\n" << info.output;
}

TEST_F(SfclientTest, AKilledClientIsRemovedAndTheServerEnds) {
    const std::string out = runtimeDir.file("killed");
    srvtest::ChildProcess held;
    ASSERT_TRUE(held.start({SFCLIENT_PATH, "load", "--hold", "--no-check", "/nowhere/a.wav"}, out));
    ASSERT_TRUE(waitForOutput(out, "Staying registered")) << rhtest::readFile(out);
    ASSERT_TRUE(SampleFileClient::isServerServing());
    held.kill();
    EXPECT_TRUE(srvtest::waitUntilNotServing(3.0)) << "the server kept a client that vanished";
}

TEST_F(SfclientTest, SegmentsAreListedAndRemovedOnlyWhenNoServerServes) {
    const std::string folder = runtimeDir.file("samples");
    const std::string path = segments.watch(folder + "/a.wav");
    const std::string name = srvtest::segmentName(path);
    srvtest::ChildProcess server;
    ASSERT_TRUE(server.start({QUILLORANTICS_TEST_LOADER_SERVER_PATH}));
    ASSERT_TRUE(srvtest::waitUntilServing());
    const std::string out = runtimeDir.file("held");
    srvtest::ChildProcess held;
    ASSERT_TRUE(held.start({SFCLIENT_PATH, "load", "--hold", "--no-check", "--frames", "100", path}, out));
    ASSERT_TRUE(waitForOutput(out, "Nothing left to load.")) << rhtest::readFile(out);

    const std::string size = std::to_string(
        SampleFileServerUtilities::roundUpToPageSize(SampleFileSharedmemSegment::fullSize(100)));
    const std::string line = name + "  100 frames  " + size + " bytes  " + path + "\n";
    struct Case {
        std::string folder;
        bool listed;
    };
    const Case cases[] = {
        {folder, true},
        {folder + "/", true},
        {folder.substr(0, folder.size() - 1), false},  // a name that only begins like the folder
        {folder + "/a", false},
    };
    for (const Case& c : cases) {
        Result listed = run({"segments", c.folder});
        EXPECT_EQ(listed.status, 0);
        EXPECT_EQ(listed.output, c.listed ? line : "No segments found.\n") << c.folder;
    }
    Result all = run({"segments"});
    EXPECT_NE(all.output.find(line), std::string::npos) << all.output;

    Result refused = run({"segments", "--remove-stale", folder});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.output.find("A server is serving"), std::string::npos) << refused.output;
    EXPECT_TRUE(srvtest::segmentExists(name));

    // A crashed server leaves its segments behind.
    server.kill();
    held.kill();
    ASSERT_TRUE(srvtest::segmentExists(name));
    {
        // A server too busy to answer still serves: it accepts connections.
        auto busy = platform::LocalPort::create(SampleFileServerUtilities::kServerManagerPortName, nullptr);
        ASSERT_NE(busy, nullptr);
        Result refusedBusy = run({"segments", "--remove-stale", folder});
        EXPECT_EQ(refusedBusy.status, 1);
        EXPECT_NE(refusedBusy.output.find("A server is serving"), std::string::npos) << refusedBusy.output;
        EXPECT_TRUE(srvtest::segmentExists(name));
    }
    {
        // Mapped by a process, as by a server of another port folder or a
        // client that still plays from it.
        SampleFileAttachment attachment;
        ASSERT_EQ(SampleFileClient::attachSampleFile(path, 0, 100, &attachment), 0);
        Result skipped = run({"segments", "--remove-stale", folder});
        EXPECT_EQ(skipped.status, 0);
        EXPECT_EQ(skipped.output, "Skipped " + name + " (" + path + "): a process still maps it.\nSkipped 1 segment in use.\n");
        EXPECT_TRUE(srvtest::segmentExists(name));
    }
    Result removed = run({"segments", "--remove-stale", folder});
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.output, "Removed " + name + " (" + path + ").\nRemoved 1 stale segment.\n");
    EXPECT_FALSE(srvtest::segmentExists(name));
    EXPECT_EQ(run({"segments", "--remove-stale", folder}).output, "No stale segments found.\n");
}

}  // namespace
