// sfpack run as a user would: what it writes is read back through the file
// lookup and the input stream.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CoreUtilTestSupport.h"
#include "RhFileSystem.h"
#include "RhIFStream.h"
#include "TestSupport.h"

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

ToolRun sfpack(const rhtest::TempDir& scratch, const std::vector<std::string>& args) {
    std::string command = shellQuote(SFPACK_PATH);
    for (const std::string& a : args) command += " " + shellQuote(a);
    const std::string out = scratch.file("stdout");
    const std::string err = scratch.file("stderr");
    command += " >" + shellQuote(out) + " 2>" + shellQuote(err) + " </dev/null";
    ToolRun r;
    int raw = system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = rhtest::readFile(out);
    r.err = rhtest::readFile(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

std::string readThroughStream(const std::string& path) {
    RhIFStream s(path.c_str(), 8);
    if (!s.good()) return "<not opened>";
    std::string bytes;
    char buf[4096];
    while (s.read(buf, sizeof buf) > 0) bytes.append(buf, static_cast<size_t>(s.prevReadCount()));
    return bytes;
}

std::vector<std::string> folderEntries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class SfpackTest : public rhtest::FreshTocCacheTest {
protected:
    rhtest::TempDir src;    // the tree to pack
    rhtest::TempDir dest;   // where containers go
    rhtest::TempDir logs;   // the tool's captured output
};

TEST_F(SfpackTest, PackedTreeReadsBackByteForByte) {
    std::string binary;
    for (int i = 0; i < 70000; ++i) binary += static_cast<char>((i * 7919) & 0xFF);  // NUL, CR, LF included
    struct File {
        std::string name;
        std::string bytes;
    };
    const std::vector<File> files = {
        {"Cello/A3.wav", binary},
        {"Cello/B3.wav", "short"},
        {"Cello/empty.wav", ""},
        {"Cello/deeper/still/x.aif", "deep\n"},
        {"R&B <mix> \"q\" 'a'.wav", "escaped name"},
        {"Ünïcødé ñame.wav", "utf-8 name"},
        {"top.txt", "line one\nline two\r\n"},
    };
    for (const File& f : files) src.write(f.name, f.bytes);
    mkdir(src.file("Empty").c_str(), 0700);

    const std::string out = dest.file("Strings.db");
    ToolRun r = sfpack(logs, {src.path(), out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("packed 7 files"), std::string::npos) << r.out;
    EXPECT_EQ(folderEntries(dest.path()), std::vector<std::string>{"Strings.db"});  // no scratch file left

    std::string raw = rhtest::readFile(out);
    EXPECT_EQ(raw.compare(0, 13, "<FileSystem>\n"), 0);
    EXPECT_NE(raw.find("\n</FileSystem>\n"), std::string::npos);

    const std::string base = dest.file("Strings");
    for (const File& f : files) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(readThroughStream(base + "/" + f.name), f.bytes);
        RhPath member((base + "/" + f.name).c_str());
        EXPECT_EQ(member.getSize(), f.bytes.size());
    }
    int isDir = 0;
    EXPECT_EQ(RhFileSystem::isDir((base + "/Empty").c_str(), &isDir), 1);
    EXPECT_EQ(isDir, 1);

    RhStringList names;
    RhFileSystem::getFileNames((base + "/Cello").c_str(), &names, 0);
    EXPECT_EQ(rhtest::texts(names), (std::vector<std::string>{"A3.wav", "B3.wav", "deeper", "empty.wav"}));

    // Packing again replaces the container whole.
    src.write("top.txt", "changed");
    r = sfpack(logs, {"--quiet", src.path(), out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    RhFileSystem::flushCache();
    EXPECT_EQ(readThroughStream(base + "/top.txt"), "changed");
    EXPECT_EQ(readThroughStream(base + "/Cello/A3.wav"), binary);
}

TEST_F(SfpackTest, RefusesClearlyAndLeavesNothingBehind) {
    src.write("a.wav", "a");
    src.write("A.WAV", "b");  // differs only in case
    const std::string out = dest.file("X.db");
    dest.write("X.db", "old container");

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"case collision", {src.path(), out}, 1, "same name apart from letter case"},
        {"missing folder", {src.file("none"), out}, 1, "sfpack: Cannot read folder"},
        {"folder is a file", {src.file("a.wav"), out}, 1, "is not a folder."},
        {"output is a folder", {src.path(), dest.path()}, 1, "is a folder"},
        {"output folder missing", {src.path(), dest.file("no/X.db")}, 1, "sfpack: Cannot create"},
        {"output inside the folder", {src.path(), src.file("X.db")}, 1, "lies inside the folder"},
        {"output deeper inside the folder", {src.path(), src.file("sub/../X.db")}, 1, "lies inside the folder"},
        {"one argument", {src.path()}, 2,
         "sfpack: Expected a folder and an output file, got 1 argument.\nRun `sfpack --help` for the usage.\n"},
        {"unknown option", {"--fast", src.path(), out}, 2, "sfpack: Unknown option: --fast.\nRun `sfpack --help`"},
    };
    mkdir(src.file("sub").c_str(), 0700);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ToolRun r = sfpack(logs, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    // The old output is untouched and no scratch file is left.
    EXPECT_EQ(rhtest::readFile(out), "old container");
    EXPECT_EQ(folderEntries(dest.path()), std::vector<std::string>{"X.db"});
    EXPECT_EQ(folderEntries(src.path()), (std::vector<std::string>{"A.WAV", "a.wav", "sub"}));
    rmdir(src.file("sub").c_str());

    ToolRun help = sfpack(logs, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: sfpack"), std::string::npos);
    ToolRun version = sfpack(logs, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("sfpack ", 0), 0u) << version.out;

    // An unusual output suffix is packed, with a warning.
    unlink(src.file("A.WAV").c_str());
    ToolRun odd = sfpack(logs, {src.path(), dest.file("X.zip")});
    EXPECT_EQ(odd.status, 0);
    EXPECT_NE(odd.err.find("none of the container suffixes"), std::string::npos) << odd.err;
}

}  // namespace

namespace {

// Whatever is at OUT and is no regular file stays as it was: a device node
// (the case of `sfpack DIR /dev/null` as root), a pipe, a symbolic link.
TEST_F(SfpackTest, NeverReplacesWhatIsNoRegularFile) {
    src.write("a.wav", "a");
    dest.write("target.db", "kept");
    ASSERT_EQ(mkfifo(dest.file("pipe.db").c_str(), 0600), 0);
    ASSERT_EQ(symlink(dest.file("target.db").c_str(), dest.file("link.db").c_str()), 0);
    struct Case {
        std::string name;
        const char* kind;
    };
    std::vector<Case> cases = {{"pipe.db", "a named pipe"}, {"link.db", "a symbolic link"}};
    // Device nodes can be made by root only (tests run as root).
    if (mknod(dest.file("null.db").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0)
        cases.push_back({"null.db", "a character device"});
    else
        ADD_FAILURE() << "could not make a character device; run the tests as root";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        struct stat before;
        ASSERT_EQ(lstat(dest.file(c.name).c_str(), &before), 0);
        ToolRun r = sfpack(logs, {src.path(), dest.file(c.name)});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string("exists and is ") + c.kind + ", not a regular file"), std::string::npos)
            << r.err;
        struct stat after;
        ASSERT_EQ(lstat(dest.file(c.name).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
    EXPECT_EQ(rhtest::readFile(dest.file("target.db")), "kept");
    std::vector<std::string> expected = {"link.db", "pipe.db", "target.db"};
    if (cases.size() == 3) expected.insert(expected.begin() + 1, "null.db");
    EXPECT_EQ(folderEntries(dest.path()), expected);  // no scratch file left
}

TEST_F(SfpackTest, SizesAreShownInHumanUnits) {
    src.write("big.wav", std::string(3 * 1024 * 1024 + 512 * 1024, 'x'));
    ToolRun r = sfpack(logs, {src.path(), dest.file("B.db")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(3.50 MiB of data, table of contents "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" B) into "), std::string::npos) << r.out;
}

}  // namespace
