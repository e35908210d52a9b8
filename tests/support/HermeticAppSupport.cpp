#include "HermeticAppSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "RhPath.h"
#include "TestSupport.h"

namespace rhtest {
namespace {

// The variable through which a test program hands its folder to the test
// builds of the server that it starts (they link this file too). Only test
// programs read it; the shipped programs never contain this file.
constexpr const char* kFolderVariable = "RHTEST_APP_SUPPORT";

struct HermeticHome {
    std::string folder;
    bool owned = false;
    pid_t owner = getpid();

    HermeticHome() {
        if (const char* inherited = std::getenv(kFolderVariable); inherited && *inherited) {
            folder = inherited;
            return;
        }
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/rhtest-appsupport-XXXXXX";
        if (mkdtemp(templ.data()) == nullptr) return;
        folder = templ;
        owned = true;
        setenv(kFolderVariable, folder.c_str(), 1);
        // Servers that a test starts detached write their log into the
        // user's state folder: in tests, one inside this folder.
        setenv("XDG_STATE_HOME", (folder + "/state").c_str(), 1);
    }
    ~HermeticHome() {
        // Forked children run the exit handlers too; only the program that
        // made the folder removes it.
        if (owned && getpid() == owner) removeTree(folder);
    }
};

HermeticHome& home() {
    static HermeticHome instance;
    return instance;
}

// Makes the folder and installs the lookup before main runs.
const bool kInstalled = (home(), RhPath::setApplicationSupportLookupForTests(hermeticAppSupportLookup), true);

}  // namespace

int hermeticAppSupportLookup(char** out) {
    const std::string& folder = home().folder;
    if (folder.empty() || out == nullptr) return 0;
    *out = strdup(folder.c_str());
    return *out != nullptr ? 1 : 0;
}

}  // namespace rhtest
