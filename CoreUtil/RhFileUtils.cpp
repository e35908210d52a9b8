#include "RhFileUtils.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace RhUtils {

FILE* fopenUnicodeSafe(const char* path, const char* mode) {
    if (!path || !mode) return nullptr;
    return fopen(path, mode);
}

FILE* fopenRegularFileForReading(const char* path) {
    if (!path || !*path) return nullptr;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    int flags = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "rb");
    if (!f) close(fd);
    return f;
}

}  // namespace RhUtils

namespace {

// Copies text into out when it fits with its terminator; else out becomes "".
int copyOut(const std::string& text, char* out, size_t outSize) {
    if (!out || outSize == 0) return 0;
    if (text.empty() || text.size() + 1 > outSize) {
        out[0] = '\0';
        return 0;
    }
    memcpy(out, text.c_str(), text.size() + 1);
    return 1;
}

// The path of the running program's own file (the kernel's answer).
std::string mainProgramPath() {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) return std::string();
    return std::string(buf.data(), static_cast<size_t>(n));
}

// Home folder of the current user from the password database; "" when the
// user has no entry.
std::string passwordDatabaseHome() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
    for (;;) {
        struct passwd pw;
        struct passwd* found = nullptr;
        int rc = getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || !found || !found->pw_dir) return std::string();
        return found->pw_dir;
    }
}

std::string environmentValue(const char* name) {
    const char* v = getenv(name);
    return v ? std::string(v) : std::string();
}

// Drops trailing "/" characters but keeps a lone "/".
void dropTrailingSlashes(std::string& path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
}

char* mallocCopy(const std::string& text) {
    char* p = static_cast<char*>(malloc(text.size() + 1));
    if (p) memcpy(p, text.c_str(), text.size() + 1);
    return p;
}

}  // namespace

int RhPathToExecutable(char* out, size_t outSize) {
    Dl_info info;
    memset(&info, 0, sizeof info);
    std::string path;
    if (dladdr(reinterpret_cast<void*>(&RhPathToExecutable), &info) != 0 && info.dli_fname) {
        path = info.dli_fname;
        // For the main program the loader reports argv[0], which may be
        // relative or a bare name found through PATH.
        if (path.empty() || path[0] != '/') {
            if (path.empty() || path == program_invocation_name) {
                path = mainProgramPath();
            } else {
                char* resolved = realpath(path.c_str(), nullptr);
                path = resolved ? resolved : "";
                free(resolved);
            }
        }
    }
    return copyOut(path, out, outSize);
}

int RhPathToResourcesFolder(char* out, size_t outSize) {
    std::vector<char> exe(PATH_MAX + 1);
    if (!RhPathToExecutable(exe.data(), exe.size())) return copyOut(std::string(), out, outSize);
    std::string path = exe.data();
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) path.erase(slash);
    path += "/../Resources";
    return copyOut(path, out, outSize);
}

int RhCU_GetApplicationSupportPath(char** out) {
    if (!out) return 0;

    // The per-user data folder as the platform names it.
    std::string data = environmentValue("XDG_DATA_HOME");
    if (data.empty() || data[0] != '/') {
        std::string tildeHome = environmentValue("HOME");
        if (tildeHome.empty()) tildeHome = passwordDatabaseHome();
        if (tildeHome.empty()) return 0;
        dropTrailingSlashes(tildeHome);
        if (tildeHome == "/") tildeHome.clear();
        data = tildeHome + "/.local/share";
    }
    dropTrailingSlashes(data);
    char* first = mallocCopy(data);
    if (!first) return 0;
    *out = first;

    // Keep its last two components ("/.local/share") and put them under the
    // real home folder, not under whatever home the environment claims.
    size_t last = data.rfind('/');
    if (last == std::string::npos || last == 0) return 1;
    size_t before = data.rfind('/', last - 1);
    if (before == std::string::npos) return 1;
    std::string keptTail = data.substr(before);

    std::string home = passwordDatabaseHome();
    if (home.empty()) home = environmentValue("HOME");
    if (home.empty()) return 1;
    dropTrailingSlashes(home);
    if (home == "/") home.clear();

    char* placed = mallocCopy(home + keptTail);
    if (!placed) return 1;
    free(*out);
    *out = placed;
    return 1;
}
