#include "ObjectArchive.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <tinyxml.h>

#include "RhFileUtils.h"
#include "RhIFStream.h"

namespace {

// ---- Nesting check before parsing ------------------------------------------
//
// TinyXML parses one element per recursion level, so a document nested a few
// ten thousand levels deep overflows the stack. Before parsing, this probe
// walks the text the way TinyXML's parser walks it and reports how deep the
// parser would go. It reuses TinyXML's own lexical helpers (white space,
// names, quoted values, text up to the next '<'), so it reads every
// construct with the parser's rules in either of its encoding modes: in
// UTF-8 mode a lead byte swallows the bytes after it, markup included, and
// the probe sees the same. Where the parser stops with an error, the probe
// stops too, having counted every level the parser entered.
class TinyXmlNestingProbe : public TiXmlBase {
public:
    // The deepest element level the parser would enter for text (the root
    // element is level 1); scanning stops as soon as limit is passed.
    static int deepest(const char* text, int limit);

private:
    // An attribute "name = value" from its name, as the parser reads one.
    // Null where the parser stops with an error.
    static const char* skipAttribute(const char* p, TiXmlEncoding encoding, std::string* value);
    // An XML declaration from the character after "<?xml"; *declared
    // receives its encoding attribute. Null where the parser stops.
    static const char* skipDeclaration(const char* p, TiXmlEncoding encoding, std::string* declared);
    // A start tag from the character after '<'. Null where the parser stops;
    // otherwise the character after the tag, *selfClosed set for "/>".
    static const char* skipStartTag(const char* p, TiXmlEncoding encoding, bool* selfClosed);
    // The text after the next occurrence of endTag, searched byte by byte
    // from p; the end of the text when there is none.
    static const char* skipPast(const char* p, const char* endTag);
};

const char* TinyXmlNestingProbe::skipAttribute(const char* p, TiXmlEncoding encoding, std::string* value) {
    p = SkipWhiteSpace(p, encoding);
    if (!p || !*p) return nullptr;
    std::string name;
    p = ReadName(p, &name, encoding);
    if (!p || !*p) return nullptr;
    p = SkipWhiteSpace(p, encoding);
    if (!p || *p != '=') return nullptr;
    p = SkipWhiteSpace(p + 1, encoding);
    if (!p || !*p) return nullptr;
    if (*p == '\'') return ReadText(p + 1, value, false, "'", false, encoding);
    if (*p == '"') return ReadText(p + 1, value, false, "\"", false, encoding);
    // An unquoted value runs to white space, '/' or '>'; a quote inside it
    // is an error.
    value->clear();
    while (*p && !IsWhiteSpace(*p) && *p != '/' && *p != '>') {
        if (*p == '\'' || *p == '"') return nullptr;
        value->push_back(*p++);
    }
    return p;
}

const char* TinyXmlNestingProbe::skipDeclaration(const char* p, TiXmlEncoding encoding, std::string* declared) {
    std::string value;
    while (p && *p) {
        if (*p == '>') return p + 1;
        p = SkipWhiteSpace(p, encoding);
        if (!p || !*p) return nullptr;
        if (StringEqual(p, "version", true, encoding) || StringEqual(p, "standalone", true, encoding)) {
            p = skipAttribute(p, encoding, &value);
        } else if (StringEqual(p, "encoding", true, encoding)) {
            p = skipAttribute(p, encoding, &value);
            *declared = value;
        } else {
            while (*p && *p != '>' && !IsWhiteSpace(*p)) ++p;
        }
    }
    return nullptr;
}

const char* TinyXmlNestingProbe::skipStartTag(const char* p, TiXmlEncoding encoding, bool* selfClosed) {
    p = SkipWhiteSpace(p, encoding);
    if (!p) return nullptr;
    std::string scratch;
    p = ReadName(p, &scratch, encoding);
    while (p && *p) {
        p = SkipWhiteSpace(p, encoding);
        if (!p || !*p) return nullptr;
        if (*p == '/') {
            if (p[1] != '>') return nullptr;
            *selfClosed = true;
            return p + 2;
        }
        if (*p == '>') {
            *selfClosed = false;
            return p + 1;
        }
        p = skipAttribute(p, encoding, &scratch);
    }
    return nullptr;
}

const char* TinyXmlNestingProbe::skipPast(const char* p, const char* endTag) {
    const char* end = strstr(p, endTag);
    return end ? end + strlen(endTag) : p + strlen(p);
}

int TinyXmlNestingProbe::deepest(const char* p, int limit) {
    TiXmlEncoding encoding = TIXML_DEFAULT_ENCODING;
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    if (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) {  // byte-order mark
        encoding = TIXML_ENCODING_UTF8;
    }
    int depth = 0;
    int deepest = 0;
    std::string scratch;
    p = SkipWhiteSpace(p, encoding);
    while (p && *p && deepest <= limit) {
        if (depth > 0 && *p != '<') {
            // Element content: text up to the next '<' (the parser fails when
            // there is none).
            p = ReadText(p, &scratch, true, "<", false, encoding);
            if (!p || !*p) break;
            --p;
        } else if (depth > 0 && p[1] == '/') {
            // The end tag of the innermost element: "</name", white space, '>'.
            --depth;
            p = strchr(p, '>');
            if (p) ++p;
        } else if (*p != '<') {
            break;  // text at the top level ends the parse
        } else if (StringEqual(p, "<?xml", true, encoding)) {
            std::string declared;
            p = skipDeclaration(p + 5, encoding, &declared);
            // The first top-level declaration fixes the encoding mode.
            if (depth == 0 && encoding == TIXML_ENCODING_UNKNOWN) {
                const char* e = declared.c_str();
                encoding = (!*e || StringEqual(e, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
                            StringEqual(e, "UTF8", true, TIXML_ENCODING_UNKNOWN))
                               ? TIXML_ENCODING_UTF8
                               : TIXML_ENCODING_LEGACY;
            }
        } else if (StringEqual(p, "<!--", false, encoding)) {
            p = skipPast(p + 4, "-->");
        } else if (StringEqual(p, "<![CDATA[", false, encoding)) {
            p = skipPast(p + 9, "]]>");
        } else if (p[1] == '!' || !(IsAlpha(static_cast<unsigned char>(p[1]), encoding) || p[1] == '_')) {
            // Any other markup ("<!DOCTYPE", "<?pi", a stray '<', an end tag
            // at the top level) runs to the next '>'.
            p = strchr(p + 1, '>');
            if (p) ++p;
        } else {
            if (++depth > deepest) deepest = depth;
            bool selfClosed = false;
            p = skipStartTag(p + 1, encoding, &selfClosed);
            if (selfClosed) --depth;
        }
        if (p) p = SkipWhiteSpace(p, encoding);
    }
    return deepest;
}

// ---- Small helpers ---------------------------------------------------------

// atoi's reading of text, with values beyond the int range clamped to it
// (atoi itself leaves them undefined).
int readInt(const char* text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// prefix + key in out; false for a null key.
bool joinKey(const char* prefix, const char* key, RhString* out) {
    if (!key) return false;
    *out = prefix ? prefix : "";
    out->append(key);
    return true;
}

// Where a file's lines were read into out: all of them, none (empty file),
// cut short (NUL bytes), or the file did not open.
enum class ReadResult { ok, empty, cutShort, cannotOpen };

// Reads the file at path through the archive-aware stream and joins its
// lines without their line feeds. The stream hands lines over as C strings,
// so a NUL byte would silently cut text away: the characters delivered are
// counted against the file's length to notice that.
ReadResult readFileJoiningLines(const char* path, std::string* out) {
    out->clear();
    RhIFStream in(path ? path : "", 8);
    if (!in.good()) return ReadResult::cannotOpen;
    in.seekg(0, 2);
    long long length = in.tellg();
    in.seekg(0, 0);
    if (length <= 0) return ReadResult::empty;
    // The reservation is only a hint; a length beyond it grows as read.
    const long long kMaxReserve = 64ll << 20;
    out->reserve(static_cast<size_t>(length < kMaxReserve ? length : kMaxReserve));
    char line[2048];
    long long delivered = 0;
    bool lost = false;
    int count;
    while ((count = in.getline(line, sizeof line)) > 0) {
        size_t textLength = strlen(line);
        // count is the text plus its line feed, if it had one.
        if (static_cast<size_t>(count) != textLength && static_cast<size_t>(count) != textLength + 1) lost = true;
        delivered += count;
        out->append(line, textLength);
    }
    if (lost || delivered != length) return ReadResult::cutShort;
    return ReadResult::ok;
}

// A text whose last bytes start a multi-byte sequence that the text ends
// inside of: TinyXML's UTF-8 reading would step past the terminator there.
bool endsInsideUtf8Sequence(const char* text, size_t length) {
    for (size_t i = length > 3 ? length - 3 : 0; i < length; ++i) {
        int sequence = TiXmlBase::utf8ByteTable[static_cast<unsigned char>(text[i])];
        if (static_cast<size_t>(sequence) > length - i) return true;
    }
    return false;
}

// Shared by the document-loading entry points: loads into doc (value kept).
int loadInto(TiXmlDocument* doc, const char* path) {
    doc->Clear();
    doc->ClearError();
    std::string joined;
    switch (readFileJoiningLines(path, &joined)) {
        case ReadResult::cannotOpen:
            doc->SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
            return 0;
        case ReadResult::empty:
            doc->SetError(TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
            return 0;
        case ReadResult::cutShort:
            doc->SetError(TiXmlBase::TIXML_ERROR_EMBEDDED_NULL, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
            return 0;
        case ReadResult::ok:
            break;
    }
    return ObjectArchive::parseDocument(doc, joined.c_str());
}

}  // namespace

// ---- Loading documents -------------------------------------------------------

bool LoadFileTZarchive(TiXmlDocument* doc, const char* path) {
    if (!doc) return false;
    // path may be the document's own value: copy it before changing that.
    std::string name = path ? path : "";
    doc->SetValue(name.c_str());
    return loadInto(doc, name.c_str()) == 1;
}

bool LoadFileTZarchive(TiXmlDocument* doc) {
    if (!doc) return false;
    std::string name = doc->Value();
    return LoadFileTZarchive(doc, name.c_str());
}

int ObjectArchive::parseDocument(TiXmlDocument* doc, const char* text) {
    if (!doc) return 0;
    doc->Clear();
    doc->ClearError();
    if (!text) text = "";
    size_t length = strlen(text);
    std::string padded;
    if (endsInsideUtf8Sequence(text, length)) {
        // Give the overlong step of the parser (and of the probe, which reads
        // with the parser's helpers) a landing place of NUL bytes.
        padded.assign(text, length);
        padded.append(4, '\0');
        text = padded.c_str();
    }
    if (TinyXmlNestingProbe::deepest(text, kMaxNestingDepth) > kMaxNestingDepth) {
        doc->SetError(TiXmlBase::TIXML_ERROR, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return 0;
    }
    doc->Parse(text, nullptr, TIXML_DEFAULT_ENCODING);
    return doc->Error() ? 0 : 1;
}

int ObjectArchive::loadDocumentFromFile(TiXmlDocument* doc, const char* path) {
    if (!doc) return 0;
    return loadInto(doc, path);
}

// ---- ObjectCursor ------------------------------------------------------------

ObjectCursor::ObjectCursor() : node(nullptr), file(nullptr), target(nullptr) {}

void ObjectCursor::setNode(TiXmlNode* newNode) {
    node = newNode;
    name = newNode ? newNode->Value() : "";
}

const TiXmlElement* ObjectCursor::element() const { return node ? node->ToElement() : nullptr; }

int ObjectCursor::getNextObject(ObjectCursor* child) const {
    if (!child) return 0;
    TiXmlElement* next = nullptr;
    if (child->node) {
        next = child->node->NextSiblingElement();
    } else {
        if (!node) return 0;
        next = node->FirstChildElement();
    }
    child->setNode(next);
    return next ? 1 : 0;
}

int ObjectCursor::countObjects(const char* objectName) const {
    if (!objectName || !node) return 0;
    int n = 0;
    for (const TiXmlElement* e = node->FirstChildElement(objectName); e; e = e->NextSiblingElement(objectName)) ++n;
    return n;
}

namespace {

const int kDeepestSearchedLevel = 7;

int searchBelow(const TiXmlNode* parent, const char* name, int* counter, int index, int depth, int level,
                ObjectCursor* out) {
    if (level > kDeepestSearchedLevel || level > depth) return 0;
    for (const TiXmlElement* e = parent->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (level == depth) {
            if (strcmp(e->Value(), name) != 0) continue;
            if (*counter == index) {
                out->setNode(const_cast<TiXmlElement*>(e));
                return 1;
            }
            ++*counter;
        } else if (searchBelow(e, name, counter, index, depth, level + 1, out)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

int ObjectCursor::recursiveXMLsearch(const char* objectName, int* counter, int index, int depth, int level,
                                     ObjectCursor* out) const {
    if (!objectName || !node || !out) return 0;
    int localCounter = 0;
    return searchBelow(node, objectName, counter ? counter : &localCounter, index, depth, level, out);
}

int ObjectCursor::getAttrFast(const char* key, const char** value, const char* fallback) const {
    const TiXmlElement* e = element();
    const char* found = e && key ? e->Attribute(key) : nullptr;
    if (found) {
        if (value) *value = found;
        return 1;
    }
    if (value && fallback) *value = fallback;
    return 0;
}

int ObjectCursor::getAttr(const char* key, RhString* value, const char* fallback) const {
    const char* found = nullptr;
    if (getAttrFast(key, &found, nullptr)) {
        if (value) *value = found;
        return 1;
    }
    if (value && fallback) *value = fallback;
    return 0;
}

int ObjectCursor::getAttr(const RhString* key, RhString* value, const char* fallback) const {
    return getAttr(key ? key->getText() : nullptr, value, fallback);
}

int ObjectCursor::getIthAttrFast(unsigned int i, const char** key, const char** value) const {
    const TiXmlElement* e = element();
    const TiXmlAttribute* a = e ? e->FirstAttribute() : nullptr;
    for (; a && i > 0; --i) a = a->Next();
    if (key) *key = a ? a->Name() : nullptr;
    if (value) *value = a ? a->Value() : nullptr;
    return a ? 1 : 0;
}

int ObjectCursor::getIthAttr(unsigned int i, RhString* key, RhString* value) const {
    const char* k = nullptr;
    const char* v = nullptr;
    int found = getIthAttrFast(i, &k, &v);
    if (key) *key = found ? k : "";
    if (value) *value = found ? v : "";
    return found;
}

namespace {

// A typed attribute read: present, *value = convert(its text), 1; absent,
// *value = *fallback when both are given, 0.
template <class T>
int readConverted(const ObjectCursor& cursor, const char* key, T* value, const T* fallback,
                  T (*convert)(const char*)) {
    const char* text = nullptr;
    if (cursor.getAttrFast(key, &text, nullptr)) {
        if (value) *value = convert(text);
        return 1;
    }
    if (value && fallback) *value = *fallback;
    return 0;
}

}  // namespace

int ObjectCursor::getIntAttr(const char* key, int* value, const int* fallback) const {
    return readConverted(*this, key, value, fallback, readInt);
}

int ObjectCursor::getIntAttr(const RhString* key, int* value, const int* fallback) const {
    return getIntAttr(key ? key->getText() : nullptr, value, fallback);
}

int ObjectCursor::getIntAttrReturn(const char* key, int fallback) const {
    int value = fallback;
    getIntAttr(key, &value, &fallback);
    return value;
}

int ObjectCursor::getIntAttrWithPrefix(const char* prefix, const char* key, int* value) const {
    RhString whole;
    if (!joinKey(prefix, key, &whole)) return 0;
    return getIntAttr(whole.getText(), value, nullptr);
}

float ObjectCursor::parseFloatAttr(const char* text) {
    if (!text) return 0.0f;
    if (strchr(text, '.')) return strtof(text, nullptr);
    // The 32-bit pattern, as putFloatAttr writes it: up to 8 hexadecimal
    // digits, fewer when the pattern has leading zero digits (small
    // positive values).
    size_t length = strlen(text);
    if (length == 0 || length > 8) return 0.0f;
    uint32_t bits = 0;
    for (size_t i = 0; i < length; ++i) {
        int digit = hexDigitValue(text[i]);
        if (digit < 0) return 0.0f;
        bits = (bits << 4) | static_cast<uint32_t>(digit);
    }
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

int ObjectCursor::getFloatAttr(const char* key, float* value, const float* fallback) const {
    return readConverted(*this, key, value, fallback, parseFloatAttr);
}

int ObjectCursor::getFloatAttr(const RhString* key, float* value, const float* fallback) const {
    return getFloatAttr(key ? key->getText() : nullptr, value, fallback);
}

float ObjectCursor::getFloatAttrReturn(const char* key, float fallback) const {
    float value = fallback;
    getFloatAttr(key, &value, &fallback);
    return value;
}

int ObjectCursor::getFloatAttrWithPrefix(const char* prefix, const char* key, float* value) const {
    RhString whole;
    if (!joinKey(prefix, key, &whole)) return 0;
    return getFloatAttr(whole.getText(), value, nullptr);
}

// ---- Writing ---------------------------------------------------------------

int ObjectCursor::emit(const char* format, ...) {
    va_list args;
    va_start(args, format);
    int written = 0;
    if (target) {
        // Formatted whole, however long: nothing is ever cut.
        target->appendFormattedArgs(format, args);
        written = 1;
    } else if (file) {
        written = vfprintf(file, format, args) >= 0 ? 1 : 0;
    }
    va_end(args);
    return written;
}

int ObjectCursor::putObject(const char* objectName) {
    if (!objectName) return 0;
    return emit("<%s ", objectName);
}

int ObjectCursor::putAttr(const char* key, const char* value) {
    if (!key) return 0;
    if (!value) value = "";
    RhString escaped;
    if (RhString::containsXMLspecialChars(value)) {
        escaped = value;
        escaped.encodeXMLfriendlyInPlace();
        value = escaped.getText();
    }
    bool hasQuote = strchr(value, '"') != nullptr;
    if (target) {
        if (hasQuote || strlen(value) > kMaxTextAttrLength) return 0;
        return emit(" %s=\"%s\" ", key, value);
    }
    return emit(" %s=\"%s\" ", key, hasQuote ? "" : value);
}

int ObjectCursor::putIntAttr(const char* key, int value) {
    if (!key) return 0;
    return emit(" %s=\"%d\" ", key, value);
}

int ObjectCursor::putIntAttrWithPrefix(const char* prefix, const char* key, int value) {
    RhString whole;
    if (!joinKey(prefix, key, &whole)) return 0;
    return putIntAttr(whole.getText(), value);
}

int ObjectCursor::putFloatAttr(const char* key, float value) {
    if (!key) return 0;
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return emit(" %s=\"%x\" ", key, static_cast<unsigned>(bits));
}

int ObjectCursor::putFloatAttrWithPrefix(const char* prefix, const char* key, float value) {
    RhString whole;
    if (!joinKey(prefix, key, &whole)) return 0;
    return putFloatAttr(whole.getText(), value);
}

int ObjectCursor::endAttrs() { return emit(">\n"); }

int ObjectCursor::endObject(const char* objectName) {
    if (!objectName) return 0;
    return emit("</%s>\n ", objectName);
}

// ---- ObjectArchive -----------------------------------------------------------

namespace {

const char kXmlDeclarationLine[] = "<?xml version=\"1.0\"  encoding=\"ISO-8859-1\"  standalone=\"no\"?>\n";
const char kDocumentTypeLine[] = "<!DOCTYPE s1 SYSTEM \"sbk:/style/dtd/document.dtd\">\n";

}  // namespace

ObjectArchive::ObjectArchive(RhString* textIn) : doc(nullptr), file(nullptr), text(textIn) {}

ObjectArchive::~ObjectArchive() { close(); }

int ObjectArchive::close() {
    int ok = 1;
    if (file) {
        if (ferror(file)) ok = 0;
        if (fclose(file) != 0) ok = 0;
        file = nullptr;
    }
    delete doc;
    doc = nullptr;
    return ok;
}

TiXmlDocument* ObjectArchive::makeDocument(const char* name) {
    delete doc;
    doc = new TiXmlDocument(name ? name : "");
    return doc;
}

void ObjectArchive::placeCursorOnDocument(ObjectCursor* cursor) { cursor->setNode(doc); }

int ObjectArchive::startWriting(ObjectCursor* cursor) {
    if (!cursor) return 0;
    if (file) {
        fclose(file);
        file = nullptr;
    }
    if (text) {
        *text = "";
        cursor->target = text;
        cursor->file = nullptr;
        return 1;
    }
    file = RhUtils::fopenUnicodeSafe(path.getText(), "w");
    if (!file) return 0;
    if (fputs(kXmlDeclarationLine, file) < 0 || fputs(kDocumentTypeLine, file) < 0) {
        fclose(file);
        file = nullptr;
        return 0;
    }
    cursor->file = file;
    cursor->target = nullptr;
    return 1;
}

int ObjectArchive::openForWrite(ObjectCursor* cursor) { return startWriting(cursor); }

int ObjectArchive::openForRead(ObjectCursor* cursor) {
    if (!cursor) return 0;
    if (text) {
        makeDocument("doc");
        if (!parseDocument(doc, text->getText())) return 0;
    } else {
        makeDocument(path.getText());
        if (!LoadFileTZarchive(doc)) return 0;
    }
    placeCursorOnDocument(cursor);
    return 1;
}
