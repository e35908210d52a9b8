// The command-line client, run as a user would: usage errors, ping, and a
// held load that starts the server and leaves it cleanly on Ctrl-C.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "JsonValue.h"
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
#ifndef QUILLORANTICS_NO_READER_SERVER_PATH
#error "QUILLORANTICS_NO_READER_SERVER_PATH must name the server built without a reader"
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
    for (const char* command : {"load", "--hold", "progress", "ping", "segments", "--remove-stale", "status", "--json",
                                "top", "--count", "--version"})
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
        {{"status", "--all"}, "Unknown argument for status: --all."},
        {{"top", "--count", "0"}, "--count needs a whole number"},
        {{"top", "now"}, "Unknown argument for top: now."},
    };
    for (const Case& c : cases) {
        Result result = run(c.arguments);
        EXPECT_EQ(result.status, 2) << c.sentence;
        EXPECT_NE(result.output.find(std::string("sfclient: ") + c.sentence), std::string::npos) << result.output;
        EXPECT_NE(result.output.find("\nRun `sfclient --help` for the usage.\n"), std::string::npos) << result.output;
    }
    Result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output.rfind("sfclient 0.", 0), 0u) << version.output;
    EXPECT_FALSE(SampleFileClient::isServerServing()) << "a usage error must not start a server";
}

TEST_F(SfclientTest, PingAndProgressWithoutServer) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"ping"}, std::vector<std::string>{"progress", "x.ClientManager"},
          std::vector<std::string>{"status"}, std::vector<std::string>{"status", "--json"}}) {
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

// ---- status and top ----

// Two held clients sharing one of three files, on the stand-in-loader
// server (one zero-filled channel per file).
class SfclientStatusTest : public SfclientTest {
protected:
    void SetUp() override {
        for (const char* name : {"a.wav", "b.wav", "c.wav"})
            paths[name] = segments.watch(runtimeDir.file(std::string("samples/") + name));
        ASSERT_TRUE(server.start({QUILLORANTICS_TEST_LOADER_SERVER_PATH}));
        ASSERT_TRUE(srvtest::waitUntilServing());
        ASSERT_TRUE(first.start({SFCLIENT_PATH, "load", "--hold", "--no-check", "--frames", "100", paths["a.wav"], paths["b.wav"]},
                                firstOut()));
        ASSERT_TRUE(second.start({SFCLIENT_PATH, "load", "--hold", "--no-check", "--frames", "100", paths["b.wav"], paths["c.wav"]},
                                 secondOut()));
        ASSERT_TRUE(waitForOutput(firstOut(), "Nothing left to load.")) << rhtest::readFile(firstOut());
        ASSERT_TRUE(waitForOutput(secondOut(), "Nothing left to load.")) << rhtest::readFile(secondOut());
    }

    std::string firstOut() const { return runtimeDir.file("first"); }
    std::string secondOut() const { return runtimeDir.file("second"); }

    std::map<std::string, std::string> paths;
    srvtest::ChildProcess server;
    srvtest::ChildProcess first;
    srvtest::ChildProcess second;
};

TEST_F(SfclientStatusTest, JsonShowsSharedFilesWithTheirStatesCountsAndBytes) {
    Result status = run({"status", "--json"});
    ASSERT_EQ(status.status, 0) << status.output;
    JsonValue doc;
    std::string why;
    ASSERT_TRUE(parseJson(status.output, &doc, &why)) << why << "\n" << status.output;
    EXPECT_EQ(doc.find("page"), nullptr) << "the pages are merged";
    EXPECT_EQ(doc.find("server")->numberAt("pid"), server.pid());

    const uint64_t segment = SampleFileServerUtilities::roundUpToPageSize(SampleFileSharedmemSegment::fullSize(100));
    const JsonValue& totals = *doc.find("totals");
    EXPECT_EQ(totals.numberAt("clients"), 2);
    EXPECT_EQ(totals.numberAt("files"), 3);
    EXPECT_EQ(totals.numberAt("filesFinished"), 3);
    EXPECT_EQ(totals.textAt("reader"), "idle");
    EXPECT_EQ(totals.numberAt("bytesHeld"), static_cast<double>(3 * segment));
    EXPECT_EQ(totals.numberAt("bytesPrivateCopies"), 4.0 * 100 * 4);  // a 1, b 2, c 1 copies of 100 floats

    const std::map<std::string, int> clientsOf = {{"a.wav", 1}, {"b.wav", 2}, {"c.wav", 1}};
    const JsonValue& files = *doc.find("files");
    ASSERT_EQ(files.items.size(), 3u);
    for (const JsonValue& file : files.items) {
        const std::string name = file.textAt("path").substr(file.textAt("path").rfind('/') + 1);
        SCOPED_TRACE(name);
        EXPECT_EQ(file.textAt("path"), paths[name]);
        EXPECT_EQ(file.textAt("state"), "finished");
        EXPECT_EQ(file.numberAt("channels"), 1);
        EXPECT_EQ(file.numberAt("frames"), 100);
        EXPECT_EQ(file.numberAt("bytesHeld"), static_cast<double>(segment));
        EXPECT_EQ(file.numberAt("clients"), clientsOf.at(name));
    }

    const JsonValue& clients = *doc.find("clients");
    ASSERT_EQ(clients.items.size(), 2u);
    std::set<std::string> names;
    std::set<double> pids;
    for (const JsonValue& client : clients.items) {
        names.insert(client.textAt("name"));
        pids.insert(client.numberAt("pid"));
        EXPECT_EQ(client.numberAt("filesUsed"), 2);
        EXPECT_EQ(client.numberAt("filesPending"), 0);
    }
    EXPECT_EQ(names, (std::set<std::string>{clientNameIn(rhtest::readFile(firstOut())),
                                            clientNameIn(rhtest::readFile(secondOut()))}));
    EXPECT_EQ(pids, (std::set<double>{static_cast<double>(first.pid()), static_cast<double>(second.pid())}));

    Result tables = run({"status"});
    ASSERT_EQ(tables.status, 0) << tables.output;
    for (const std::string& text : {std::string("Clients: 2"), std::string("Files: 3"), paths["b.wav"],
                                    std::string("finished"), std::to_string(first.pid())})
        EXPECT_NE(tables.output.find(text), std::string::npos) << text << "\n" << tables.output;
}

TEST_F(SfclientStatusTest, TopShowsTheFilesOnATerminalAndEndsOnInterrupt) {
    // Under a pseudo-terminal (script), each view clears the screen first.
    const std::string typescript = runtimeDir.file("typescript");
    srvtest::ChildProcess viewer;
    const std::string command = std::string(SFCLIENT_PATH) + " top --count 2";
    ASSERT_TRUE(viewer.start({"/usr/bin/script", "-qfec", command, typescript}));
    ASSERT_EQ(viewer.waitExit(10.0), std::optional<int>(0)) << rhtest::readFile(typescript);
    const std::string shown = rhtest::readFile(typescript);
    EXPECT_NE(shown.find("\033[H\033[J"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Clients 2"), std::string::npos) << shown;
    EXPECT_NE(shown.find("3 loaded"), std::string::npos) << shown;
    for (const char* name : {"a.wav", "b.wav", "c.wav"})
        EXPECT_NE(shown.find(paths[name]), std::string::npos) << name << "\n" << shown;

    // Without --count it refreshes until interrupted.
    const std::string out = runtimeDir.file("top");
    srvtest::ChildProcess top;
    ASSERT_TRUE(top.start({SFCLIENT_PATH, "top"}, out));
    ASSERT_TRUE(waitForOutput(out, paths["c.wav"]));
    top.signal(SIGINT);
    EXPECT_EQ(top.waitExit(5.0), std::optional<int>(0));
}

// ---- Failures a new user meets ----

TEST_F(SfclientTest, AStoppedServerIsNamedAsSuch) {
    srvtest::ChildProcess server;
    ASSERT_TRUE(server.start({QUILLORANTICS_TEST_LOADER_SERVER_PATH}));
    ASSERT_TRUE(srvtest::waitUntilServing());
    server.signal(SIGSTOP);
    Result ping = run({"ping"});
    server.signal(SIGCONT);
    EXPECT_EQ(ping.status, 1);
    EXPECT_NE(ping.output.find("sfclient: A server (pid " + std::to_string(server.pid()) +
                               ") holds the port but is stopped"),
              std::string::npos)
        << ping.output;
}

TEST_F(SfclientTest, AServerKilledUnderHoldIsOneLineOfFailure) {
    srvtest::ChildProcess server;
    ASSERT_TRUE(server.start({QUILLORANTICS_TEST_LOADER_SERVER_PATH}));
    ASSERT_TRUE(srvtest::waitUntilServing());
    const std::string out = runtimeDir.file("held");
    // The killed server leaves its segment behind; the sweeper removes it.
    const std::string path = segments.watch(runtimeDir.file("a.wav"));
    srvtest::ChildProcess held;
    ASSERT_TRUE(held.start({SFCLIENT_PATH, "load", "--hold", "--no-check", path}, out));
    ASSERT_TRUE(waitForOutput(out, "Staying registered")) << rhtest::readFile(out);
    server.kill();
    EXPECT_EQ(held.waitExit(5.0), std::optional<int>(1));
    const std::string output = rhtest::readFile(out);
    size_t failures = 0;
    for (size_t at = output.find("sfclient: "); at != std::string::npos; at = output.find("sfclient: ", at + 1))
        failures++;
    EXPECT_EQ(failures, 1u) << output;
    EXPECT_NE(output.find("The server went away"), std::string::npos) << output;
}

TEST_F(SfclientTest, WaitZeroShowsTheProgressOnceAndSucceeds) {
    srvtest::ChildProcess server;
    ASSERT_TRUE(server.start({QUILLORANTICS_NO_READER_SERVER_PATH}));  // loads nothing: the file stays queued
    ASSERT_TRUE(srvtest::waitUntilServing());
    Result result = run({"load", "--wait", "0", "--no-check", "/nowhere/a.wav"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Loading: 0 of 1 file done.\nLeft the server.\n"), std::string::npos)
        << result.output;
}

TEST_F(SfclientTest, NoServerToStartNamesWhereItWasLookedFor) {
    // A copy of sfclient in a folder without a server, and a PATH without one.
    rhtest::TempDir alone;
    const std::string copy = alone.file("sfclient");
    std::filesystem::copy_file(SFCLIENT_PATH, copy);
    ASSERT_EQ(chmod(copy.c_str(), 0700), 0);
    rhtest::ScopedEnv path("PATH", alone.path());
    srvtest::ChildProcess child;
    const std::string out = runtimeDir.file("alone");
    ASSERT_TRUE(child.start({copy, "load", "--no-check", "/nowhere/a.wav"}, out));
    EXPECT_EQ(child.waitExit(10.0), std::optional<int>(1));
    EXPECT_NE(rhtest::readFile(out).find("none could be started: no executable QuilloranticsServer was found beside "
                                         "sfclient (" + alone.path() + ") or on PATH."),
              std::string::npos)
        << rhtest::readFile(out);
}

}  // namespace
