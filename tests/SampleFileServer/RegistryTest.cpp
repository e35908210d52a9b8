// The two registries: sorted insertion and bisecting lookup of sample files,
// client slots, removal by identity, and exact-name lookup of clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ClientInfoList.h"
#include "SampleFileInfoList.h"

namespace {

// Looks each path up and inserts it where the lookup says, as the list
// processing does; returns false when a path was found although absent.
bool insertAll(SampleFileInfoList& list, const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        int insertPos = -7;
        if (list.findSampleFileByName(path.c_str(), 0, insertPos) != nullptr)
            return false;
        auto* info = new SampleFileInfo(nullptr);
        info->path = path.c_str();
        std::lock_guard<std::mutex> lock(list.mutex);
        if (!list.insertSampleFile(info, insertPos)) {
            delete info;
            return false;
        }
    }
    return true;
}

std::vector<std::string> pathsInOrder(const SampleFileInfoList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.getCount(); i++)
        out.emplace_back(list.getSampleFile(i)->path.getText());
    return out;
}

std::vector<std::string> sortedByBytes(std::vector<std::string> paths) {
    std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
        return strcmp(a.c_str(), b.c_str()) < 0;
    });
    return paths;
}

TEST(SampleFileInfoListTest, InsertionKeepsByteOrderAndEveryPathIsFound) {
    const std::vector<std::vector<std::string>> orders = {
        {"b", "a", "c"},
        {"c", "b", "a"},
        {"/S/b.wav", "/S/B.wav", "/S/a.wav", "/S/a.wav2", "/S/", "/S/\xc3\xa9.wav", "/S/~.wav"},
        {"m", "a", "z", "n", "b", "y", "l"},
    };
    for (const auto& order : orders) {
        SCOPED_TRACE(order.front());
        SampleFileInfoList list;
        ASSERT_TRUE(insertAll(list, order));
        EXPECT_EQ(pathsInOrder(list), sortedByBytes(order));
        for (const std::string& path : order) {
            int insertPos = -7;
            SampleFileInfo* found = list.findSampleFileByName(path.c_str(), 0, insertPos);
            ASSERT_NE(found, nullptr) << path;
            EXPECT_STREQ(found->path.getText(), path.c_str());
        }
    }
}

TEST(SampleFileInfoListTest, ManyShuffledPathsStaySortedAndFindable) {
    std::vector<std::string> paths;
    for (int i = 0; i < 1500; i++)
        paths.push_back("/Library/Piano/" + std::to_string(i * 7919 % 10007) + ".wav");
    std::mt19937 random(42);
    std::shuffle(paths.begin(), paths.end(), random);
    SampleFileInfoList list;
    ASSERT_TRUE(insertAll(list, paths));
    EXPECT_EQ(pathsInOrder(list), sortedByBytes(paths));
    int unused = 0;
    for (const std::string& path : paths)
        ASSERT_NE(list.findSampleFileByName(path.c_str(), 0, unused), nullptr) << path;
    // Absent paths between, before and after the held ones.
    for (const char* absent : {"/Library/Piano/5000.wav5", "/A", "/Z", "/Library/Piano/.wav"}) {
        int insertPos = -7;
        EXPECT_EQ(list.findSampleFileByName(absent, 0, insertPos), nullptr) << absent;
        if (insertPos >= 0) {
            EXPECT_LT(strcmp(list.getSampleFile(insertPos)->path.getText(), absent), 0) << absent;
        }
        if (insertPos + 1 < list.getCount()) {
            EXPECT_GT(strcmp(list.getSampleFile(insertPos + 1)->path.getText(), absent), 0) << absent;
        }
    }
}

TEST(SampleFileInfoListTest, ABatchMergesIntoTheHeldEntries) {
    // Held: every third path; the batch: the rest, shuffled, as a long list
    // of new files brings them.
    std::vector<std::string> held, batchPaths, all;
    for (int i = 0; i < 3000; i++) {
        const std::string path = "/Lib/" + std::to_string(i * 7919 % 10007) + ".wav";
        all.push_back(path);
        (i % 3 == 0 ? held : batchPaths).push_back(path);
    }
    std::mt19937 random(7);
    std::shuffle(batchPaths.begin(), batchPaths.end(), random);
    SampleFileInfoList list;
    ASSERT_TRUE(insertAll(list, held));
    std::vector<SampleFileInfo*> batch;
    for (const std::string& path : batchPaths) {
        batch.push_back(new SampleFileInfo(nullptr));
        batch.back()->path = path.c_str();
    }
    std::lock_guard<std::mutex> lock(list.mutex);
    ASSERT_EQ(list.insertSampleFiles(batch), 1);
    EXPECT_EQ(pathsInOrder(list), sortedByBytes(all));
    int unused = 0;
    for (const std::string& path : all)
        ASSERT_NE(list.findSampleFileByName(path.c_str(), 1, unused), nullptr) << path;
    std::vector<SampleFileInfo*> none;
    EXPECT_EQ(list.insertSampleFiles(none), 1);
    EXPECT_EQ(list.getCount(), 3000);
}

TEST(SampleFileInfoListTest, InsertPositionOfAbsentPaths) {
    struct Case {
        std::vector<std::string> held;
        const char* wanted;
        int insertPos;
    };
    const Case cases[] = {
        {{}, "x", -1},
        {{"m"}, "a", -1},
        {{"m"}, "z", 0},
        {{"b", "d", "f"}, "a", -1},
        {{"b", "d", "f"}, "c", 0},
        {{"b", "d", "f"}, "e", 1},
        {{"b", "d", "f"}, "g", 2},
        {{"b", "d"}, "c", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wanted);
        SampleFileInfoList list;
        ASSERT_TRUE(insertAll(list, c.held));
        int insertPos = -7;
        EXPECT_EQ(list.findSampleFileByName(c.wanted, 0, insertPos), nullptr);
        EXPECT_EQ(insertPos, c.insertPos);
    }
}

TEST(SampleFileInfoListTest, MisusedBisectionEndsWithoutResult) {
    SampleFileInfoList list;
    ASSERT_TRUE(insertAll(list, {"a", "c", "e"}));
    int insertPos = 5;
    testing::internal::CaptureStdout();
    EXPECT_EQ(list.findRecursive("b", 1, 1, insertPos), nullptr);   // empty range: would never end
    EXPECT_EQ(list.findRecursive("b", 2, 9, insertPos), nullptr);   // mid beyond the list
    EXPECT_EQ(list.findRecursive("b", -9, -2, insertPos), nullptr);  // lo + hi below -1
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "RF:  error b !!\nRF:  error b !!\nRF:  error b !!\n");
    EXPECT_EQ(insertPos, 5);
}

TEST(SampleFileInfoListTest, DeleteByIdentityOnly) {
    SampleFileInfoList list;
    ASSERT_TRUE(insertAll(list, {"a", "b", "c"}));
    SampleFileInfo* b = list.getSampleFile(1);
    SampleFileInfo stranger(nullptr);
    stranger.path = "b";  // same path, other object: not held, not destroyed
    list.deleteSampleFile(&stranger, 0);
    EXPECT_EQ(list.getCount(), 3);
    list.deleteSampleFile(b, 0);
    EXPECT_EQ(pathsInOrder(list), (std::vector<std::string>{"a", "c"}));
}

TEST(SampleFileInfoTest, ClientSlots) {
    std::vector<std::unique_ptr<ClientInfo>> clients;
    for (int i = 0; i < 12; i++)
        clients.push_back(std::make_unique<ClientInfo>(("c" + std::to_string(i)).c_str()));
    SampleFileInfo info(nullptr);
    EXPECT_EQ(info.getClientSlot(nullptr, 1), -1);
    EXPECT_EQ(info.getClientSlot(clients[0].get(), 0), -1);  // absent, no claim
    EXPECT_TRUE(info.hasNoClient());
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(info.getClientSlot(clients[i].get(), 1), i);
    EXPECT_EQ(info.getClientSlot(clients[10].get(), 1), -1);  // all ten taken
    EXPECT_EQ(info.getClientSlot(clients[3].get(), 1), 3);    // present: no second slot
    EXPECT_EQ(info.releaseClientSlot(clients[3].get()), 1);
    EXPECT_EQ(info.releaseClientSlot(clients[3].get()), 0);
    EXPECT_EQ(info.getClientSlot(clients[11].get(), 1), 3);  // lowest free slot
    for (int i = 0; i < 12; i++)
        info.releaseClientSlot(clients[i].get());
    EXPECT_TRUE(info.hasNoClient());
}

TEST(ClientInfoListTest, FindsExactNamesOnly) {
    ClientInfoList list;
    for (const char* name : {"12.0.ClientManager", "12.1.ClientManager", "12.10.ClientManager"}) {
        ClientInfo* client = new ClientInfo(name);
        list.append(&client);
    }
    ClientInfo* found = list.findClientByName("12.1.ClientManager");
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->clientName.getText(), "12.1.ClientManager");
    EXPECT_EQ(list.findClientByName("12.1.ClientManage"), nullptr);
    EXPECT_EQ(list.findClientByName("12.1.ClientManagerX"), nullptr);
    EXPECT_EQ(list.findClientByName(""), nullptr);
    EXPECT_EQ(list.findClientByName(nullptr), nullptr);
    EXPECT_EQ(list.findClientByPort(nullptr), nullptr);
}

}  // namespace
