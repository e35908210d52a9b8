// What the client-library tests share: a fixture with its own port folder,
// segment sweeping and server sweeping, a log collector and a poll helper.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SegmentSupport.h"
#include "ServerProcessSupport.h"
#include "TestSupport.h"

namespace clienttest {

using srvtest::waitUntil;

// Lines given to a log callback (user_data points at the collector).
class LogCollector {
public:
    static void callback(void* self, int level, const char* line) {
        auto* collector = static_cast<LogCollector*>(self);
        std::lock_guard<std::mutex> lock(collector->mutex_);
        collector->lines_.emplace_back(level, line);
    }
    // Lines holding `text`.
    std::vector<std::pair<int, std::string>> containing(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::pair<int, std::string>> found;
        for (const auto& entry : lines_)
            if (entry.second.find(text) != std::string::npos)
                found.push_back(entry);
        return found;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

// Destroyed in reverse: servers are ended before the segments are swept,
// the variables restored and the folder removed.
class ClientFixture : public ::testing::Test {
protected:
    // A sample path in this test's folder (never read by the stand-in
    // loader), whose segment names are removed at the end.
    std::string samplePath(const std::string& name) { return segments.watch(dir.file(name)); }

    rhtest::TempDir dir;
    rhtest::ScopedEnv runtime{"XDG_RUNTIME_DIR", dir.path()};
    rhtest::ScopedEnv noChosenServer{"QUILLORANTICS_SERVER"};
    srvtest::SegmentSweeper segments;
    srvtest::ServerSweeper sweeper;
};

}  // namespace clienttest
