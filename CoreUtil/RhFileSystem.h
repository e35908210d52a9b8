// RhFileSystem: archive containers and the lookup of files inside them.
//
// A container is one large file that holds a folder tree. The container file
// "/Lib/Strings.db" stands for the folder "/Lib/Strings", so a member is named
// by an ordinary path such as "/Lib/Strings/Cello/A3.wav". The lookup turns
// such a path into the container file, the member's absolute byte offset in
// it and its size, or answers that the path lies in no container (it is then
// a plain file for the ordinary file system).
//
// Container file format (all text 8-bit, lines end with one line feed):
//   bytes 0 .. E-1   the table of contents (TOC): lines of XML, each at most
//                    2047 bytes (line feed not counted); the last TOC line is
//                    exactly "</FileSystem>" followed by a line feed.
//   bytes E .. end   the data area; a member's bytes lie at E + offset.
// The TOC lines are joined without their line feeds and parsed as XML: the
// root element (FileSystem) and every "DIR" element hold one child element
// per entry; "name" (matched ignoring ASCII case, first match wins),
// "offset" (decimal, counted from E; present on files only) and "size"
// (decimal, 32-bit). A TOC without its exact closing line (so also one
// written with carriage-return line feeds), with an over-long line, longer
// than kMaxTocLength, holding a NUL byte, or that the object archive does
// not parse (which includes nesting deeper than kMaxTocDepth) is a
// container holding nothing. A file entry whose byte window does not lie
// inside the container file is not found.
//
// Parsed TOCs are kept in a process-wide cache (sCache) so that each
// container is read and parsed once. Each is held as an ObjectArchive with a
// cursor on its document; the tree is only read once cached.
//
// Locking rules:
//   The search lock (a function-local static mutex in RhFileSystem.cpp)
//   serialises the cache lookup and, on a miss, the whole load of a
//   container, so one TOC is loaded at a time and a second thread asking for
//   the same container waits and then finds it cached.
//   FSCache::mutex guards the entry array, the use counts and eviction.
//   The lookup pass's memory of folders without a container has its own
//   mutex, a leaf lock held for one set operation.
//   Order: search lock, then cache mutex. The TOC walk holds neither: the
//   entry it walks is held in use (useCount > 0), which keeps eviction away.
#pragma once

#include <mutex>

#include "ObjectArchive.h"
#include "RhDynArray.h"
#include "RhPath.h"
#include "RhString.h"
#include "RhStringList.h"

// One parsed container. Stored by value in FSCache's array.
struct FSCacheEntry {
    RhPath* path;                   // owned heap copy of the container path: the cache key
    ObjectArchive* archive;         // owned parsed TOC
    ObjectCursor* cursor;           // owned cursor on the archive's document
    int big;                        // non-zero when the TOC text is over kBigTocLength characters
    int useCount;                   // lookups currently walking this entry
    unsigned long long dataStart;   // E: the first byte of the data area
    unsigned long long fileSize;    // the container file's size when it was loaded

    // Deletes path, archive and cursor (pointers become null) and sets
    // dataStart to 0.
    void clear();
};

// The cache of parsed containers, oldest first. Entries that are not big are
// never evicted; at most three idle big entries stay cached.
class FSCache {
public:
    FSCache();
    // Flushes. A destroyed cache (at process exit) finds nothing and refuses
    // new entries, so late lookups still answer safely.
    virtual ~FSCache();
    FSCache(const FSCache&) = delete;
    FSCache& operator=(const FSCache&) = delete;

    // Searches from the newest entry to the oldest for an equal path (exact
    // byte comparison). On a hit: fills the outputs that are not null, raises
    // the entry's useCount and returns 1. Otherwise 0. The archive and
    // cursor stay the cache's; they are safe to read until releaseEntry.
    int find(const RhPath* containerPath, ObjectArchive** archive, ObjectCursor** cursor,
             unsigned long long* dataStart, unsigned long long* fileSize);
    // Takes over entry (the caller's record is left cleared of ownership):
    // sets its big flag and useCount 0, then stores it. An entry whose path
    // is already cached is cleared instead (returns 0). A big entry, when
    // three idle big entries are cached, evicts the oldest of them; the new
    // entry takes the youngest one's place. Returns 1 when stored.
    int push(FSCacheEntry* entry, int big);
    // Lowers the useCount of the newest entry with that path.
    void releaseEntry(const RhPath* containerPath);
    // Clears every entry, whatever its use count, and empties the cache.
    // Returns 1. Only safe while no lookup is running.
    int flush();

    // Number of cached entries.
    int getCount();
    // 1 when an entry with that path is cached (its flags in the outputs
    // that are not null), else 0.
    int getEntryState(const char* containerPath, int* big, int* useCount);

private:
    // Index of the newest entry with that path, or -1. Caller holds mutex.
    int indexOf(const RhPath* containerPath) const;
    FSCacheEntry* at(int index) const;

    RhDynArray entries;   // FSCacheEntry records, oldest first; guarded by mutex
    std::mutex mutex;
    bool destroyed;       // set by the destructor; guarded by mutex
};

class RhFileSystem {
public:
    // Container suffixes, tried in this order.
    static const int kFileSystemSuffixCount = 5;
    static const char* const sFileSystemSuffixes[kFileSystemSuffixCount];
    // The augment container beside a "db" container.
    static const char* const sFileSystemAugmentSuffix;
    // The process-wide cache of parsed TOCs.
    static FSCache sCache;

    // Paths of this many bytes or more are never looked up (answer 0).
    static const unsigned kMaxPathLength = 1024;
    // Longest TOC line, line feed not counted.
    static const unsigned kMaxTocLineLength = 2047;
    // TOC texts longer than this are big (evictable when idle).
    static const unsigned kBigTocLength = 1000000;
    // Longest TOC text accepted at all.
    static const unsigned long long kMaxTocLength = 1ull << 30;
    // Deepest element nesting accepted in a TOC: the object archive's limit.
    static const int kMaxTocDepth = ObjectArchive::kMaxNestingDepth;

    // Looks path up in the containers on its way. 0: in no container.
    // 1: found; archiveOut = the container file used, *offsetOut = the
    // member's absolute offset in it, *sizeOut = its size (unchanged when the
    // entry has none or is a folder), *isDirOut = 1 for a folder, 0 for a
    // file; for a folder the names of its entries are appended to list
    // (folders only when dirsOnly). 2: the path climbs out of a container
    // with ".."; resolvedOut receives the plain path to look up again
    // (without resolvedOut this gives 0). Every output may be null.
    static int findFile(const char* path, RhString* resolvedOut, RhPath* archiveOut, RhStringList* list,
                        int dirsOnly, unsigned long long* offsetOut, unsigned int* sizeOut, int* isDirOut);
    // Non-zero when the path lies inside a container (outputs as findFile).
    static int fileExists(const char* path, RhPath* archiveOut, unsigned long long* offsetOut,
                          unsigned int* sizeOut);
    static int fileExists(const char* path);
    // findFile's result; *isDir as findFile sets it.
    static int isDir(const char* path, int* isDir);
    // Appends the names of the container folder's entries; findFile's result.
    static int getFileNames(const char* path, RhStringList* list, int dirsOnly);
    // Rewrites path while the lookup answers 2 (".." leaving a container) and
    // returns the last answer. path is unchanged when nothing was rewritten.
    static int resolvePath(RhString* path);
    // Empties the cache (see FSCache::flush). Returns 1.
    static int flushCache();

    // A lookup pass: while one is open, folders found to have no container
    // beside them (for any suffix) are remembered and not probed again, so
    // that the files of a large list do not each cost a failed open per
    // folder and suffix. A container made during a pass is seen by the next
    // one. Passes nest; the last end forgets what was remembered.
    static void beginLookupPass();
    static void endLookupPass();

    // Tests: the number of TOCs read and parsed so far in this process.
    static long getTocLoadCount();
};
