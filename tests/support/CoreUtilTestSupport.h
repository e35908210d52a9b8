// Helpers for tests built on the foundation library (CoreUtil): archive
// container files made up on the spot, a fixture that keeps the parsed-TOC
// cache out of the way, and string lists seen as plain texts. Header only:
// include it from tests that link CoreUtil.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "RhFileSystem.h"
#include "RhStringList.h"

namespace rhtest {

// The bytes of a container file: each TOC line followed by a line feed, then
// the data area. *dataStart (when given) receives where the data area
// begins, the offset that member offsets count from.
inline std::string container(const std::vector<std::string>& lines, const std::string& data,
                             size_t* dataStart = nullptr) {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    if (dataStart) *dataStart = out.size();
    return out + data;
}

// Where the data area of a container with these TOC lines begins.
inline size_t tocBytes(const std::vector<std::string>& lines) {
    size_t n = 0;
    for (const std::string& line : lines) n += line.size() + 1;
    return n;
}

// Every test starts and ends with an empty TOC cache, so that containers
// written by one test are never answered from another test's parsed TOC.
class FreshTocCacheTest : public ::testing::Test {
protected:
    void SetUp() override { RhFileSystem::flushCache(); }
    void TearDown() override { RhFileSystem::flushCache(); }
};

// The texts of list's items, in list order.
inline std::vector<std::string> texts(const RhStringList& list) {
    std::vector<std::string> out;
    for (int i = 0; i < list.getCount(); ++i) out.push_back(list.getIthString(static_cast<unsigned>(i))->getText());
    return out;
}

}  // namespace rhtest
