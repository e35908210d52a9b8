// Fuzzes symlink files: recognising them, following chains of them, and
// writing back the relative text that was read.
//
// Input: up to three file contents separated by "@@@": the link "d/e/link",
// and the files "d/e/a" and "d/b" that links may lead to (each may be a link
// itself). Properties:
//   - what isSymlink reads back as the stored text is written again by
//     symlinkRelative and read back unchanged;
//   - unwind ends, with a path that is no symlink file, or with the empty
//     text and a stream that does not open when the chain loops.
// Chains are only followed when every link stays inside the scratch folder,
// so that a run never opens files elsewhere on the machine.
#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "RhIFStream.h"
#include "RhString.h"

using fuzzsupport::require;

namespace {

const char kSeparator[] = "@@@";
constexpr size_t kMaxProbedBytes = 1024;  // only the start of a file is examined

std::string root() { return fuzzsupport::scratch().file("ln"); }

// True when the link at path is no link, or names a path inside the scratch
// folder (".." applied as text: the scratch folder holds no real symlinks).
bool staysInside(const std::string& path) {
    RhString link(path.c_str());
    RhString target;
    if (!RhIFStream::isSymlink(&link, &target, nullptr)) return true;
    RhString normal;
    RhIFStream::removeDotDots(&target, &normal);
    const std::string inside = fuzzsupport::scratch().path() + "/";
    return std::string(normal.getText()).compare(0, inside.size(), inside) == 0;
}

void checkWriteBack(const RhString& relative) {
    // "<SYMLINK target=\"" + text + "\" />" must fit into the bytes examined.
    if (relative.getLength() + 21 > kMaxProbedBytes) return;
    const std::string again = fuzzsupport::scratch().file("ln2/w/link");
    fuzzsupport::writeFile(again, "");
    require(RhIFStream::symlinkRelative(again.c_str(), &relative) == 1, "cannot write a link back");
    RhString path(again.c_str());
    RhString target, back;
    require(RhIFStream::isSymlink(&path, &target, &back) == 1, "a link written back is not a link");
    require(back.compare(&relative) == 0, "a link written back stores another text");
    const std::string expected = fuzzsupport::scratch().file("ln2/w") + (relative.getText() + 2);
    require(target.compare(expected.c_str()) == 0, "a link written back names another target");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string names[3] = {root() + "/d/e/link", root() + "/d/e/a", root() + "/d/b"};
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        if (start == std::string::npos) {
            std::remove(names[i].c_str());
            continue;
        }
        const size_t end = i < 2 ? input.find(kSeparator, start) : std::string::npos;
        fuzzsupport::writeFile(names[i], input.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : end + sizeof kSeparator - 1;
    }

    RhString link(names[0].c_str());
    RhString target, relative;
    if (RhIFStream::isSymlink(&link, &target, &relative)) {
        require(relative.startsWith("../") == 1, "the stored text does not begin with ../");
        checkWriteBack(relative);
    }

    for (const std::string& name : names) {
        if (!staysInside(name)) return 0;
    }
    RhString out;
    const int unwound = RhIFStream::unwind(&link, &out);
    if (unwound) {
        require(out.getLength() > 0, "unwind gave an empty path");
        require(RhIFStream::isSymlink(&out, nullptr, nullptr) == 0, "unwind stopped at a link");
    } else {
        require(out.getLength() == 0, "a looping chain left a path");
        RhIFStream in(names[0].c_str(), 8);
        require(!in.good(), "a looping chain opened a file");
    }
    return 0;
}
