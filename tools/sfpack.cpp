// sfpack: packs a folder tree into one archive container file.
//
//   sfpack [--quiet] DIR OUT
//
// The container holds every regular file under DIR (symbolic links to files
// are stored as the files they name). Its table of contents lists the tree
// as nested DIR elements, one line per element; the member bytes follow in
// the order of the table. The output is written to a scratch file beside
// OUT and renamed over OUT only when complete, so an interrupted or failed
// run leaves OUT as it was.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "HumanUnits.h"
#include "RhFileSystem.h"
#include "ToolMessages.h"

namespace {

const char kUsage[] =
    "Usage: sfpack [--quiet] DIR OUT\n"
    "\n"
    "Packs the folder tree DIR into the archive container file OUT. A container\n"
    "named /Lib/Strings.db stands for the folder /Lib/Strings: the file DIR/Cello/A3.wav\n"
    "is then read as /Lib/Strings/Cello/A3.wav.\n"
    "\n"
    "Regular files are stored byte for byte; symbolic links to files are stored as\n"
    "the files they name; links to folders and special files are skipped with a\n"
    "warning. OUT should end in .db (or .tessavolin, .quarvel, .brisom, .talix;\n"
    ".db2 for an augment container). OUT is replaced only when the new container\n"
    "is complete, and only when it is a regular file; it must not lie inside DIR.\n"
    "\n"
    "Options:\n"
    "  -q, --quiet   print errors only (no progress, warnings or summary)\n"
    "  -h, --help    print this help\n"
    "      --version print the version\n"
    "\n"
    "Exit status: 0 on success, 1 when packing failed, 2 for a usage error.\n";

const uint64_t kMaxMemberSize = 0xFFFFFFFFull;
const size_t kCopyChunk = 1 << 20;

// The scratch file, removed by the signal handler when the run is cut short.
char gScratchPath[PATH_MAX + 16];
volatile sig_atomic_t gScratchActive = 0;

void onSignal(int sig) {
    if (gScratchActive) unlink(gScratchPath);
    signal(sig, SIG_DFL);
    raise(sig);
}

struct Node {
    std::string name;      // as on disk
    std::string diskPath;  // the file or folder to read
    std::string relative;  // path below DIR, "/" separated
    bool isDir = false;
    uint64_t size = 0;
    uint64_t offset = 0;
    std::vector<std::unique_ptr<Node>> children;
};

struct Options {
    bool quiet = false;
    std::string dir;
    std::string out;
};

struct Totals {
    uint64_t files = 0;
    uint64_t folders = 0;
    uint64_t bytes = 0;
};

bool gQuiet = false;

void warn(const std::string& text) {
    if (!gQuiet) fprintf(stderr, "sfpack: warning: %s\n", text.c_str());
}

// A failure as one sentence: capital first letter, full stop.
void fail(const std::string& text) {
    std::string sentence = text;
    if (!sentence.empty() && sentence[0] >= 'a' && sentence[0] <= 'z') sentence[0] = static_cast<char>(sentence[0] - 32);
    if (!sentence.empty() && sentence.back() != '.') sentence += '.';
    tool::failure("sfpack", sentence);
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::string lowerAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    return s;
}

// Strict UTF-8 without byte-order marks or the two non-characters that the
// container reader treats as markup of its own (U+FEFF, U+FFFE, U+FFFF).
bool isStorableName(const std::string& name) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(name.data());
    size_t n = name.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        size_t length = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                                       : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
        if (length == 0 || i + length > n) return false;
        uint32_t cp = length == 1 ? c : length == 2 ? (c & 0x1Fu) : length == 3 ? (c & 0x0Fu) : (c & 0x07u);
        for (size_t k = 1; k < length; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3Fu);
        }
        static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp == 0xFEFF || cp == 0xFFFE || cp == 0xFFFF) return false;
        i += length;
    }
    return true;
}

// The name as an XML attribute value; control characters as references.
std::string escapeName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "&#" + std::to_string(c) + ";";
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

// Reads the tree below node (a folder). False after an error was printed.
bool collect(Node* node, int depth, const struct stat& outStat, bool outExists, Totals* totals) {
    if (depth >= RhFileSystem::kMaxTocDepth - 1) {
        fail("folder " + quoted(node->diskPath) + " is nested too deeply for a container (at most " +
             std::to_string(RhFileSystem::kMaxTocDepth - 2) + " folder levels)");
        return false;
    }
    DIR* dir = opendir(node->diskPath.c_str());
    if (!dir) {
        fail("cannot read folder " + quoted(node->diskPath) + ": " + strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        names.push_back(entry->d_name);
    }
    int readError = errno;
    closedir(dir);
    if (readError) {
        fail("cannot read folder " + quoted(node->diskPath) + ": " + strerror(readError));
        return false;
    }
    std::sort(names.begin(), names.end());

    std::vector<std::string> seenLower;
    for (const std::string& name : names) {
        std::string diskPath = node->diskPath + "/" + name;
        std::string relative = node->relative.empty() ? name : node->relative + "/" + name;
        struct stat link;
        struct stat st;
        if (lstat(diskPath.c_str(), &link) != 0) {
            fail("cannot read " + quoted(diskPath) + ": " + strerror(errno));
            return false;
        }
        if (stat(diskPath.c_str(), &st) != 0) {
            if (S_ISLNK(link.st_mode)) {
                warn("skipping " + quoted(diskPath) + ": it is a symbolic link that points nowhere");
                continue;
            }
            fail("cannot read " + quoted(diskPath) + ": " + strerror(errno));
            return false;
        }
        if (outExists && st.st_dev == outStat.st_dev && st.st_ino == outStat.st_ino) {
            warn("skipping " + quoted(diskPath) + ": it is the output file itself");
            continue;
        }
        bool isDir = S_ISDIR(st.st_mode);
        if (isDir && S_ISLNK(link.st_mode)) {
            warn("skipping " + quoted(diskPath) + ": it is a symbolic link to a folder");
            continue;
        }
        if (!isDir && !S_ISREG(st.st_mode)) {
            warn("skipping " + quoted(diskPath) + ": it is neither a regular file nor a folder");
            continue;
        }
        if (!isStorableName(name)) {
            fail("cannot store " + quoted(diskPath) + ": its name is not valid UTF-8 text; rename it first");
            return false;
        }
        std::string lower = lowerAscii(name);
        if (std::find(seenLower.begin(), seenLower.end(), lower) != seenLower.end()) {
            fail("cannot store " + quoted(diskPath) +
                 ": another entry in the same folder has the same name apart from letter case, and "
                 "names in a container are matched without regard to case; rename one of them first");
            return false;
        }
        seenLower.push_back(lower);

        auto child = std::make_unique<Node>();
        child->name = name;
        child->diskPath = diskPath;
        child->relative = relative;
        child->isDir = isDir;
        if (isDir) {
            ++totals->folders;
            if (!collect(child.get(), depth + 1, outStat, outExists, totals)) return false;
        } else {
            if (static_cast<uint64_t>(st.st_size) > kMaxMemberSize) {
                fail("cannot store " + quoted(diskPath) + ": it is " + std::to_string(st.st_size) +
                     " bytes long, and a member can hold at most 4294967295 bytes");
                return false;
            }
            child->size = static_cast<uint64_t>(st.st_size);
            ++totals->files;
            totals->bytes += child->size;
        }
        node->children.push_back(std::move(child));
    }
    return true;
}

// Appends the TOC lines of node's children; assigns offsets in that order.
bool buildToc(const Node& node, uint64_t* nextOffset, std::string* toc) {
    for (const auto& child : node.children) {
        std::string line;
        if (child->isDir) {
            line = "<DIR name=\"" + escapeName(child->name) + "\">";
        } else {
            child->offset = *nextOffset;
            *nextOffset += child->size;
            line = "<FILE name=\"" + escapeName(child->name) + "\" offset=\"" + std::to_string(child->offset) +
                   "\" size=\"" + std::to_string(child->size) + "\"/>";
        }
        if (line.size() > RhFileSystem::kMaxTocLineLength) {
            fail("cannot store " + quoted(child->diskPath) + ": its name is too long for a table-of-contents line");
            return false;
        }
        *toc += line + "\n";
        if (child->isDir) {
            if (!buildToc(*child, nextOffset, toc)) return false;
            *toc += "</DIR>\n";
        }
    }
    return true;
}

// Progress on standard error, at most once a second, for big trees only.
class Progress {
public:
    Progress(const Totals& totals, bool enabled)
        : totals_(totals),
          enabled_(enabled && (totals.files >= 1000 || totals.bytes >= (256ull << 20))),
          last_(time(nullptr)) {}

    void update(uint64_t files, uint64_t bytes) {
        if (!enabled_) return;
        time_t now = time(nullptr);
        if (now == last_) return;
        last_ = now;
        fprintf(stderr, "sfpack: %llu of %llu files, %s of %s\n", static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(totals_.files), tool::humanBytes(bytes).c_str(),
                tool::humanBytes(totals_.bytes).c_str());
    }

private:
    Totals totals_;
    bool enabled_;
    time_t last_;
};

struct Writer {
    FILE* out;
    std::vector<char> buffer;
    uint64_t filesDone = 0;
    uint64_t bytesDone = 0;
    Progress* progress;
};

// Copies one member's bytes; exactly the size found while collecting.
bool copyMember(const Node& node, Writer* w) {
    FILE* in = fopen(node.diskPath.c_str(), "rb");
    if (!in) {
        fail("cannot read " + quoted(node.diskPath) + ": " + strerror(errno));
        return false;
    }
    uint64_t left = node.size;
    bool ok = true;
    while (left > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(left, w->buffer.size()));
        size_t got = fread(w->buffer.data(), 1, want, in);
        if (got < want) {
            fail(ferror(in) ? "cannot read " + quoted(node.diskPath) + ": " + strerror(errno)
                            : "file " + quoted(node.diskPath) + " became shorter while it was being packed");
            ok = false;
            break;
        }
        if (fwrite(w->buffer.data(), 1, got, w->out) != got) {
            fail(std::string("cannot write the container: ") + strerror(errno));
            ok = false;
            break;
        }
        left -= got;
        w->bytesDone += got;
        w->progress->update(w->filesDone, w->bytesDone);
    }
    if (ok && fgetc(in) != EOF) {
        fail("file " + quoted(node.diskPath) + " became longer while it was being packed");
        ok = false;
    }
    fclose(in);
    ++w->filesDone;
    return ok;
}

bool copyMembers(const Node& node, Writer* w) {
    for (const auto& child : node.children) {
        if (child->isDir ? !copyMembers(*child, w) : !copyMember(*child, w)) return false;
    }
    return true;
}

bool hasContainerSuffix(const std::string& path) {
    size_t dot = path.rfind('.');
    size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string suffix = path.substr(dot + 1);
    for (int i = 0; i < RhFileSystem::kFileSystemSuffixCount; ++i) {
        if (suffix == RhFileSystem::sFileSystemSuffixes[i]) return true;
    }
    return suffix == RhFileSystem::sFileSystemAugmentSuffix;
}

// The folder path the container will stand for, made absolute.
std::string standsFor(const std::string& out) {
    std::string folder = ".";
    std::string name = out;
    size_t slash = out.rfind('/');
    if (slash != std::string::npos) {
        folder = slash == 0 ? "/" : out.substr(0, slash);
        name = out.substr(slash + 1);
    }
    char resolved[PATH_MAX];
    std::string base = realpath(folder.c_str(), resolved) ? resolved : folder;
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    return (base == "/" ? "" : base) + "/" + name;
}

void countLongPaths(const Node& node, const std::string& base, uint64_t* count) {
    for (const auto& child : node.children) {
        if (base.size() + 1 + child->relative.size() >= RhFileSystem::kMaxPathLength) ++*count;
        if (child->isDir) countLongPaths(*child, base, count);
    }
}

const char* kindOf(mode_t mode) {
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "a special file";
}

// True when the file `out` would lie in the folder `dir` or below it, links
// in both resolved (the file itself need not exist).
bool liesInside(const std::string& out, const std::string& dir) {
    char resolved[PATH_MAX];
    if (!realpath(dir.c_str(), resolved)) return false;
    std::string folder = resolved;
    size_t slash = out.rfind('/');
    std::string outFolder = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
    if (!realpath(outFolder.c_str(), resolved)) return false;
    std::string where = resolved;
    if (folder == "/") return true;
    return where == folder || where.compare(0, folder.size() + 1, folder + "/") == 0;
}

int parseArguments(int argc, char** argv, Options* options) {
    std::vector<std::string> positional;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!optionsDone && (arg == "-h" || arg == "--help")) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (!optionsDone && arg == "--version") return tool::printVersion("sfpack");
        if (!optionsDone && (arg == "-q" || arg == "--quiet")) {
            options->quiet = true;
        } else if (!optionsDone && arg == "--") {
            optionsDone = true;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            return tool::usageError("sfpack", "Unknown option: " + arg + ".");
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        return tool::usageError("sfpack", "Expected a folder and an output file, got " +
                                              std::to_string(positional.size()) + " argument" +
                                              (positional.size() == 1 ? "" : "s") + ".");
    }
    options->dir = positional[0];
    options->out = positional[1];
    while (options->dir.size() > 1 && options->dir.back() == '/') options->dir.pop_back();
    return -1;
}

// Writes the container into the open scratch file.
bool writeContainer(FILE* out, const std::string& toc, const Node& root, const Totals& totals, bool quiet) {
    if (fwrite(toc.data(), 1, toc.size(), out) != toc.size()) {
        fail(std::string("cannot write the container: ") + strerror(errno));
        return false;
    }
    Progress progress(totals, !quiet);
    Writer w{out, std::vector<char>(kCopyChunk), 0, 0, &progress};
    if (!copyMembers(root, &w)) return false;
    if (fflush(out) != 0 || fsync(fileno(out)) != 0) {
        fail(std::string("cannot write the container: ") + strerror(errno));
        return false;
    }
    return true;
}

int run(const Options& options) {
    struct stat dirStat;
    if (stat(options.dir.c_str(), &dirStat) != 0) {
        fail("cannot read folder " + quoted(options.dir) + ": " + strerror(errno));
        return 1;
    }
    if (!S_ISDIR(dirStat.st_mode)) {
        fail(quoted(options.dir) + " is not a folder");
        return 1;
    }
    struct stat outStat;
    bool outExists = lstat(options.out.c_str(), &outStat) == 0;
    if (outExists && S_ISDIR(outStat.st_mode)) {
        fail("the output " + quoted(options.out) + " is a folder; give the path of the container file to write");
        return 1;
    }
    // Only a regular file is ever replaced: a device, pipe, socket or
    // symbolic link at OUT stays as it is.
    if (outExists && !S_ISREG(outStat.st_mode)) {
        fail("the output " + quoted(options.out) + " exists and is " + kindOf(outStat.st_mode) +
             ", not a regular file; sfpack replaces only regular files");
        return 1;
    }
    if (liesInside(options.out, options.dir)) {
        fail("the output " + quoted(options.out) + " lies inside the folder " + quoted(options.dir) +
             " that is being packed; write it elsewhere");
        return 1;
    }
    // Fail before walking a big tree when the output cannot be written at all.
    std::string outFolder = options.out.rfind('/') == std::string::npos ? "."
                            : options.out.rfind('/') == 0             ? "/"
                                                                      : options.out.substr(0, options.out.rfind('/'));
    if (access(outFolder.c_str(), W_OK | X_OK) != 0) {
        fail("cannot create the container in folder " + quoted(outFolder) + ": " + strerror(errno));
        return 1;
    }
    if (!hasContainerSuffix(options.out)) {
        warn("the output " + quoted(options.out) +
             " has none of the container suffixes (.db, .tessavolin, .quarvel, .brisom, .talix, .db2); "
             "the file lookup will not find its members");
    }

    Node root;
    root.diskPath = options.dir;
    root.isDir = true;
    Totals totals;
    if (!collect(&root, 0, outStat, outExists, &totals)) return 1;

    std::string toc = "<FileSystem>\n";
    uint64_t dataSize = 0;
    if (!buildToc(root, &dataSize, &toc)) return 1;
    toc += "</FileSystem>\n";

    uint64_t longPaths = 0;
    countLongPaths(root, standsFor(options.out), &longPaths);
    if (longPaths > 0) {
        warn(std::to_string(longPaths) + " member path" + (longPaths == 1 ? " is" : "s are") +
             " 1024 bytes or longer at this location; such paths are never looked up");
    }

    std::string scratch = options.out + ".XXXXXX";
    if (scratch.size() >= sizeof gScratchPath) {
        fail("the output path " + quoted(options.out) + " is too long");
        return 1;
    }
    memcpy(gScratchPath, scratch.c_str(), scratch.size() + 1);
    int fd = mkstemp(gScratchPath);
    if (fd < 0) {
        fail("cannot create a file beside " + quoted(options.out) + ": " + strerror(errno));
        return 1;
    }
    gScratchActive = 1;
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FILE* out = fdopen(fd, "wb");
    bool ok = out != nullptr;
    if (!ok) {
        fail(std::string("cannot write the container: ") + strerror(errno));
        close(fd);
    } else {
        ok = writeContainer(out, toc, root, totals, options.quiet);
        if (fclose(out) != 0 && ok) {
            fail(std::string("cannot write the container: ") + strerror(errno));
            ok = false;
        }
    }
    if (ok && rename(gScratchPath, options.out.c_str()) != 0) {
        fail("cannot replace " + quoted(options.out) + ": " + strerror(errno));
        ok = false;
    }
    if (!ok) unlink(gScratchPath);
    gScratchActive = 0;
    if (!ok) return 1;

    if (!options.quiet) {
        printf("sfpack: packed %llu file%s in %llu folder%s (%s of data, table of contents %s) into %s\n",
               static_cast<unsigned long long>(totals.files), totals.files == 1 ? "" : "s",
               static_cast<unsigned long long>(totals.folders), totals.folders == 1 ? "" : "s",
               tool::humanBytes(dataSize).c_str(), tool::humanBytes(toc.size()).c_str(), options.out.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int status = parseArguments(argc, argv, &options);
    if (status >= 0) return status;
    gQuiet = options.quiet;
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGHUP, onSignal);
    return run(options);
}
