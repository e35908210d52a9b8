// The checks every received message passes before the server reads a field.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SampleFileServerMessages.h"

namespace {

std::string named(const std::string& name, size_t size) {
    std::string data(size, '\0');
    memcpy(&data[0], name.data(), std::min(name.size(), size));
    return data;
}

// A message 3 with the given entry count field and the given path bytes.
std::string listMessage(int32_t entryCount, const std::string& pathBytes) {
    CtoS_ReplyListOfSampleFilesInUseByClient_MessageData fixed;
    memset(&fixed, 0, sizeof fixed);
    strcpy(fixed.clientName, "c");
    fixed.isFinalChunk = 1;
    fixed.entryCount = entryCount;
    return std::string(reinterpret_cast<const char*>(&fixed), sizeof fixed) + pathBytes;
}

TEST(MessageCheckTest, RecordsAndNames) {
    const std::string fullName(256, 'n');  // no NUL within the name field
    struct Case {
        int32_t id;
        std::string data;
        bool wellFormed;
    };
    const std::vector<Case> cases = {
        {0, named("c", 264), true},
        {0, named("c", 263), false},
        {0, fullName + std::string(8, '\0'), false},
        {1, named("c", 256), true},
        {1, named("c", 255), false},
        {1, fullName, false},
        {2, named("c", 260), true},
        {2, named("c", 259), false},
        {2, fullName + std::string(4, '\0'), true},  // the name of message 2 is not read
        {4, named("c", 256), true},
        {4, named("c", 300), true},                  // longer than the record: fine
        {4, named("", 256), true},
        {4, named("c", 4), false},
        {4, fullName, false},
        {5, named("c", 256), false},
        {-1, named("c", 256), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("id " + std::to_string(c.id) + ", " + std::to_string(c.data.size()) + " bytes");
        EXPECT_EQ(SampleFileServerMessages::isWellFormed(c.id, c.data.data(), c.data.size()), c.wellFormed);
    }
    EXPECT_FALSE(SampleFileServerMessages::isWellFormed(4, nullptr, 256));
}

TEST(MessageCheckTest, SampleFileLists) {
    const std::string twoPaths = std::string("/a.wav") + '\0' + "/b.wav" + '\0';
    struct Case {
        const char* what;
        std::string data;
        bool wellFormed;
    };
    const std::vector<Case> cases = {
        {"empty list", listMessage(0, ""), true},
        {"two paths", listMessage(2, twoPaths), true},
        {"trailing bytes after the paths", listMessage(1, twoPaths + "xyz"), true},
        {"empty path", listMessage(1, std::string(1, '\0')), true},
        {"300 paths", listMessage(300, std::string(300, '\0')), true},
        {"301 entries", listMessage(301, std::string(301, '\0')), false},
        {"negative count", listMessage(-1, twoPaths), false},
        {"fewer paths than counted", listMessage(3, twoPaths), false},
        {"last path without NUL", listMessage(2, twoPaths.substr(0, twoPaths.size() - 1)), false},
        {"no path bytes at all", listMessage(1, ""), false},
        {"fixed part cut short", listMessage(0, "").substr(0, 1471), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SampleFileServerMessages::isWellFormed(3, c.data.data(), c.data.size()), c.wellFormed);
    }
}

}  // namespace
