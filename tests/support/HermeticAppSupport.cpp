#include "HermeticAppSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "RhPath.h"
#include "TestSupport.h"

namespace rhtest {
namespace {

struct HermeticHome {
    std::string folder;
    pid_t owner = getpid();

    // Made on the first lookup only, so that the many tests that never
    // look leave nothing behind even when they crash.
    HermeticHome() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/rhtest-appsupport-XXXXXX";
        if (mkdtemp(templ.data()) != nullptr) folder = templ;
    }
    ~HermeticHome() {
        // Forked children run the exit handlers too; only the program that
        // made the folder removes it.
        if (!folder.empty() && getpid() == owner) removeTree(folder);
    }
};

HermeticHome& home() {
    static HermeticHome instance;
    return instance;
}

// Installs the lookup before any test runs.
const bool kInstalled = (RhPath::setApplicationSupportLookupForTests(hermeticAppSupportLookup), true);

}  // namespace

int hermeticAppSupportLookup(char** out) {
    const std::string& folder = home().folder;
    if (folder.empty() || out == nullptr) return 0;
    *out = strdup(folder.c_str());
    return *out != nullptr ? 1 : 0;
}

}  // namespace rhtest
