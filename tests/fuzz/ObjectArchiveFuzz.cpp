// Fuzzes the object archive: parsing a document (with its guard against deep
// nesting), walking it with cursors and reading attributes, loading the same
// bytes from a file, and writing back what was read.
//
// The input is the document, as a text (cut at its first NUL, and placed
// right before an unreadable page) and as a file. Properties:
//   - no parse, successful or not, builds a tree deeper than the archive's
//     nesting limit (the guard must see every level the parser enters);
//   - loading the file (unless it is a symlink file) gives the tree that
//     parsing the text without its line feeds gives, or the "embedded null"
//     error when the file holds a NUL;
//   - every float read from an attribute is written and read back with the
//     same 32-bit pattern, and every plain ASCII attribute value is written
//     and read back unchanged.
#include <sys/mman.h>
#include <tinyxml.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ObjectArchive.h"
#include "RhIFStream.h"
#include "RhString.h"

using fuzzsupport::require;

namespace {

constexpr int kMaxAttributesRead = 16;
constexpr int kMaxElementsVisited = 2000;
constexpr size_t kGuardedTextBytes = 1 << 20;

// Holds a text so that its NUL is the last readable byte before a page that
// cannot be read. TinyXML is not built with the sanitizers, so a read past
// the end of the text shows as a crash only this way.
const char* guarded(const std::string& text) {
    static char* area = [] {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, kGuardedTextBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        require(p != MAP_FAILED, "cannot map the guarded text area");
        char* c = static_cast<char*>(p);
        require(mprotect(c + kGuardedTextBytes, page, PROT_NONE) == 0, "cannot protect the guard page");
        return c;
    }();
    if (text.size() + 1 > kGuardedTextBytes) return nullptr;
    char* start = area + kGuardedTextBytes - (text.size() + 1);
    std::memcpy(start, text.c_str(), text.size() + 1);
    return start;
}

// Depth of the deepest element below node (node's children are at 1),
// walked without recursion.
int treeDepth(const TiXmlNode* root) {
    int deepest = 0;
    std::vector<std::pair<const TiXmlNode*, int>> stack{{root, 0}};
    while (!stack.empty()) {
        auto [node, depth] = stack.back();
        stack.pop_back();
        deepest = std::max(deepest, depth);
        for (const TiXmlNode* c = node->FirstChild(); c; c = c->NextSibling()) {
            stack.push_back({c, c->ToElement() ? depth + 1 : depth});
        }
    }
    return deepest;
}

std::string printed(const TiXmlDocument& doc) {
    TiXmlPrinter printer;
    doc.Accept(&printer);
    return printer.CStr();
}

// Writes one object with the attribute and parses the result; the read-back
// text, or false when nothing could be written or parsed.
bool writeAndReadBack(const char* value, std::string* out) {
    RhString text;
    ObjectArchive writer(&text);
    ObjectCursor w;
    require(writer.openForWrite(&w) == 1, "cannot write to a text");
    w.putObject("o");
    const int wrote = w.putAttr("v", value);
    w.endAttrs();
    w.endObject("o");
    if (!wrote) return false;
    ObjectArchive reader(&text);
    ObjectCursor r, o;
    require(reader.openForRead(&r) == 1, "the archive cannot read what it wrote");
    require(r.getNextObject(&o) == 1, "the object written is missing");
    RhString back;
    require(o.getAttr("v", &back, nullptr) == 1, "the attribute written is missing");
    *out = back.getText();
    return true;
}

void checkFloatRoundTrip(float value) {
    RhString text;
    ObjectArchive writer(&text);
    ObjectCursor w;
    require(writer.openForWrite(&w) == 1, "cannot write to a text");
    w.putObject("o");
    w.putFloatAttr("f", value);
    w.endAttrs();
    w.endObject("o");
    ObjectArchive reader(&text);
    ObjectCursor r, o;
    require(reader.openForRead(&r) == 1 && r.getNextObject(&o) == 1, "cannot read a float written");
    float back = 0;
    require(o.getFloatAttr("f", &back, nullptr) == 1, "the float written is missing");
    require(std::memcmp(&back, &value, sizeof value) == 0, "a float does not read back with its bit pattern");
}

bool isPlainAscii(const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (*p >= 0x80) return false;
    }
    return true;
}

void readAttributes(const ObjectCursor& cursor) {
    RhString key, value;
    for (unsigned i = 0; i < kMaxAttributesRead && cursor.getIthAttr(i, &key, &value); ++i) {
        int asInt = 0;
        require(cursor.getIntAttr(key.getText(), &asInt, nullptr) == 1, "a listed attribute is missing");
        float asFloat = 0;
        cursor.getFloatAttr(key.getText(), &asFloat, nullptr);
        checkFloatRoundTrip(asFloat);
        if (isPlainAscii(value.getText())) {
            std::string back;
            if (writeAndReadBack(value.getText(), &back)) {
                require(back == value.getText(), "an attribute value does not read back unchanged");
            }
        }
    }
}

// Visits elements depth first with cursors, as the readers of archives do.
void walk(const ObjectCursor& document) {
    // path[k] walks the children of parents[k]; path never reallocates, so
    // the parents taken from it stay valid.
    std::vector<ObjectCursor> path;
    path.reserve(ObjectArchive::kMaxNestingDepth + 2);
    path.emplace_back();
    std::vector<const ObjectCursor*> parents{&document};
    int visited = 0;
    while (!path.empty() && visited < kMaxElementsVisited) {
        ObjectCursor& child = path.back();
        const ObjectCursor* parent = parents[path.size() - 1];
        if (!parent->getNextObject(&child)) {
            path.pop_back();
            parents.pop_back();
            continue;
        }
        ++visited;
        readAttributes(child);
        require(parent->countObjects(child.getName()) >= 1, "a child is not counted under its own name");
        ObjectCursor found;
        int counter = 0;
        parent->recursiveXMLsearch(child.getName(), &counter, 0, 1, 1, &found);
        require(found.getNode() != nullptr, "the search at level 1 misses a child");
        require(path.size() <= static_cast<size_t>(ObjectArchive::kMaxNestingDepth), "walked too deep");
        path.emplace_back();
        parents.push_back(&path[path.size() - 2]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = bytes.substr(0, bytes.find('\0'));

    TiXmlDocument parsed;
    const char* placed = guarded(text);
    const int ok = ObjectArchive::parseDocument(&parsed, placed ? placed : text.c_str());
    require(treeDepth(&parsed) <= ObjectArchive::kMaxNestingDepth, "the parser went deeper than the limit");
    require(ok == (parsed.Error() ? 0 : 1), "parseDocument's answer disagrees with the document");

    if (ok) {
        ObjectCursor document;
        document.setNode(&parsed);
        walk(document);
    }

    // The same bytes as a file: its lines are joined before parsing. A file
    // that is a symlink file is followed when loaded; that is for the
    // symlink harness (and must not lead outside the scratch folder).
    const std::string path = fuzzsupport::scratch().file("doc.xml");
    fuzzsupport::writeFile(path, bytes);
    const RhString pathText(path.c_str());
    if (RhIFStream::isSymlink(&pathText, nullptr, nullptr)) return 0;
    TiXmlDocument loaded;
    const bool loadedOk = LoadFileTZarchive(&loaded, path.c_str());
    require(treeDepth(&loaded) <= ObjectArchive::kMaxNestingDepth, "loading went deeper than the limit");
    if (bytes.empty()) {
        require(!loadedOk && loaded.ErrorId() == TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY, "an empty file loaded");
    } else if (bytes.find('\0') != std::string::npos) {
        require(!loadedOk && loaded.ErrorId() == TiXmlBase::TIXML_ERROR_EMBEDDED_NULL, "a file with NUL loaded");
    } else {
        std::string joined = bytes;
        joined.erase(std::remove(joined.begin(), joined.end(), '\n'), joined.end());
        TiXmlDocument expected;
        const int expectedOk = ObjectArchive::parseDocument(&expected, joined.c_str());
        require(loadedOk == (expectedOk == 1), "loading the file and parsing its joined lines disagree");
        require(loaded.ErrorId() == expected.ErrorId(), "loading the file and parsing its joined lines disagree");
        require(printed(loaded) == printed(expected), "loading the file gives another tree than its joined lines");
    }
    return 0;
}
