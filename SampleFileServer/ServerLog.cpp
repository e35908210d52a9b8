#include "ServerLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "QuilloranticsVersion.h"
#include "SampleFileServerUtilities.h"

// ---- BoundedLogFile ----

BoundedLogFile::BoundedLogFile(std::string path, off_t capBytes) : path_(std::move(path)), cap_(capBytes) {
    if (cap_ < 1)
        cap_ = 1;
}

BoundedLogFile::~BoundedLogFile() {
    if (fd_ >= 0)
        close(fd_);
}

int BoundedLogFile::openFile(std::string* why) {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (why != nullptr)
            *why = "cannot open " + path_ + ": " + strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        if (why != nullptr)
            *why = path_ + " is not a regular file of your own";
        return -1;
    }
    return fd;
}

int BoundedLogFile::open(std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0)
        return 1;
    fd_ = openFile(why);
    if (fd_ < 0)
        return 0;
    struct stat st;
    if (fstat(fd_, &st) == 0 && st.st_size >= cap_)
        moveAside();
    return fd_ >= 0 ? 1 : 0;
}

void BoundedLogFile::moveAside() {
    const std::string older = path_ + ".1";
    if (rename(path_.c_str(), older.c_str()) != 0) {
        // Cannot keep the older part: start the same file afresh (when even
        // that fails, writing goes on past the bound).
        (void)!ftruncate(fd_, 0);
        return;
    }
    const int fresh = openFile(nullptr);
    if (fresh < 0)
        return;  // go on writing into the moved file; the bound then no longer holds
    close(fd_);
    fd_ = fresh;
    if (onReopen_ != nullptr)
        onReopen_(fd_);
}

int BoundedLogFile::write(const char* data, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0)
        return 0;
    const size_t cap = static_cast<size_t>(cap_);
    if (length > cap) {
        data += length - cap;
        length = cap;
    }
    struct stat st;
    if (fstat(fd_, &st) == 0 && static_cast<size_t>(st.st_size) + length > cap)
        moveAside();
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd_, data + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        done += static_cast<size_t>(n);
    }
    return 1;
}

// ---- ServerLog ----

namespace {

// The process's log, never freed: the stdio streams write into it up to
// the very end of the process, after static destructors have run.
BoundedLogFile* sLog = nullptr;

void pointStandardDescriptorsAt(int fd) {
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
}

ssize_t writeToLog(void* cookie, const char* data, size_t length) {
    static_cast<BoundedLogFile*>(cookie)->write(data, length);
    // Reported as written either way: a full disk must not stall the server.
    return static_cast<ssize_t>(length);
}

FILE* logStream(BoundedLogFile* log, int bufferMode) {
    cookie_io_functions_t functions;
    memset(&functions, 0, sizeof functions);
    functions.write = writeToLog;
    FILE* stream = fopencookie(log, "w", functions);
    if (stream != nullptr)
        setvbuf(stream, nullptr, bufferMode, bufferMode == _IONBF ? 0 : BUFSIZ);
    return stream;
}

// Makes `folder` and its missing parents with mode 0700.
bool makeFolders(const std::string& folder, std::string* why) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = slash == std::string::npos ? folder : folder.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            *why = "cannot make the folder " + part + ": " + strerror(errno);
            return false;
        }
        if (slash == std::string::npos)
            break;
    }
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *why = folder + " is not a folder";
        return false;
    }
    return true;
}

std::string homeFolder() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return std::string();
}

}  // namespace

std::string ServerLog::folder() {
    const char* state = getenv("XDG_STATE_HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else {
        std::string home = homeFolder();
        if (home.empty())
            return std::string();
        while (home.size() > 1 && home.back() == '/')
            home.pop_back();
        base = (home == "/" ? std::string() : home) + "/.local/state";
    }
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return base + "/" + kFolderName;
}

int ServerLog::redirectOutput(const std::string& folder, off_t capBytes, std::string* why) {
    std::string reason;
    if (sLog != nullptr)
        return 1;
    if (folder.empty() || folder[0] != '/') {
        reason = "no state folder is known (HOME is not set)";
    } else if (makeFolders(folder, &reason)) {
        BoundedLogFile* log = new BoundedLogFile(folder + "/" + kLogFileName, capBytes);
        if (log->open(&reason)) {
            FILE* out = logStream(log, _IOLBF);
            FILE* err = logStream(log, _IONBF);
            if (out != nullptr && err != nullptr) {
                fflush(stdout);
                fflush(stderr);
                pointStandardDescriptorsAt(log->descriptor());
                log->setReopenHook(pointStandardDescriptorsAt);
                stdout = out;
                stderr = err;
                sLog = log;
                char when[32] = "";
                const time_t now = time(nullptr);
                struct tm parts;
                if (localtime_r(&now, &parts) != nullptr)
                    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &parts);
                fprintf(stdout, "==== %s %s started %s, pid %d ====\n", SampleFileServerUtilities::kServerProcessName,
                        kQuilloranticsVersion, when, static_cast<int>(getpid()));
                fflush(stdout);
                return 1;
            }
            if (out != nullptr)
                fclose(out);
            if (err != nullptr)
                fclose(err);
            reason = "cannot make the output streams";
        }
        delete log;
    }
    if (why != nullptr)
        *why = reason;
    return 0;
}
