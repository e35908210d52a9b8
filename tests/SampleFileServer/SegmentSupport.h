// Shared-memory segments in tests: their names as the segment code computes
// them, whether they exist, and a guard that removes every segment a test
// could have caused, also when the test fails.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "RhPath.h"
#include "RhString.h"
#include "SampleFileServerUtilities.h"
#include "SampleFileSharedmemSegment.h"

namespace srvtest {

// The first candidate name of channel `channel` of the file at `path`.
inline std::string segmentName(const std::string& path, int channel = 0) {
    RhPath filePath(path.c_str());
    RhString name;
    SampleFileSharedmemSegment::createInitialHashString(&filePath, channel, &name);
    return name.getText();
}

// Every candidate name (the whole collision chain) of a path's channel.
inline std::vector<std::string> segmentNameChain(const std::string& path, int channel) {
    RhString name(segmentName(path, channel).c_str());
    std::vector<std::string> chain;
    for (int depth = 0; depth <= SampleFileSharedmemSegment::kMaxChainDepth; ++depth) {
        chain.push_back(name.getText());
        SampleFileSharedmemSegment::advanceToNextHashString(&name);
    }
    return chain;
}

// True when a shared-memory object named `name` exists.
inline bool segmentExists(const std::string& name) {
    int fd = shm_open(SampleFileServerUtilities::sharedMemoryObjectName(name.c_str()).c_str(), O_RDONLY, 0);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// The system's name of the segment object `name` for this user and the
// current port folder.
inline std::string objectName(const std::string& name) {
    return SampleFileServerUtilities::sharedMemoryObjectName(name.c_str());
}

// Removes, at scope exit, every segment object of the watched paths (both
// channels, whole chains) and every name watched directly, under the object
// names of the port folder current when they were watched. Declare it before
// any server or client of the test, so that it runs after they are gone.
class SegmentSweeper {
public:
    SegmentSweeper() = default;
    SegmentSweeper(const SegmentSweeper&) = delete;
    SegmentSweeper& operator=(const SegmentSweeper&) = delete;
    ~SegmentSweeper() {
        for (const std::string& name : objectNames_)
            shm_unlink(name.c_str());
    }

    // Returns `path`, now watched.
    const std::string& watch(const std::string& path) {
        for (int channel = 0; channel < 2; ++channel)
            for (const std::string& name : segmentNameChain(path, channel))
                watchName(name);
        return path;
    }
    void watchName(const std::string& name) { watchObject(objectName(name)); }
    // An object name as the system knows it (with its leading "/").
    void watchObject(const std::string& object) {
        if (!object.empty())
            objectNames_.push_back(object);
    }

private:
    std::vector<std::string> objectNames_;
};

}  // namespace srvtest
