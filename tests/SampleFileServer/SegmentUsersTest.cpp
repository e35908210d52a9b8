// Segments where the machine matters: a full /dev/shm (a private 4 MiB tmpfs
// in a mount namespace of its own) and two users who load the same path.
// Both need root and skip cleanly without it (or where namespaces are not
// allowed). Users are throw-away uids taken on through setpriv.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ServerProcessSupport.h"
#include "TestSupport.h"

#ifndef QUILLORANTICS_TEST_LOADER_SERVER_PATH
#error "QUILLORANTICS_TEST_LOADER_SERVER_PATH must name the server built with the stand-in loader"
#endif
#ifndef SFCLIENT_PATH
#error "SFCLIENT_PATH must name the sfclient executable"
#endif

namespace {

constexpr int kSkipped = 77;

// Runs `script` with sh; its exit status, and its output in *output.
int runScript(const rhtest::TempDir& dir, const std::string& script, std::string* output) {
    const std::string file = dir.write("script.sh", script);
    srvtest::ChildProcess child;
    const std::string out = dir.file("script.out");
    EXPECT_TRUE(child.start({"/bin/sh", file}, out));
    std::optional<int> status = child.waitExit(60.0);
    *output = rhtest::readFile(out);
    return status.value_or(-1);
}

const std::string kServer = QUILLORANTICS_TEST_LOADER_SERVER_PATH;
const std::string kClient = SFCLIENT_PATH;

TEST(SegmentUsersTest, AFullSharedMemoryFolderFailsSegmentsWithoutKillingAnyone) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    rhtest::TempDir dir;
    // Inside the namespace /dev/shm is a fresh 4 MiB tmpfs; it vanishes with
    // the namespace, so nothing can be left behind. 400 files of 4096 frames
    // take 6.8 MB.
    const std::string script =
        "set -u\n"
        "unshare -m --propagation private sh -c '\n"
        "  mount -t tmpfs -o size=4m tmpfs /dev/shm 2>/dev/null || exit " + std::to_string(kSkipped) + "\n"
        "  export XDG_RUNTIME_DIR=" + dir.path() + "\n"
        "  " + kServer + " > " + dir.file("server.log") + " 2>&1 &\n"
        "  server=$!\n"
        "  n=0; until " + kClient + " ping >/dev/null 2>&1; do n=$((n+1)); [ $n -gt 250 ] && exit 2; sleep 0.02; done\n"
        "  files=\"\"; i=0; while [ $i -lt 400 ]; do files=\"$files " + dir.path() + "/f$i.wav\"; i=$((i+1)); done\n"
        "  " + kClient + " load --hold --no-check --frames 4096 $files > " + dir.file("client.log") + " 2>&1 &\n"
        "  client=$!\n"
        "  n=0; until grep -q \"Nothing left to load\" " + dir.file("client.log") + "; do\n"
        "    n=$((n+1)); [ $n -gt 500 ] && { echo never loaded; kill -9 $client $server; exit 3; }; sleep 0.02; done\n"
        "  " + kClient + " ping || exit 4\n"
        "  made=$(" + kClient + " segments | grep -c frames)\n"
        "  echo made $made\n"
        "  [ \"$made\" -gt 0 ] && [ \"$made\" -lt 400 ] || exit 5\n"
        "  " + kClient + " segments | grep -q damaged && exit 6\n"
        "  kill -INT $client; wait $client\n"
        "  wait $server; echo server $?\n"
        "  echo left $(ls /dev/shm | wc -l)\n"
        "'\n";
    std::string output;
    const int status = runScript(dir, script, &output);
    if (status == kSkipped)
        GTEST_SKIP() << "a private tmpfs on /dev/shm is not allowed here";
    EXPECT_EQ(status, 0) << output << rhtest::readFile(dir.file("server.log")) << rhtest::readFile(dir.file("client.log"));
    EXPECT_NE(output.find("server 0\n"), std::string::npos) << output;
    EXPECT_NE(output.find("left 0\n"), std::string::npos) << output;
}

// Two throw-away users, each with a runtime folder of its own.
class TwoUsers : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to act as two users";
        for (int i = 0; i < 2; i++) {
            const std::string folder = dir.file("user" + std::to_string(i));
            ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
            ASSERT_EQ(chown(folder.c_str(), kUids[i], kUids[i]), 0);
            runtime[i] = folder;
        }
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);  // the users reach their folders
    }
    // A shell command run as user i in its own runtime folder.
    std::string as(int i, const std::string& command) const {
        return "XDG_RUNTIME_DIR=" + runtime[i] + " setpriv --reuid=" + std::to_string(kUids[i]) +
               " --regid=" + std::to_string(kUids[i]) + " --clear-groups " + command;
    }
    // Removes whatever the users' servers left under their object names.
    void TearDown() override {
        for (int i = 0; i < 2; i++) {
            std::string ignored;
            runScript(dir, "pkill -9 -u " + std::to_string(kUids[i]) + " -x QuilloranticsServerTestLoader\n"
                           "rm -f /dev/shm/Quillorantics-" + std::to_string(kUids[i]) + "-*\n", &ignored);
        }
    }

    static constexpr uid_t kUids[2] = {61201, 61202};
    rhtest::TempDir dir;
    std::string runtime[2];
};

TEST_F(TwoUsers, BothLoadTheSamePathAndGetTheirOwnSegments) {
    const std::string path = dir.file("shared/piano.wav");
    std::string script = "set -u\n";
    for (int i = 0; i < 2; i++) {
        const std::string log = runtime[i] + "/client.log";
        script += as(i, kServer) + " >/dev/null 2>&1 &\n";
        script += "n=0; until " + as(i, kClient + " ping") + " >/dev/null 2>&1; do n=$((n+1)); [ $n -gt 250 ] && exit 2; sleep 0.02; done\n";
        script += as(i, kClient + " load --hold --no-check --frames " + std::to_string(100 + i) + " " + path) + " > " + log +
                  " 2>&1 &\n";
        script += "client" + std::to_string(i) + "=$!\n";
        script += "n=0; until grep -q 'Nothing left to load' " + log +
                  "; do n=$((n+1)); [ $n -gt 250 ] && exit 3; sleep 0.02; done\n";
    }
    for (int i = 0; i < 2; i++)
        script += "echo user" + std::to_string(i) + ": $(" + as(i, kClient + " segments") + ")\n";
    script += "kill -INT $client0 $client1; wait $client0 $client1\n";
    std::string output;
    EXPECT_EQ(runScript(dir, script, &output), 0) << output;
    // Each user sees its own segment of the path, with the frames it asked for.
    EXPECT_NE(output.find("user0: L_"), std::string::npos) << output;
    EXPECT_NE(output.find("100 frames 4096 bytes " + path + "\nuser1"), std::string::npos) << output;
    EXPECT_NE(output.find("101 frames 4096 bytes " + path + "\n"), std::string::npos) << output;
}

}  // namespace
