#include "StageHooks.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "DiskReader.h"
#include "SampleFileInfoList.h"

namespace {

int gStage = -1;
std::string gMatch;
std::string gRelease;

void stallStage(const SampleFileInfo* info, int stage) {
    if (stage != gStage || strstr(info->path.getText(), gMatch.c_str()) == nullptr)
        return;
    while (gRelease.empty() || access(gRelease.c_str(), F_OK) != 0)
        usleep(10000);
}

}  // namespace

void installStageHooks() {
    const char* stage = getenv("RH_TEST_STALL_STAGE");
    if (stage == nullptr)
        return;
    gStage = atoi(stage);
    const char* match = getenv("RH_TEST_STALL_MATCH");
    gMatch = match != nullptr ? match : "";
    const char* release = getenv("RH_TEST_STALL_RELEASE");
    gRelease = release != nullptr ? release : "";
    DiskReader::sTestStageHook = stallStage;
}
