#include "ObjectArchive.h"
#include "ObjectFileArchive.h"

#include <gtest/gtest.h>

#include <tinyxml.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

uint32_t bitsOf(float f) {
    uint32_t bits;
    memcpy(&bits, &f, sizeof bits);
    return bits;
}

float floatOf(uint32_t bits) {
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

// An archive parsed from a text held for the archive's whole life.
struct Parsed {
    explicit Parsed(const std::string& xml) : text(xml.c_str()), archive(&text) {
        ok = archive.openForRead(&doc);
    }
    RhString text;
    ObjectArchive archive;
    ObjectCursor doc;
    int ok = 0;

    // A cursor on the root element.
    ObjectCursor root() const {
        ObjectCursor r;
        doc.getNextObject(&r);
        return r;
    }
};

// Writes objects into a text through a cursor and returns the text.
struct TextWriter {
    TextWriter() : archive(&out) { EXPECT_EQ(archive.openForWrite(&cursor), 1); }
    RhString out;
    ObjectArchive archive;
    ObjectCursor cursor;
};

// ---- Walking ----

TEST(ObjectArchiveTest, CursorWalksChildElementsSkippingOtherNodes) {
    Parsed p(
        "<?xml version=\"1.0\"?><!DOCTYPE r><!-- lead -->"
        "<r>text<a id=\"1\"/><!-- c --><b id=\"2\"><x/></b>more<?pi?><a id=\"3\"></a></r>");
    ASSERT_EQ(p.ok, 1);
    EXPECT_EQ(p.doc.getNode(), p.archive.getDocument());
    EXPECT_STREQ(p.doc.getName(), "doc");

    ObjectCursor root;
    ASSERT_EQ(p.doc.getNextObject(&root), 1);
    EXPECT_STREQ(root.getName(), "r");

    ObjectCursor child;
    std::vector<std::string> seen;
    while (root.getNextObject(&child)) {
        RhString id;
        child.getAttr("id", &id, nullptr);
        seen.push_back(std::string(child.getName()) + id.getText());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"a1", "b2", "a3"}));
    // The walk ends with a fresh child, so the next walk starts over.
    EXPECT_EQ(child.getNode(), nullptr);
    EXPECT_STREQ(child.getName(), "");
    ASSERT_EQ(root.getNextObject(&child), 1);
    EXPECT_STREQ(child.getName(), "a");

    // Neither cursor placed: nothing, and the child is left as it was.
    ObjectCursor nowhere;
    ObjectCursor untouched;
    EXPECT_EQ(nowhere.getNextObject(&untouched), 0);
    EXPECT_EQ(nowhere.getNextObject(nullptr), 0);

    EXPECT_EQ(root.countObjects("a"), 2);
    EXPECT_EQ(root.countObjects("A"), 0);
    EXPECT_EQ(root.countObjects("x"), 0);  // grandchildren are not counted
    EXPECT_EQ(nowhere.countObjects("a"), 0);
}

TEST(ObjectArchiveTest, RecursiveSearchCountsMatchesAtOneLevelInDocumentOrder) {
    // Levels below the root: 0 = p, q; 1 = the e/f inside them; deeper
    // chains reach level 7 and 8.
    Parsed p(
        "<r><p n=\"pp\"><e n=\"p0\"/><f/><e n=\"p1\"><e n=\"deep\"/></e></p><q><e n=\"q0\"/></q>"
        "<l0><l1><l2><l3><l4><l5><l6><e n=\"seven\"/><l7><e n=\"eight\"/></l7></l6></l5></l4></l3></l2></l1></l0>"
        "</r>");
    ASSERT_EQ(p.ok, 1);
    ObjectCursor root = p.root();
    struct Case {
        const char* name;
        int depth;
        int index;
        const char* expected;  // value of n, or null when not found
    };
    const Case cases[] = {
        {"e", 1, 0, "p0"}, {"e", 1, 1, "p1"}, {"e", 1, 2, "q0"}, {"e", 1, 3, nullptr},
        {"e", 2, 0, "deep"}, {"E", 1, 0, nullptr}, {"e", 7, 0, "seven"}, {"e", 8, 0, nullptr},
        {"p", 0, 0, "pp"}, {"p", 1, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " depth " + std::to_string(c.depth) + " index " + std::to_string(c.index));
        int counter = 0;
        ObjectCursor out;
        int found = root.recursiveXMLsearch(c.name, &counter, c.index, c.depth, 0, &out);
        ASSERT_EQ(found, c.expected ? 1 : 0);
        if (c.expected) {
            EXPECT_EQ(counter, c.index);
            EXPECT_STREQ(out.getName(), c.name);
            RhString n;
            out.getAttr("n", &n, nullptr);
            EXPECT_STREQ(n.getText(), c.expected);
        }
    }
    // A counter carried over from an earlier search continues the count.
    int counter = 1;
    ObjectCursor out;
    ASSERT_EQ(root.recursiveXMLsearch("e", &counter, 2, 1, 0, &out), 1);
    RhString n;
    out.getAttr("n", &n, nullptr);
    EXPECT_STREQ(n.getText(), "p1");
}

// ---- Reading attributes ----

TEST(ObjectArchiveTest, AttributesFallBackWhenAbsent) {
    Parsed p("<r s=\"text\" i=\" -42xyz\" big=\"99999999999\" f=\"2.5\" pre_i=\"7\" pre_f=\"3f800000\" e=\"\"/>");
    ASSERT_EQ(p.ok, 1);
    ObjectCursor r = p.root();

    RhString value("old");
    EXPECT_EQ(r.getAttr("s", &value, "fb"), 1);
    EXPECT_STREQ(value.getText(), "text");
    EXPECT_EQ(r.getAttr("missing", &value, "fb"), 0);
    EXPECT_STREQ(value.getText(), "fb");
    EXPECT_EQ(r.getAttr("missing", &value, nullptr), 0);
    EXPECT_STREQ(value.getText(), "fb");
    EXPECT_EQ(r.getAttr("e", &value, "fb"), 1);
    EXPECT_STREQ(value.getText(), "");
    RhString key("s");
    EXPECT_EQ(r.getAttr(&key, &value, nullptr), 1);
    EXPECT_STREQ(value.getText(), "text");
    EXPECT_EQ(r.getAttr(static_cast<const RhString*>(nullptr), &value, "n"), 0);

    const char* fast = nullptr;
    EXPECT_EQ(r.getAttrFast("s", &fast, "fb"), 1);
    EXPECT_STREQ(fast, "text");
    EXPECT_EQ(r.getAttrFast("missing", &fast, "fb"), 0);
    EXPECT_STREQ(fast, "fb");

    int i = 5;
    int fallback = 11;
    EXPECT_EQ(r.getIntAttr("i", &i, &fallback), 1);
    EXPECT_EQ(i, -42);
    EXPECT_EQ(r.getIntAttr("missing", &i, &fallback), 0);
    EXPECT_EQ(i, 11);
    EXPECT_EQ(r.getIntAttr("missing", &i, nullptr), 0);
    EXPECT_EQ(i, 11);
    EXPECT_EQ(r.getIntAttrReturn("big", 0), std::numeric_limits<int>::max());
    EXPECT_EQ(r.getIntAttrReturn("missing", 3), 3);
    EXPECT_EQ(r.getIntAttrWithPrefix("pre_", "i", &i), 1);
    EXPECT_EQ(i, 7);

    float f = 0.0f;
    float ffb = 9.0f;
    EXPECT_EQ(r.getFloatAttr("f", &f, &ffb), 1);
    EXPECT_EQ(f, 2.5f);
    EXPECT_EQ(r.getFloatAttr("missing", &f, &ffb), 0);
    EXPECT_EQ(f, 9.0f);
    EXPECT_EQ(r.getFloatAttrReturn("missing", 4.0f), 4.0f);
    EXPECT_EQ(r.getFloatAttrWithPrefix("pre_", "f", &f), 1);
    EXPECT_EQ(f, 1.0f);

    // The document itself, and a fresh cursor, have no attributes.
    EXPECT_EQ(p.doc.getAttr("s", &value, "none"), 0);
    EXPECT_STREQ(value.getText(), "none");
    ObjectCursor fresh;
    EXPECT_EQ(fresh.getIntAttrReturn("i", -1), -1);
}

TEST(ObjectArchiveTest, IthAttributeInDocumentOrder) {
    Parsed p("<r z=\"1\" a=\"2\"/>");
    ASSERT_EQ(p.ok, 1);
    ObjectCursor r = p.root();
    RhString key;
    RhString value;
    ASSERT_EQ(r.getIthAttr(0, &key, &value), 1);
    EXPECT_STREQ(key.getText(), "z");
    EXPECT_STREQ(value.getText(), "1");
    ASSERT_EQ(r.getIthAttr(1, &key, &value), 1);
    EXPECT_STREQ(key.getText(), "a");
    EXPECT_EQ(r.getIthAttr(2, &key, &value), 0);
    EXPECT_STREQ(key.getText(), "");
    EXPECT_STREQ(value.getText(), "");

    const char* k = "x";
    const char* v = "x";
    EXPECT_EQ(r.getIthAttrFast(1, &k, &v), 1);
    EXPECT_STREQ(k, "a");
    EXPECT_STREQ(v, "2");
    EXPECT_EQ(r.getIthAttrFast(5, &k, &v), 0);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(v, nullptr);
}

// ---- Float attributes ----

TEST(ObjectArchiveTest, FloatAttributeRoundTripsExactBitPatterns) {
    const uint32_t patterns[] = {
        0x3f800000u,  // 1.0
        0xbf800000u,  // -1.0
        0x00000000u,  // 0.0, written "0"
        0x80000000u,  // -0.0
        0x00000001u,  // smallest denormal, written "1"
        0x807fffffu,  // negative denormal
        0x0da24260u,  // about 1e-30: seven digits
        0x7f7fffffu,  // largest float
        0x7f800000u,  // infinity
        0xff800000u,  // -infinity
        0x7fc00000u,  // quiet NaN
        0x7f800001u,  // signalling NaN payload
        0xffffffffu,  // negative NaN, all bits
    };
    TextWriter w;
    w.cursor.putObject("r");
    for (size_t i = 0; i < sizeof patterns / sizeof patterns[0]; ++i) {
        std::string key = "v" + std::to_string(i);
        w.cursor.putFloatAttr(key.c_str(), floatOf(patterns[i]));
    }
    w.cursor.endAttrs();
    w.cursor.endObject("r");
    EXPECT_NE(strstr(w.out.getText(), " v0=\"3f800000\" "), nullptr);
    EXPECT_NE(strstr(w.out.getText(), " v2=\"0\" "), nullptr);
    EXPECT_NE(strstr(w.out.getText(), " v6=\"da24260\" "), nullptr);

    Parsed p(w.out.getText());
    ASSERT_EQ(p.ok, 1);
    ObjectCursor r = p.root();
    for (size_t i = 0; i < sizeof patterns / sizeof patterns[0]; ++i) {
        std::string key = "v" + std::to_string(i);
        float value = 123.0f;
        ASSERT_EQ(r.getFloatAttr(key.c_str(), &value, nullptr), 1) << key;
        EXPECT_EQ(bitsOf(value), patterns[i]) << key;
    }
}

TEST(ObjectArchiveTest, FloatAttributeTextForms) {
    struct Case {
        const char* text;
        uint32_t bits;
    };
    const Case cases[] = {
        {"2.5", bitsOf(2.5f)},
        {"-0.125", bitsOf(-0.125f)},
        {"1.5e2", bitsOf(150.0f)},
        {"1e400.", bitsOf(std::numeric_limits<float>::infinity())},  // decimal overflow
        {"3F800000", 0x3f800000u},                                   // upper-case digits
        {"0", 0u},
        {"1", 1u},
        {"12345678", 0x12345678u},  // digits only: a pattern, not a decimal
        {"123456789", 0u},          // too long
        {"3f80000g", 0u},           // eight characters, not all digits
        {"", 0u},
        {"-1", 0u},
        {"abc xyz", 0u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bitsOf(ObjectCursor::parseFloatAttr(c.text)), c.bits) << '"' << c.text << '"';
    }
    EXPECT_EQ(ObjectCursor::parseFloatAttr(nullptr), 0.0f);
}

// ---- Writing ----

TEST(ObjectArchiveTest, TextOutputHasTheExactObjectLayout) {
    RhString out("stale text is replaced");
    ObjectArchive archive(&out);
    ObjectCursor c;
    ASSERT_EQ(archive.openForWrite(&c), 1);
    EXPECT_STREQ(out.getText(), "");
    c.putObject("obj");
    c.putAttr("s", "v");
    c.putIntAttr("i", -3);
    c.putIntAttrWithPrefix("p_", "i", 4);
    c.putFloatAttrWithPrefix("p_", "f", 1.0f);
    c.endAttrs();
    c.putObject("kid");
    c.endAttrs();
    c.endObject("kid");
    c.endObject("obj");
    EXPECT_STREQ(out.getText(),
                 "<obj  s=\"v\"  i=\"-3\"  p_i=\"4\"  p_f=\"3f800000\" >\n"
                 "<kid >\n</kid>\n </obj>\n ");

    // Long names are written whole.
    std::string longName(300, 'n');
    out = "";
    EXPECT_EQ(c.putObject(longName.c_str()), 1);
    EXPECT_EQ(std::string(out.getText()), "<" + longName + " ");

    // Null names and keys write nothing; a cursor without output writes nothing.
    EXPECT_EQ(c.putObject(nullptr), 0);
    EXPECT_EQ(c.putAttr(nullptr, "v"), 0);
    ObjectCursor unopened;
    EXPECT_EQ(unopened.putObject("x"), 0);
    EXPECT_EQ(unopened.endAttrs(), 0);
}

TEST(ObjectArchiveTest, PutAttrEscapesValuesThatReadBackUnchanged) {
    const std::string special = "a<b>&c\"d'e\rf\ng";
    rhtest::TempDir dir;
    RhPath path(dir.file("esc.xml").c_str());

    TextWriter w;
    ObjectFileArchive fileArchive(&path);
    ObjectCursor fc;
    ASSERT_EQ(fileArchive.openForWrite(&fc), 1);
    for (ObjectCursor* c : {&w.cursor, &fc}) {
        c->putObject("r");
        EXPECT_EQ(c->putAttr("v", special.c_str()), 1);
        EXPECT_EQ(c->putAttr("n", nullptr), 1);
        c->endAttrs();
        c->endObject("r");
    }
    ASSERT_EQ(fileArchive.close(), 1);
    // The escaped line feed leaves only the layout's own two in the text.
    EXPECT_EQ(std::string(w.out.getText()).find('\n'), std::string(w.out.getText()).rfind('\n') - 5);

    Parsed fromText(w.out.getText());
    ObjectFileArchive fromFile(&path);
    ObjectCursor fileDoc;
    ASSERT_EQ(fromText.ok, 1);
    ASSERT_EQ(fromFile.openForRead(&fileDoc), 1);
    ObjectCursor fileRoot;
    ASSERT_EQ(fileDoc.getNextObject(&fileRoot), 1);
    for (const ObjectCursor& r : {fromText.root(), fileRoot}) {
        RhString value;
        ASSERT_EQ(r.getAttr("v", &value, nullptr), 1);
        EXPECT_EQ(std::string(value.getText()), special);
        ASSERT_EQ(r.getAttr("n", &value, nullptr), 1);
        EXPECT_STREQ(value.getText(), "");
    }
}

TEST(ObjectArchiveTest, TextOutputRefusesOverlongValues) {
    TextWriter w;
    std::string limit(ObjectCursor::kMaxTextAttrLength, 'x');
    EXPECT_EQ(w.cursor.putAttr("k", limit.c_str()), 1);
    w.out = "";
    std::string over = limit + "x";
    EXPECT_EQ(w.cursor.putAttr("k", over.c_str()), 0);
    EXPECT_STREQ(w.out.getText(), "");
    // Escaping counts: 2000 quotes become 10000 characters.
    std::string quotes(2000, '"');
    EXPECT_EQ(w.cursor.putAttr("k", quotes.c_str()), 0);
}

TEST(ObjectArchiveTest, FileRoundTripKeepsObjectsAndAttributes) {
    rhtest::TempDir dir;
    RhPath path(dir.file("objects.xml").c_str());
    {
        ObjectFileArchive archive(&path);
        ObjectCursor c;
        ASSERT_EQ(archive.openForWrite(&c), 1);
        c.putObject("Library");
        c.putAttr("name", "Strings & Things");
        c.endAttrs();
        for (int i = 0; i < 3; ++i) {
            c.putObject("Entry");
            c.putIntAttr("index", i);
            c.putFloatAttr("gain", -0.5f * static_cast<float>(i));
            c.endAttrs();
            c.endObject("Entry");
        }
        c.endObject("Library");
        EXPECT_EQ(archive.close(), 1);
    }
    std::string written = rhtest::readFile(path.getText());
    EXPECT_EQ(written.rfind(
                  "<?xml version=\"1.0\"  encoding=\"ISO-8859-1\"  standalone=\"no\"?>\n"
                  "<!DOCTYPE s1 SYSTEM \"sbk:/style/dtd/document.dtd\">\n<Library ",
                  0),
              0u);

    ObjectFileArchive archive(&path);
    ObjectCursor doc;
    ASSERT_EQ(archive.openForRead(&doc), 1);
    EXPECT_STREQ(doc.getName(), "doc");
    ObjectCursor library;
    ASSERT_EQ(doc.getNextObject(&library), 1);
    EXPECT_STREQ(library.getName(), "Library");
    RhString name;
    library.getAttr("name", &name, nullptr);
    EXPECT_STREQ(name.getText(), "Strings & Things");
    EXPECT_EQ(library.countObjects("Entry"), 3);
    ObjectCursor entry;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(library.getNextObject(&entry), 1);
        EXPECT_EQ(entry.getIntAttrReturn("index", -1), i);
        EXPECT_EQ(entry.getFloatAttrReturn("gain", 1.0f), -0.5f * static_cast<float>(i));
    }
    EXPECT_EQ(library.getNextObject(&entry), 0);

    // Reading again replaces the document.
    ASSERT_EQ(archive.openForRead(&doc), 1);
    EXPECT_EQ(archive.close(), 1);
    EXPECT_EQ(archive.getDocument(), nullptr);
}

TEST(ObjectArchiveTest, WriteFailuresAreReported) {
    rhtest::TempDir dir;
    RhPath missingFolder(dir.file("no/such/folder/x.xml").c_str());
    ObjectFileArchive unwritable(&missingFolder);
    ObjectCursor c;
    EXPECT_EQ(unwritable.openForWrite(&c), 0);
    EXPECT_EQ(unwritable.openForWrite(nullptr), 0);

    // A device that accepts the open but fails every write: the buffered
    // output fails when the archive is closed.
    RhPath full("/dev/full");
    ObjectFileArchive archive(&full);
    if (!archive.openForWrite(&c)) GTEST_SKIP() << "/dev/full cannot be opened";
    c.putObject("r");
    c.endAttrs();
    c.endObject("r");
    EXPECT_EQ(archive.close(), 0);
}

// ---- Refusing bad documents ----

// Text nested n levels deep: <a><a>...</a></a>.
std::string nested(int n, const std::string& open = "<a>", const std::string& close = "</a>") {
    std::string s;
    for (int i = 0; i < n; ++i) s += open;
    for (int i = 0; i < n; ++i) s += close;
    return s;
}

TEST(ObjectArchiveTest, MalformedDocumentsAreRefusedCleanly) {
    const int limit = ObjectArchive::kMaxNestingDepth;
    std::string repeatedQuoteTrick;
    std::string repeatedTextTrick;
    for (int i = 0; i < 100000; ++i) {
        // In UTF-8 mode a lead byte swallows the quote or the '<' after it,
        // so the parser nests where a byte-wise reading would not.
        repeatedQuoteTrick += "<a x=\"\xc3\"/> y=\"z=\"w\">";
        repeatedTextTrick += "<a>\xc3</a>";
    }
    struct Case {
        const char* what;
        std::string xml;
    };
    const Case cases[] = {
        {"empty text", ""},
        {"white space only", "  \t "},
        {"text only", "hello"},
        {"unclosed element", "<r><a></r>"},
        {"mismatched end tag", "<r></s>"},
        {"missing end tag", "<r>"},
        {"attribute without '='", "<r a\"1\"/>"},
        {"unterminated value", "<r a=\"1/>"},
        {"quote in unquoted value", "<r a=1\"/>"},
        {"duplicate attribute", "<r a=\"1\" a=\"2\"/>"},
        {"unterminated comment", "<r><!-- x </r>"},
        {"bad character reference", "<r a=\"&#12x;\"/>"},
        {"one level too deep", nested(limit + 1)},
        {"hostile depth", nested(100000)},
        {"hostile depth, self-closing looks", nested(100000, "<a x=\"/>\">")},
        {"hostile depth in UTF-8 quote trick", "<?xml version=\"1.0\"?>" + repeatedQuoteTrick},
        {"hostile depth in UTF-8 text trick", "<?xml version=\"1.0\"?><r>" + repeatedTextTrick + "</r>"},
        {"hostile depth after a byte-order mark", "\xef\xbb\xbf" + repeatedTextTrick},
        {"text ends inside a UTF-8 sequence", "<?xml version=\"1.0\"?><r a=\"\xf0"},
        {"element text ends inside a UTF-8 sequence", "<?xml version=\"1.0\"?><r>\xe2\x82"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Parsed p(c.xml);
        EXPECT_EQ(p.ok, 0);
        ASSERT_NE(p.archive.getDocument(), nullptr);
        EXPECT_TRUE(p.archive.getDocument()->Error());
        EXPECT_EQ(p.doc.getNode(), nullptr);
    }

    // The same tricks in Latin-1 mode are flat and load.
    Parsed latin("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>" + repeatedTextTrick.substr(0, 8 * 100) + "</r>");
    EXPECT_EQ(latin.ok, 1);
    Parsed deepest(nested(limit));
    EXPECT_EQ(deepest.ok, 1);
}

// ---- Loading files ----

TEST(ObjectArchiveTest, LoadFileJoinsLinesWithoutTheirLineFeeds) {
    rhtest::TempDir dir;
    struct Case {
        const char* what;
        std::string bytes;
        bool loads;
        std::string attr;  // value of v on the root when it loads
    };
    const std::string longValue(5000, 'w');  // longer than one line read
    const Case cases[] = {
        {"one line without line feed", "<r v=\"1\"/>", true, "1"},
        {"value across a line break", "<r v=\"a\nb\"/>\n", true, "ab"},
        {"carriage returns are kept", "<r v=\"a\r\nb\"/>\r\n", true, "a\rb"},
        {"long line", "<r v=\"" + longValue + "\"/>\n", true, longValue},
        {"empty file", "", false, ""},
        {"line feeds only", "\n\n", false, ""},
        {"NUL byte mid-line", std::string("<r v=\"1\"/>\n<!--\0-->\n", 20), false, ""},
        {"NUL byte starting a line", std::string("<r v=\"1\"/>\n\0<x>\n", 16), false, ""},
        {"malformed", "<r v=\"1\">\n", false, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string file = dir.write("f" + std::to_string(n++) + ".xml", c.bytes);
        TiXmlDocument doc;
        ASSERT_EQ(LoadFileTZarchive(&doc, file.c_str()), c.loads);
        EXPECT_STREQ(doc.Value(), file.c_str());
        RhPath path(file.c_str());
        ObjectFileArchive archive(&path);
        ObjectCursor cursor;
        ASSERT_EQ(archive.openForRead(&cursor), c.loads ? 1 : 0);
        if (!c.loads) continue;
        ObjectCursor root;
        ASSERT_EQ(cursor.getNextObject(&root), 1);
        RhString v;
        root.getAttr("v", &v, nullptr);
        EXPECT_EQ(std::string(v.getText()), c.attr);
    }

    TiXmlDocument doc;
    EXPECT_FALSE(LoadFileTZarchive(&doc, dir.file("missing.xml").c_str()));
    EXPECT_EQ(doc.ErrorId(), TiXmlBase::TIXML_ERROR_OPENING_FILE);
    std::string empty = dir.write("empty.xml", "");
    EXPECT_FALSE(LoadFileTZarchive(&doc, empty.c_str()));
    EXPECT_EQ(doc.ErrorId(), TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY);
    EXPECT_FALSE(LoadFileTZarchive(nullptr, empty.c_str()));
    EXPECT_FALSE(LoadFileTZarchive(&doc, dir.path().c_str()));  // a folder
    EXPECT_TRUE(doc.Error());

    // Loading again replaces the content; the document's value is the path.
    std::string good = dir.write("good.xml", "<r/>");
    TiXmlDocument byValue(good.c_str());
    ASSERT_TRUE(LoadFileTZarchive(&byValue));
    ASSERT_TRUE(LoadFileTZarchive(&byValue));
    EXPECT_EQ(byValue.FirstChild()->NextSibling(), nullptr);
    EXPECT_FALSE(byValue.Error());
}

TEST(ObjectArchiveTest, LoadsAFileThatIsAMemberOfAnArchiveContainer) {
    rhtest::TempDir dir;
    const std::string member = "<Index>\n<Item name=\"A3\"/>\n</Index>\n";
    const std::string toc = "<FileSystem>\n<DIR name=\"meta\">\n<FILE name=\"index.xml\" offset=\"3\" size=\"" +
                            std::to_string(member.size()) + "\"/>\n</DIR>\n</FileSystem>\n";
    dir.write("Lib.db", toc + "xyz" + member + "trailing bytes outside the member");
    RhPath path(dir.file("Lib/meta/index.xml").c_str());

    ObjectFileArchive archive(&path);
    ObjectCursor doc;
    ASSERT_EQ(archive.openForRead(&doc), 1);
    ObjectCursor index;
    ASSERT_EQ(doc.getNextObject(&index), 1);
    EXPECT_STREQ(index.getName(), "Index");
    EXPECT_EQ(index.countObjects("Item"), 1);

    TiXmlDocument byPath;
    EXPECT_TRUE(LoadFileTZarchive(&byPath, path.getText()));
}

}  // namespace
