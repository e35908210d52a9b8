#include "RhFileSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_set>

#include <tinyxml.h>

#include "ObjectArchive.h"
#include "RhFileUtils.h"

const char* const RhFileSystem::sFileSystemSuffixes[RhFileSystem::kFileSystemSuffixCount] = {
    "db", "tessavolin", "quarvel", "brisom", "talix"};
const char* const RhFileSystem::sFileSystemAugmentSuffix = "db2";
FSCache RhFileSystem::sCache;

namespace {

std::atomic<long> sTocLoads{0};

// Folders known, during a lookup pass, to have no container beside them:
// each would otherwise cost one failed open per container suffix for every
// file below it. Guarded by its own mutex, a leaf lock.
struct NoContainerCache {
    std::mutex mutex;
    int passes = 0;                            // lookup passes open; the cache works while above 0
    std::unordered_set<std::string> folders;  // no container opens for any of these
};

NoContainerCache& noContainerCache() {
    static NoContainerCache* cache = new NoContainerCache;  // never destroyed: used until exit
    return *cache;
}

bool knownToHaveNoContainer(const std::string& base) {
    NoContainerCache& cache = noContainerCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    return cache.passes > 0 && cache.folders.count(base) != 0;
}

void rememberNoContainer(const std::string& base) {
    NoContainerCache& cache = noContainerCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.passes > 0)
        cache.folders.insert(base);
}

// The container search lock, created on first use.
std::mutex& searchLock() {
    static std::mutex lock;
    return lock;
}

// ---- Reading a container's table of contents -------------------------------

const char kClosingLine[] = "</FileSystem>";
const size_t kClosingLineLength = sizeof kClosingLine - 1;

// A whole container table of contents, read from the start of a file.
struct TocText {
    std::string text;              // the TOC lines joined without their line feeds
    unsigned long long dataStart;  // E
    unsigned long long fileSize;
};

// First pass: checks every line's length and finds the closing line. Returns
// true with *tocBytes = E (the bytes up to and including the closing line's
// line feed) when the TOC is well-formed.
bool measureToc(FILE* f, unsigned long long* tocBytes) {
    unsigned long long total = 0;
    size_t lineLength = 0;
    // The closing line is recognised while it is being read: matched counts
    // the characters of the current line that agree with it so far.
    size_t matched = 0;
    bool matching = true;
    int c;
    while ((c = getc_unlocked(f)) != EOF) {
        if (++total > RhFileSystem::kMaxTocLength) return false;
        if (c == '\n') {
            if (matching && matched == kClosingLineLength) {
                *tocBytes = total;
                return true;
            }
            lineLength = 0;
            matched = 0;
            matching = true;
            continue;
        }
        if (++lineLength > RhFileSystem::kMaxTocLineLength) return false;
        if (matching && matched < kClosingLineLength && c == kClosingLine[matched]) {
            ++matched;
        } else {
            matching = false;
        }
    }
    // End of file: no closing line, or one without its line feed.
    return false;
}

// Reads the TOC of the open container f. False when the container holds
// nothing usable (not a regular file, empty, malformed lines).
bool readToc(FILE* f, TocText* out) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return false;
    out->fileSize = static_cast<unsigned long long>(st.st_size);
    unsigned long long tocBytes = 0;
    if (!measureToc(f, &tocBytes)) return false;
    if (fseeko(f, 0, SEEK_SET) != 0) return false;
    // Second pass: the TOC bytes in one piece, then the line feeds dropped.
    std::string& text = out->text;
    text.resize(static_cast<size_t>(tocBytes));
    if (fread(&text[0], 1, text.size(), f) != text.size()) return false;
    text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
    out->dataStart = tocBytes;
    return true;
}

// ---- Parsing a TOC -----------------------------------------------------------

// A container's parsed table of contents. It parses its own copy of the TOC
// text and drops that copy as soon as it is parsed, so a cached entry holds
// only the tree and the archive never points at a text that is gone. The
// object archive's parsing refuses TOCs nested too deep for the parser.
class TocArchive : public ObjectArchive {
public:
    explicit TocArchive(const char* toc) : ObjectArchive(nullptr), tocText(toc) { text = &tocText; }

    int openForRead(ObjectCursor* cursor) override {
        int ok = ObjectArchive::openForRead(cursor);
        text = nullptr;
        tocText.copyFrom(static_cast<const char*>(nullptr));
        return ok;
    }

private:
    RhString tocText;
};

// Opens, reads and parses a container into entry (path, archive, cursor,
// dataStart and fileSize; the rest is left alone) and sets *tocLength to the
// joined TOC's length. False, with nothing allocated, when the container
// holds nothing.
bool loadContainer(const char* containerPath, FSCacheEntry* entry, size_t* tocLength) {
    // A FIFO named like a container must not stall the lookup: only a
    // regular file is opened, without blocking.
    FILE* f = RhUtils::fopenRegularFileForReading(containerPath);
    if (!f) return false;
    TocText toc;
    bool ok = readToc(f, &toc);
    fclose(f);
    if (!ok || toc.text.empty()) return false;
    // The parser reads a C string: a NUL byte would silently cut the TOC.
    if (toc.text.find('\0') != std::string::npos) return false;
    ++sTocLoads;
    *tocLength = toc.text.size();
    TocArchive* archive = new TocArchive(toc.text.c_str());
    std::string().swap(toc.text);  // one copy of the text at a time
    ObjectCursor* cursor = new ObjectCursor();
    if (!archive->openForRead(cursor)) {
        delete cursor;
        delete archive;
        return false;
    }
    entry->path = new RhPath(containerPath);
    entry->archive = archive;
    entry->cursor = cursor;
    entry->dataStart = toc.dataStart;
    entry->fileSize = toc.fileSize;
    return true;
}

// ---- Walking a parsed TOC --------------------------------------------------

// What one container search asks and finds.
struct Walk {
    const TiXmlElement* target = nullptr;  // the entry found (result 1)
    const char* left = nullptr;            // what follows a ".." that left the root (result 2)
};

bool asciiEqualIgnoringCase(const char* name, const char* t, size_t tLength) {
    for (size_t i = 0; i < tLength; ++i) {
        unsigned char a = static_cast<unsigned char>(name[i]);
        unsigned char b = static_cast<unsigned char>(t[i]);
        if (a == 0) return false;
        if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + 32);
        if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + 32);
        if (a != b) return false;
    }
    return name[tLength] == 0;
}

// Consumes rest (null: no component left; "" is one empty component) from
// node. 1: *found = the target. 2: a ".." above node, *left = what follows
// it. 0: not found. Recursion depth is bounded by the components of a path
// shorter than kMaxPathLength.
int recurseSearch(const TiXmlElement* node, const char* rest, const TiXmlElement** found, const char** left) {
    if (!rest) {
        *found = node;
        return 1;
    }
    const char* slash = strchr(rest, '/');
    size_t tLength = slash ? static_cast<size_t>(slash - rest) : strlen(rest);
    const char* next = slash ? slash + 1 : nullptr;
    if (tLength == 2 && rest[0] == '.' && rest[1] == '.') {
        *left = next;
        return 2;
    }
    const TiXmlElement* match = nullptr;
    for (const TiXmlElement* child = node->FirstChildElement(); child; child = child->NextSiblingElement()) {
        const char* name = child->Attribute("name");
        if (name && asciiEqualIgnoringCase(name, rest, tLength)) {
            match = child;
            break;
        }
    }
    if (!match) return 0;
    const char* afterDotDot = nullptr;
    int result = recurseSearch(match, next, found, &afterDotDot);
    if (result == 2) return recurseSearch(node, afterDotDot, found, left);
    return result;
}

// Every character counts as a decimal digit (code - 48), modulo 2^64.
unsigned long long readOffset(const char* text) {
    unsigned long long value = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        value = value * 10u + static_cast<unsigned long long>(*p) - 48u;
    }
    return value;
}

// The outputs of one container search.
struct Query {
    RhStringList* list;
    int dirsOnly;
    unsigned long long offset;
    unsigned int size;
    int isDir;
    RhString* resolved;  // null: a ".." leaving the container gives 0
};

// Fills q from the entry found. False when a file entry's byte window does
// not lie inside the container file.
bool takeTarget(const TiXmlElement* target, unsigned long long dataStart, unsigned long long fileSize, Query* q) {
    unsigned long long offset = 0;
    int isDir = 1;
    const char* offsetText = target->Attribute("offset");
    if (offsetText) {
        offset = readOffset(offsetText);
        isDir = 0;
    }
    const char* sizeText = target->Attribute("size");
    unsigned int size = sizeText ? static_cast<unsigned int>(strtoul(sizeText, nullptr, 10)) : 0u;
    unsigned long long absolute = dataStart + offset;
    if (!isDir) {
        unsigned long long end = absolute + size;
        if (absolute < dataStart || end < absolute || end > fileSize) return false;
    }
    q->offset = absolute;
    q->isDir = isDir;
    if (sizeText) q->size = size;
    if (q->list) {
        for (const TiXmlElement* child = target->FirstChildElement(); child; child = child->NextSiblingElement()) {
            const char* name = child->Attribute("name");
            if (!name) continue;
            if (q->dirsOnly && strcmp(child->Value(), "DIR") != 0) continue;
            q->list->appendString(name);
        }
    }
    return true;
}

// base: the folder path the container stands for ("/Lib/Strings").
void buildLeavingPath(const std::string& base, const char* left, RhString* out) {
    std::string folder = base;
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
    size_t cut = folder.rfind('/');
    if (cut != std::string::npos) folder.resize(cut);
    folder += "/";
    if (left) folder += left;
    out->copyFrom(folder.c_str());
}

// Searches one container for rest. 1 found (q filled), 2 leaving it (only
// with q->resolved), 0 otherwise.
int searchForFileInOneArchive(const std::string& containerPath, const std::string& base, const char* rest,
                              Query* q) {
    RhPath key(containerPath.c_str());
    ObjectCursor* cursor = nullptr;
    unsigned long long dataStart = 0;
    unsigned long long fileSize = 0;
    {
        std::lock_guard<std::mutex> guard(searchLock());
        if (!RhFileSystem::sCache.find(&key, nullptr, &cursor, &dataStart, &fileSize)) {
            FSCacheEntry entry{nullptr, nullptr, nullptr, 0, 0, 0, 0};
            size_t tocLength = 0;
            if (!loadContainer(containerPath.c_str(), &entry, &tocLength)) return 0;
            int big = tocLength > RhFileSystem::kBigTocLength ? 1 : 0;
            RhFileSystem::sCache.push(&entry, big);
            if (!RhFileSystem::sCache.find(&key, nullptr, &cursor, &dataStart, &fileSize)) return 0;
        }
    }
    int result = 0;
    // The cached cursor sits on the document; its first child is the root.
    ObjectCursor root;
    if (cursor->getNextObject(&root) && root.getNode()->ToElement()) {
        const TiXmlElement* target = nullptr;
        const char* left = nullptr;
        int walked = recurseSearch(root.getNode()->ToElement(), rest, &target, &left);
        if (walked == 1) {
            result = takeTarget(target, dataStart, fileSize, q) ? 1 : 0;
        } else if (walked == 2 && q->resolved) {
            buildLeavingPath(base, left, q->resolved);
            result = 2;
        }
    }
    RhFileSystem::sCache.releaseEntry(&key);
    return result;
}

// True when path opens for reading (a probe; the file is closed at once).
bool opens(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Searches the container base.suffix[i] and, for "db", its augment first.
// archiveOut receives the container used when the result is non-zero.
int lookForFileWithinArchiveOrItsAugment(const std::string& base, int suffixIndex, const char* rest, Query* q,
                                         RhPath* archiveOut) {
    std::string candidate = base + "." + RhFileSystem::sFileSystemSuffixes[suffixIndex];
    if (suffixIndex == 0) {
        std::string augment = base + "." + RhFileSystem::sFileSystemAugmentSuffix;
        if (opens(augment)) {
            int result = searchForFileInOneArchive(augment, base, rest, q);
            if (result) {
                if (archiveOut) archiveOut->copyFrom(augment.c_str());
                if (q->list && result == 1 && q->isDir) {
                    // A folder listing merges both containers.
                    Query merged = *q;
                    merged.resolved = nullptr;
                    searchForFileInOneArchive(candidate, base, rest, &merged);
                    q->list->sortAlphabetically();
                    q->list->eliminateDuplicateStrings(1);
                }
                return result;
            }
        }
    }
    int result = searchForFileInOneArchive(candidate, base, rest, q);
    if (result && archiveOut) archiveOut->copyFrom(candidate.c_str());
    return result;
}

}  // namespace

// ---- FSCacheEntry / FSCache ------------------------------------------------

void FSCacheEntry::clear() {
    delete path;
    path = nullptr;
    delete cursor;
    cursor = nullptr;
    delete archive;
    archive = nullptr;
    dataStart = 0;
}

FSCache::FSCache() : entries(static_cast<int>(sizeof(FSCacheEntry))), destroyed(false) {}

FSCache::~FSCache() {
    flush();
    std::lock_guard<std::mutex> guard(mutex);
    destroyed = true;
}

FSCacheEntry* FSCache::at(int index) const { return static_cast<FSCacheEntry*>(entries[index]); }

int FSCache::indexOf(const RhPath* containerPath) const {
    if (!containerPath) return -1;
    for (int i = entries.getCount() - 1; i >= 0; --i) {
        FSCacheEntry* e = at(i);
        if (e->path && strcmp(e->path->getText(), containerPath->getText()) == 0) return i;
    }
    return -1;
}

int FSCache::find(const RhPath* containerPath, ObjectArchive** archive, ObjectCursor** cursor,
                  unsigned long long* dataStart, unsigned long long* fileSize) {
    std::lock_guard<std::mutex> guard(mutex);
    if (destroyed) return 0;
    int i = indexOf(containerPath);
    if (i < 0) return 0;
    FSCacheEntry* e = at(i);
    if (archive) *archive = e->archive;
    if (cursor) *cursor = e->cursor;
    if (dataStart) *dataStart = e->dataStart;
    if (fileSize) *fileSize = e->fileSize;
    ++e->useCount;
    return 1;
}

int FSCache::push(FSCacheEntry* entry, int big) {
    if (!entry) return 0;
    FSCacheEntry fresh = *entry;
    entry->path = nullptr;
    entry->archive = nullptr;
    entry->cursor = nullptr;
    fresh.big = big;
    fresh.useCount = 0;
    std::lock_guard<std::mutex> guard(mutex);
    if (destroyed || indexOf(fresh.path) >= 0) {
        fresh.clear();
        return 0;
    }
    if (big) {
        int idle[3];
        int noted = 0;
        for (int i = 0; i < entries.getCount() && noted < 3; ++i) {
            FSCacheEntry* e = at(i);
            if (e->big && e->useCount <= 0) idle[noted++] = i;
        }
        if (noted == 3) {
            at(idle[0])->clear();
            *at(idle[0]) = *at(idle[1]);
            *at(idle[1]) = *at(idle[2]);
            *at(idle[2]) = fresh;
            return 1;
        }
    }
    if (!entries.append(&fresh)) {
        fresh.clear();
        return 0;
    }
    return 1;
}

void FSCache::releaseEntry(const RhPath* containerPath) {
    std::lock_guard<std::mutex> guard(mutex);
    int i = indexOf(containerPath);
    if (i >= 0) --at(i)->useCount;
}

int FSCache::flush() {
    std::lock_guard<std::mutex> guard(mutex);
    for (int i = 0; i < entries.getCount(); ++i) at(i)->clear();
    entries.clear();
    return 1;
}

int FSCache::getCount() {
    std::lock_guard<std::mutex> guard(mutex);
    return entries.getCount();
}

int FSCache::getEntryState(const char* containerPath, int* big, int* useCount) {
    RhPath key(containerPath);
    std::lock_guard<std::mutex> guard(mutex);
    int i = indexOf(&key);
    if (i < 0) return 0;
    if (big) *big = at(i)->big;
    if (useCount) *useCount = at(i)->useCount;
    return 1;
}

// ---- RhFileSystem ----------------------------------------------------------

int RhFileSystem::findFile(const char* path, RhString* resolvedOut, RhPath* archiveOut, RhStringList* list,
                           int dirsOnly, unsigned long long* offsetOut, unsigned int* sizeOut, int* isDirOut) {
    if (!path) return 0;
    size_t length = strlen(path);
    if (length >= kMaxPathLength) return 0;
    char scratch[kMaxPathLength];
    memcpy(scratch, path, length + 1);

    Query q;
    q.list = list;
    q.dirsOnly = dirsOnly;
    q.offset = 0;
    q.size = sizeOut ? *sizeOut : 0u;
    q.isDir = 0;
    q.resolved = resolvedOut;

    std::string base;
    const char* p = scratch;
    while (*p) {
        if (*p == '/') {
            ++p;
            continue;
        }
        const char* end = strchr(p, '/');
        if (!end) end = p + strlen(p);
        base += "/";
        base.append(p, static_cast<size_t>(end - p));
        // rest: null when nothing follows the component; otherwise the text
        // after its "/" (empty and doubled "/" there become empty components).
        const char* rest = *end ? end + 1 : nullptr;
        if (knownToHaveNoContainer(base)) {
            p = end;
            continue;
        }
        int i = 0;
        for (; i < kFileSystemSuffixCount; ++i) {
            if (!opens(base + "." + sFileSystemSuffixes[i])) continue;
            int result = lookForFileWithinArchiveOrItsAugment(base, i, rest, &q, archiveOut);
            if (result == 1) {
                if (offsetOut) *offsetOut = q.offset;
                if (sizeOut) *sizeOut = q.size;
                if (isDirOut) *isDirOut = q.isDir;
            }
            if (result) return result;
            break;  // only the first container that opens is searched
        }
        if (i == kFileSystemSuffixCount)
            rememberNoContainer(base);
        p = end;
    }
    return 0;
}

void RhFileSystem::beginLookupPass() {
    NoContainerCache& cache = noContainerCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.passes++;
}

void RhFileSystem::endLookupPass() {
    NoContainerCache& cache = noContainerCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.passes > 0 && --cache.passes == 0)
        cache.folders.clear();
}

int RhFileSystem::fileExists(const char* path, RhPath* archiveOut, unsigned long long* offsetOut,
                             unsigned int* sizeOut) {
    int isDirScratch = 0;
    return findFile(path, nullptr, archiveOut, nullptr, 0, offsetOut, sizeOut, &isDirScratch);
}

int RhFileSystem::fileExists(const char* path) {
    unsigned long long offset = 0;
    unsigned int size = 0;
    return fileExists(path, nullptr, &offset, &size);
}

int RhFileSystem::isDir(const char* path, int* isDir) {
    unsigned long long offset = 0;
    unsigned int size = 0;
    return findFile(path, nullptr, nullptr, nullptr, 0, &offset, &size, isDir);
}

int RhFileSystem::getFileNames(const char* path, RhStringList* list, int dirsOnly) {
    unsigned long long offset = 0;
    unsigned int size = 0;
    int isDirScratch = 0;
    return findFile(path, nullptr, nullptr, list, dirsOnly, &offset, &size, &isDirScratch);
}

int RhFileSystem::resolvePath(RhString* path) {
    if (!path) return 0;
    RhString resolved(path->getText());
    int result = 0;
    // Each rewrite removes at least one component, so this ends; the bound
    // is a guard only.
    for (int round = 0; round < 1024; ++round) {
        RhString current(resolved.getText());
        unsigned long long offset = 0;
        unsigned int size = 0;
        int isDirScratch = 0;
        result = findFile(current.getText(), &resolved, nullptr, nullptr, 0, &offset, &size, &isDirScratch);
        if (result != 2) break;
    }
    path->copyFrom(resolved.getText());
    return result;
}

int RhFileSystem::flushCache() { return sCache.flush(); }

long RhFileSystem::getTocLoadCount() { return sTocLoads.load(); }
