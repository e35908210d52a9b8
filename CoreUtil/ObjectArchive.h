// ObjectArchive and ObjectCursor: an XML document seen as a tree of objects.
//
// Every XML element is an object: its element name is the object's kind and
// its attributes are the object's properties. An archive reads a whole
// document at once (from a text in memory, or from a file that may be a
// member of an archive container) or writes one object by object; a cursor
// points at one object, reads its attributes and walks to its children.
//
// Writing an object: putObject, any number of put...Attr, endAttrs, the
// child objects, endObject.
//
// Loading drops line feeds: a document file is read line by line and the
// lines are joined without them, so a line break never separates two tokens
// (keep a blank before a line break inside an attribute list). Carriage
// returns are kept.
//
// Parsing refuses documents whose elements nest deeper than
// kMaxNestingDepth: the XML parser recurses once per level, and a damaged or
// hostile file must not be able to exhaust the stack.
//
// Threads: an archive and its cursors belong to one thread while it is being
// read or written. A parsed archive that is only read may be walked by many
// threads at once, each with cursors of its own: cursor moves and attribute
// reads never modify the document.
//
// Cursors do not own anything: they are valid while their archive's document
// (or output) lives, and invalid after the archive's close().
#pragma once

#include <cstdio>

#include "RhPath.h"
#include "RhString.h"

class TiXmlDocument;
class TiXmlElement;
class TiXmlNode;

// A position in a parsed document (an element, or the document itself), and
// the output of an archive being written.
class ObjectCursor {
public:
    // A fresh cursor: empty name, no node, no output.
    ObjectCursor();

    // Element name of the current object (the document's value when the
    // cursor is on the document); empty for a fresh cursor.
    const char* getName() const { return name.getText(); }
    // The current element or document; null for a fresh cursor.
    TiXmlNode* getNode() const { return node; }
    // Places the cursor on node (null makes it fresh again); the name
    // becomes node's value. For code that walks the tree itself.
    void setNode(TiXmlNode* node);

    // ---- Walking ----

    // child without node: child moves to the first child element of this
    // cursor's node. child with a node: it moves to the next sibling element
    // of its own node. Comments, text and declarations are skipped. 1 when
    // there is such an element (child's name becomes its element name);
    // otherwise 0 and child becomes fresh (so the next call starts over).
    // Both cursors without node: 0, child unchanged. Null child: 0.
    int getNextObject(ObjectCursor* child) const;
    // Number of child elements whose element name equals name
    // (case-sensitive); 0 for null name or no node.
    int countObjects(const char* name) const;
    // Depth-first search in document order below this cursor's node; its
    // children are at level `level`, theirs at level + 1, and so on; nothing
    // deeper than level 7 is searched. Each element at level `depth` called
    // name is counted: the one met when *counter equals index is placed in
    // out (result 1); the others increment *counter. 0 when none is found.
    // A null counter counts from 0.
    int recursiveXMLsearch(const char* name, int* counter, int index, int depth, int level,
                           ObjectCursor* out) const;

    // ---- Reading attributes of the current element ----
    // A cursor on the document or without node has no attributes.

    // Present: value = its text, 1. Absent: value = fallback when fallback is
    // not null (otherwise unchanged), 0.
    int getAttr(const char* key, RhString* value, const char* fallback) const;
    int getAttr(const RhString* key, RhString* value, const char* fallback) const;
    // As getAttr, but *value points into the document (valid while it lives).
    int getAttrFast(const char* key, const char** value, const char* fallback) const;
    // The i-th attribute (from 0) in document order: key and value, 1.
    // None: both set to the empty text, 0.
    int getIthAttr(unsigned int i, RhString* key, RhString* value) const;
    // As getIthAttr with pointers into the document; none: both null, 0.
    int getIthAttrFast(unsigned int i, const char** key, const char** value) const;

    // Present: *value = its decimal value (atoi rules, clamped to the int
    // range), 1. Absent: *value = *fallback when fallback is not null, 0.
    int getIntAttr(const char* key, int* value, const int* fallback) const;
    int getIntAttr(const RhString* key, int* value, const int* fallback) const;
    // The value, or fallback when absent.
    int getIntAttrReturn(const char* key, int fallback) const;
    // getIntAttr of the key prefix + key, without fallback.
    int getIntAttrWithPrefix(const char* prefix, const char* key, int* value) const;

    // Present: *value = the attribute read as a float, 1 (see
    // parseFloatAttr). Absent: *value = *fallback when fallback is not null, 0.
    int getFloatAttr(const char* key, float* value, const float* fallback) const;
    int getFloatAttr(const RhString* key, float* value, const float* fallback) const;
    // The value, or fallback when absent.
    float getFloatAttrReturn(const char* key, float fallback) const;
    // getFloatAttr of the key prefix + key, without fallback.
    int getFloatAttrWithPrefix(const char* prefix, const char* key, float* value) const;

    // A float attribute's text as a value: a text with "." is a decimal
    // number; a text of 1 to 8 hexadecimal digits (most significant first) is
    // the float's 32-bit pattern, as putFloatAttr writes it; anything else
    // is 0.0. Null text: 0.0.
    static float parseFloatAttr(const char* text);

    // ---- Writing (after ObjectArchive::openForWrite) ----
    // Output goes to the text target when the cursor has one, else to its
    // file. Each returns 1 when it wrote, 0 when nothing was written (no
    // output, null name or key, a write error, or a value refused below).

    // "<name "
    int putObject(const char* name);
    // ` key="value" ` with the value XML-escaped. An escaped value that
    // still holds a double quote is written empty to a file and not at all to
    // a text; a text target also refuses values longer than
    // kMaxTextAttrLength characters. A null value is written empty.
    int putAttr(const char* key, const char* value);
    // ` key="%d" `
    int putIntAttr(const char* key, int value);
    int putIntAttrWithPrefix(const char* prefix, const char* key, int value);
    // ` key="%x" ` with the float's 32-bit pattern (lower case, no leading
    // zeros): 1.0 is written as 3f800000.
    int putFloatAttr(const char* key, float value);
    int putFloatAttrWithPrefix(const char* prefix, const char* key, float value);
    // ">" and a line feed.
    int endAttrs();
    // "</name>", a line feed and one blank.
    int endObject(const char* name);

    // Longest escaped attribute value that putAttr appends to a text target.
    static const unsigned kMaxTextAttrLength = 8191;

private:
    friend class ObjectArchive;

    RhMedString name;  // element name of the current object
    TiXmlNode* node;   // current element or document; not owned
    FILE* file;        // output file while writing; owned by the archive
    RhString* target;  // output text while writing to a string; not owned

    // Appends the formatted text to the target, else writes it to the file.
    int emit(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The element of node, or null (document, fresh cursor).
    const TiXmlElement* element() const;
};

// A parsed XML document, or the output of one being written.
class ObjectArchive {
public:
    // An archive on an in-memory text (not owned; may be null): the text to
    // parse when reading, the text replaced when writing. Path empty.
    explicit ObjectArchive(RhString* text);
    // As close(), then releases the path.
    virtual ~ObjectArchive();
    ObjectArchive(const ObjectArchive&) = delete;
    ObjectArchive& operator=(const ObjectArchive&) = delete;

    // With a text: empties it and makes it the cursor's target; no header.
    // Without: creates the file at path (mode "w"), writes the XML
    // declaration and document-type lines, and gives the file to the cursor.
    // 1 on success; 0 when the file cannot be created or cursor is null.
    // Opening again closes what an earlier open left.
    virtual int openForWrite(ObjectCursor* cursor);
    // Parses the text (or, without text, loads the file at path through
    // LoadFileTZarchive) and places cursor on the document (its first
    // getNextObject reaches the root element). 1 on success, 0 on failure;
    // after a parse failure the document stays attached (getDocument) until
    // close, with TinyXML's error state. An earlier document is discarded.
    virtual int openForRead(ObjectCursor* cursor);
    // Closes the output file (when open) and deletes the document. The text
    // is not touched. 1, or 0 when writing the output file failed.
    int close();

    // The parsed document (null before openForRead and after close).
    TiXmlDocument* getDocument() const { return doc; }

    // Deepest element nesting a document may have (the root is level 1).
    static const int kMaxNestingDepth = 256;

    // Parses text into doc with TinyXML, leaving the encoding for TinyXML to
    // detect. The document's children and error state are cleared first; its
    // value is kept. Documents nested deeper than kMaxNestingDepth are
    // refused with TinyXML's generic error. 1 when the document reports no
    // error, else 0 (the error stays on doc). Null text parses as empty.
    static int parseDocument(TiXmlDocument* doc, const char* text);
    // Reads the file at path through RhIFStream (symlink files followed,
    // container members read in place), joins its lines without their line
    // feeds and parses the result as parseDocument does; doc's value is
    // kept. A file that cannot be opened sets TinyXML's "Failed to open
    // file" error, an empty one "Document empty", and one that cannot be
    // read whole (NUL bytes would cut its lines short, reads may fail)
    // "Embedded null". 1 on success.
    static int loadDocumentFromFile(TiXmlDocument* doc, const char* path);

protected:
    TiXmlDocument* doc;  // owned; null before openForRead and after close
    FILE* file;          // owned output file while writing a file
    RhPath path;         // file to read or write when there is no text
    RhString* text;      // in-memory XML; not owned; null for file archives

    // Replaces the document by a new one whose value is name.
    TiXmlDocument* makeDocument(const char* name);
    // Places cursor on the document: node = document, name = its value.
    void placeCursorOnDocument(ObjectCursor* cursor);
    // Starts writing to the file at path or to the text (see openForWrite).
    int startWriting(ObjectCursor* cursor);
};

// Loads doc from the file at path, which may be a member of an archive
// container: clears the document, sets its value to path, reads the file
// through RhIFStream with its line feeds dropped, and parses the joined
// text (see ObjectArchive::loadDocumentFromFile for the errors it sets).
// True when it was read and parsed without error. Null doc: false.
//
// TinyXML's document class cannot be given new methods, so this is a free
// function on any TiXmlDocument, built on its public operations only.
bool LoadFileTZarchive(TiXmlDocument* doc, const char* path);
// The same with the document's own value as the path.
bool LoadFileTZarchive(TiXmlDocument* doc);
