#include "RhPath.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "RhFileSystem.h"
#include "RhFileUtils.h"

namespace {

// ---- Archive-container lookup ----------------------------------------------
// The path queries ask here whether a path lies inside an archive container.
// Each function forwards to the RhFileSystem operation of the same name; for
// a path in no container they answer 0 and the disk queries then answer from
// the plain file system.
namespace ArchiveLookup {

// Container suffixes, in the order they are tried.
const char* const* const kSuffixes = RhFileSystem::sFileSystemSuffixes;
const int kSuffixCount = RhFileSystem::kFileSystemSuffixCount;

int fileExists(const char* path) { return RhFileSystem::fileExists(path); }

int fileExists(const char* path, RhPath* archiveOut, unsigned long long* offsetOut, unsigned int* sizeOut) {
    return RhFileSystem::fileExists(path, archiveOut, offsetOut, sizeOut);
}

int isDir(const char* path, int* isDirOut) { return RhFileSystem::isDir(path, isDirOut); }

int getFileNames(const char* path, RhStringList* list, int dirsOnly) {
    return RhFileSystem::getFileNames(path, list, dirsOnly);
}

}  // namespace ArchiveLookup

// ---- Small helpers ---------------------------------------------------------

bool isSeparator(char c) { return c == '/' || c == '\\'; }

bool statOk(const char* path, struct stat* st) { return path && *path && stat(path, st) == 0; }

bool isPlainDir(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool existsOnDisk(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Splits at "/" and backslash, dropping empty components.
std::vector<std::string> splitComponents(const char* text) {
    std::vector<std::string> parts;
    std::string current;
    for (const char* p = text; *p; ++p) {
        if (isSeparator(*p)) {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

// The folder part of path including its final separator ("" when none):
// "/x/a" and "/x/a/" give "/x/", "a" gives "".
std::string folderPrefix(std::string path) {
    if (!path.empty() && isSeparator(path.back())) path.pop_back();
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() != '/') return folder + "/" + name;
    return folder + name;
}

// Names in a folder on disk, without "." and "..".
std::vector<std::string> listFolder(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (!dir) return names;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        names.push_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

// Copies a regular file through a scratch file beside dst, so that dst is
// either the complete copy or left as it was.
int copyRegularFile(const std::string& src, const std::string& dst, int overwrite) {
    struct stat srcStat;
    if (stat(src.c_str(), &srcStat) != 0 || !S_ISREG(srcStat.st_mode)) return 0;
    struct stat dstStat;
    if (stat(dst.c_str(), &dstStat) == 0) {
        if (!overwrite) return 0;
        // Never copy a file onto itself: the scratch file would replace it.
        if (dstStat.st_dev == srcStat.st_dev && dstStat.st_ino == srcStat.st_ino) return 0;
    }
    FILE* in = RhUtils::fopenUnicodeSafe(src.c_str(), "rb");
    if (!in) return 0;
    std::string scratch = dst + ".copying";
    FILE* out = RhUtils::fopenUnicodeSafe(scratch.c_str(), "wbx");
    if (!out) {
        fclose(in);
        return 0;
    }
    std::vector<char> chunk(1 << 16);
    bool ok = true;
    for (;;) {
        size_t n = fread(chunk.data(), 1, chunk.size(), in);
        if (n > 0 && fwrite(chunk.data(), 1, n, out) != n) {
            ok = false;
            break;
        }
        if (n < chunk.size()) {
            ok = ferror(in) == 0;
            break;
        }
    }
    fclose(in);
    if (fclose(out) != 0) ok = false;
    if (ok) {
        chmod(scratch.c_str(), srcStat.st_mode & 07777);
        ok = rename(scratch.c_str(), dst.c_str()) == 0;
    }
    if (!ok) unlink(scratch.c_str());
    return ok ? 1 : 0;
}

// Copies a folder tree; symbolic links are copied as links.
int copyTree(const std::string& src, const std::string& dst) {
    struct stat st;
    if (lstat(src.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
    if (mkdir(dst.c_str(), st.st_mode & 07777) != 0 && !(errno == EEXIST && isPlainDir(dst))) return 0;
    int ok = 1;
    for (const std::string& name : listFolder(src)) {
        std::string from = joinPath(src, name);
        std::string to = joinPath(dst, name);
        struct stat entry;
        if (lstat(from.c_str(), &entry) != 0) {
            ok = 0;
        } else if (S_ISDIR(entry.st_mode)) {
            if (!copyTree(from, to)) ok = 0;
        } else if (S_ISLNK(entry.st_mode)) {
            std::vector<char> target(PATH_MAX + 1);
            ssize_t n = readlink(from.c_str(), target.data(), target.size() - 1);
            if (n < 0) {
                ok = 0;
                continue;
            }
            target[static_cast<size_t>(n)] = '\0';
            if (symlink(target.data(), to.c_str()) != 0) ok = 0;
        } else if (S_ISREG(entry.st_mode)) {
            if (!copyRegularFile(from, to, 1)) ok = 0;
        } else {
            ok = 0;  // devices, sockets and pipes are not copied
        }
    }
    return ok;
}

// Removes everything in a folder (not the folder); links are removed, never
// followed. With recursive zero, subfolders are left alone.
int removeFolderContents(const std::string& path, int recursive) {
    int ok = 1;
    for (const std::string& name : listFolder(path)) {
        std::string entry = joinPath(path, name);
        if (isPlainDir(entry)) {
            if (!recursive) continue;
            if (!removeFolderContents(entry, 1) || rmdir(entry.c_str()) != 0) ok = 0;
        } else if (unlink(entry.c_str()) != 0) {
            ok = 0;
        }
    }
    return ok;
}

// ---- State of centralLocation ----------------------------------------------

// The application-support folder, looked up once per process. Locking: mutex
// guards the lookup and the writes of sPath, lookup and sInited; once sInited
// is set, sPath is only read, without the lock.
struct CentralLocationState {
    std::mutex mutex;
    RhString sPath;
    std::atomic<int> sInited{0};
    int (*lookup)(char** out) = nullptr;  // null: RhCU_GetApplicationSupportPath
};

CentralLocationState& centralLocationState() {
    static CentralLocationState state;
    return state;
}

char sSystemVolumeName[256] = "";

}  // namespace

// ============================================================ RhPath

RhPath::RhPath() { allocateEmpty(1024); }

RhPath::RhPath(const char* text) { copyFrom(text); }

RhPath::RhPath(const RhString* text) {
    if (text) copyFrom(text);
}

// ---- Building paths ----

void RhPath::addTailToThis(const char* tail) {
    if (!tail) return;
    // A tail taken from this path's own text must survive the growth below.
    if (buffer && tail >= buffer && tail < buffer + capacity) {
        std::string copy(tail);
        addTailToThis(copy.c_str());
        return;
    }
    if (length == 0 || buffer[length - 1] != '/') append('/');
    append(tail);
}

void RhPath::addTailToThis(const RhString* tail) {
    if (tail) addTailToThis(tail->getText());
}

RhString* RhPath::addTail(const char* tail) const {
    RhPath* result = new RhPath();
    result->copyFrom(getText());
    result->addTailToThis(tail);
    return result;
}

RhString* RhPath::addTail(const RhString* tail) const { return addTail(tail ? tail->getText() : nullptr); }

void RhPath::addTail(RhPath* out, const char* tail) const {
    if (!out) return;
    if (out != this) out->copyFrom(getText());
    out->addTailToThis(tail);
}

void RhPath::addTail(RhPath* out, const RhString* tail) const { addTail(out, tail ? tail->getText() : nullptr); }

void RhPath::tempDir(const char* name) {
    copyFrom("/tmp");
    if (name) addTailToThis(name);
}

void RhPath::centralLocation(const char* name, int create) {
    CentralLocationState& state = centralLocationState();
    if (!state.sInited.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!state.sInited.load(std::memory_order_relaxed)) {
            char* found = nullptr;
            int (*lookup)(char**) = state.lookup ? state.lookup : RhCU_GetApplicationSupportPath;
            if (lookup(&found) && found)
                state.sPath.copyFrom(found);
            else
                state.sPath.copyFrom("");
            free(found);
            state.sInited.store(1, std::memory_order_release);
        }
    }
    copyFrom(state.sPath.getText());
    // Without a known application-support folder nothing is created: the
    // folder would otherwise land at the root of the file system.
    if (create && length > 0)
        addFolder(this, name);
    else
        addTailToThis(name);
}

void RhPath::setApplicationSupportLookupForTests(int (*lookup)(char** out)) {
    CentralLocationState& state = centralLocationState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.lookup = lookup;
    state.sPath.copyFrom("");
    state.sInited.store(0, std::memory_order_release);
}

void RhPath::centralResourcesLocation() {
    std::vector<char> folder(PATH_MAX + 32);
    RhPathToResourcesFolder(folder.data(), folder.size());
    copyFrom(folder.data());
}

RhString* RhPath::addFolder(const RhString* name) {
    RhString* result = name ? addTail(name) : new RhPath(static_cast<const RhString*>(this));
    RhPath probe(result);  // exists() normalises its path; the result stays as built
    if (!probe.exists()) {
        mkdir(getText(), 0700);
        mkdir(result->getText(), 0700);
    }
    return result;
}

void RhPath::addFolder(RhPath* out, const char* name) {
    if (!out) return;
    RhString nameText(name);
    RhString* result = addFolder(name ? &nameText : nullptr);
    out->copyFrom(result);
    delete result;
}

void RhPath::createFolder() {
    RhPath scratch;
    addFolder(&scratch, "");
}

// ---- Taking paths apart ----

const char* RhPath::tailString(int wholeIfNoSeparator) const {
    if (!buffer) return nullptr;
    for (int i = static_cast<int>(length) - 2; i >= 0; --i) {
        if (isSeparator(buffer[i])) return buffer + i + 1;
    }
    return wholeIfNoSeparator ? buffer : nullptr;
}

const char* RhPath::suffix() const {
    if (!buffer) return nullptr;
    const char* dot = strrchr(buffer, '.');
    if (!dot) return nullptr;
    const char* slash = strrchr(buffer, '/');
    const char* backslash = strrchr(buffer, '\\');
    if ((slash && slash > dot) || (backslash && backslash > dot)) return nullptr;
    return dot + 1;
}

RhString* RhPath::tail() const {
    std::string text = getText();
    if (text.empty()) return new RhString("");
    if (isSeparator(text.back())) text.pop_back();
    size_t cut = text.rfind('/');
    if (cut == std::string::npos) cut = text.rfind('\\');
    if (cut != std::string::npos) text.erase(0, cut + 1);
    return new RhString(text.c_str());
}

void RhPath::tail(RhString* out) const {
    if (!out) return;
    RhString* t = tail();
    out->copyFrom(t);
    delete t;
}

RhString* RhPath::tailRoot() const {
    RhString* t = tail();
    t->truncateAtSubstring(".");
    return t;
}

RhString* RhPath::parentFolder() const {
    if (length < 2) return nullptr;
    std::string work = getText();
    if (!isSeparator(work.back())) work += '/';
    size_t separators = 0;
    for (char c : work)
        if (isSeparator(c)) ++separators;
    if (separators <= 1) return nullptr;
    work.pop_back();
    size_t cut = work.find_last_of("/\\");
    if (cut != std::string::npos) work.erase(cut);
    if (work.empty()) return nullptr;
    return new RhString(work.c_str());
}

int RhPath::isAbsolute() const {
    if (!buffer) return 1;
    if (length == 0) return 0;
    if (isSeparator(buffer[0])) return 1;
    return length >= 2 && buffer[1] == ':' ? 1 : 0;
}

int RhPath::startsWith(const RhPath* other) const {
    if (!other) return 0;
    return RhString::startsWith(static_cast<const RhString*>(other));
}

int RhPath::compareSlashSafe(const RhPath* other) const { return compare(static_cast<const RhString*>(other)); }

// ---- Normalising and asking the disk ----

void RhPath::eliminateSingleDotsAndDoubleDots() {
    if (!buffer || (!strstr(buffer, "/../") && !strstr(buffer, "/./"))) return;

    std::vector<std::string> parts = splitComponents(buffer);
    auto removeAt = [&parts](int index) {
        if (index >= 0 && index < static_cast<int>(parts.size())) parts.erase(parts.begin() + index);
    };

    // Walk from the back. A run of k ".." ending at i removes itself and the
    // k components before it, whatever they hold. The component at index 0
    // never counts as part of a run.
    int i = static_cast<int>(parts.size()) - 1;
    while (i >= 0) {
        if (i >= static_cast<int>(parts.size())) i = static_cast<int>(parts.size()) - 1;
        if (i < 0) break;
        int k = 0;
        for (int j = i; j > 0 && parts[j] == ".."; --j) ++k;
        if (k > 0) {
            const int i0 = i;
            const int r = i0 + 1 - 2 * k;
            for (int p = 0; p < k; ++p) {
                removeAt(i0 - 2 * p);
                removeAt(r);
            }
            i = i0 - 2 * k;
        } else {
            if (parts[i] == ".") removeAt(i);
            --i;
        }
    }

    RhPath rebuilt;
    for (const std::string& part : parts) rebuilt.addTailToThis(part.c_str());
    copyFrom(rebuilt.getText());
}

int RhPath::exists() {
    eliminateSingleDotsAndDoubleDots();
    if (ArchiveLookup::fileExists(getText())) return 1;
    if (existsNonArchive()) return 1;
    RhString* container = getFolderPathWithDBsuffix();
    if (container) {
        delete container;
        return 1;
    }
    return 0;
}

int RhPath::existsNonArchive() const {
    struct stat st;
    return statOk(getText(), &st) ? 1 : 0;
}

RhString* RhPath::getFolderPathWithDBsuffix() const {
    if (length == 0) return nullptr;
    std::string base = getText();
    if (isSeparator(base.back())) base.pop_back();
    for (int i = 0; i < ArchiveLookup::kSuffixCount; ++i) {
        std::string candidate = base + "." + ArchiveLookup::kSuffixes[i];
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0) return new RhString(candidate.c_str());
    }
    return nullptr;
}

int RhPath::archiveFileExists() const {
    RhString* container = getFolderPathWithDBsuffix();
    if (!container) return 0;
    delete container;
    return 1;
}

int RhPath::isDir() const {
    int inArchiveIsDir = 0;
    if (ArchiveLookup::isDir(getText(), &inArchiveIsDir)) return inArchiveIsDir;
    struct stat st;
    return statOk(getText(), &st) && S_ISDIR(st.st_mode) ? 1 : 0;
}

unsigned int RhPath::getSize() const {
    RhPath archive;
    unsigned long long offset = 0;
    unsigned int size = 0;
    if (ArchiveLookup::fileExists(getText(), &archive, &offset, &size)) return size;
    struct stat st;
    if (!statOk(getText(), &st)) return 0;
    return static_cast<unsigned int>(static_cast<unsigned long long>(st.st_size) & 0xFFFFFFFFull);
}

unsigned long long RhPath::getSize64() const {
    struct stat st;
    return statOk(getText(), &st) ? static_cast<unsigned long long>(st.st_size) : 0;
}

int RhPath::isInTZarchive() const {
    const char* own = suffix();
    if (own && strcmp(own, "db") == 0) return 1;
    RhPath archive;
    unsigned long long offset = 0;
    unsigned int size = 0;
    if (ArchiveLookup::fileExists(getText(), &archive, &offset, &size) == 1) return 1;
    const char* containerSuffix = archive.suffix();
    return containerSuffix && strcmp(containerSuffix, "db") == 0 ? 1 : 0;
}

int RhPath::hasApackedArchiveSuffix() const {
    const char* own = suffix();
    if (!own) return 0;
    for (int i = 0; i < ArchiveLookup::kSuffixCount; ++i) {
        if (strcmp(own, ArchiveLookup::kSuffixes[i]) == 0) return static_cast<int>(strlen(own));
    }
    return 0;
}

int RhPath::getFileNames(RhStringList* out, int dirsOnly) const {
    if (!out) return 0;
    int listed = ArchiveLookup::getFileNames(getText(), out, dirsOnly) ? 1 : 0;
    DIR* dir = length > 0 ? opendir(getText()) : nullptr;
    if (!dir) return listed;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".toc") == 0) continue;
        RhPath full(getText());
        full.addTailToThis(name.c_str());
        int archiveSuffix = full.hasApackedArchiveSuffix();
        if (archiveSuffix > 0) {
            // A container is listed as the folder it stands for.
            name.resize(name.size() - static_cast<size_t>(archiveSuffix) - 1);
            out->appendString(name.c_str());
            continue;
        }
        struct stat st;
        if (!dirsOnly || (stat(full.getText(), &st) == 0 && S_ISDIR(st.st_mode))) out->appendString(name.c_str());
    }
    closedir(dir);
    return 1;
}

// ---- Less used operations ----

const char* RhPath::getSystemVolumeName() { return sSystemVolumeName; }

void RhPath::setSystemVolumeName(const char* name) {
    snprintf(sSystemVolumeName, sizeof sSystemVolumeName, "%s", name ? name : "");
}

const char* RhPath::convertForwardSlashesToBackSlashes() {
    for (uint32_t i = 0; i < length; ++i)
        if (buffer[i] == '/') buffer[i] = '\\';
    return getText();
}

const char* RhPath::pathOfThisRelativeToParent(const RhPath* parent) const {
    if (!parent || !buffer || !isAbsolute()) return nullptr;
    const char* parentText = parent->getText();
    size_t parentLength = strlen(parentText);
    if (parentLength == 0 || !RhString::startsWith(parentText)) return nullptr;
    size_t start = parentLength;
    if (!isSeparator(parentText[parentLength - 1])) {
        if (length <= parentLength || !isSeparator(buffer[parentLength])) return nullptr;
        start = parentLength + 1;
    }
    return start < length ? buffer + start : nullptr;
}

int RhPath::validateFileOrFolderName(const RhString* name, RhString* correctedOut) {
    const char* text = name ? name->getText() : "";
    bool valid = *text != '\0';
    bool badCharacter = false;
    std::string corrected;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f || strchr("/\\:*?\"<>|", c)) {
            badCharacter = true;
            corrected += '-';
        } else {
            corrected += *p;
        }
    }
    if (badCharacter) {
        valid = false;
        printf("Warning: file or folder name contains invalid characters: %s\n", text);
    }
    if (correctedOut) correctedOut->copyFrom(corrected.c_str());
    return valid ? 1 : 0;
}

int RhPath::getFolderDepth() const { return static_cast<int>(splitComponents(getText()).size()); }

RhString* RhPath::getSubfolderString(int i) const {
    std::vector<std::string> parts = splitComponents(getText());
    if (i < 0 || i >= static_cast<int>(parts.size())) return nullptr;
    return new RhString(parts[static_cast<size_t>(i)].c_str());
}

int RhPath::getIthSubfolder(int i, RhString* out) const {
    RhString* part = getSubfolderString(i);
    if (!part) return 0;
    if (out) out->copyFrom(part);
    delete part;
    return 1;
}

int RhPath::getAllParentFolderNames(RhStringList* out) const {
    if (!out) return 0;
    std::vector<std::string> parts = splitComponents(getText());
    int appended = 0;
    for (size_t i = 0; i + 1 < parts.size(); ++i, ++appended) out->appendString(parts[i].c_str());
    return appended;
}

int RhPath::isExFAT() const {
    const long kExfatMagic = 0x2011BAB0;
    struct statfs fs;
    if (length == 0 || statfs(getText(), &fs) != 0) return 0;
    return static_cast<long>(fs.f_type) == kExfatMagic ? 1 : 0;
}

unsigned long long RhPath::getAvailableDiskSpace() {
    struct statvfs vfs;
    if (statvfs(".", &vfs) != 0) return 0;
    return static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
}

int RhPath::changeName(const RhString* newName) {
    if (!newName || length == 0) return 0;
    std::string name = newName->getText();
    if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos) return 0;
    std::string target = folderPrefix(getText()) + name;
    if (rename(getText(), target.c_str()) != 0) return 0;
    copyFrom(target.c_str());
    return 1;
}

int RhPath::copyFile(const RhPath* dest, int overwrite) const {
    if (!dest || length == 0 || dest->getLength() == 0) return 0;
    return copyRegularFile(getText(), dest->getText(), overwrite);
}

int RhPath::copyDir(const RhPath* destParent, const RhString* newName) const {
    if (!destParent || length == 0 || !isPlainDir(getText())) return 0;
    RhString* ownName = tail();
    std::string name = newName ? newName->getText() : ownName->getText();
    delete ownName;
    if (name.empty() || name.find_first_of("/\\") != std::string::npos) return 0;
    std::string target = joinPath(destParent->getText(), name);
    // A copy placed inside the tree it copies would never end.
    std::string source = getText();
    if (source.back() != '/') source += '/';
    if ((target + "/").compare(0, source.size(), source) == 0) return 0;
    return copyTree(getText(), target);
}

int RhPath::makeBackupCopy(RhPath* backupOut) const {
    if (length == 0) return 0;
    for (int n = 0; n < 1000; ++n) {
        std::string candidate = std::string(getText()) + ".backup";
        if (n > 0) candidate += "." + std::to_string(n);
        if (existsOnDisk(candidate)) continue;
        if (!copyRegularFile(getText(), candidate, 0)) return 0;
        if (backupOut) backupOut->copyFrom(candidate.c_str());
        return 1;
    }
    return 0;
}

int RhPath::fileBackupAndDelete() const {
    struct stat st;
    if (!statOk(getText(), &st) || !S_ISREG(st.st_mode)) return 0;
    std::string folder = folderPrefix(getText()) + "Backup";
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return 0;
    RhString* name = tail();
    std::string base = joinPath(folder, name->getText());
    delete name;
    for (int n = 0; n < 1000; ++n) {
        std::string candidate = n == 0 ? base : base + "." + std::to_string(n);
        if (existsOnDisk(candidate)) continue;
        return rename(getText(), candidate.c_str()) == 0 ? 1 : 0;
    }
    return 0;
}

int RhPath::deleteDir(int recursive) const {
    std::string path = getText();
    if (path.empty() || path == "/" || !isPlainDir(path)) return 0;
    unlink(joinPath(path, ".DS_Store").c_str());
    if (recursive) removeFolderContents(path, 1);
    return rmdir(path.c_str()) == 0 ? 1 : 0;
}

int RhPath::clearDir(int recursive) const {
    std::string path = getText();
    if (path.empty() || !isPlainDir(path)) return 0;
    return removeFolderContents(path, recursive);
}

int RhPath::createParentFoldersRecursive(int levels) const {
    std::vector<std::string> chain;
    RhString* parent = parentFolder();
    while (parent && static_cast<int>(chain.size()) < levels) {
        chain.push_back(parent->getText());
        RhPath up(parent);
        delete parent;
        parent = up.parentFolder();
    }
    delete parent;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) mkdir(it->c_str(), 0700);
    RhString* direct = parentFolder();
    int result = direct && isPlainDir(direct->getText()) ? 1 : 0;
    delete direct;
    return result;
}

int RhPath::hasWritePermission() const {
    if (ArchiveLookup::fileExists(getText())) return 0;
    struct stat st;
    if (!statOk(getText(), &st)) return 0;
    if (S_ISDIR(st.st_mode)) {
        std::string probe = joinPath(getText(), "test62311.txt");
        // "x": never truncate (and then remove) a file of that name that
        // someone else put there.
        FILE* f = RhUtils::fopenUnicodeSafe(probe.c_str(), "wx");
        if (!f) return errno == EEXIST && access(getText(), W_OK) == 0 ? 1 : 0;
        fclose(f);
        unlink(probe.c_str());
        return 1;
    }
    FILE* f = RhUtils::fopenUnicodeSafe(getText(), "a+");
    if (!f) return 0;
    fclose(f);
    return 1;
}

int RhPath::convertRelativeToFromAbsolute(const RhPath* root, int toRelative) {
    if (!root) return 0;
    if (toRelative) {
        const char* relative = pathOfThisRelativeToParent(root);
        if (!relative) return 0;
        std::string copy = relative;
        copyFrom(copy.c_str());
        return 1;
    }
    if (length == 0 || isAbsolute()) return 0;
    RhPath joined(root->getText());
    joined.addTailToThis(getText());
    copyFrom(joined.getText());
    return 1;
}

int RhPath::convertRelativeToFromAbsoluteMultipleRootPaths(int toRelative) {
    RhPathList& roots = sRootPathsForRelativePathResolution();
    for (int i = 0; i < roots.getCount(); ++i) {
        RhPath* root = roots.getIthPath(i);
        if (!root) continue;
        if (toRelative) {
            if (convertRelativeToFromAbsolute(root, 1)) return 1;
        } else {
            if (length == 0 || isAbsolute()) return 0;
            RhPath joined(root->getText());
            joined.addTailToThis(getText());
            if (joined.exists()) {
                copyFrom(joined.getText());
                return 1;
            }
        }
    }
    return 0;
}

RhPathList& RhPath::sRootPathsForRelativePathResolution() {
    static RhPathList roots;
    return roots;
}

int RhPath::getOSversionString(RhString* out) const {
    if (out) out->copyFrom("Unknown");
    return 0;
}

RhString* RhPath::buildStringFromFileContents() const {
    // Only regular files: a FIFO or device named here would block or never end.
    FILE* f = length > 0 ? RhUtils::fopenRegularFileForReading(getText()) : nullptr;
    if (!f) return nullptr;
    std::string content;
    std::vector<char> chunk(1 << 16);
    bool ok = true;
    for (;;) {
        size_t n = fread(chunk.data(), 1, chunk.size(), f);
        content.append(chunk.data(), n);
        if (content.size() >= 0xFFFFFFFEull) {
            ok = false;  // longer than a string's 32-bit length
            break;
        }
        if (n < chunk.size()) {
            ok = ferror(f) == 0;
            break;
        }
    }
    fclose(f);
    return ok ? new RhString(content.c_str()) : nullptr;
}

long long RhPath::modificationTime(bool utc, const RhPath* file, RhString* textOut) const {
    const RhPath* target = file ? file : this;
    struct stat st;
    if (!statOk(target->getText(), &st)) return 0;
    if (textOut) {
        time_t when = st.st_mtime;
        struct tm parts;
        bool converted = utc ? gmtime_r(&when, &parts) != nullptr : localtime_r(&when, &parts) != nullptr;
        char text[64] = "";
        if (converted) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
        textOut->copyFrom(text);
    }
    return static_cast<long long>(st.st_mtime);
}

int RhPath::collectFiles(RhPathList* out, const char* wantedSuffix, int recursive, int archiveAware) const {
    std::vector<std::string> names;
    if (archiveAware) {
        RhStringList list;
        getFileNames(&list, 0);
        for (int i = 0; i < list.getCount(); ++i) names.push_back(list.getIthString(static_cast<unsigned>(i))->getText());
    } else {
        for (const std::string& name : listFolder(getText()))
            if (name[0] != '.') names.push_back(name);
    }
    int found = 0;
    for (const std::string& name : names) {
        RhPath child(getText());
        child.addTailToThis(name.c_str());
        struct stat linkStat;
        bool isLink = lstat(child.getText(), &linkStat) == 0 && S_ISLNK(linkStat.st_mode);
        bool folder = archiveAware ? (child.isDir() || child.archiveFileExists()) : child.isDir() != 0;
        if (folder) {
            if (recursive && !isLink) found += child.collectFiles(out, wantedSuffix, recursive, archiveAware);
            continue;
        }
        const char* own = child.suffix();
        if (wantedSuffix && !(own && strcasecmp(own, wantedSuffix) == 0)) continue;
        if (out) out->appendPath(&child, 1);
        ++found;
    }
    return found;
}

int RhPath::getFilesInThisAndAllSubfolders(RhPathList* out, const char* wantedSuffix) const {
    return collectFiles(out, wantedSuffix, 1, 1);
}

int RhPath::countFilesWithGivenSuffix(const char* wantedSuffix, int recursive) const {
    return collectFiles(nullptr, wantedSuffix, recursive, 1);
}

int RhPath::findAllFilesWithGivenSuffixNoArchive(const char* wantedSuffix, RhPathList* out) const {
    if (!wantedSuffix) return 0;
    return collectFiles(out, wantedSuffix, 1, 0);
}

int RhPath::getFileNames(RhString** namesOut, int* countOut, int dirsOnly) const {
    RhStringList list;
    getFileNames(&list, dirsOnly);
    int n = list.getCount();
    if (namesOut) {
        *namesOut = n > 0 ? new RhString[static_cast<size_t>(n)] : nullptr;
        for (int i = 0; i < n; ++i) (*namesOut)[i] = *list.getIthString(static_cast<unsigned>(i));
    }
    if (countOut) *countOut = n;
    return n;
}

int RhPath::getNDirs() const {
    RhStringList list;
    getFileNames(&list, 0);
    int dirs = 0;
    for (int i = 0; i < list.getCount(); ++i) {
        RhPath child(getText());
        child.addTailToThis(list.getIthString(static_cast<unsigned>(i)));
        if (child.isDir() || child.archiveFileExists()) ++dirs;
    }
    return dirs;
}

int RhPath::getNFiles() const {
    RhStringList list;
    getFileNames(&list, 0);
    return list.getCount() - getNDirs();
}

int RhPath::hasSufficientDiskSpaceToDuplicateFolders(RhPathList* folders) const {
    unsigned long long needed = 0;
    if (folders) {
        for (int i = 0; i < folders->getCount(); ++i) {
            RhPath* folder = folders->getIthPath(i);
            if (!folder) continue;
            RhPathList files;
            folder->collectFiles(&files, nullptr, 1, 0);
            for (int j = 0; j < files.getCount(); ++j) needed += files.getIthPath(j)->getSize64();
        }
    }
    struct statvfs vfs;
    if (length == 0 || statvfs(getText(), &vfs) != 0) return 0;
    unsigned long long available = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize;
    return needed <= available ? 1 : 0;
}

void RhPath::desktopDir() {
    const char* home = getenv("HOME");
    if (!home || !*home) {
        copyFrom("");
        return;
    }
    copyFrom(home);
    addTailToThis("Desktop");
}

// ============================================================ RhPathList

RhPathList::RhPathList(const RhPathList& other) : RhStringList() { appendList(&other, 1); }

RhString* RhPathList::newString(const char* text) const { return new RhPath(text); }

void RhPathList::appendPath(const RhPath* path, int allowDuplicates) {
    if (path) appendString(static_cast<const RhString*>(path), allowDuplicates);
}

int RhPathList::appendPathReturnIfAlreadyThere(const RhPath* path) {
    return appendStringNoDuplication(const_cast<RhPath*>(path), 0);
}

RhPath* RhPathList::getIthPath(int i) const {
    if (i < 0 || i >= count) return nullptr;
    return dynamic_cast<RhPath*>(getStrings()[i]);
}

void RhPathList::copyFrom(const RhPathList* other) {
    if (other == this) return;
    clear();
    if (other) appendList(other, 1);
}
