#include "PortFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "MessagePort.h"
#include "TestSupport.h"

namespace {

using platform::portFileStem;
using platform::portFolder;

TEST(PortFolderTest, MadeClosedToOthersInsideAnOwnedRuntimeFolder) {
    rhtest::TempDir runtime;
    rhtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime.path());
    std::string folder, why;
    ASSERT_TRUE(portFolder(&folder, &why)) << why;
    EXPECT_EQ(folder, runtime.path() + "/Quillorantics");
    struct stat st;
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(portFolder(&folder, &why)) << "an existing good folder is used again";
}

TEST(PortFolderTest, UnsuitableRuntimeVariableFallsBackToTmp) {
    rhtest::TempDir runtime;
    const std::string expected = "/tmp/Quillorantics-" + std::to_string(geteuid());
    symlink(runtime.path().c_str(), runtime.file("link").c_str());
    for (const std::string& value : {std::string("relative/dir"), runtime.file("missing"), runtime.file("link")}) {
        SCOPED_TRACE(value);
        struct stat st;
        const bool existed = lstat(expected.c_str(), &st) == 0;
        rhtest::ScopedEnv env("XDG_RUNTIME_DIR", value);
        std::string folder;
        portFolder(&folder);  // success depends on the machine's /tmp; only the choice is checked
        EXPECT_EQ(folder, expected);
        if (!existed) rmdir(expected.c_str());
    }
}

// Each case spoils the port folder in one way; it must be refused, and no
// port may be created or reached through it.
TEST(PortFolderTest, RefusesFoldersThatAreNotRealOrNotClosed) {
    struct Case {
        const char* what;
        void (*spoil)(const rhtest::TempDir& runtime, const std::string& folder);
        bool needsRoot;
    };
    const Case cases[] = {
        {"symlink to a good folder",
         [](const rhtest::TempDir& runtime, const std::string& folder) {
             mkdir(runtime.file("elsewhere").c_str(), 0700);
             symlink(runtime.file("elsewhere").c_str(), folder.c_str());
         },
         false},
        {"open to the group and others",
         [](const rhtest::TempDir&, const std::string& folder) {
             mkdir(folder.c_str(), 0700);
             chmod(folder.c_str(), 0755);
         },
         false},
        {"a plain file", [](const rhtest::TempDir& runtime, const std::string&) { runtime.write("Quillorantics", "x"); },
         false},
        {"owned by another user",
         [](const rhtest::TempDir&, const std::string& folder) {
             mkdir(folder.c_str(), 0700);
             if (chown(folder.c_str(), 65534, 65534) != 0) ADD_FAILURE() << "chown";
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && geteuid() != 0) continue;
        rhtest::TempDir runtime;
        rhtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime.path());
        const std::string folder = runtime.file("Quillorantics");
        c.spoil(runtime, folder);
        std::string why;
        EXPECT_FALSE(portFolder(nullptr, &why));
        EXPECT_FALSE(why.empty());
        EXPECT_EQ(platform::LocalPort::create("P", nullptr), nullptr);
        EXPECT_EQ(platform::RemotePort::connect("P"), nullptr);
    }
}

TEST(PortFolderTest, NameToFileStem) {
    const std::string digestOfDotDotX = "h-d6b96a97d147daaae49eb87a5ca7bfbc280e79551016df8aa5edc5920d21c274";
    const std::string plain64(64, 'a');
    struct Case {
        std::string name;
        bool plain;
    };
    const Case cases[] = {
        {"ServerManagerPort_v3", true},
        {"client-1.ClientManager", true},
        {plain64, true},
        {plain64 + "a", false},
        {std::string(255, 'z'), false},
        {"../x", false},
        {"a/b", false},
        {".hidden", false},
        {"..", false},
        {"sp ace", false},
        {std::string("nul\0byte", 8), false},
        {"caf\xc3\xa9", false},
        {"h-" + std::string(64, '0'), false},  // looks like a digest stem: must not be taken as one
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string stem = portFileStem(c.name);
        if (c.plain) {
            EXPECT_EQ(stem, c.name);
        } else {
            EXPECT_EQ(stem.size(), 66u);
            EXPECT_EQ(stem.rfind("h-", 0), 0u);
            EXPECT_EQ(stem.find_first_not_of("0123456789abcdef", 2), std::string::npos);
        }
    }
    EXPECT_EQ(portFileStem("../x"), digestOfDotDotX);
}

TEST(PortFolderTest, DistinctNamesGiveDistinctStems) {
    const std::string names[] = {"a/b", "a_b", "a", "A", "../x", "..x", "x", std::string(255, 'q'),
                                 std::string(254, 'q'), std::string("a\0", 2), std::string("a\0\0", 3),
                                 portFileStem("../x"), portFileStem("a/b")};
    std::set<std::string> stems;
    for (const std::string& name : names) stems.insert(portFileStem(name));
    EXPECT_EQ(stems.size(), std::size(names));
}

}  // namespace
