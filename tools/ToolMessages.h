// The one way the command-line tools report problems on standard error:
//
//   TOOL: The sentence.
//   Run `TOOL --help` for the usage.     (usage errors only)
//
// and what `--version` prints.
#pragma once

#include <cstdio>
#include <string>

#include "QuilloranticsVersion.h"

namespace tool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A usage error: the sentence, then how to get help. Returns kExitUsage.
inline int usageError(const char* toolName, const std::string& sentence) {
    fprintf(stderr, "%s: %s\nRun `%s --help` for the usage.\n", toolName, sentence.c_str(), toolName);
    return kExitUsage;
}

// A failure: the sentence alone. Returns kExitFailure.
inline int failure(const char* toolName, const std::string& sentence) {
    fprintf(stderr, "%s: %s\n", toolName, sentence.c_str());
    return kExitFailure;
}

inline int printVersion(const char* toolName) {
    printf("%s %s\n", toolName, kQuilloranticsVersion);
    return kExitOk;
}

}  // namespace tool
