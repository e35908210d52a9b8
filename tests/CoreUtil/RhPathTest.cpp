#include "RhPath.h"
#include "RhFileUtils.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CoreUtilTestSupport.h"
#include "HermeticAppSupport.h"
#include "TestSupport.h"

namespace {

// Null pointers compare as a distinct marker so that tables can say "null".
const char* const kNull = "<null>";

std::string textOrNull(const char* p) { return p ? std::string(p) : std::string(kNull); }

// Takes ownership of a heap string returned by a path operation.
std::string take(RhString* s) {
    std::string text = s ? std::string(s->getText()) : std::string(kNull);
    delete s;
    return text;
}

bool isDirOnDisk(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool existsOnDisk(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> sortedNames(const RhStringList& list) {
    std::vector<std::string> names = rhtest::texts(list);
    std::sort(names.begin(), names.end());
    return names;
}

std::string passwordHome() {
    struct passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

std::string selfExecutable() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// ---------------------------------------------------------------- building

TEST(RhPathTest, ConstructionAllocatesAsDocumented) {
    RhPath empty;
    EXPECT_EQ(empty.getCapacity(), 1024u);
    EXPECT_EQ(empty.getLength(), 0u);
    RhPath fromText("/a/b");
    EXPECT_EQ(fromText.getCapacity(), 5u);
    RhString source("/c");
    RhPath fromString(&source);
    EXPECT_STREQ(fromString.getText(), "/c");
    RhPath fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(fromNull.getCapacity(), 0u);
}

TEST(RhPathTest, AddTailToThis) {
    struct Case { const char* path; const char* tail; const char* expected; };
    const Case cases[] = {
        {"", "x", "/x"},
        {"/a/", "x", "/a/x"},
        {"/a", "x", "/a/x"},
        {"a\\", "x", "a\\/x"},
        {"/a", "", "/a/"},
        {"/a", nullptr, "/a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " + " + textOrNull(c.tail));
        RhPath p(c.path);
        p.addTailToThis(c.tail);
        EXPECT_STREQ(p.getText(), c.expected);

        // The copying forms give the same text and leave the path alone.
        RhPath original(c.path);
        EXPECT_EQ(take(original.addTail(c.tail)), c.expected);
        RhPath out("junk");
        original.addTail(&out, c.tail);
        EXPECT_STREQ(out.getText(), c.expected);
        EXPECT_STREQ(original.getText(), c.path);
    }

    RhPath bufferless(static_cast<const char*>(nullptr));
    bufferless.addTailToThis("x");
    EXPECT_STREQ(bufferless.getText(), "/x");
    RhString bufferlessTail;
    RhPath withEmptyTail("/a");
    withEmptyTail.addTailToThis(&bufferlessTail);
    EXPECT_STREQ(withEmptyTail.getText(), "/a/");
}

TEST(RhPathTest, AddTailToThisWithItsOwnTextSurvivesGrowth) {
    // Exact allocation: appending "/" reallocates before the tail is read.
    RhPath p("/x/name");
    p.addTailToThis(p.tailString(1));
    EXPECT_STREQ(p.getText(), "/x/name/name");
}

TEST(RhPathTest, TempDir) {
    RhPath p("/somewhere");
    p.tempDir(nullptr);
    EXPECT_STREQ(p.getText(), "/tmp");
    p.tempDir("scratch.txt");
    EXPECT_STREQ(p.getText(), "/tmp/scratch.txt");
}

// ---------------------------------------------------------- taking apart

TEST(RhPathTest, TailString) {
    struct Case { const char* path; int whole; const char* expected; };
    const Case cases[] = {
        {"file", 0, kNull}, {"file", 1, "file"}, {"/a/b", 0, "b"},  {"a/b/", 0, "b/"},
        {"ab/", 0, kNull},  {"ab/", 1, "ab/"},   {"a\\b", 0, "b"},  {"/a", 0, "a"},
        {"/", 0, kNull},    {"", 1, ""},         {"", 0, kNull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " whole=" + std::to_string(c.whole));
        RhPath p(c.path);
        const char* t = p.tailString(c.whole);
        EXPECT_EQ(textOrNull(t), c.expected);
        if (t) {
            EXPECT_TRUE(t >= p.getText() && t <= p.getText() + p.getLength());
        }
    }
    RhPath bufferless(static_cast<const char*>(nullptr));
    EXPECT_EQ(bufferless.tailString(1), nullptr);
}

TEST(RhPathTest, Suffix) {
    struct Case { const char* path; const char* expected; };
    const Case cases[] = {
        {"/a.b/c", kNull}, {"/a/c.WAV", "WAV"}, {"a.tar.gz", "gz"}, {"x\\a.b\\c", kNull},
        {"noext", kNull},  {"a.", ""},          {"", kNull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RhPath p(c.path);
        EXPECT_EQ(textOrNull(p.suffix()), c.expected);
    }
}

TEST(RhPathTest, TailAndTailRoot) {
    struct Case { const char* path; const char* tail; const char* root; };
    const Case cases[] = {
        {"/x/y/A3.wav", "A3.wav", "A3"}, {"/x/y/noext", "noext", "noext"}, {"/a/b/", "b", "b"},
        {"a\\b", "b", "b"},              {"a\\b\\", "b", "b"},             {"a/b\\c", "b\\c", "b\\c"},
        {"file.tar.gz", "file.tar.gz", "file.tar"}, {"", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RhPath p(c.path);
        EXPECT_EQ(take(p.tail()), c.tail);
        EXPECT_EQ(take(p.tailRoot()), c.root);
        RhString out("old");
        p.tail(&out);
        EXPECT_STREQ(out.getText(), c.tail);
    }
}

TEST(RhPathTest, ParentFolder) {
    struct Case { const char* path; const char* expected; };
    const Case cases[] = {
        {"/a", kNull},  {"a", kNull},       {"", kNull},        {"/", kNull},
        {"//", kNull},  {"/a/b", "/a"},     {"/a/b/", "/a"},    {"a\\b\\c", "a\\b"},
        {"a/b", "a"},   {"/a/b\\c", "/a/b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RhPath p(c.path);
        EXPECT_EQ(take(p.parentFolder()), c.expected);
    }
    // Long paths are handled whole.
    std::string longFolder = "/" + std::string(1500, 'd');
    RhPath longPath((longFolder + "/leaf").c_str());
    EXPECT_EQ(take(longPath.parentFolder()), longFolder);
}

TEST(RhPathTest, IsAbsolute) {
    struct Case { const char* path; int expected; };
    const Case cases[] = {{"/a", 1}, {"\\a", 1}, {"C:x", 1}, {"a", 0}, {"", 0}, {"a/b", 0}, {":", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(RhPath(c.path).isAbsolute(), c.expected);
    }
    EXPECT_EQ(RhPath(static_cast<const char*>(nullptr)).isAbsolute(), 1);
}

// -------------------------------------------------------------- normalising

TEST(RhPathTest, EliminateSingleDotsAndDoubleDots) {
    struct Case { const char* path; const char* expected; };
    const Case cases[] = {
        {"/a/b/../c", "/a/c"},
        {"/a/b/c/../../d", "/a/d"},
        {"/a/./b", "/a/b"},
        {"a/./b", "/a/b"},
        {"/a/b/../", "/a"},
        {"/a/b/./../c", "/a/b/c"},
        {"/x/a/../b/../../y", "/x/a/y"},
        {"/a/../..//b", "/../b"},
        {"/a/b/../../../c", "/b/../c"},
        {"C:\\x\\..\\y/./z", "/C:/y/z"},
        {"/../", "/.."},
        // Without "/./" or "/../" nothing changes, byte for byte.
        {"/a/..", "/a/.."},
        {"/a/.", "/a/."},
        {"a\\b\\..\\c\\", "a\\b\\..\\c\\"},
        {"//a//b/", "//a//b/"},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RhPath p(c.path);
        p.eliminateSingleDotsAndDoubleDots();
        EXPECT_STREQ(p.getText(), c.expected);
    }
}

TEST(RhPathTest, EliminateDotsHandlesPathsBeyondScratchSize) {
    std::string component(300, 'c');
    std::string path;
    std::string expected;
    for (int i = 0; i < 12; ++i) {
        path += "/" + component + std::to_string(i);
        expected += "/" + component + std::to_string(i);
    }
    path += "/gone/../leaf";
    expected += "/leaf";
    RhPath p(path.c_str());
    p.eliminateSingleDotsAndDoubleDots();
    EXPECT_EQ(std::string(p.getText()), expected);
}

// ------------------------------------------------------------ disk queries

TEST(RhPathTest, PlainDiskQueries) {
    rhtest::TempDir dir;
    std::string file = dir.write("f.wav", "12345");
    std::string missing = dir.file("missing");
    struct Case { std::string path; int exists; int isDir; unsigned size; };
    const Case cases[] = {
        {file, 1, 0, 5},
        {dir.path(), 1, 1, 0},
        {missing, 0, 0, 0},
        {"", 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RhPath p(c.path.c_str());
        EXPECT_EQ(p.isDir(), c.isDir);
        EXPECT_EQ(p.existsNonArchive(), c.exists);
        EXPECT_EQ(p.exists(), c.exists);
        if (!c.isDir) {
            EXPECT_EQ(p.getSize(), c.size);
            EXPECT_EQ(p.getSize64(), c.size);
        }
    }
}

TEST(RhPathTest, ExistsNormalisesThePathInPlace) {
    rhtest::TempDir dir;
    dir.write("f.wav", "x");
    mkdir(dir.file("sub").c_str(), 0700);
    RhPath p((dir.path() + "/sub/../f.wav").c_str());
    EXPECT_EQ(p.exists(), 1);
    EXPECT_EQ(std::string(p.getText()), dir.file("f.wav"));
}

TEST(RhPathTest, ContainerFileStandsForItsFolder) {
    rhtest::TempDir dir;
    std::string folder = dir.file("Strings");
    // No container yet.
    EXPECT_EQ(take(RhPath(folder.c_str()).getFolderPathWithDBsuffix()), kNull);
    EXPECT_EQ(RhPath(folder.c_str()).exists(), 0);

    // Later suffixes are found when the earlier ones are missing, in table order.
    dir.write("Strings.talix", "");
    dir.write("Strings.quarvel", "");
    EXPECT_EQ(take(RhPath((folder + "/").c_str()).getFolderPathWithDBsuffix()), folder + ".quarvel");
    dir.write("Strings.db", "");
    EXPECT_EQ(take(RhPath((folder + "/").c_str()).getFolderPathWithDBsuffix()), folder + ".db");

    RhPath asFolder(folder.c_str());
    EXPECT_EQ(asFolder.exists(), 1);
    EXPECT_EQ(asFolder.archiveFileExists(), 1);
    EXPECT_EQ(asFolder.existsNonArchive(), 0);
    EXPECT_EQ(take(RhPath("").getFolderPathWithDBsuffix()), kNull);
}

TEST(RhPathTest, ArchiveSuffixes) {
    struct Case { const char* path; int packedLength; int inTZ; };
    const Case cases[] = {
        {"/L/x.db", 2, 1},     {"/L/x.tessavolin", 10, 0}, {"/L/x.quarvel", 7, 0}, {"/L/x.brisom", 6, 0},
        {"/L/x.talix", 5, 0},  {"/L/x.db2", 0, 0},         {"/L/x.DB", 0, 0},      {"/L.db/x", 0, 0},
        {"/L/x.wav", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        RhPath p(c.path);
        EXPECT_EQ(p.hasApackedArchiveSuffix(), c.packedLength);
        EXPECT_EQ(p.isInTZarchive(), c.inTZ);
    }
}

TEST(RhPathTest, GetFileNamesListsFolderAsDocumented) {
    rhtest::TempDir dir;
    dir.write("a.wav", "x");
    dir.write(".hidden", "x");
    dir.write("lib.toc", "x");
    dir.write("Strings.db", "x");
    dir.write("Winds.talix", "x");
    dir.write("sub/inner.wav", "x");

    RhPath folder(dir.path().c_str());
    RhStringList all;
    EXPECT_EQ(folder.getFileNames(&all, 0), 1);
    EXPECT_EQ(sortedNames(all), (std::vector<std::string>{"Strings", "Winds", "a.wav", "sub"}));

    RhStringList dirs;
    folder.getFileNames(&dirs, 1);
    EXPECT_EQ(sortedNames(dirs), (std::vector<std::string>{"Strings", "Winds", "sub"}));

    RhStringList none;
    EXPECT_EQ(RhPath(dir.file("missing").c_str()).getFileNames(&none, 0), 0);
    EXPECT_EQ(none.getCount(), 0);
    EXPECT_EQ(folder.getFileNames(static_cast<RhStringList*>(nullptr), 0), 0);
}

// ------------------------------------------------------- building folders

TEST(RhPathTest, AddFolderCreatesOneLevelBelowAnExistingFolder) {
    rhtest::TempDir dir;
    RhPath base(dir.file("a").c_str());
    RhString name("b");
    EXPECT_EQ(take(base.addFolder(&name)), dir.file("a/b"));
    EXPECT_TRUE(isDirOnDisk(dir.file("a/b")));
    struct stat st;
    ASSERT_EQ(stat(dir.file("a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Two missing levels above the new folder: nothing is created.
    RhPath deep(dir.file("x/y").c_str());
    RhPath out;
    deep.addFolder(&out, "z");
    EXPECT_EQ(std::string(out.getText()), dir.file("x/y/z"));
    EXPECT_FALSE(existsOnDisk(dir.file("x")));

    RhPath created(dir.file("c").c_str());
    created.createFolder();
    EXPECT_TRUE(isDirOnDisk(dir.file("c")));
}

// -------------------------------------------------- the central location

std::atomic<int> gLookupCalls{0};
std::string gLookupAnswer;

int countingLookup(char** out) {
    gLookupCalls.fetch_add(1);
    *out = strdup(gLookupAnswer.c_str());
    return 1;
}

int failingLookup(char**) {
    gLookupCalls.fetch_add(1);
    return 0;
}

class CentralLocationTest : public ::testing::Test {
protected:
    void SetUp() override {
        gLookupCalls = 0;
        gLookupAnswer = dir.file("AppSupport");
        RhPath::setApplicationSupportLookupForTests(countingLookup);
    }
    void TearDown() override { RhPath::setApplicationSupportLookupForTests(rhtest::hermeticAppSupportLookup); }

    rhtest::TempDir dir;
};

TEST_F(CentralLocationTest, LooksUpOncePerProcess) {
    RhPath a;
    a.centralLocation("Quillorantics", 0);
    RhPath b;
    b.centralLocation("Other", 0);
    EXPECT_EQ(gLookupCalls.load(), 1);
    EXPECT_EQ(std::string(a.getText()), dir.file("AppSupport/Quillorantics"));
    EXPECT_EQ(std::string(b.getText()), dir.file("AppSupport/Other"));
    EXPECT_FALSE(existsOnDisk(dir.file("AppSupport")));  // create = 0 creates nothing
}

TEST_F(CentralLocationTest, CreateMakesTheFolderAndTheApplicationSupportFolder) {
    RhPath p;
    p.centralLocation("Quillorantics", 1);
    EXPECT_EQ(std::string(p.getText()), dir.file("AppSupport/Quillorantics"));
    EXPECT_TRUE(isDirOnDisk(dir.file("AppSupport/Quillorantics")));
    p.centralLocation("Quillorantics", 1);  // already there: same answer
    EXPECT_EQ(std::string(p.getText()), dir.file("AppSupport/Quillorantics"));
    EXPECT_EQ(gLookupCalls.load(), 1);
}

TEST_F(CentralLocationTest, ConcurrentFirstCallsLookUpOnce) {
    std::vector<std::thread> threads;
    std::vector<std::string> answers(8);
    for (size_t i = 0; i < answers.size(); ++i) {
        threads.emplace_back([&answers, i] {
            RhPath p;
            p.centralLocation("Q", 0);
            answers[i] = p.getText();
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(gLookupCalls.load(), 1);
    for (const std::string& a : answers) EXPECT_EQ(a, dir.file("AppSupport/Q"));
}

TEST_F(CentralLocationTest, UnknownFolderCreatesNothing) {
    RhPath::setApplicationSupportLookupForTests(failingLookup);
    RhPath p;
    p.centralLocation("Quillorantics", 1);
    EXPECT_STREQ(p.getText(), "/Quillorantics");
    EXPECT_FALSE(existsOnDisk("/Quillorantics"));
}

// ---------------------------------------------- application-support folder

TEST(RhPathTest, ApplicationSupportPathShape) {
    const std::string home = passwordHome();
    ASSERT_FALSE(home.empty());
    struct Case { const char* xdg; const char* homeEnv; std::string expected; };
    const Case cases[] = {
        {nullptr, nullptr, home + "/.local/share"},
        {nullptr, "/nonexistent/fakehome", home + "/.local/share"},  // real home wins
        {"/some/where/abc/def", nullptr, home + "/abc/def"},
        {"/x/y/", nullptr, home + "/x/y"},
        {"relative/data", nullptr, home + "/.local/share"},
        {"/solo", nullptr, "/solo"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(textOrNull(c.xdg) + " HOME=" + textOrNull(c.homeEnv));
        rhtest::ScopedEnv clearXdg("XDG_DATA_HOME");
        std::unique_ptr<rhtest::ScopedEnv> xdg, homeEnv;
        if (c.xdg) xdg = std::make_unique<rhtest::ScopedEnv>("XDG_DATA_HOME", c.xdg);
        if (c.homeEnv) homeEnv = std::make_unique<rhtest::ScopedEnv>("HOME", c.homeEnv);
        char* out = nullptr;
        ASSERT_NE(RhCU_GetApplicationSupportPath(&out), 0);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(std::string(out), c.expected);
        free(out);
    }
    EXPECT_EQ(RhCU_GetApplicationSupportPath(nullptr), 0);
}

// ------------------------------------------------- executable and files

TEST(RhPathTest, ExecutableAndResourcesFolder) {
    const std::string exe = selfExecutable();
    ASSERT_FALSE(exe.empty());
    char out[PATH_MAX + 32];
    ASSERT_EQ(RhPathToExecutable(out, sizeof out), 1);
    EXPECT_EQ(std::string(out), exe);

    const std::string resources = exe.substr(0, exe.rfind('/')) + "/../Resources";
    ASSERT_EQ(RhPathToResourcesFolder(out, sizeof out), 1);
    EXPECT_EQ(std::string(out), resources);
    RhPath p("old");
    p.centralResourcesLocation();
    EXPECT_EQ(std::string(p.getText()), resources);

    // Too small a buffer: refused, never overrun.
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(RhPathToExecutable(small, sizeof small), 0);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(RhPathToResourcesFolder(small, sizeof small), 0);
}

TEST(RhPathTest, FopenUnicodeSafePassesUtf8Through) {
    rhtest::TempDir dir;
    std::string name = dir.file("\xC3\x9Cnic\xC3\xB8" "de.txt");
    FILE* f = RhUtils::fopenUnicodeSafe(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fputs("hi", f);
    fclose(f);
    EXPECT_EQ(rhtest::readFile(name), "hi");
    EXPECT_EQ(RhUtils::fopenUnicodeSafe(nullptr, "rb"), nullptr);
    EXPECT_EQ(RhUtils::fopenUnicodeSafe(name.c_str(), nullptr), nullptr);
}

// ------------------------------------------------------------- path lists

TEST(RhPathTest, PathListHoldsPaths) {
    RhPathList list;
    RhPath a("/a/one.wav");
    RhPath b("/a/two.wav");
    list.appendPath(&a, 1);
    list.appendPath(&a, 1);
    EXPECT_EQ(list.getCount(), 2);
    EXPECT_EQ(list.appendPathReturnIfAlreadyThere(&a), 1);
    EXPECT_EQ(list.appendPathReturnIfAlreadyThere(&b), 0);
    list.appendPath(&b, 0);
    list.appendString("/a/three.wav");
    ASSERT_EQ(list.getCount(), 4);

    EXPECT_EQ(list.getIthPath(-1), nullptr);
    EXPECT_EQ(list.getIthPath(4), nullptr);
    ASSERT_NE(list.getIthPath(3), nullptr);
    EXPECT_STREQ(list.getIthPath(3)->suffix(), "wav");

    RhPathList copy;
    copy.copyFrom(&list);
    copy.copyFrom(&copy);
    RhPathList constructed(list);
    RhPathList assigned;
    assigned = list;
    for (const RhPathList* l : {&copy, &constructed, &assigned}) {
        ASSERT_EQ(l->getCount(), 4);
        for (int i = 0; i < 4; ++i) {
            ASSERT_NE(l->getIthPath(i), nullptr);
            EXPECT_STREQ(l->getIthPath(i)->getText(), list.getIthPath(i)->getText());
        }
    }
    copy.moveElement(3, 0);
    EXPECT_STREQ(copy.getIthPath(0)->getText(), "/a/three.wav");
}

TEST(RhPathTest, PathListMakesPathsForEveryIndexItSets) {
    // setIthString beyond the end fills the gap and replaces in range; set
    // fills its gap the same way.
    RhPathList list;
    list.setIthString(2, "/b/two.aif");
    RhString one("/b/one.aif");
    list.setIthString(1, &one);
    RhString* adopted = new RhPath("/b/four.aif");
    list.set(&adopted, 4);
    const char* expected[] = {"", "/b/one.aif", "/b/two.aif", "", "/b/four.aif"};
    ASSERT_EQ(list.getCount(), 5);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(list.getIthPath(i), nullptr);
        EXPECT_STREQ(list.getIthPath(i)->getText(), expected[i]);
    }
    EXPECT_STREQ(list.getIthPath(2)->suffix(), "aif");
}

// --------------------------------------------------- less used operations

TEST(RhPathTest, PathOfThisRelativeToParent) {
    struct Case { const char* path; const char* parent; const char* expected; };
    const Case cases[] = {
        {"/a/b/c", "/a/b", "c"},   {"/a/b/c", "/a/b/", "c"}, {"/a/bcd", "/a/b", kNull},
        {"/a/b/", "/a/b", kNull},  {"/a/b", "/a/b", kNull},  {"a/b/c", "a/b", kNull},
        {"/a/b/c", "", kNull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " in " + c.parent);
        RhPath p(c.path);
        RhPath parent(c.parent);
        EXPECT_EQ(textOrNull(p.pathOfThisRelativeToParent(&parent)), c.expected);
    }
}

TEST(RhPathTest, DeleteAndClearNeverFollowLinks) {
    rhtest::TempDir dir;
    std::string keep = dir.write("outside/keep.txt", "keep");
    dir.write("tree/a.txt", "x");
    dir.write("tree/.DS_Store", "x");
    dir.write("tree/sub/b.txt", "x");
    ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file("tree/link").c_str()), 0);

    RhPath tree(dir.file("tree").c_str());
    EXPECT_EQ(tree.deleteDir(0), 0);  // not empty
    EXPECT_EQ(tree.clearDir(0), 1);   // files and the link go, the subfolder stays
    EXPECT_TRUE(isDirOnDisk(dir.file("tree/sub")));
    EXPECT_FALSE(existsOnDisk(dir.file("tree/a.txt")));
    EXPECT_FALSE(existsOnDisk(dir.file("tree/link")));

    ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file("tree/sub/link").c_str()), 0);
    EXPECT_EQ(tree.deleteDir(1), 1);
    EXPECT_FALSE(existsOnDisk(dir.file("tree")));
    EXPECT_EQ(rhtest::readFile(keep), "keep");
}

TEST(RhPathTest, CopyingRefusesToDestroyItsSource) {
    rhtest::TempDir dir;
    std::string src = dir.write("src/f.txt", "content");
    dir.write("src/sub/g.txt", "more");
    RhPath file(src.c_str());

    EXPECT_EQ(file.copyFile(&file, 1), 0);  // onto itself
    EXPECT_EQ(rhtest::readFile(src), "content");

    std::string existing = dir.write("other.txt", "old");
    RhPath dest(existing.c_str());
    EXPECT_EQ(file.copyFile(&dest, 0), 0);
    EXPECT_EQ(rhtest::readFile(existing), "old");
    EXPECT_EQ(file.copyFile(&dest, 1), 1);
    EXPECT_EQ(rhtest::readFile(existing), "content");

    RhPath folder(dir.file("src").c_str());
    RhPath inside(dir.file("src/sub").c_str());
    EXPECT_EQ(folder.copyDir(&inside, nullptr), 0);  // into its own tree
    RhPath target(dir.path().c_str());
    RhString copyName("copy");
    EXPECT_EQ(folder.copyDir(&target, &copyName), 1);
    EXPECT_EQ(rhtest::readFile(dir.file("copy/f.txt")), "content");
    EXPECT_EQ(rhtest::readFile(dir.file("copy/sub/g.txt")), "more");
}

TEST(RhPathTest, WritePermissionProbeKeepsExistingFiles) {
    rhtest::TempDir dir;
    std::string bystander = dir.write("test62311.txt", "user data");
    RhPath folder(dir.path().c_str());
    EXPECT_EQ(folder.hasWritePermission(), 1);
    EXPECT_EQ(rhtest::readFile(bystander), "user data");
    unlink(bystander.c_str());
    EXPECT_EQ(folder.hasWritePermission(), 1);
    EXPECT_FALSE(existsOnDisk(bystander));
    EXPECT_EQ(RhPath(dir.file("missing").c_str()).hasWritePermission(), 0);
}

TEST(RhPathTest, FolderWalks) {
    rhtest::TempDir dir;
    dir.write("a.wav", "x");
    dir.write("b.WAV", "x");
    dir.write("c.aif", "x");
    dir.write(".d.wav", "x");
    dir.write("sub/e.wav", "x");
    dir.write("sub/deeper/f.wav", "x");
    ASSERT_EQ(symlink(dir.file("sub").c_str(), dir.file("loop").c_str()), 0);

    RhPath folder(dir.path().c_str());
    RhPathList found;
    EXPECT_EQ(folder.getFilesInThisAndAllSubfolders(&found, "wav"), 4);
    EXPECT_EQ(found.getCount(), 4);
    EXPECT_EQ(folder.countFilesWithGivenSuffix("wav", 0), 2);
    RhPathList plain;
    EXPECT_EQ(folder.findAllFilesWithGivenSuffixNoArchive("aif", &plain), 1);
    ASSERT_EQ(plain.getCount(), 1);
    EXPECT_EQ(std::string(plain.getIthPath(0)->getText()), dir.file("c.aif"));
    EXPECT_EQ(folder.getNDirs(), 2);  // sub and the link to it
    EXPECT_EQ(folder.getNFiles(), 3);

    RhString* names = nullptr;
    int count = -1;
    EXPECT_EQ(folder.getFileNames(&names, &count, 1), 2);
    EXPECT_EQ(count, 2);
    delete[] names;
}

}  // namespace
