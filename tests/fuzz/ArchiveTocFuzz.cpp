// Fuzzes archive containers: their table of contents, the lookup of paths
// inside them and the reading of members through the archive-aware stream.
//
// Input: the first line is a path below the container's folder to look up;
// the rest is the container file "Lib.db". When the rest holds the line
// "@@AUGMENT@@", the bytes after that line form the augment container
// "Lib.db2" beside it.
//
// Whatever the files hold, every member found must lie inside the container
// file that the lookup names, and the stream must deliver exactly the bytes
// of that window: by read, by position and by line.
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "RhFileSystem.h"
#include "RhIFStream.h"
#include "RhPath.h"
#include "RhString.h"
#include "RhStringList.h"

using fuzzsupport::require;

namespace {

const char kAugmentLine[] = "\n@@AUGMENT@@\n";
constexpr size_t kMaxLookupLine = 400;
constexpr int kMaxListedLookups = 8;

// The folder that the container "Lib.db" stands for.
std::string base() { return fuzzsupport::scratch().file("Lib"); }

// The bytes of the container the lookup named.
std::string containerBytes(const char* archive, const std::string& main, const std::string& augment) {
    const std::string name = archive;
    if (name == base() + ".db") return main;
    require(name == base() + ".db2", "a member was found in a file that is no container here");
    return augment;
}

// Reads the member at path through the stream in every way and compares
// what arrives with the window [offset, offset + size) of the container.
void checkMemberStream(const char* path, unsigned long long offset, unsigned int size, const std::string& bytes) {
    require(offset <= bytes.size() && size <= bytes.size() - offset, "a member window lies outside its container");
    const std::string window = bytes.substr(static_cast<size_t>(offset), size);

    RhIFStream in(path, 8, 0);
    require(in.good() && in.isInArchive(), "a member found by the lookup does not open as a member");
    require(in.getOffset() == offset && in.getSize() == size, "the stream sees another window than the lookup");
    require(in.tellg() == 0, "a member stream does not start at 0");

    std::string got;
    char chunk[7];
    int n;
    while ((n = in.read(chunk, sizeof chunk)) > 0) got.append(chunk, static_cast<size_t>(n));
    require(got == window, "reading a member delivers other bytes than its window");
    require(in.read(chunk, sizeof chunk) == 0, "a read past the member's end delivered bytes");

    require(in.seekg(0, 2) == 0 && in.tellg() == static_cast<long long>(size), "the member's end is not its size");
    require(in.seekg(-1, 0) == 0 && in.read(chunk, 1) == 0, "a read before the member delivered bytes");

    if (window.find('\0') != std::string::npos) return;  // lines are C strings
    require(in.seekg(0, 0) == 0, "cannot seek to the member's start");
    std::string lines;
    char line[64];
    while ((n = in.getline(line, sizeof line)) > 0) {
        const size_t length = std::strlen(line);
        require(static_cast<size_t>(n) == length || static_cast<size_t>(n) == length + 1, "bad line count");
        lines.append(line, length);
        if (static_cast<size_t>(n) == length + 1) lines.push_back('\n');
    }
    require(lines == window, "reading a member by lines delivers other bytes than its window");
}

// Looks path up; checks a member found there. Returns findFile's answer.
int lookUp(const std::string& path, const std::string& main, const std::string& augment, RhStringList* list) {
    RhPath archive;
    unsigned long long offset = 0;
    unsigned int size = 0;
    int isDir = -1;
    RhString resolved;
    const int found = RhFileSystem::findFile(path.c_str(), &resolved, &archive, list, 0, &offset, &size, &isDir);
    require(found >= 0 && found <= 2, "findFile answered out of range");
    if (found == 1) {
        require(isDir == 0 || isDir == 1, "findFile left isDir unset");
        if (isDir == 0) checkMemberStream(path.c_str(), offset, size, containerBytes(archive.getText(), main, augment));
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t eol = input.find('\n');
    if (eol == std::string::npos || eol > kMaxLookupLine) return 0;
    const std::string suffix = input.substr(0, eol);
    if (suffix.find('\0') != std::string::npos) return 0;
    std::string main = input.substr(eol + 1);
    std::string augment;
    const size_t split = main.find(kAugmentLine);
    const bool hasAugment = split != std::string::npos;
    if (hasAugment) {
        augment = main.substr(split + sizeof kAugmentLine - 1);
        main.resize(split + 1);
    }

    RhFileSystem::flushCache();
    fuzzsupport::writeFile(base() + ".db", main);
    if (hasAugment) {
        fuzzsupport::writeFile(base() + ".db2", augment);
    } else {
        std::remove((base() + ".db2").c_str());
    }

    const std::string target = base() + "/" + suffix;
    lookUp(target, main, augment, nullptr);

    // The root folder's listing, and a look at what it names.
    RhStringList names;
    if (lookUp(base(), main, augment, &names) == 1) {
        for (int i = 0; i < names.getCount() && i < kMaxListedLookups; ++i) {
            const char* name = names.getIthString(static_cast<unsigned>(i))->getText();
            lookUp(base() + "/" + name, main, augment, nullptr);
        }
    }
    RhStringList dirs;
    RhFileSystem::getFileNames(target.c_str(), &dirs, 1);

    // Rewriting ".." that leaves the container ends, and leaves it.
    RhString resolved(target.c_str());
    const int answer = RhFileSystem::resolvePath(&resolved);
    require(answer != 2, "resolvePath still climbs out of a container");

    RhFileSystem::flushCache();
    return 0;
}
