#include "RhFileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CoreUtilTestSupport.h"
#include "ObjectArchive.h"
#include "RhPath.h"
#include "TestSupport.h"

namespace {

using rhtest::container;
using rhtest::tocBytes;

// The usual library: Cello/A3.wav (10 bytes at 0), Cello/B3.wav (5 at 10),
// Viola/ (empty folder), readme.txt (3 at 15).
const std::vector<std::string> kLibrary = {
    "<FileSystem>",
    "<DIR name=\"Cello\">",
    "<FILE name=\"A3.wav\" offset=\"0\" size=\"10\"/>",
    "<FILE name=\"B3.wav\" offset=\"10\" size=\"5\"/>",
    "</DIR>",
    "<DIR name=\"Viola\">",
    "</DIR>",
    "<FILE name=\"readme.txt\" offset=\"15\" size=\"3\"/>",
    "</FileSystem>",
};
const std::string kLibraryData = "AAAAAAAAAABBBBBrrr";

struct Found {
    int result = -1;
    std::string archive;
    unsigned long long offset = 0;
    unsigned int size = 0;
    int isDir = -1;
    std::string resolved;
};

Found find(const std::string& path, bool wantResolved = false) {
    Found f;
    RhPath archive;
    RhString resolved;
    f.result = RhFileSystem::findFile(path.c_str(), wantResolved ? &resolved : nullptr, &archive, nullptr, 0,
                                      &f.offset, &f.size, &f.isDir);
    f.archive = archive.getText();
    f.resolved = resolved.getText();
    return f;
}

std::vector<std::string> listing(const std::string& path, int dirsOnly) {
    RhStringList list;
    RhFileSystem::getFileNames(path.c_str(), &list, dirsOnly);
    return rhtest::texts(list);
}

class RhFileSystemTest : public rhtest::FreshTocCacheTest {
protected:
    rhtest::TempDir dir;
    std::string lib() const { return dir.file("Lib"); }
};

TEST_F(RhFileSystemTest, FindsMembersAndFoldersInsideAContainer) {
    dir.write("Lib/Strings.db", container(kLibrary, kLibraryData));
    const unsigned long long e = tocBytes(kLibrary);
    const std::string db = lib() + "/Strings.db";
    const std::string s = lib() + "/Strings";

    struct Case {
        std::string path;
        int result;
        unsigned long long offset;
        unsigned int size;
        int isDir;
    };
    const Case cases[] = {
        {s + "/Cello/A3.wav", 1, e + 0, 10, 0},
        {s + "/cello/a3.WAV", 1, e + 0, 10, 0},  // names match ignoring case
        {s + "/Cello/B3.wav", 1, e + 10, 5, 0},
        {s + "/readme.txt", 1, e + 15, 3, 0},
        {s + "/Cello", 1, e, 0, 1},
        {s, 1, e, 0, 1},  // the container's own folder is its root
        {s + "/Cello/../Cello/A3.wav", 1, e, 10, 0},
        {s + "/Cello/..", 1, e, 0, 1},
        {s + "//Cello/A3.wav", 0, 0, 0, -1},  // doubled "/" inside the container
        {"//" + s.substr(1) + "/Cello/A3.wav", 1, e, 10, 0},  // doubled "/" before it
        {s + "/Cello/A3.wav/", 0, 0, 0, -1},  // trailing "/" inside the container
        {s + "/Cello/C3.wav", 0, 0, 0, -1},
        {s + "/Cello/A3.wav/x", 0, 0, 0, -1},
        {lib() + "/Other/x.wav", 0, 0, 0, -1},  // no container on the way
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Found f = find(c.path);
        EXPECT_EQ(f.result, c.result);
        if (c.result != 1) continue;
        EXPECT_EQ(f.archive, db);
        EXPECT_EQ(f.offset, c.offset);
        EXPECT_EQ(f.isDir, c.isDir);
        if (!c.isDir) {
            EXPECT_EQ(f.size, c.size);
        }
    }

    EXPECT_EQ(listing(s, 0), (std::vector<std::string>{"Cello", "Viola", "readme.txt"}));
    EXPECT_EQ(listing(s, 1), (std::vector<std::string>{"Cello", "Viola"}));
    EXPECT_EQ(listing(s + "/Viola", 0), std::vector<std::string>{});
}

TEST_F(RhFileSystemTest, OutputsAreLeftAloneWhereTheEntryHasNoValue) {
    dir.write("Lib/Strings.db", container(kLibrary, kLibraryData));
    unsigned long long offset = 77;
    unsigned int size = 1234;
    int isDir = 0;
    // A folder has no size: the caller's value stays.
    EXPECT_EQ(RhFileSystem::findFile((lib() + "/Strings/Cello").c_str(), nullptr, nullptr, nullptr, 0, &offset, &size,
                                     &isDir),
              1);
    EXPECT_EQ(size, 1234u);
    EXPECT_EQ(isDir, 1);
    // Nothing found: nothing written.
    offset = 77;
    EXPECT_EQ(RhFileSystem::findFile((lib() + "/Strings/None").c_str(), nullptr, nullptr, nullptr, 0, &offset, &size,
                                     &isDir),
              0);
    EXPECT_EQ(offset, 77u);
    // Null outputs are tolerated.
    EXPECT_EQ(RhFileSystem::findFile((lib() + "/Strings/Cello/A3.wav").c_str(), nullptr, nullptr, nullptr, 0, nullptr,
                                     nullptr, nullptr),
              1);
    EXPECT_EQ(RhFileSystem::findFile(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr), 0);
}

TEST_F(RhFileSystemTest, CandidatesAreTriedInSuffixOrderAndTheShallowestWins) {
    auto one = [](const char* name, const std::string& data) {
        return container({"<FileSystem>", std::string("<FILE name=\"") + name + "\" offset=\"0\" size=\"1\"/>",
                          "</FileSystem>"},
                         data);
    };
    // Two suffixes beside each other: the earlier one in the table is the
    // candidate, and only it is searched.
    dir.write("Lib/Winds.quarvel", one("a.wav", "q"));
    dir.write("Lib/Winds.talix", one("b.wav", "t"));
    EXPECT_EQ(find(lib() + "/Winds/a.wav").archive, lib() + "/Winds.quarvel");
    EXPECT_EQ(find(lib() + "/Winds/b.wav").result, 0);
    dir.write("Lib/Winds.tessavolin", one("a.wav", "s"));
    RhFileSystem::flushCache();
    EXPECT_EQ(find(lib() + "/Winds/a.wav").archive, lib() + "/Winds.tessavolin");

    // A shallower container that holds the path wins over a deeper one.
    dir.write("Lib/Strings.db", container(kLibrary, kLibraryData));
    dir.write("Lib.db", container({"<FileSystem>", "<DIR name=\"Strings\">", "<DIR name=\"Cello\">",
                                   "<FILE name=\"A3.wav\" offset=\"0\" size=\"2\"/>", "</DIR>", "</DIR>",
                                   "</FileSystem>"},
                                  "zz"));
    Found f = find(lib() + "/Strings/Cello/A3.wav");
    EXPECT_EQ(f.archive, dir.file("Lib.db"));
    EXPECT_EQ(f.size, 2u);
    // One it does not hold passes the search on to the deeper one.
    f = find(lib() + "/Strings/Cello/B3.wav");
    EXPECT_EQ(f.archive, lib() + "/Strings.db");
    EXPECT_EQ(f.size, 5u);
}

TEST_F(RhFileSystemTest, DotDotAtTheRootLeavesTheContainer) {
    dir.write("Lib/Strings.db", container(kLibrary, kLibraryData));
    dir.write("Lib/Other.db",
              container({"<FileSystem>", "<FILE name=\"x.wav\" offset=\"0\" size=\"4\"/>", "</FileSystem>"}, "xxxx"));

    struct Case {
        std::string path;
        std::string resolved;
    };
    const Case cases[] = {
        {lib() + "/Strings/../Other/x.wav", lib() + "/Other/x.wav"},
        {lib() + "/Strings/Cello/../../Other/x.wav", lib() + "/Other/x.wav"},
        {lib() + "/Strings/..", lib() + "/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Found f = find(c.path, true);
        EXPECT_EQ(f.result, 2);
        EXPECT_EQ(f.resolved, c.resolved);
        EXPECT_EQ(find(c.path, false).result, 0);  // without resolvedOut
    }

    RhString path((lib() + "/Strings/../Other/x.wav").c_str());
    EXPECT_EQ(RhFileSystem::resolvePath(&path), 1);
    EXPECT_EQ(std::string(path.getText()), lib() + "/Other/x.wav");
    // Nothing to rewrite: the path stays as it was.
    RhString plain((lib() + "/Strings/Cello/A3.wav").c_str());
    EXPECT_EQ(RhFileSystem::resolvePath(&plain), 1);
    EXPECT_EQ(std::string(plain.getText()), lib() + "/Strings/Cello/A3.wav");
}

TEST_F(RhFileSystemTest, AugmentContainerTakesPrecedenceAndListingsMerge) {
    dir.write("Lib/Strings.db", container(kLibrary, kLibraryData));
    const std::vector<std::string> augment = {
        "<FileSystem>",
        "<DIR name=\"Cello\">",
        "<FILE name=\"A3.wav\" offset=\"0\" size=\"4\"/>",
        "<FILE name=\"A2.wav\" offset=\"4\" size=\"1\"/>",
        "</DIR>",
        "</FileSystem>",
    };
    dir.write("Lib/Strings.db2", container(augment, "NEWWn"));
    const std::string s = lib() + "/Strings";

    Found f = find(s + "/Cello/A3.wav");
    EXPECT_EQ(f.archive, s + ".db2");
    EXPECT_EQ(f.offset, tocBytes(augment));
    EXPECT_EQ(f.size, 4u);
    // Not in the augment: the main container answers.
    f = find(s + "/Cello/B3.wav");
    EXPECT_EQ(f.archive, s + ".db");
    EXPECT_EQ(f.size, 5u);

    EXPECT_EQ(listing(s + "/Cello", 0), (std::vector<std::string>{"A2.wav", "A3.wav", "B3.wav"}));

    // Other suffixes have no augment.
    rename((s + ".db").c_str(), (s + ".talix").c_str());
    RhFileSystem::flushCache();
    EXPECT_EQ(find(s + "/Cello/A3.wav").archive, s + ".talix");
    EXPECT_EQ(find(s + "/Cello/A2.wav").result, 0);
}

TEST_F(RhFileSystemTest, NumberFormsOfOffsetAndSize) {
    // Every character of "offset" counts as a digit ('a' is 49); "size" is
    // read as strtoul reads it.
    std::string data(300, '.');
    dir.write("Lib/N.db", container({"<FileSystem>", "<FILE name=\"a\" offset=\"12a\" size=\" 42abc\"/>",
                                     "<FILE name=\"b\" offset=\"\" size=\"7\"/>", "<FILE name=\"c\" offset=\"5\"/>",
                                     "</FileSystem>"},
                                    data));
    const unsigned long long e = tocBytes({"<FileSystem>", "<FILE name=\"a\" offset=\"12a\" size=\" 42abc\"/>",
                                           "<FILE name=\"b\" offset=\"\" size=\"7\"/>", "<FILE name=\"c\" offset=\"5\"/>",
                                           "</FileSystem>"});
    Found f = find(lib() + "/N/a");
    EXPECT_EQ(f.offset, e + 169);
    EXPECT_EQ(f.size, 42u);
    f = find(lib() + "/N/b");
    EXPECT_EQ(f.offset, e);
    EXPECT_EQ(f.isDir, 0);
    f = find(lib() + "/N/c");
    EXPECT_EQ(f.result, 1);
    EXPECT_EQ(f.size, 0u);  // no size: the caller's value (0 here) stays
}

TEST_F(RhFileSystemTest, HostileContainersHoldNothing) {
    const std::string fine = "<FILE name=\"m\" offset=\"0\" size=\"4\"/>";
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<DIR name=\"d\">\n";  // short lines: only the depth is wrong
    std::string utf8Deep;  // read as UTF-8, "\xE0" swallows the end tag after it
    for (int i = 0; i < 100000; ++i) utf8Deep += "<DIR name=\"d\">\xE0</DIR>\n";

    struct Case {
        const char* what;
        std::string bytes;
        bool found;
        std::string member = "m";
    };
    auto holding = [](const std::string& head, const std::string& name) {
        return container({head, "<FileSystem>", "<FILE name=\"" + name + "\" offset=\"0\" size=\"4\"/>",
                          "</FileSystem>"},
                         "data");
    };
    const std::vector<Case> cases = {
        {"well-formed", container({"<FileSystem>", fine, "</FileSystem>"}, "data"), true},
        {"line of 2047 bytes",
         container({"<FileSystem>", fine + std::string(2047 - fine.size(), ' '), "</FileSystem>"}, "data"), true},
        {"xml declaration and comments",
         container({"<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "<!-- c -->", "<FileSystem>", fine,
                    "</FileSystem>"},
                   "data"),
         true},
        {"line of 2048 bytes",
         container({"<FileSystem>", fine + std::string(2048 - fine.size(), ' '), "</FileSystem>"}, "data"), false},
        {"CRLF line ends", "<FileSystem>\r\n" + fine + "\r\n</FileSystem>\r\ndata", false},
        {"no closing line", "<FileSystem>\n" + fine + "\n", false},
        {"closing line without line feed", "<FileSystem>\n" + fine + "\n</FileSystem>", false},
        {"closing line with trailing blank", "<FileSystem>\n" + fine + "\n</FileSystem> \ndata", false},
        {"empty file", "", false},
        {"binary junk", std::string("\x00\x01\xff\xfe", 4) + std::string(5000, '\x7f'), false},
        {"does not parse", container({"<FileSystem>", "<FILE name=\"m\" offset=\"0\" size=\"4\">", "</FileSystem>"},
                                     "data"),
         false},
        {"offset past the end", container({"<FileSystem>", "<FILE name=\"m\" offset=\"1\" size=\"4\"/>",
                                           "</FileSystem>"},
                                          "data"),
         false},
        {"size past the end", container({"<FileSystem>", "<FILE name=\"m\" offset=\"0\" size=\"5\"/>",
                                         "</FileSystem>"},
                                        "data"),
         false},
        {"absurd size", container({"<FileSystem>", "<FILE name=\"m\" offset=\"0\" size=\"99999999999999\"/>",
                                   "</FileSystem>"},
                                  "data"),
         false},
        {"negative size", container({"<FileSystem>", "<FILE name=\"m\" offset=\"0\" size=\"-1\"/>",
                                     "</FileSystem>"},
                                    "data"),
         false},
        {"offset wrapping into the TOC",
         container({"<FileSystem>", "<FILE name=\"m\" offset=\"18446744073709551600\" size=\"4\"/>", "</FileSystem>"},
                   "data"),
         false},
        // 8-bit names: Latin-1 bytes are no multi-byte lead bytes unless the
        // TOC declares UTF-8.
        {"Latin-1 name", holding("", "Caf\xe9.wav"), true, "Caf\xe9.wav"},
        {"Latin-1 name, Latin-1 declared",
         holding("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>", "Caf\xe9 \xc0 l'\xe9t\xe9.wav"), true,
         "caf\xe9 \xc0 l'\xe9t\xe9.WAV"},
        {"UTF-8 name, UTF-8 declared", holding("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", "Caf\xc3\xa9.wav"),
         true, "Caf\xc3\xa9.wav"},
        {"nested 100000 deep", "<FileSystem>\n" + deep + "</FileSystem>\ndata", false},
        {"nesting hidden by UTF-8 lead bytes",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FileSystem>\n" + utf8Deep + "</FileSystem>\ndata", false},
        {"NUL inside the TOC", "<FileSystem>\n<FILE name=\"m\"" + std::string(1, '\0') + fine.substr(14) +
                                   "\n</FileSystem>\ndata",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RhFileSystem::flushCache();
        dir.write("Lib/H.db", c.bytes);
        Found f = find(lib() + "/H/" + c.member);
        EXPECT_EQ(f.result, c.found ? 1 : 0);
        if (c.found) {
            EXPECT_EQ(f.size, 4u);
        }
    }

    // A folder named like a container holds nothing either.
    mkdir(dir.file("Lib/F.db").c_str(), 0700);
    EXPECT_EQ(find(lib() + "/F/m").result, 0);
    // A FIFO named like one does not stall the lookup.
    ASSERT_EQ(mkfifo(dir.file("Lib/P.db").c_str(), 0600), 0);
    EXPECT_EQ(find(lib() + "/P/m").result, 0);
}

TEST_F(RhFileSystemTest, PathsOf1024BytesOrMoreAreNotLookedUp) {
    // A member name that makes the whole path exactly 1023 or 1024 bytes.
    const std::string prefix = lib() + "/L/";
    ASSERT_LT(prefix.size(), 900u);
    const std::string n1023(1023 - prefix.size(), 'n');
    const std::string n1024(1024 - prefix.size(), 'n');
    dir.write("Lib/L.db", container({"<FileSystem>", "<FILE name=\"" + n1023 + "\" offset=\"0\" size=\"1\"/>",
                                     "<FILE name=\"" + n1024 + "\" offset=\"0\" size=\"1\"/>", "</FileSystem>"},
                                    "x"));
    EXPECT_EQ(find(prefix + n1023).result, 1);
    EXPECT_EQ(find(prefix + n1024).result, 0);
    EXPECT_EQ(find(prefix + std::string(70000, 'n')).result, 0);
}

TEST_F(RhFileSystemTest, PathQueriesSeeInsideContainers) {
    dir.write("Lib/Strings.db", container(kLibrary, kLibraryData));
    dir.write("Lib/Strings/disk.wav", "on disk");  // a real folder beside the container
    RhPath member((lib() + "/Strings/Cello/A3.wav").c_str());
    EXPECT_EQ(member.exists(), 1);
    EXPECT_EQ(member.isDir(), 0);
    EXPECT_EQ(member.getSize(), 10u);
    EXPECT_EQ(member.isInTZarchive(), 1);
    EXPECT_EQ(RhPath((lib() + "/Strings/Cello").c_str()).isDir(), 1);
    EXPECT_EQ(RhPath((lib() + "/Strings/Cello/none.wav").c_str()).exists(), 0);

    RhStringList list;
    EXPECT_EQ(RhPath((lib() + "/Strings").c_str()).getFileNames(&list, 0), 1);
    std::vector<std::string> got = rhtest::texts(list);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{"Cello", "Viola", "disk.wav", "readme.txt"}));
}

TEST_F(RhFileSystemTest, ParsedTablesAreCachedUntilFlushed) {
    dir.write("Lib/Strings.db", container(kLibrary, kLibraryData));
    long before = RhFileSystem::getTocLoadCount();
    EXPECT_EQ(find(lib() + "/Strings/Cello/A3.wav").result, 1);
    EXPECT_EQ(find(lib() + "/Strings/Cello/B3.wav").result, 1);
    EXPECT_EQ(RhFileSystem::getTocLoadCount(), before + 1);
    int big = -1;
    int useCount = -1;
    EXPECT_EQ(RhFileSystem::sCache.getEntryState((lib() + "/Strings.db").c_str(), &big, &useCount), 1);
    EXPECT_EQ(big, 0);
    EXPECT_EQ(useCount, 0);  // no walk holds it any more

    // A changed file is not seen until the cache is flushed.
    dir.write("Lib/Strings.db", container({"<FileSystem>", "</FileSystem>"}, ""));
    EXPECT_EQ(find(lib() + "/Strings/Cello/A3.wav").result, 1);
    EXPECT_EQ(RhFileSystem::flushCache(), 1);
    EXPECT_EQ(RhFileSystem::sCache.getCount(), 0);
    EXPECT_EQ(find(lib() + "/Strings/Cello/A3.wav").result, 0);

    // A container that holds nothing is not cached, so it is read again.
    dir.write("Lib/Bad.db", "<FileSystem>\n");
    EXPECT_EQ(find(lib() + "/Bad/x").result, 0);
    EXPECT_EQ(RhFileSystem::sCache.getEntryState((lib() + "/Bad.db").c_str(), nullptr, nullptr), 0);
}

TEST_F(RhFileSystemTest, TocOverAMillionCharactersIsBig) {
    std::vector<std::string> lines = {"<FileSystem>"};
    size_t length = 0;
    for (int i = 0; length <= RhFileSystem::kBigTocLength; ++i) {
        lines.push_back("<FILE name=\"file" + std::to_string(i) + ".wav\" offset=\"0\" size=\"0\"/>");
        length += lines.back().size();
    }
    lines.push_back("</FileSystem>");
    dir.write("Lib/Big.db", container(lines, ""));
    EXPECT_EQ(find(lib() + "/Big/file7.wav").result, 1);
    int big = 0;
    EXPECT_EQ(RhFileSystem::sCache.getEntryState((lib() + "/Big.db").c_str(), &big, nullptr), 1);
    EXPECT_EQ(big, 1);
}

// Eviction works on FSCache itself: entries with their own archives.
class FSCacheTest : public ::testing::Test {
protected:
    void push(const char* path, int big) {
        FSCacheEntry e{new RhPath(path), new ObjectArchive(nullptr), new ObjectCursor(), 0, 0, 100, 200};
        cache.push(&e, big);
        EXPECT_EQ(e.path, nullptr);  // ownership moved to the cache
    }
    bool cached(const char* path) { return cache.getEntryState(path, nullptr, nullptr) == 1; }
    FSCache cache;
};

TEST_F(FSCacheTest, FourthIdleBigEntryEvictsTheOldestIdleBigOne) {
    push("/small1", 0);
    push("/big1", 1);
    push("/big2", 1);
    push("/small2", 0);
    push("/big3", 1);
    push("/big4", 1);
    EXPECT_FALSE(cached("/big1"));
    EXPECT_TRUE(cached("/big2") && cached("/big3") && cached("/big4"));
    EXPECT_TRUE(cached("/small1") && cached("/small2"));
    EXPECT_EQ(cache.getCount(), 5);

    // A big entry in use is never evicted; the next idle one goes instead.
    RhPath big2("/big2");
    ObjectArchive* archive = nullptr;
    ObjectCursor* cursor = nullptr;
    unsigned long long dataStart = 0;
    unsigned long long fileSize = 0;
    ASSERT_EQ(cache.find(&big2, &archive, &cursor, &dataStart, &fileSize), 1);
    EXPECT_NE(archive, nullptr);
    EXPECT_NE(cursor, nullptr);
    EXPECT_EQ(dataStart, 100u);
    EXPECT_EQ(fileSize, 200u);
    push("/big5", 1);  // only big3, big4 idle: appended, nothing evicted
    EXPECT_TRUE(cached("/big2") && cached("/big3") && cached("/big4") && cached("/big5"));
    push("/big6", 1);
    EXPECT_TRUE(cached("/big2"));
    EXPECT_FALSE(cached("/big3"));
    EXPECT_TRUE(cached("/big4") && cached("/big5") && cached("/big6"));

    cache.releaseEntry(&big2);
    int useCount = -1;
    cache.getEntryState("/big2", nullptr, &useCount);
    EXPECT_EQ(useCount, 0);
    push("/big7", 1);  // now big2 is the oldest idle big entry
    EXPECT_FALSE(cached("/big2"));

    // Small entries are never evicted, and an equal path is refused.
    push("/small1", 0);
    EXPECT_EQ(cache.getCount(), 6);
    EXPECT_EQ(cache.flush(), 1);
    EXPECT_EQ(cache.getCount(), 0);
}

TEST_F(RhFileSystemTest, TwoThreadsLoadOneTableOnce) {
    dir.write("Lib/Strings.db", container(kLibrary, kLibraryData));
    const std::string a = lib() + "/Strings/Cello/A3.wav";
    const std::string b = lib() + "/Strings/Cello/B3.wav";
    long before = RhFileSystem::getTocLoadCount();
    std::atomic<int> ready{0};
    std::atomic<int> found{0};
    auto worker = [&](const std::string& path) {
        ++ready;
        while (ready.load() < 2) {
        }
        for (int i = 0; i < 50; ++i) found += RhFileSystem::fileExists(path.c_str());
    };
    std::thread t1(worker, a);
    std::thread t2(worker, b);
    t1.join();
    t2.join();
    EXPECT_EQ(found.load(), 100);
    EXPECT_EQ(RhFileSystem::getTocLoadCount(), before + 1);
}

}  // namespace
