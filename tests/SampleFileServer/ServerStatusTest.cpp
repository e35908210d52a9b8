// The status document built from registries in process, and the bounded log
// file that a detached server writes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "ClientInfoList.h"
#include "JsonValue.h"
#include "SampleFileInfoList.h"
#include "SampleFileServer.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"
#include "ServerLog.h"
#include "ServerStatus.h"
#include "TestSupport.h"

namespace {

// Registries filled by hand: entries with fields set as a loader would.
class StatusRegistries {
public:
    ClientInfo* addClient(const std::string& name) {
        ClientInfo* client = new ClientInfo(name.c_str());
        clients.append(&client);
        return client;
    }

    SampleFileInfo* addFile(const std::string& path, int32_t state, uint32_t frames, int channels,
                            const std::vector<ClientInfo*>& users) {
        int insertPos = -1;
        EXPECT_EQ(files.findSampleFileByName(path.c_str(), 1, insertPos), nullptr) << path;
        SampleFileInfo* info = new SampleFileInfo(nullptr);
        info->path = path.c_str();
        info->loadState = state;
        info->frameCount = frames;
        for (int channel = 0; channel < channels; channel++)
            info->segmentNames[channel] = channel == 0 ? "L_x" : "R_x";
        for (ClientInfo* user : users)
            info->getClientSlot(user, 1);
        EXPECT_EQ(files.insertSampleFile(info, insertPos), 1);
        return info;
    }

    JsonValue page(ServerStatus::PageRequest request = {}, size_t limit = ServerStatus::kMaxPageBytes,
                   std::string* text = nullptr) {
        ServerStatus::ProcessFacts facts;
        facts.pid = 4242;
        facts.startTime = 1700000000;
        const std::string built = ServerStatus::buildPage(files, clients, &reader, facts, request, limit);
        if (text != nullptr)
            *text = built;
        JsonValue document;
        std::string why;
        EXPECT_TRUE(parseJson(built, &document, &why)) << why << "\n" << built;
        return document;
    }

    SampleFileInfoList files;
    ClientInfoList clients;
    DiskReader* reader = nullptr;
};

uint64_t segmentBytes(int frames) {
    return SampleFileServerUtilities::roundUpToPageSize(SampleFileSharedmemSegment::fullSize(frames));
}

TEST(ServerStatusTest, DocumentCountsStatesClientsAndBytes) {
    StatusRegistries r;
    ClientInfo* a = r.addClient("1.0.ClientManager");
    ClientInfo* b = r.addClient("2.0.ClientManager");
    r.addFile("/lib/a.wav", kLoadFinished, 1000, 2, {a, b});
    r.addFile("/lib/b.wav", kLoadReading, 500, 0, {a});
    r.addFile("/lib/c.wav", kLoadQueued, 7, 0, {b});
    SampleFileInfo* locked = r.addFile("/lib/d.wav", kLoadFinished, 10, 1, {});
    locked->segmentsLocked = 1;
    DiskReader reader(nullptr);
    reader.isRunning = 1;
    r.reader = &reader;

    JsonValue doc = r.page();
    const JsonValue* server = doc.find("server");
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->textAt("name"), "QuilloranticsServer");
    EXPECT_EQ(server->numberAt("pid"), 4242);
    EXPECT_EQ(server->textAt("startTime"), "2023-11-14T22:13:20Z");
    EXPECT_FALSE(server->textAt("version").empty());

    const JsonValue* totals = doc.find("totals");
    ASSERT_NE(totals, nullptr);
    EXPECT_EQ(totals->numberAt("clients"), 2);
    EXPECT_EQ(totals->numberAt("files"), 4);
    EXPECT_EQ(totals->numberAt("filesQueued"), 1);
    EXPECT_EQ(totals->numberAt("filesReading"), 1);
    EXPECT_EQ(totals->numberAt("filesFinished"), 2);
    EXPECT_EQ(totals->textAt("reader"), "running");
    EXPECT_EQ(totals->numberAt("bytesHeld"), static_cast<double>(2 * segmentBytes(1000) + segmentBytes(10)));
    // Two clients would each hold 2 x 1000 floats; d.wav has no client.
    EXPECT_EQ(totals->numberAt("bytesPrivateCopies"), 2.0 * 2 * 1000 * 4);

    const JsonValue* clients = doc.find("clients");
    ASSERT_NE(clients, nullptr);
    ASSERT_EQ(clients->items.size(), 2u);
    EXPECT_EQ(clients->items[0].textAt("name"), "1.0.ClientManager");
    EXPECT_EQ(clients->items[0].numberAt("filesUsed"), 2);
    EXPECT_EQ(clients->items[0].numberAt("filesPending"), 1);
    EXPECT_EQ(clients->items[1].numberAt("filesUsed"), 2);
    EXPECT_EQ(clients->items[1].numberAt("filesPending"), 1);
    EXPECT_EQ(clients->items[0].numberAt("pid", -1), 0);  // no port, no peer

    const JsonValue* files = doc.find("files");
    ASSERT_NE(files, nullptr);
    ASSERT_EQ(files->items.size(), 4u);
    const JsonValue& first = files->items[0];
    EXPECT_EQ(first.textAt("path"), "/lib/a.wav");
    EXPECT_EQ(first.textAt("state"), "finished");
    EXPECT_EQ(first.numberAt("channels"), 2);
    EXPECT_EQ(first.numberAt("frames"), 1000);
    EXPECT_EQ(first.numberAt("bytesHeld"), static_cast<double>(2 * segmentBytes(1000)));
    EXPECT_EQ(first.numberAt("clients"), 2);
    EXPECT_FALSE(first.boolAt("locked", true));
    EXPECT_EQ(files->items[1].textAt("state"), "reading");
    EXPECT_EQ(files->items[2].textAt("state"), "queued");
    EXPECT_TRUE(files->items[3].boolAt("locked"));
    EXPECT_EQ(files->items[3].numberAt("clients"), 0);

    const JsonValue* page = doc.find("page");
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(page->find("nextClient")->isNull());
    EXPECT_TRUE(page->find("nextFile")->isNull());
}

TEST(ServerStatusTest, AnyPathOrNameGivesValidJson) {
    StatusRegistries r;
    r.addClient(std::string("q\"uote\\back\x01slash"));
    const std::vector<std::string> paths = {
        std::string("/lib/\"quoted\"\\\n\t.wav"),
        std::string("/lib/caf\xc3\xa9.wav"),              // UTF-8 kept
        std::string("/lib/bad\xff\xc3.wav"),              // invalid bytes become U+FFFD
        std::string("/lib/over\xe0\x80\xaf.wav"),         // overlong form
    };
    for (const std::string& path : paths)
        r.addFile(path, kLoadQueued, 1, 0, {});
    JsonValue doc = r.page();
    std::set<std::string> seen;
    for (const JsonValue& file : doc.find("files")->items)
        seen.insert(file.textAt("path"));
    EXPECT_EQ(seen.count(paths[0]), 1u);
    EXPECT_EQ(seen.count(paths[1]), 1u);
    EXPECT_EQ(seen.count("/lib/bad\xef\xbf\xbd\xef\xbf\xbd.wav"), 1u);
    EXPECT_EQ(seen.count("/lib/over\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd.wav"), 1u);
    EXPECT_EQ(doc.find("clients")->items.at(0).textAt("name"), "q\"uote\\back\x01slash");
}

// Pages fit their limit and, followed from one to the next, list every
// client and every file once.
TEST(ServerStatusTest, PagesStayWithinTheLimitAndCoverEverything) {
    StatusRegistries r;
    for (int i = 0; i < 30; i++)
        r.addClient(std::to_string(i) + "." + std::string(200, 'c') + ".ClientManager");
    for (int i = 0; i < 200; i++) {
        char name[32];
        snprintf(name, sizeof name, "/%04d-", i);
        r.addFile(name + std::string(900, 'p') + ".wav", kLoadFinished, 100, 1, {});
    }
    const size_t limit = 20000;
    ServerStatus::PageRequest request;
    std::vector<std::string> clients;
    std::vector<std::string> files;
    for (int pages = 0; pages < 1000; pages++) {
        std::string text;
        JsonValue doc = r.page(request, limit, &text);
        EXPECT_LE(text.size(), limit);
        EXPECT_EQ(doc.find("totals")->numberAt("files"), 200);
        for (const JsonValue& client : doc.find("clients")->items)
            clients.push_back(client.textAt("name"));
        for (const JsonValue& file : doc.find("files")->items)
            files.push_back(file.textAt("path"));
        const JsonValue* page = doc.find("page");
        const JsonValue* nextClient = page->find("nextClient");
        const JsonValue* nextFile = page->find("nextFile");
        if (nextClient->isNull() && nextFile->isNull())
            break;
        request.firstClient = nextClient->isNull() ? INT32_MAX : static_cast<int32_t>(nextClient->number);
        request.firstFile = nextFile->isNull() ? INT32_MAX : static_cast<int32_t>(nextFile->number);
    }
    EXPECT_EQ(clients.size(), 30u);
    EXPECT_EQ(std::set<std::string>(clients.begin(), clients.end()).size(), 30u);
    ASSERT_EQ(files.size(), 200u);
    EXPECT_EQ(std::set<std::string>(files.begin(), files.end()).size(), 200u);
}

TEST(ServerStatusTest, RequestsAreReadWithBounds) {
    struct Case {
        std::string data;
        int32_t client;
        int32_t file;
    };
    auto bytes = [](int32_t a, int32_t b) {
        std::string out(8, '\0');
        memcpy(out.data(), &a, 4);
        memcpy(out.data() + 4, &b, 4);
        return out;
    };
    const Case cases[] = {
        {"", 0, 0}, {"abc", 0, 0}, {bytes(3, 7), 3, 7}, {bytes(-5, 2), 0, 2}, {bytes(1, -1) + "more", 1, 0},
    };
    for (const Case& c : cases) {
        ServerStatus::PageRequest request = ServerStatus::parseRequest(c.data);
        EXPECT_EQ(request.firstClient, c.client) << c.data.size();
        EXPECT_EQ(request.firstFile, c.file) << c.data.size();
    }
}

TEST(BoundedLogFileTest, StaysWithinItsBoundAndKeepsTheNewest) {
    rhtest::TempDir folder;
    const std::string path = folder.file("server.log");
    BoundedLogFile log(path, 1000);
    std::string why;
    ASSERT_EQ(log.open(&why), 1) << why;
    std::string last;
    for (int i = 0; i < 500; i++) {
        last = "line " + std::to_string(i) + " of the server's output\n";
        ASSERT_EQ(log.write(last.data(), last.size()), 1);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        ASSERT_LE(st.st_size, 1000);
    }
    // One block longer than the bound keeps its end.
    const std::string huge = std::string(5000, 'x') + "the end\n";
    ASSERT_EQ(log.write(huge.data(), huge.size()), 1);
    struct stat current;
    struct stat older;
    ASSERT_EQ(stat(path.c_str(), &current), 0);
    ASSERT_EQ(stat((path + ".1").c_str(), &older), 0);
    EXPECT_EQ(current.st_size, 1000);
    EXPECT_LE(older.st_size, 1000);
    const std::string text = rhtest::readFile(path);
    EXPECT_EQ(text.substr(text.size() - 8), "the end\n");
    EXPECT_NE(rhtest::readFile(path + ".1").find(last), std::string::npos);

    // A file already at its bound is moved aside when opened again.
    BoundedLogFile reopened(path, 1000);
    ASSERT_EQ(reopened.open(&why), 1) << why;
    ASSERT_EQ(stat(path.c_str(), &current), 0);
    EXPECT_EQ(current.st_size, 0);
}

TEST(BoundedLogFileTest, RefusesWhatIsNoRegularFile) {
    rhtest::TempDir folder;
    const std::string target = folder.write("elsewhere", "keep");
    ASSERT_EQ(symlink(target.c_str(), folder.file("link.log").c_str()), 0);
    ASSERT_EQ(mkdir(folder.file("dir.log").c_str(), 0700), 0);
    for (const char* name : {"link.log", "dir.log"}) {
        BoundedLogFile log(folder.file(name), 1000);
        std::string why;
        EXPECT_EQ(log.open(&why), 0) << name;
        EXPECT_NE(why.find(name), std::string::npos) << why;
    }
    EXPECT_EQ(rhtest::readFile(target), "keep");
}

TEST(ServerLogTest, FolderFollowsTheStateHome) {
    {
        rhtest::ScopedEnv state("XDG_STATE_HOME", "/some/state/");
        EXPECT_EQ(ServerLog::folder(), "/some/state/Quillorantics");
    }
    {
        rhtest::ScopedEnv state("XDG_STATE_HOME", "relative/state");
        rhtest::ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(ServerLog::folder(), "/home/someone/.local/state/Quillorantics");
    }
}

}  // namespace
