#include "RhIFStream.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "CoreUtilTestSupport.h"
#include "RhFileSystem.h"
#include "SysCalls.h"
#include "TestSupport.h"

namespace {

using rhtest::container;

std::string readAll(RhIFStream& s) {
    std::string out;
    char buf[7];
    while (s.read(buf, sizeof buf) > 0) out.append(buf, static_cast<size_t>(s.prevReadCount()));
    return out;
}

class RhIFStreamTest : public rhtest::FreshTocCacheTest {
protected:
    rhtest::TempDir dir;
};

TEST_F(RhIFStreamTest, MemberWindowArithmetic) {
    // A member of 100 bytes at container offset 5000, between other bytes.
    std::vector<std::string> toc = {"<FileSystem>", "<FILE name=\"m.bin\" offset=\"XXXX\" size=\"100\"/>",
                                    "</FileSystem>"};
    size_t e = 0;
    container(toc, "", &e);
    toc[1].replace(toc[1].find("XXXX"), 4, std::to_string(5000 - e));
    size_t check = 0;
    container(toc, "", &check);
    ASSERT_EQ(check, e);
    std::string member;
    for (int i = 0; i < 100; ++i) member += static_cast<char>('a' + i % 26);
    std::string data = std::string(5000 - e, '<') + member + std::string(50, '>');
    dir.write("Lib/C.db", container(toc, data));

    RhIFStream s(dir.file("Lib/C/m.bin").c_str(), 8);
    ASSERT_TRUE(s.good());
    EXPECT_EQ(s.isInArchive(), 1);
    EXPECT_EQ(s.getOffset(), 5000u);
    EXPECT_EQ(s.getSize(), 100u);
    EXPECT_EQ(s.prevReadCount(), 0);
    EXPECT_EQ(s.tellg(), 0);
    s.seekg(0, 2);
    EXPECT_EQ(s.tellg(), 100);

    char buf[1000];
    s.seekg(90, 0);
    s.read(buf, 1000);
    EXPECT_EQ(s.prevReadCount(), 10);
    EXPECT_EQ(std::string(buf, 10), member.substr(90));
    s.read(buf, 1000);
    EXPECT_EQ(s.prevReadCount(), 0);

    struct Case {
        int offset;
        int whence;
        long long position;
        int delivered;
    };
    const Case cases[] = {
        {100, 0, 100, 0},  // at the end
        {150, 0, 150, 0},  // past the end: not clipped, reads nothing
        {-1, 0, -1, 0},    // before the start: reads nothing
        {-5, 2, 95, 5},
        {7, 9, 7, 93},  // an unknown whence counts from the start
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "/" + std::to_string(c.whence));
        s.seekg(c.offset, c.whence);
        EXPECT_EQ(s.tellg(), c.position);
        s.read(buf, 1000);
        EXPECT_EQ(s.prevReadCount(), c.delivered);
    }
    // Relative moves stay relative to the member.
    s.seekg(10, 0);
    s.seekg(5, 1);
    EXPECT_EQ(s.tellg(), 15);

    // getline stops at the member's end too, never reading the next bytes.
    s.seekg(95, 0);
    char line[64];
    EXPECT_EQ(s.getline(line, sizeof line), 5);
    EXPECT_EQ(std::string(line), member.substr(95));
    EXPECT_EQ(s.getline(line, sizeof line), 0);
    EXPECT_STREQ(line, "");

    RhPath file;
    unsigned long long offset = 0;
    s.getLowLevelDiskFileInfo(&file, &offset);
    EXPECT_EQ(std::string(file.getText()), dir.file("Lib/C.db"));
    EXPECT_EQ(offset, 5000u);

    // close and reopen: the same window from its first byte.
    s.close();
    EXPECT_FALSE(s.good());
    EXPECT_EQ(s.prevReadCount(), 0);
    EXPECT_EQ(s.reopen(), 1);
    EXPECT_EQ(s.tellg(), 0);
    EXPECT_EQ(readAll(s), member);
}

TEST_F(RhIFStreamTest, GetlineAndWholeText) {
    size_t e = 0;
    const std::string text = "one\ntwo\r\nthree";
    std::vector<std::string> toc = {"<FileSystem>",
                                    "<FILE name=\"t.txt\" offset=\"0\" size=\"" + std::to_string(text.size()) + "\"/>",
                                    "<FILE name=\"next\" offset=\"" + std::to_string(text.size()) + "\" size=\"4\"/>",
                                    "</FileSystem>"};
    dir.write("Lib/T.db", container(toc, text + "MORE", &e));
    dir.write("plain.txt", text);

    for (const std::string& path : {dir.file("Lib/T/t.txt"), dir.file("plain.txt")}) {
        SCOPED_TRACE(path);
        RhIFStream s(path.c_str(), 8);
        ASSERT_TRUE(s.good());
        char line[16];
        EXPECT_EQ(s.getline(line, sizeof line), 4);
        EXPECT_STREQ(line, "one");
        EXPECT_EQ(s.getline(line, sizeof line), 5);
        EXPECT_STREQ(line, "two\r");  // a carriage return stays
        EXPECT_EQ(s.getline(line, sizeof line), 5);
        EXPECT_STREQ(line, "three");  // last line without line feed
        EXPECT_EQ(s.getline(line, sizeof line), 0);
        EXPECT_STREQ(line, "");

        // A line of exactly n - 1 characters arrives whole, then the rest.
        s.seekg(0, 0);
        EXPECT_EQ(s.getline(line, 4), 3);
        EXPECT_STREQ(line, "one");
        EXPECT_EQ(s.getline(line, 4), 1);
        EXPECT_STREQ(line, "");

        RhString whole;
        EXPECT_EQ(s.readEntireFileIntoString(&whole), 1);
        EXPECT_STREQ(whole.getText(), "onetwo\rthree");
    }

    dir.write("empty.txt", "");
    RhIFStream empty(dir.file("empty.txt").c_str(), 8);
    ASSERT_TRUE(empty.good());
    RhString untouched("keep");
    EXPECT_EQ(empty.readEntireFileIntoString(&untouched), 0);
    EXPECT_STREQ(untouched.getText(), "keep");
}

TEST_F(RhIFStreamTest, ClosedStreams) {
    const char* paths[] = {"", nullptr};
    for (const char* p : paths) {
        RhIFStream s(p, 8);
        EXPECT_FALSE(s.good());
        EXPECT_EQ(s.prevReadCount(), 0);
        char buf[8] = "xxxxxxx";
        EXPECT_EQ(s.read(buf, 8), 0);
        EXPECT_EQ(s.getline(buf, 8), 0);
        EXPECT_STREQ(buf, "");
        EXPECT_EQ(s.tellg(), -1);
        EXPECT_EQ(s.seekg(0, 0), -1);
        RhString out;
        EXPECT_EQ(s.readEntireFileIntoString(&out), 0);
        EXPECT_EQ(s.reopen(), 0);
    }
    RhIFStream missing(dir.file("none.wav").c_str(), 8);
    EXPECT_FALSE(missing.good());

    // A member whose container cannot be opened.
    dir.write("Lib/X.db", container({"<FileSystem>", "<FILE name=\"m\" offset=\"0\" size=\"1\"/>", "</FileSystem>"}, "m"));
    EXPECT_EQ(RhFileSystem::fileExists(dir.file("Lib/X/m").c_str()), 1);  // cached now
    chmod(dir.file("Lib/X.db").c_str(), 0);
    RhIFStream member(dir.file("Lib/X/m").c_str(), 8);
    if (geteuid() != 0) {
        EXPECT_FALSE(member.good());
    }
    chmod(dir.file("Lib/X.db").c_str(), 0600);
}

TEST_F(RhIFStreamTest, RecognisesSymlinkFiles) {
    struct Case {
        const char* what;
        std::string content;
        int isLink;
        std::string target;
        std::string relative;
    };
    const std::string d = dir.file("d");
    const Case cases[] = {
        {"sibling", "<SYMLINK target=\"../x\" />", 1, d + "/x", "../x"},
        {"two up", "<SYMLINK target=\"../../e/y\" />", 1, d + "/../e/y", "../../e/y"},
        {"just ../", "<SYMLINK target=\"../\" />", 1, d + "/", "../"},
        {"seven bytes", "<SYMLIN", 0, "", ""},
        {"other text", "<SYMLINQ target=\"../x\" />", 0, "", ""},
        {"no equals", "<SYMLINK target\"../x\" />", 0, "", ""},
        {"no closing", "<SYMLINK target=\"../x\" /", 0, "", ""},
        {"too short to hold a target", "<SYMLINK=>", 0, "", ""},
        {"empty target", "<SYMLINK target=\"\" />", 0, "", ""},
        {"binary", std::string("<SYMLINK\0\0\0\0>", 13), 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        dir.write("d/link", c.content);
        RhString path(dir.file("d/link").c_str());
        RhString target;
        RhString relative;
        EXPECT_EQ(RhIFStream::isSymlink(&path, &target, &relative), c.isLink);
        if (!c.isLink) continue;
        EXPECT_EQ(std::string(target.getText()), c.target);
        EXPECT_EQ(std::string(relative.getText()), c.relative);
    }
    RhString none(dir.file("d/none").c_str());
    RhString target;
    EXPECT_EQ(RhIFStream::isSymlink(&none, &target, nullptr), 0);
}

TEST_F(RhIFStreamTest, FollowsLinksOnDiskAndInsideContainers) {
    // On disk: /a/b/link -> /a/c/file, written by symlink().
    dir.write("a/c/file", "target bytes");
    mkdir(dir.file("a/b").c_str(), 0700);
    ASSERT_EQ(RhIFStream::symlink(dir.file("a/b/link").c_str(), dir.file("a/c/file").c_str(), 0), 1);
    EXPECT_EQ(rhtest::readFile(dir.file("a/b/link")), "<SYMLINK target=\"../../c/file\" />");
    RhIFStream viaLink(dir.file("a/b/link").c_str(), 8);
    ASSERT_TRUE(viaLink.good());
    EXPECT_EQ(readAll(viaLink), "target bytes");
    // followLinks 0 reads the link file itself.
    RhIFStream raw(dir.file("a/b/link").c_str(), 8, 0);
    EXPECT_EQ(readAll(raw), "<SYMLINK target=\"../../c/file\" />");

    // A link to a link, written with followTarget: stores the final target.
    ASSERT_EQ(RhIFStream::symlink(dir.file("a/link2").c_str(), dir.file("a/b/link").c_str(), 1), 1);
    EXPECT_EQ(rhtest::readFile(dir.file("a/link2")), "<SYMLINK target=\"../c/file\" />");
    // Without followTarget it names the link, and reading follows the chain.
    ASSERT_EQ(RhIFStream::symlink(dir.file("a/link3").c_str(), dir.file("a/b/link").c_str(), 0), 1);
    RhIFStream chain(dir.file("a/link3").c_str(), 8);
    EXPECT_EQ(readAll(chain), "target bytes");

    // Inside a container: Cello/alias -> ../../Viola/A3.wav.
    const std::string alias = "<SYMLINK target=\"../../Viola/A3.wav\" />";
    const std::string a3 = "viola a3";
    dir.write("L/Strings.db",
              container({"<FileSystem>", "<DIR name=\"Cello\">",
                         "<FILE name=\"alias\" offset=\"0\" size=\"" + std::to_string(alias.size()) + "\"/>", "</DIR>",
                         "<DIR name=\"Viola\">",
                         "<FILE name=\"A3.wav\" offset=\"" + std::to_string(alias.size()) + "\" size=\"" +
                             std::to_string(a3.size()) + "\"/>",
                         "</DIR>", "</FileSystem>"},
                        alias + a3));
    RhLongString start(dir.file("L/Strings/Cello/alias").c_str());
    RhLongString out;
    EXPECT_EQ(RhIFStream::unwind(&start, &out), 1);
    EXPECT_EQ(std::string(out.getText()), dir.file("L/Strings/Cello/../Viola/A3.wav"));
    RhIFStream member(dir.file("L/Strings/Cello/alias").c_str(), 8);
    ASSERT_TRUE(member.good());
    EXPECT_EQ(readAll(member), a3);

    // A loop of links opens nothing.
    ASSERT_EQ(RhIFStream::symlink(dir.file("loop1").c_str(), dir.file("loop2").c_str(), 0), 1);
    ASSERT_EQ(RhIFStream::symlink(dir.file("loop2").c_str(), dir.file("loop1").c_str(), 0), 1);
    RhIFStream loop(dir.file("loop1").c_str(), 8);
    EXPECT_FALSE(loop.good());
    RhLongString loopStart(dir.file("loop1").c_str());
    EXPECT_EQ(RhIFStream::unwind(&loopStart, &out), 0);

    // A link that cannot be created.
    EXPECT_EQ(RhIFStream::symlink(dir.file("no/such/folder/link").c_str(), dir.file("a/c/file").c_str(), 0), 0);
    RhString rel("../x");
    EXPECT_EQ(RhIFStream::symlinkRelative(dir.file("no/such/link").c_str(), &rel), 0);
    EXPECT_EQ(RhIFStream::symlinkRelative(dir.file("rel").c_str(), &rel), 1);
    EXPECT_EQ(rhtest::readFile(dir.file("rel")), "<SYMLINK target=\"../x\" />");
}

TEST_F(RhIFStreamTest, RemoveDotDots) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"/a/b/../c", "/a/c"},
        {"/../a", "/../a"},  // nothing to remove: unchanged
        {"a//b", "/a/b"},
        {"/a/./b", "/a/./b"},  // "." is an ordinary component
        {"/a/..", ""},
        {"/a/b/c/../../d/", "/a/d"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        RhLongString in(c.in);
        RhLongString out;
        RhIFStream::removeDotDots(&in, &out);
        EXPECT_STREQ(out.getText(), c.out);
    }
    // Long paths are kept whole.
    std::string longPath;
    for (int i = 0; i < 300; ++i) longPath += "/c" + std::to_string(i);
    RhLongString in((longPath + "/x/..").c_str());
    RhLongString out;
    RhIFStream::removeDotDots(&in, &out);
    EXPECT_EQ(std::string(out.getText()), longPath);
}

// Runs open (which returns the stream's good()) on another thread. Should it
// block on the FIFO, the test fails and the FIFO is opened and closed for
// writing until the open gives up, so that a fault is reported, not a hang.
int openGuarded(const std::function<int()>& open, const std::string& fifo) {
    auto opened = std::async(std::launch::async, open);
    if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "opening blocked";
        while (opened.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
            int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        }
    }
    return opened.get();
}

TEST_F(RhIFStreamTest, OpensOnlyRegularFiles) {
    // No writer ever opens the FIFO: an open that waited for one would block.
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(RhIFStream::symlink(dir.file("link").c_str(), fifo.c_str(), 0), 1);
    mkdir(dir.file("folder").c_str(), 0700);
    struct Case {
        const char* what;
        std::string path;
        int goodUnfollowed;  // opened with followLinks 0
    };
    const Case cases[] = {
        {"FIFO", fifo, 0},
        {"symlink file naming a FIFO", dir.file("link"), 1},  // the link file itself
        {"folder", dir.file("folder"), 0},
        {"device", "/dev/null", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(openGuarded([&] { return RhIFStream(c.path.c_str(), 8).good(); }, fifo), 0);
        EXPECT_EQ(openGuarded([&] { return RhIFStream(c.path.c_str(), 8, 0).good(); }, fifo), c.goodUnfollowed);
    }

    // reopen() checks again: a regular file replaced by a FIFO stays closed.
    dir.write("swapped", "bytes");
    RhIFStream s(dir.file("swapped").c_str(), 8);
    ASSERT_TRUE(s.good());
    s.close();
    ASSERT_EQ(unlink(dir.file("swapped").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("swapped").c_str(), 0600), 0);
    EXPECT_EQ(openGuarded([&] { return s.reopen(); }, dir.file("swapped")), 0);
    char buf[8];
    EXPECT_EQ(s.read(buf, sizeof buf), 0);
}

// ---- Failing system calls ----

// Faults a test puts into the system-call table (one test at a time).
int gInterruptsLeft = 0;  // preads that fail with EINTR before the real one
ssize_t gShortReadBytes = 0;  // > 0: a pread delivers at most this many bytes
int gReadError = 0;       // non-zero: every pread fails with it

ssize_t faultyPread(int fd, void* buf, size_t n, off_t at) {
    if (gInterruptsLeft > 0) {
        --gInterruptsLeft;
        errno = EINTR;
        return -1;
    }
    if (gReadError != 0) {
        errno = gReadError;
        return -1;
    }
    if (gShortReadBytes > 0 && n > static_cast<size_t>(gShortReadBytes)) n = static_cast<size_t>(gShortReadBytes);
    return platform::realSysCalls().pread(fd, buf, n, at);
}

int gOpenError = 0;
int failingOpen(const char*, int, mode_t) {
    errno = gOpenError;
    return -1;
}
int failingFstat(int, struct stat*) {
    errno = EIO;
    return -1;
}

class RhIFStreamFaultTest : public RhIFStreamTest {
protected:
    void SetUp() override {
        RhIFStreamTest::SetUp();
        gInterruptsLeft = 0;
        gShortReadBytes = 0;
        gReadError = 0;
    }
    platform::ScopedSysCall<ssize_t (*)(int, void*, size_t, off_t)> pread{&platform::SysCalls::pread, faultyPread};
};

TEST_F(RhIFStreamFaultTest, InterruptedShortAndFailedReads) {
    const std::string text = "0123456789abcdefghij";
    dir.write("f.bin", text);
    RhIFStream s(dir.file("f.bin").c_str(), 8);
    ASSERT_TRUE(s.good());
    char buf[64];

    gInterruptsLeft = 3;  // retried until the read goes through
    EXPECT_EQ(s.read(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "01234");

    gShortReadBytes = 3;  // what came is delivered, and the next read goes on from there
    EXPECT_EQ(s.read(buf, 10), 3);
    EXPECT_EQ(std::string(buf, 3), "567");
    EXPECT_EQ(s.tellg(), 8);
    EXPECT_EQ(s.getline(buf, sizeof buf), 12);  // a line gathers short reads
    EXPECT_STREQ(buf, "89abcdefghij");
    gShortReadBytes = 0;

    gReadError = EIO;  // delivers nothing; the stream stays open and in place
    s.seekg(2, 0);
    EXPECT_EQ(s.read(buf, 10), 0);
    EXPECT_EQ(s.prevReadCount(), 0);
    EXPECT_EQ(s.getline(buf, sizeof buf), 0);
    EXPECT_TRUE(s.good());
    EXPECT_EQ(s.tellg(), 2);
    gReadError = 0;
    EXPECT_EQ(s.read(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "234");
}

TEST_F(RhIFStreamFaultTest, OpenAndStatFailuresLeaveTheStreamClosed) {
    dir.write("f.bin", "bytes");
    for (int error : {EMFILE, ENFILE, EIO, EACCES}) {
        SCOPED_TRACE(error);
        gOpenError = error;
        platform::ScopedSysCall<int (*)(const char*, int, mode_t)> open(&platform::SysCalls::open, failingOpen);
        RhIFStream s(dir.file("f.bin").c_str(), 8, 0);
        EXPECT_FALSE(s.good());
        EXPECT_EQ(s.reopen(), 0);
    }
    {
        platform::ScopedSysCall<int (*)(int, struct stat*)> fstat(&platform::SysCalls::fstat, failingFstat);
        RhIFStream s(dir.file("f.bin").c_str(), 8, 0);
        EXPECT_FALSE(s.good());
    }
    // reopen works again once the calls do.
    RhIFStream s(dir.file("f.bin").c_str(), 8, 0);
    ASSERT_TRUE(s.good());
    s.close();
    EXPECT_EQ(s.reopen(), 1);
}

TEST_F(RhIFStreamFaultTest, FileTruncatedWhileOpen) {
    const std::string text(100, 'x');
    const std::string path = dir.write("f.bin", text);
    RhIFStream s(path.c_str(), 8);
    ASSERT_TRUE(s.good());
    char buf[200];
    EXPECT_EQ(s.read(buf, 10), 10);
    ASSERT_EQ(truncate(path.c_str(), 50), 0);
    EXPECT_EQ(s.read(buf, 100), 40);  // up to the new end
    EXPECT_EQ(s.read(buf, 100), 0);
    EXPECT_EQ(s.seekg(0, 2), 0);
    EXPECT_EQ(s.tellg(), 50);
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    s.seekg(0, 0);
    EXPECT_EQ(s.read(buf, 100), 0);
    EXPECT_EQ(s.getline(buf, sizeof buf), 0);
}

}  // namespace
