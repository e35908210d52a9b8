#include "RhIFStream.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "RhFileSystem.h"
#include "RhFileUtils.h"
#include "SysCalls.h"

namespace {

const char kSymlinkMarker[] = "<SYMLINK";
const size_t kSymlinkMarkerLength = sizeof kSymlinkMarker - 1;
// Only this many bytes of a file are examined for a symlink.
const unsigned kSymlinkProbeBytes = 1024;

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// Follows links from path; depth counts the links followed so far.
int unwindFrom(const RhString* path, RhString* out, int depth) {
    RhString target;
    if (!RhIFStream::isSymlink(path, &target, nullptr)) {
        out->copyFrom(path->getText());
        return 1;
    }
    if (depth >= RhIFStream::kMaxSymlinkChain) {
        out->copyFrom("");
        return 0;
    }
    if (!unwindFrom(&target, out, depth + 1)) return 0;
    RhFileSystem::resolvePath(out);
    return 1;
}

// Writes the link file; removes it again when the write fails.
int writeSymlinkFile(const char* linkPath, const char* relative) {
    if (!linkPath || !*linkPath || !relative) return 0;
    FILE* f = RhUtils::fopenUnicodeSafe(linkPath, "wb");
    if (!f) return 0;
    bool ok = fprintf(f, "<SYMLINK target=\"%s\" />", relative) > 0;
    if (fclose(f) != 0) ok = false;
    if (!ok) unlink(linkPath);
    return ok ? 1 : 0;
}

}  // namespace

RhIFStreamAPI::~RhIFStreamAPI() = default;

void RhIFStreamAPI::getLowLevelDiskFileInfo(RhPath* /*file*/, unsigned long long* /*offset*/) {}

// ---- Construction ----------------------------------------------------------

RhIFStream::RhIFStream(const char* path, int mode)
    : count(0), size(0), fd(-1), position(0), lineBuffer(nullptr), lineBufferStart(0), lineBufferLength(0),
      offset(0), inArchive(0) {
    followLinksAndOpen(path, mode);
}

RhIFStream::RhIFStream(const char* path, int mode, int followLinks)
    : count(0), size(0), fd(-1), position(0), lineBuffer(nullptr), lineBufferStart(0), lineBufferLength(0),
      offset(0), inArchive(0) {
    if (followLinks == 1) {
        followLinksAndOpen(path, mode);
    } else if (path && *path) {
        openIt(path, mode, 0);
    }
}

RhIFStream::~RhIFStream() { close(); }

int RhIFStream::followLinksAndOpen(const char* path, int mode) {
    if (!path || !*path) return 0;
    RhLongString start(path);
    RhLongString resolved;
    if (!unwind(&start, &resolved)) return 0;  // a loop of links opens nothing
    return openIt(resolved.getText(), mode, 0);
}

int RhIFStream::openRegularFile(const char* path) {
    if (!path || !*path) return -1;
    platform::SysCalls& sys = platform::sys();
    // Non-blocking, so that opening a FIFO never waits for a writer; the
    // flag is taken off again once the file is known to be regular.
    int descriptor;
    do {
        descriptor = sys.open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) return -1;
    struct stat st;
    int flags = -1;
    if (sys.fstat(descriptor, &st) == 0 && S_ISREG(st.st_mode)) flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        sys.close(descriptor);
        return -1;
    }
    return descriptor;
}

void RhIFStream::adviseReadAhead(int randomAccess) {
    if (fd < 0) return;
    (void)posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                        randomAccess ? POSIX_FADV_RANDOM : POSIX_FADV_SEQUENTIAL);
}

int RhIFStream::openIt(const char* newPath, int /*mode*/, int randomAccess) {
    close();
    count = 0;
    size = 0;
    offset = 0;
    position = 0;
    RhPath container;
    unsigned long long memberOffset = 0;
    unsigned int memberSize = 0;
    inArchive = RhFileSystem::fileExists(newPath, &container, &memberOffset, &memberSize);
    if (inArchive) {
        path.copyFrom(container.getText());
        offset = memberOffset;
        size = memberSize;
        fd = openRegularFile(path.getText());
        if (fd >= 0) {
            seekg(0, 0);
            adviseReadAhead(randomAccess);
        }
    } else {
        path.copyFrom(newPath ? newPath : "");
        fd = openRegularFile(newPath);
    }
    return 1;
}

// ---- Reading and positioning -----------------------------------------------

int RhIFStream::good() { return fd >= 0 ? 1 : 0; }

int RhIFStream::prevReadCount() const { return fd >= 0 ? count : 0; }

unsigned int RhIFStream::readAt(void* buffer, unsigned int n, long long at) {
    if (at < 0 || n == 0) return 0;
    if (n > static_cast<unsigned int>(INT_MAX)) n = static_cast<unsigned int>(INT_MAX);
    ssize_t got;
    do {
        got = platform::sys().pread(fd, buffer, n, static_cast<off_t>(at));
    } while (got < 0 && errno == EINTR);
    return got > 0 ? static_cast<unsigned int>(got) : 0;
}

int RhIFStream::read(void* buffer, unsigned int n) {
    count = 0;
    if (fd < 0 || !buffer) return 0;
    if (inArchive) {
        // Compared unsigned: a position before the member's start is past its end.
        unsigned long long p = static_cast<unsigned long long>(tellg());
        if (p >= size) return 0;
        if (size - p < n) n = static_cast<unsigned int>(size - p);
    }
    unsigned int got = readAt(buffer, n, position);
    position += got;
    count = static_cast<int>(got);
    return count;
}

void RhIFStream::dropLineBuffer() {
    free(lineBuffer);
    lineBuffer = nullptr;
    lineBufferStart = 0;
    lineBufferLength = 0;
}

int RhIFStream::getline(char* buffer, unsigned int n) {
    count = 0;
    if (!buffer || n == 0) return 0;
    buffer[0] = '\0';
    if (fd < 0) return 0;
    if (inArchive) {
        unsigned long long p = static_cast<unsigned long long>(tellg());
        if (p >= size) return 0;
        if (size - p < n) n = static_cast<unsigned int>(size - p + 1);
    }
    if (n > static_cast<unsigned int>(INT_MAX)) n = static_cast<unsigned int>(INT_MAX);
    if (n < 2) return 0;
    if (!lineBuffer && !(lineBuffer = static_cast<char*>(malloc(kLineBufferBytes)))) return 0;
    // At most n - 1 characters, up to and including a line feed.
    const unsigned int limit = n - 1;
    unsigned int length = 0;
    bool lineEnded = false;
    while (length < limit && !lineEnded) {
        if (position < lineBufferStart || position >= lineBufferStart + lineBufferLength) {
            lineBufferStart = position;
            lineBufferLength = readAt(lineBuffer, kLineBufferBytes, position);
            if (lineBufferLength == 0) break;
        }
        const unsigned int at = static_cast<unsigned int>(position - lineBufferStart);
        unsigned int take = lineBufferLength - at;
        if (take > limit - length) take = limit - length;
        const void* feed = memchr(lineBuffer + at, '\n', take);
        if (feed) {
            take = static_cast<unsigned int>(static_cast<const char*>(feed) - (lineBuffer + at)) + 1;
            lineEnded = true;
        }
        memcpy(buffer + length, lineBuffer + at, take);
        length += take;
        position += take;
    }
    buffer[length] = '\0';
    if (length == 0) return 0;
    // Counted as text: a NUL inside the line ends it, as for fgets.
    size_t textLength = strlen(buffer);
    count = static_cast<int>(textLength);
    if (textLength > 0 && buffer[textLength - 1] == '\n') buffer[textLength - 1] = '\0';
    return count;
}

long long RhIFStream::tellg() {
    if (fd < 0) return -1;
    if (inArchive) {
        return static_cast<long long>(static_cast<unsigned long long>(position) - offset);
    }
    return position;
}

int RhIFStream::seekg(int delta, int whence) {
    if (fd < 0) return -1;
    long long base;
    if (whence == 1) {
        base = position;
    } else if (whence == 2) {
        if (inArchive) {
            base = static_cast<long long>(offset + size);
        } else {
            struct stat st;
            if (platform::sys().fstat(fd, &st) != 0) return -1;
            base = static_cast<long long>(st.st_size);
        }
    } else {
        base = inArchive ? static_cast<long long>(offset) : 0;
    }
    long long target = base + delta;
    if (target < 0) {
        // A plain file has no position before its start. For a member, byte
        // 0 of the container lies before every member window (the table of
        // contents is there), so reads from it still deliver nothing, as
        // they would from the requested position.
        if (!inArchive) return -1;
        target = 0;
    }
    position = target;
    return 0;
}

void RhIFStream::close() {
    if (fd >= 0) platform::sys().close(fd);
    fd = -1;
    dropLineBuffer();
}

int RhIFStream::reopen() {
    if (fd < 0 && path.getLength() > 0) {
        fd = openRegularFile(path.getText());
        if (fd >= 0) {
            seekg(0, 0);
            if (inArchive) adviseReadAhead(0);
        }
    }
    return good();
}

void RhIFStream::getLowLevelDiskFileInfo(RhPath* fileOut, unsigned long long* offsetOut) {
    if (fileOut) fileOut->copyFrom(path.getText());
    if (offsetOut) *offsetOut = offset;
}

int RhIFStream::readEntireFileIntoString(RhString* out) {
    if (!out || !good()) return 0;
    seekg(0, 2);
    long long length = tellg();
    seekg(0, 0);
    // A text of 4 GiB or more does not fit a string.
    if (length <= 0 || static_cast<unsigned long long>(length) >= 0xFFFFFFFFull) return 0;
    out->copyFrom("");
    char line[2048];
    while (getline(line, sizeof line) > 0) out->append(line);
    return 1;
}

// ---- Symlink files ---------------------------------------------------------

int RhIFStream::isSymlink(const RhString* linkPath, RhString* target, RhString* relative) {
    if (!linkPath) return 0;
    RhIFStream stream(linkPath->getText(), 8, 0);
    if (!stream.good()) return 0;
    unsigned int want = kSymlinkProbeBytes;
    if (stream.inArchive) {
        unsigned long long p = static_cast<unsigned long long>(stream.tellg());
        if (p >= stream.size) return 0;
        if (stream.size - p < want) want = static_cast<unsigned int>(stream.size - p);
    }
    char text[kSymlinkProbeBytes + 1];
    int got = stream.read(text, want);
    if (got < static_cast<int>(kSymlinkMarkerLength) || memcmp(text, kSymlinkMarker, kSymlinkMarkerLength) != 0) {
        return 0;
    }
    text[got] = '\0';
    const char* equals = strchr(text, '=');
    const char* closing = strrchr(text, '>');
    if (!equals || !closing) return 0;
    // The stored text ends 3 characters before '>' (closing quote, blank,
    // slash) and starts 2 characters after '=' (after the opening quote).
    // A link too short to hold "../" there is malformed.
    size_t cut = static_cast<size_t>(closing - text);
    size_t eq = static_cast<size_t>(equals - text);
    if (cut < 3 || eq + 5 > cut - 3) return 0;
    text[cut - 3] = '\0';

    std::string folder = linkPath->getText();
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    size_t slash = folder.rfind('/');
    if (slash != std::string::npos) folder.resize(slash);

    if (target) target->copyFrom((folder + (text + eq + 4)).c_str());
    if (relative) relative->copyFrom((std::string("../") + (text + eq + 5)).c_str());
    return 1;
}

int RhIFStream::unwind(const RhString* linkPath, RhString* out) {
    if (!out) return 0;
    if (!linkPath) {
        out->copyFrom("");
        return 1;
    }
    return unwindFrom(linkPath, out, 0);
}

int RhIFStream::symlink(const char* linkPath, const char* targetPath, int followTarget) {
    if (!linkPath || !targetPath) return 0;
    RhLongString t0(targetPath);
    if (followTarget) {
        RhLongString start(targetPath);
        if (!unwind(&start, &t0)) return 0;
    }
    RhLongString t1;
    removeDotDots(&t0, &t1);
    const char* p = t1.getText();
    const char* l = linkPath;

    // b: the last separator within the common prefix of the two paths.
    size_t b = 0;
    for (size_t i = 0; p[i] && l[i] && p[i] == l[i]; ++i) {
        if (isSeparator(l[i])) b = i;
    }
    // One "../" for every component of the link path after b, the link's own
    // name included (empty pieces count).
    std::string relativeText;
    if (l[b]) {
        relativeText += "../";
        for (const char* q = l + b + 1; *q; ++q) {
            if (isSeparator(*q)) relativeText += "../";
        }
    }
    size_t pLength = strlen(p);
    if (b + 1 <= pLength) relativeText += p + b + 1;
    return writeSymlinkFile(linkPath, relativeText.c_str());
}

int RhIFStream::symlinkRelative(const char* linkPath, const RhString* relativeTarget) {
    return writeSymlinkFile(linkPath, relativeTarget ? relativeTarget->getText() : "");
}

void RhIFStream::removeDotDots(const RhString* in, RhString* out) {
    if (!out) return;
    const char* text = in ? in->getText() : "";
    out->copyFrom(text);
    std::vector<std::string> stack;
    const char* p = text;
    while (*p) {
        if (*p == '/') {
            ++p;
            continue;
        }
        const char* end = strchr(p, '/');
        if (!end) end = p + strlen(p);
        std::string component(p, static_cast<size_t>(end - p));
        if (component == "..") {
            if (stack.empty()) return;  // out stays the input text
            stack.pop_back();
        } else {
            stack.push_back(component);
        }
        p = end;
    }
    std::string result;
    for (size_t i = 0; i < stack.size(); ++i) {
        result += "/";
        result += stack[i];
    }
    out->copyFrom(result.c_str());
}
