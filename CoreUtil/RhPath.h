// RhPath: a file-system path held as text, with the operations that build it,
// take it apart, normalise it and ask the disk about it.
//
// A path is an RhString with no further fields: every RhString operation
// applies, and a path without buffer reads as the empty text. Paths are built
// with "/"; the operations that split a path also accept the backslash, as
// each one says. A trailing separator has no normal form: a path may end with
// one or not.
//
// The disk queries are archive-aware: a path such as "/Lib/Strings/A3.wav"
// may name a member of the container file "/Lib/Strings.db", and exists(),
// isDir() and getSize() answer for that member as if the container were a
// folder.
//
// Path objects are values used by one thread at a time. centralLocation()
// alone keeps process-wide state, set once under a one-time initialisation.
#pragma once

#include "RhString.h"
#include "RhStringList.h"

class RhPathList;

class RhPath : public RhString {
public:
    using RhString::operator=;

    // ---- Construction ----

    // The empty text in a fresh 1024-byte buffer (longer paths still grow).
    RhPath();
    // A copy of text (exact allocation); null text gives a bufferless path.
    RhPath(const char* text);
    explicit RhPath(const RhString* text);
    RhPath(const RhPath& other) = default;
    RhPath& operator=(const RhPath& other) = default;
    ~RhPath() override = default;

    // ---- Building paths ----

    // Appends "/" unless the text already ends with "/", then tail. An empty
    // path becomes "/" + tail; a path ending in a backslash gets a "/" too.
    // A null tail changes nothing.
    void addTailToThis(const char* tail);
    void addTailToThis(const RhString* tail);
    // New heap string (caller deletes): this path with tail added as
    // addTailToThis does. This path is unchanged.
    RhString* addTail(const char* tail) const;
    RhString* addTail(const RhString* tail) const;
    // out = this path with tail added as addTailToThis does.
    void addTail(RhPath* out, const char* tail) const;
    void addTail(RhPath* out, const RhString* tail) const;

    // The text becomes "/tmp", plus name (as addTailToThis) when not null.
    void tempDir(const char* name);
    // The text becomes the user's application-support folder (looked up once
    // per process) with name added. When create is non-zero the folder is
    // created (mode 0700) when missing, and so is the application-support
    // folder itself; failures to create are ignored. When the folder cannot
    // be found the text is "/" + name and nothing is created.
    void centralLocation(const char* name, int create);
    // The text becomes the resources folder beside the executable's folder
    // ("<executable folder>/../Resources"); empty when it cannot be found.
    void centralResourcesLocation();

    // New heap string (caller deletes): addTail(name), or a copy of this path
    // for null name. When it does not exist, creates first this path and then
    // it (mode 0700), ignoring failures: only one level is created below an
    // existing folder.
    RhString* addFolder(const RhString* name);
    // out = addFolder(name); out may be this path.
    void addFolder(RhPath* out, const char* name);
    // Creates this folder when missing (see addFolder).
    void createFolder();

    // ---- Taking paths apart ----

    // Pointer into this path's text, after the last "/" or backslash found
    // scanning from the second-to-last character down (the last character is
    // never examined: "a/b/" gives "b/"). No separator: the whole text when
    // wholeIfNoSeparator is non-zero, else null. Bufferless path: null.
    // Valid until the path changes.
    const char* tailString(int wholeIfNoSeparator) const;
    // Pointer to the text after the last "." when that "." comes after every
    // "/" and backslash; else null ("x/a.b/c" has none, "a.tar.gz" has "gz").
    const char* suffix() const;
    // New heap string: one trailing "/" or backslash dropped, then the text
    // after the last "/" (or, without "/", after the last backslash; with
    // neither, the whole text). An empty path gives an empty string.
    RhString* tail() const;
    // out = tail().
    void tail(RhString* out) const;
    // New heap string: tail() cut at its last "." ("A3.wav" gives "A3").
    RhString* tailRoot() const;
    // New heap string with the parent folder, or null: "/a/b" and "/a/b/"
    // give "/a", "a\b\c" gives "a\b"; "/a", "a" and "" give null.
    RhString* parentFolder() const;
    // Bufferless: 1. Empty: 0. Starts with "/" or backslash, or has ":" as
    // its second character: 1. Otherwise 0.
    int isAbsolute() const;
    // Case-sensitive prefix test of other's text; null other: 0.
    int startsWith(const RhPath* other) const;
    using RhString::startsWith;
    // Plain byte comparison of the texts (strcmp; "/" and backslash differ).
    int compareSlashSafe(const RhPath* other) const;

    // ---- Normalising and asking the disk ----

    // Removes "." and ".." components in place. Without "/./" and "/../" in
    // the text nothing changes. Otherwise the text is split at "/" and
    // backslash, each ".." cancels the component before it, and the result
    // is rebuilt as "/c1/c2/...": it starts with "/", uses only "/" and has
    // no trailing separator ("/a/b/../c" gives "/a/c", "a/./b" gives "/a/b").
    void eliminateSingleDotsAndDoubleDots();
    // Normalises the path in place (as above), then 1 when it names a member
    // or folder of an archive container, a file or folder on disk, or a
    // folder for which a container file exists; else 0.
    int exists();
    // 1 when stat of the text succeeds, else 0.
    int existsNonArchive() const;
    // New heap string (caller deletes) naming the container file that stands
    // for this folder: the first of this path (one trailing separator
    // dropped) + "." + each archive suffix in order that exists on disk;
    // null when none does or the path is empty.
    RhString* getFolderPathWithDBsuffix() const;
    // 1 when getFolderPathWithDBsuffix() finds a container, else 0.
    int archiveFileExists() const;
    // Inside an archive: its answer. Otherwise 1 exactly when the path is a
    // folder on disk.
    int isDir() const;
    // Inside an archive: the member's size. Otherwise the low 32 bits of the
    // file's size on disk; 0 when it does not exist.
    unsigned int getSize() const;
    // The file's size on disk (plain files only); 0 when it does not exist.
    unsigned long long getSize64() const;
    // 1 when the path's suffix is "db", or it lies in an archive container,
    // or the container it was looked for in has the suffix "db"; else 0.
    int isInTZarchive() const;
    // The length of the path's suffix when it is one of the archive
    // suffixes, else 0.
    int hasApackedArchiveSuffix() const;
    // Appends to out the names in this folder: first those inside an archive
    // container, then those on disk. Names beginning with "." and ending in
    // ".toc" are skipped; an archive container is listed as the folder it
    // stands for (its name without "." and suffix, whatever dirsOnly is);
    // other names are listed when dirsOnly is 0 or they are folders.
    // Returns 1 when the folder could be listed, else 0.
    int getFileNames(RhStringList* out, int dirsOnly) const;

    // ---- Less used operations ----

    // Not meaningful here: null.
    const char* root() const { return nullptr; }
    const char* head() const { return nullptr; }
    // A process-wide volume name (at most 255 characters kept); not
    // thread-safe. Starts empty.
    static const char* getSystemVolumeName();
    static void setSystemVolumeName(const char* name);
    // Replaces each "/" by a backslash in place; returns the text.
    const char* convertForwardSlashesToBackSlashes();
    // Does nothing here (backslashes are kept); returns the text.
    const char* convertBackSlashesToForwardSlashes() { return getText(); }
    // There is no plug-in folder on this platform: 0, the path unchanged.
    int setToPluginDLLfolder() { return 0; }
    int setToPluginDLLpath(const char* name = nullptr) { (void)name; return 0; }
    int setToCurrentPluginDLLpath() { return 0; }
    // For an absolute path inside parent's folder: a pointer to the text
    // after parent and its separator (non-empty). Else null. A parent given
    // with a trailing separator is accepted; "/a/bc" is not inside "/a/b".
    const char* pathOfThisRelativeToParent(const RhPath* parent) const;
    // 1 when name is a usable file or folder name: not empty, no control
    // characters and none of / \ : * ? " < > |. Otherwise prints a warning
    // and returns 0. correctedOut (when not null) receives name with each
    // offending character replaced by "-".
    static int validateFileOrFolderName(const RhString* name, RhString* correctedOut);
    // The path's components (split at "/" and backslash, empty ones dropped).
    // The number of components.
    int getFolderDepth() const;
    // New heap string with component i, or null out of range.
    RhString* getSubfolderString(int i) const;
    // out = component i; 1 when it exists, else 0 (out unchanged).
    int getIthSubfolder(int i, RhString* out) const;
    // Appends every component but the last (the folders that hold this path)
    // to out, outermost first; returns how many were appended.
    int getAllParentFolderNames(RhStringList* out) const;
    // 1 when the path lies on an exFAT volume.
    int isExFAT() const;
    // Bytes available to the user on the volume of the current folder.
    static unsigned long long getAvailableDiskSpace();
    // Renames the file or folder to newName (a name, no separators) in the
    // same folder; on success this path names it. 1 on success, else 0.
    int changeName(const RhString* newName);
    // Copies this file's bytes to dest (a file path). An existing dest is
    // replaced only when overwrite is non-zero. 1 on success; on failure no
    // partial dest is left.
    int copyFile(const RhPath* dest, int overwrite) const;
    // Copies this folder tree into destParent under newName (under this
    // folder's own name for null). Symbolic links are not followed. 1 when
    // everything was copied.
    int copyDir(const RhPath* destParent, const RhString* newName) const;
    // Copies this file beside itself under the first free name among
    // "<path>.backup", "<path>.backup.1", ".2", ...; backupOut (when not
    // null) receives that name. 1 on success.
    int makeBackupCopy(RhPath* backupOut) const;
    // Moves this file into the folder "Backup" beside it (created when
    // missing) under the first free name among "<name>", "<name>.1", ...
    // 1 on success.
    int fileBackupAndDelete() const;
    // Removes this folder: with recursive non-zero its whole tree, else only
    // when it is empty (a ".DS_Store" file is removed first either way).
    // Symbolic links are removed, never followed. 1 when the folder is gone.
    int deleteDir(int recursive) const;
    // Removes the folder's files, and with recursive non-zero its subfolder
    // trees too; the folder stays. 1 when everything asked for was removed.
    int clearDir(int recursive) const;
    // Creates the missing parent folders of this path, outermost first,
    // looking at most levels folders up. 1 when the parent folder exists
    // afterwards.
    int createParentFoldersRecursive(int levels) const;
    // 0 inside an archive or when the path does not exist. A folder: 1 when
    // a scratch file can be created in it (and is removed again). A file: 1
    // when it can be opened for appending (its content is not changed).
    int hasWritePermission() const;
    // No alias files on this platform: 0, nothing changed.
    int resolveAlias() { return 0; }
    int createAlias(const RhPath* target) const { (void)target; return 0; }
    // toRelative non-zero: when this path lies inside root, it becomes the
    // part after root. Zero: when this path is relative, it becomes
    // root + "/" + it. 1 when the path was converted, else 0.
    int convertRelativeToFromAbsolute(const RhPath* root, int toRelative);
    // The same against the roots of sRootPathsForRelativePathResolution:
    // toRelative uses the first root the path lies in; to absolute uses the
    // first root under which the path exists.
    int convertRelativeToFromAbsoluteMultipleRootPaths(int toRelative);
    // Bundles carry no version here: out = "Unknown", returns 0.
    int getOSversionString(RhString* out) const;
    // New heap string with the file's content (up to its first NUL byte);
    // null when it cannot be read or is larger than a string can hold.
    RhString* buildStringFromFileContents() const;
    // Modification time of file (of this path when null) in seconds since
    // the epoch; 0 when it does not exist. textOut (when not null) receives
    // it as "YYYY-MM-DD HH:MM:SS", in UTC when utc, else local time.
    long long modificationTime(bool utc, const RhPath* file, RhString* textOut) const;

    // Folder walks (archive-aware unless named NoArchive; names beginning
    // with "." are skipped; symbolic links to folders are not descended).
    // Appends the paths of the files (not folders) in this folder and all its
    // subfolders, those whose suffix equals suffix ignoring case when suffix
    // is not null. Returns how many were appended.
    int getFilesInThisAndAllSubfolders(RhPathList* out, const char* suffix) const;
    // How many files have suffix (ignoring case; every file for null), in
    // this folder and, with recursive non-zero, its subfolders.
    int countFilesWithGivenSuffix(const char* suffix, int recursive) const;
    // As getFilesInThisAndAllSubfolders, on disk only, suffix required.
    int findAllFilesWithGivenSuffixNoArchive(const char* suffix, RhPathList* out) const;
    // *namesOut = new RhString[count] (caller delete[]s; null when count is
    // 0) with getFileNames(list, dirsOnly); *countOut = count. Returns count.
    int getFileNames(RhString** namesOut, int* countOut, int dirsOnly) const;
    // getFileNames(out, 1).
    int getDirNames(RhStringList* out) const { return getFileNames(out, 1); }
    // Number of folders / of other entries in this folder.
    int getNDirs() const;
    int getNFiles() const;
    // 1 when the volume of this path has room for copies of every file in
    // the given folder trees, else 0.
    int hasSufficientDiskSpaceToDuplicateFolders(RhPathList* folders) const;
    // The text becomes "$HOME/Desktop"; empty when HOME is not set.
    void desktopDir();

    // Roots tried by convertRelativeToFromAbsoluteMultipleRootPaths.
    static RhPathList& sRootPathsForRelativePathResolution();

    // Tests only: replaces the lookup of the application-support folder used
    // by centralLocation (null restores the real one) and forgets the folder
    // looked up so far, so that the next call looks it up again.
    static void setApplicationSupportLookupForTests(int (*lookup)(char** out));

private:
    // The folder walk behind the walks above: appends the files found (to
    // out when not null) and returns how many there were.
    int collectFiles(RhPathList* out, const char* suffix, int recursive, int archiveAware) const;
};

// A list of paths. Every string the list creates itself (appending,
// setIthString, the empty strings filling a gap) is an owned heap RhPath;
// strings handed over as they are (set, insertBefore) keep their own type,
// and getIthPath answers null for one that is not a path.
class RhPathList : public RhStringList {
public:
    RhPathList() = default;
    RhPathList(const RhPathList& other);
    RhPathList& operator=(const RhPathList& other) = default;
    ~RhPathList() override = default;

    // appendString(path, allowDuplicates); nothing for null path.
    void appendPath(const RhPath* path, int allowDuplicates);
    // Appends path unless an equal text is present. 1 when it was already
    // there (nothing appended), else 0.
    int appendPathReturnIfAlreadyThere(const RhPath* path);
    // The i-th path; null when i < 0 or i >= count.
    RhPath* getIthPath(int i) const;
    // Clears this list, then appends copies of other's paths (nothing more
    // when other is null or this list).
    void copyFrom(const RhPathList* other);
    using RhStringList::copyFrom;

protected:
    // A new heap RhPath(text).
    RhString* newString(const char* text) const override;
};
