#include "RhString.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace {

// Checks the length field against the text, the invariant every operation keeps.
void expectText(const RhString& s, const char* expected) {
    ASSERT_NE(s.getText(), nullptr);
    EXPECT_STREQ(s.getText(), expected);
    EXPECT_EQ(s.getLength(), strlen(expected));
}

std::string taken(RhString* created) {
    std::unique_ptr<RhString> owner(created);
    return owner ? std::string(owner->getText()) : std::string("<null>");
}

// ---- Construction and assignment ----

TEST(RhStringTest, BufferlessStringReadsAsEmptyText) {
    RhString a;
    RhString b;
    EXPECT_EQ(a.getCapacity(), 0u);
    EXPECT_EQ(a.getBuffer(), nullptr);
    expectText(a, "");
    EXPECT_STREQ(RhString::sEmptyString.getText(), "");
    EXPECT_EQ(a.compare(""), 0);
    EXPECT_EQ(a.compare(&b), 0);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(a == a);
    EXPECT_TRUE(a != b);
    RhString empty("");
    EXPECT_TRUE(empty == RhString(""));
    EXPECT_FALSE(empty == a);
}

TEST(RhStringTest, ConstructionAllocatesExactly) {
    RhString s("abc");
    expectText(s, "abc");
    EXPECT_EQ(s.getCapacity(), 4u);

    RhString fromNull(static_cast<const char*>(nullptr));
    EXPECT_EQ(fromNull.getCapacity(), 0u);

    RhString grown;
    grown.append("abc");  // capacity 8
    RhString copy(grown);
    expectText(copy, "abc");
    EXPECT_EQ(copy.getCapacity(), 4u);
    EXPECT_NE(copy.getBuffer(), grown.getBuffer());

    RhString bufferless;
    RhString copyOfBufferless(bufferless);
    EXPECT_EQ(copyOfBufferless.getCapacity(), 0u);
}

TEST(RhStringTest, AssignmentReusesOrAllocatesExactly) {
    RhString s;
    s.append(std::string(49, 'x').c_str());  // capacity 100
    ASSERT_EQ(s.getCapacity(), 100u);
    s = "abc";
    expectText(s, "abc");
    EXPECT_EQ(s.getCapacity(), 100u);

    RhString small("ab");
    small = "abcdef";
    expectText(small, "abcdef");
    EXPECT_EQ(small.getCapacity(), 7u);

    small.copyFrom(static_cast<const char*>(nullptr));
    EXPECT_EQ(small.getCapacity(), 0u);
    expectText(small, "");

    RhString other("xyz");
    other.copyFrom(static_cast<const RhString*>(nullptr));
    EXPECT_EQ(other.getCapacity(), 0u);
    other.copyFrom(&s);
    expectText(other, "abc");
}

TEST(RhStringTest, AssignmentFromBufferlessGivesEmptyBufferUnlikeCopy) {
    RhString bufferless;
    RhString target;
    target = bufferless;
    EXPECT_NE(target.getBuffer(), nullptr);
    EXPECT_GE(target.getCapacity(), 1u);
    expectText(target, "");

    RhString full("full text");
    full = bufferless;
    expectText(full, "");
    EXPECT_EQ(full.getCapacity(), 10u);
}

TEST(RhStringTest, AssignmentFromItselfOrItsOwnText) {
    RhString s("hello world");
    RhString& alias = s;
    s = alias;
    expectText(s, "hello world");
    s = s.getText() + 6;
    expectText(s, "world");
}

TEST(RhStringTest, MoveTakesBufferAndKeepsAssignmentRules) {
    RhString source("moved");
    char* buffer = source.getBuffer();
    RhString target(std::move(source));
    EXPECT_EQ(target.getBuffer(), buffer);
    expectText(target, "moved");
    EXPECT_EQ(source.getCapacity(), 0u);  // NOLINT(bugprone-use-after-move)

    RhString assigned("old");
    assigned = std::move(target);
    EXPECT_EQ(assigned.getBuffer(), buffer);
    expectText(assigned, "moved");

    assigned = RhString();  // bufferless source: like operator=, an empty buffer
    EXPECT_NE(assigned.getBuffer(), nullptr);
    expectText(assigned, "");
}

TEST(RhStringTest, SizedVariantsStartLargeButNeverCut) {
    RhMedString med;
    EXPECT_EQ(med.getCapacity(), 256u);
    expectText(med, "");
    RhLongString longer;
    EXPECT_EQ(longer.getCapacity(), 1024u);
    expectText(longer, "");

    RhMedString named("name");
    expectText(named, "name");
    EXPECT_EQ(named.getCapacity(), 256u);
    named = "other";
    EXPECT_EQ(named.getCapacity(), 256u);

    std::string big(300, 'p');
    RhMedString tooLong(big.c_str());
    expectText(tooLong, big.c_str());
    EXPECT_EQ(tooLong.getCapacity(), 301u);
    std::string huge(2000, 'q');
    RhLongString grown;
    grown.append(huge.c_str());
    expectText(grown, huge.c_str());

    RhMedString fromNull(nullptr);
    EXPECT_EQ(fromNull.getCapacity(), 0u);

    std::unique_ptr<RhString> owned(new RhLongString("deleted through the base"));
    expectText(*owned, "deleted through the base");
}

// ---- Appending ----

TEST(RhStringTest, AppendGrowsToTwiceTheNeededSize) {
    RhString s;
    s.append("abc");
    expectText(s, "abc");
    EXPECT_EQ(s.getCapacity(), 8u);
    char* before = s.getBuffer();
    s.append("de");
    expectText(s, "abcde");
    EXPECT_EQ(s.getBuffer(), before);
    EXPECT_EQ(s.getCapacity(), 8u);
    s.append("xyz");
    expectText(s, "abcdexyz");
    EXPECT_EQ(s.getCapacity(), 18u);

    RhString empty;
    empty.append("");
    EXPECT_EQ(empty.getCapacity(), 2u);
    expectText(empty, "");

    RhString untouched;
    untouched.append(static_cast<const char*>(nullptr));
    untouched.cat(static_cast<const RhString*>(nullptr));
    EXPECT_EQ(untouched.getCapacity(), 0u);
}

TEST(RhStringTest, AppendVariants) {
    struct Case {
        const char* start;
        const char* text;
        int maxChars;
        const char* expected;
    } cases[] = {
        {"", "hello", 3, "hel"},
        {"x", "hi", 10, "xhi"},
        {"x", "hello", 5, "xhello"},
        {"x", "x", 0, "x"},
        {"x", "x", -4, "x"},
        {"x", nullptr, 3, "x"},
    };
    for (const Case& c : cases) {
        RhString s(c.start);
        s.append(c.text, c.maxChars);
        expectText(s, c.expected);
    }
    RhString bufferless;
    bufferless.append("x", 0);
    EXPECT_EQ(bufferless.getCapacity(), 0u);

    // The counted form must not read beyond maxChars of an unterminated text.
    const char unterminated[3] = {'a', 'b', 'c'};
    RhString counted;
    counted.append(unterminated, 3);
    expectText(counted, "abc");

    RhString chars;
    chars.append('a');
    chars.append('\0');
    chars.append('b');
    expectText(chars, "ab");

    RhString catted("a");
    RhString bufferlessOther;
    RhString other("bc");
    catted.cat("-");
    catted.cat(&bufferlessOther);
    catted.cat(&other);
    expectText(catted, "a-bc");
}

TEST(RhStringTest, AppendOwnText) {
    RhString s("abc");  // full: appending grows while reading the old buffer
    s.append(s.getText());
    expectText(s, "abcabc");
    s.append(s.getText() + 4, 2);  // now in place
    expectText(s, "abcabcbc");
    s.prepend(s.getText() + 6);
    expectText(s, "bcabcabcbc");
}

TEST(RhStringTest, Prepend) {
    RhString s("world");
    s.prepend("hello ");
    expectText(s, "hello world");
    s.prepend(nullptr);
    expectText(s, "hello world");

    RhString bufferless;
    bufferless.prepend("front");
    expectText(bufferless, "front");
}

TEST(RhStringTest, AppendFormatted) {
    RhString s("n=");
    s.appendFormatted("%d/%s", 42, "x");
    expectText(s, "n=42/x");
    s.appendFormatted(nullptr);
    expectText(s, "n=42/x");
    s.appendFormatted("[%s]", s.getText());
    expectText(s, "n=42/x[n=42/x]");

    // Results at and beyond the 8192-byte scratch buffer are appended whole.
    for (size_t size : {8191u, 8192u, 20000u}) {
        std::string big(size, 'z');
        RhString t("<");
        t.appendFormatted("%s>%d", big.c_str(), 7);
        expectText(t, ("<" + big + ">7").c_str());
    }
}

TEST(RhStringTest, AppendUnicodeCodePointAsUTF8) {
    struct Case {
        unsigned long codePoint;
        const char* bytes;
    } cases[] = {
        {0x0, ""},
        {0x41, "A"},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0xE9, "\xC3\xA9"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0x20AC, "\xE2\x82\xAC"},
        {0xD800, "\xED\xA0\x80"},  // surrogates are not checked
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x1F600, "\xF0\x9F\x98\x80"},
        {0x200041, "\xF0\x80\x81\x81"},  // bits above bit 20 are dropped
    };
    for (const Case& c : cases) {
        RhString s("<");
        s.appendUnicodeCodePointAsUTF8(c.codePoint);
        expectText(s, (std::string("<") + c.bytes).c_str());
    }
    RhString bufferless;
    bufferless.appendUnicodeCodePointAsUTF8(0);
    EXPECT_EQ(bufferless.getCapacity(), 0u);
}

// ---- Comparison and search ----

TEST(RhStringTest, Compare) {
    RhString s("Beta");
    RhString alpha("alpha");
    EXPECT_EQ(s.compare("Beta"), 0);
    EXPECT_LT(s.compare("Gamma"), 0);
    EXPECT_GT(s.compare(static_cast<const char*>(nullptr)), 0);
    EXPECT_LT(s.compare(&alpha), 0);  // 'B' < 'a'

    // The argument comes first in the case-insensitive compares.
    EXPECT_EQ(s.compareCaseInsensitive("bETA"), 0);
    EXPECT_LT(s.compareCaseInsensitive("alpha"), 0);
    EXPECT_LT(s.compareCaseInsensitive(&alpha), 0);
    EXPECT_GT(alpha.compareCaseInsensitive(&s), 0);
    EXPECT_EQ(s.compareCaseInsensitive(static_cast<const char*>(nullptr)), 1);
    EXPECT_EQ(s.compareCaseInsensitive(static_cast<const RhString*>(nullptr)), 1);
    RhString bufferless;
    EXPECT_GT(bufferless.compareCaseInsensitive("x"), 0);
}

TEST(RhStringTest, StartsEndsContainsFind) {
    RhString s("Sample.aif");
    RhString prefix("Sam");
    RhString bufferless;
    EXPECT_EQ(s.startsWith("Sam"), 1);
    EXPECT_EQ(s.startsWith("sam"), 0);
    EXPECT_EQ(s.startsWith(""), 1);
    EXPECT_EQ(s.startsWith("Sample.aiff"), 0);
    EXPECT_EQ(s.startsWith(&prefix), 1);
    EXPECT_EQ(bufferless.startsWith(""), 1);
    EXPECT_EQ(bufferless.startsWith("a"), 0);

    EXPECT_EQ(s.endsWith(".aif"), 1);
    EXPECT_EQ(s.endsWith(".AIF"), 0);
    EXPECT_EQ(s.endsWith("xSample.aif"), 0);
    EXPECT_EQ(bufferless.endsWith("a"), 0);

    EXPECT_EQ(s.contains("ple"), 3);
    EXPECT_EQ(s.contains("zz"), -1);
    EXPECT_EQ(s.contains(nullptr), -1);
    EXPECT_EQ(bufferless.contains("a"), -1);

    EXPECT_EQ(s.find('a', 0), 1);
    EXPECT_EQ(s.find('a', 2), 7);
    EXPECT_EQ(s.find('S', 1), -1);
    EXPECT_EQ(s.find('f', 10), -1);
    EXPECT_EQ(s.find('\0', 0), -1);
    EXPECT_EQ(bufferless.find('a', 0), -1);
}

TEST(RhStringTest, StrstrCaseInsensitive) {
    const char* hay = "Grand Piano";
    EXPECT_EQ(RhString::strstrCaseInsensitive(hay, "PIANO"), hay + 6);
    EXPECT_EQ(RhString::strstrCaseInsensitive(hay, ""), hay);
    EXPECT_EQ(RhString::strstrCaseInsensitive(hay, "organ"), nullptr);
    EXPECT_EQ(RhString::strstrCaseInsensitive(hay, "pianos"), nullptr);
    const char* retry = "aaab";  // a partial match must not hide the one after it
    EXPECT_EQ(RhString::strstrCaseInsensitive(retry, "AAB"), retry + 1);
    EXPECT_EQ(RhString::strstrCaseInsensitive(nullptr, "a"), nullptr);
    EXPECT_EQ(RhString::strstrCaseInsensitive(hay, nullptr), nullptr);
}

TEST(RhStringTest, CharacterClasses) {
    for (char c : {'>', '<', '&', '"', '\'', '\r', '\n'}) {
        const char text[] = {'a', c, 'b', '\0'};
        EXPECT_TRUE(RhString::containsXMLspecialChars(text)) << int(c);
    }
    EXPECT_FALSE(RhString::containsXMLspecialChars("plain text; #1"));
    EXPECT_FALSE(RhString::containsXMLspecialChars(nullptr));

    EXPECT_TRUE(RhString::isPrintOrCRorLF('a'));
    EXPECT_TRUE(RhString::isPrintOrCRorLF(' '));
    EXPECT_TRUE(RhString::isPrintOrCRorLF('\n'));
    EXPECT_TRUE(RhString::isPrintOrCRorLF('\r'));
    EXPECT_FALSE(RhString::isPrintOrCRorLF('\t'));
    EXPECT_FALSE(RhString::isPrintOrCRorLF(static_cast<char>(0xE9)));
}

TEST(RhStringTest, SubstringMatchFuzzy) {
    RhString piano("Grand Piano");
    RhString tokens("piano, organ");
    EXPECT_EQ(piano.substringMatchFuzzy(&tokens, false), 0);
    EXPECT_EQ(piano.substringMatchFuzzy(&tokens, true), 1);

    RhString both("grand\tPIANO\n");
    EXPECT_EQ(piano.substringMatchFuzzy(&both, true), 0);

    RhString shortText("pia");  // the token contains the text
    RhString longToken("Pianoforte");
    EXPECT_EQ(shortText.substringMatchFuzzy(&longToken, true), 0);

    RhString none("organ harp");
    RhString empty("");
    RhString bufferless;
    EXPECT_EQ(piano.substringMatchFuzzy(&none, false), 1);
    EXPECT_EQ(piano.substringMatchFuzzy(static_cast<const RhString*>(nullptr), false), 1);
    EXPECT_EQ(piano.substringMatchFuzzy(static_cast<const char*>(nullptr), false), 1);
    EXPECT_EQ(piano.substringMatchFuzzy("harp piano", false), 0);
    EXPECT_EQ(piano.substringMatchFuzzy(&empty, false), 1);
    EXPECT_EQ(bufferless.substringMatchFuzzy(&tokens, false), 1);
}

TEST(RhStringTest, ExtractFloatFromText) {
    struct Case {
        const char* text;
        float expected;
    } cases[] = {
        {"gain -3.5 dB", -3.5f},
        {"none", FLT_MAX},
        {"", FLT_MAX},
        {"v.5", 0.5f},
        {"x1e3", 1000.0f},
        {"+2", 2.0f},
        {"- 7", 7.0f},
        {"banana 3", 3.0f},  // "nan" inside a word is no number
        {"info 4", 4.0f},    // nor is "inf"
        {"0x10", 0.0f},      // decimal only
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RhString(c.text).extractFloatFromText(), c.expected) << c.text;
    }
    EXPECT_EQ(RhString().extractFloatFromText(), FLT_MAX);
}

// ---- Editing in place ----

TEST(RhStringTest, SimpleEdits) {
    RhString s("MiXeD\r\nCase");
    s.makeLowerCase();
    expectText(s, "mixed\r\ncase");
    s.replace_CR_and_LF_withBlanks();
    expectText(s, "mixed  case");
    s.encodeSpaces();
    expectText(s, "mixed%20%20case");

    RhString bufferless;
    bufferless.makeLowerCase();
    bufferless.replace_CR_and_LF_withBlanks();
    bufferless.encodeSpaces();
    bufferless.eliminateLeadingAndTrailingWhiteSpace();
    bufferless.truncateAtSubstring(".");
    EXPECT_EQ(bufferless.getCapacity(), 0u);

    char destination[16];
    RhString("copy me").copyTo(destination);
    EXPECT_STREQ(destination, "copy me");
    memset(destination, 'x', sizeof destination);
    bufferless.copyTo(destination);
    EXPECT_STREQ(destination, "");
}

TEST(RhStringTest, EliminateLeadingAndTrailingWhiteSpace) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"  a b \t\n", "a b"},
        {"ab", "ab"},
        {"   ", ""},
        {"\n\tx", "x"},
        {"", ""},
    };
    for (const Case& c : cases) {
        RhString s(c.text);
        s.eliminateLeadingAndTrailingWhiteSpace();
        expectText(s, c.expected);
    }
}

TEST(RhStringTest, TruncateAtSubstring) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* expected;
    } cases[] = {
        {"a.b.c", ".", "a.b"},
        {"a.b.c", "/", "a.b.c"},
        {"name.aif", ".aif", "name"},
        {".x", ".", ""},
        {"a.b", "", "a.b"},
        {"a.b", nullptr, "a.b"},
    };
    for (const Case& c : cases) {
        RhString s(c.text);
        s.truncateAtSubstring(c.pattern);
        expectText(s, c.expected);
    }
}

TEST(RhStringTest, StrReplaceAndReplaceSubstring) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* replacement;
        const char* expected;
    } cases[] = {
        {"aaa", "aa", "b", "ba"},
        {"a.b.c", ".", "::", "a::b::c"},
        {"a--b--", "--", "", "ab"},
        {"abc", "x", "y", "abc"},
        {"abc", "", "y", "abc"},
        {"abc", nullptr, "y", "abc"},
        {"abcb", "b", nullptr, "ac"},
        {"", "a", "b", ""},
    };
    for (const Case& c : cases) {
        char* result = str_replace(c.text, c.pattern, c.replacement);
        ASSERT_NE(result, nullptr);
        EXPECT_STREQ(result, c.expected);
        free(result);
    }
    EXPECT_EQ(str_replace(nullptr, "a", "b"), nullptr);

    RhString s("aaa");
    s.replaceSubstring("aa", "b");
    expectText(s, "ba");
    s.replaceSubstring(nullptr, "x");
    s.replaceSubstring("b", nullptr);
    expectText(s, "ba");
}

TEST(RhStringTest, DoublingEscape) {
    struct Case {
        const char* plainText;
        const char* encoded;
    } cases[] = {
        {"a_b/c", "a__b_c"},
        {"a/b", "a_b"},
        {"abc", "abc"},
        {"__", "____"},
        {"/a_", "_a__"},
    };
    for (const Case& c : cases) {
        RhString s(c.plainText);
        s.encode('/', '_');
        expectText(s, c.encoded);
        s.decode('/', '_');
        expectText(s, c.plainText);
    }
    RhString lone("a_");
    lone.decode('/', '_');
    expectText(lone, "a/");
}

TEST(RhStringTest, EncodeXMLfriendly) {
    struct Case {
        const char* text;
        const char* encoded;
    } cases[] = {
        {"a<b", "a&#60;b"},
        {"\n\r\"&'<>", "&#10;&#13;&#34;&#38;&#39;&#60;&#62;"},
        {"abc", "<null>"},
        {"", "<null>"},
    };
    for (const Case& c : cases) {
        RhString s(c.text);
        EXPECT_EQ(taken(s.createEncodedXMLfriendlyString()), c.encoded) << c.text;
        bool expectChange = strcmp(c.encoded, "<null>") != 0;
        EXPECT_EQ(s.encodeXMLfriendlyInPlace(), expectChange ? 1 : 0);
        expectText(s, expectChange ? c.encoded : c.text);
    }
    EXPECT_EQ(RhString().createEncodedXMLfriendlyString(), nullptr);
}

TEST(RhStringTest, DecodeXMLfriendly) {
    struct Case {
        const char* text;
        const char* decoded;
    } cases[] = {
        {"x&amp;y", "x&y"},
        {"ab&c", "<null>"},                  // '&' too close to the end to start a reference
        {"plain", "<null>"},
        {"", "<null>"},
        {"&lt;a&gt;&quot;&apos;", "<a>\"'"},
        {"x&lt;", "x<"},                     // a four-character entity at the very end
        {"a&#60;b&#x41;c", "a<bAc"},
        {"a&#321;b", "aAb"},                 // low 8 bits of the value
        {"a&bogus;b", "a&bogus;b"},          // unrecognised '&' stands for itself
        {"a&#1z;bc", "a#1z;bc"},             // rejected reference: the '&' is dropped
        {"a&#12 no end", "a#12 no end"},
        {"a&#0;b", "ab"},                    // NUL cannot be held in the text
    };
    for (const Case& c : cases) {
        RhString s(c.text);
        EXPECT_EQ(taken(s.createDecodedXMLfriendlyString()), c.decoded) << c.text;
        bool expectChange = strcmp(c.decoded, "<null>") != 0;
        EXPECT_EQ(s.decodeXMLfriendlyInPlace(), expectChange ? 1 : 0);
        expectText(s, expectChange ? c.decoded : c.text);
    }
    EXPECT_EQ(RhString().createDecodedXMLfriendlyString(), nullptr);

    RhString roundTrip("Tom's <\"Grand\"> & \r\nSons");
    ASSERT_EQ(roundTrip.encodeXMLfriendlyInPlace(), 1);
    ASSERT_EQ(roundTrip.decodeXMLfriendlyInPlace(), 1);
    expectText(roundTrip, "Tom's <\"Grand\"> & \r\nSons");
}

TEST(RhStringTest, ConvertUserTextInputThatMayContainForeignChars) {
    struct Case {
        const char* text;
        bool replaceQuestionMarks;
        bool utf8Aware;
        const char* expected;
        bool replaced;
    } cases[] = {
        {"Caf\xC3\xA9", false, true, "Caf-", true},
        {"Caf\xC3\xA9", false, false, "Caf--", true},
        {"\xF0\x9F\x98\x80!", false, true, "-!", true},
        {"ab\xE2\x82", false, true, "ab-", true},  // sequence cut by the end
        {"a\tb", false, true, "a-b", true},
        {"a?b\r\n", false, false, "a?b\r\n", false},
        {"a?b", true, false, "a-b", true},
        {"a?b", true, true, "a?b", false},
        {"plain", true, true, "plain", false},
    };
    for (const Case& c : cases) {
        RhString s(c.text);
        EXPECT_EQ(s.convertUserTextInputThatMayContainForeignChars(c.replaceQuestionMarks, c.utf8Aware),
                  c.replaced)
            << c.text;
        expectText(s, c.expected);
    }
    RhString bufferless;
    EXPECT_FALSE(bufferless.convertUserTextInputThatMayContainForeignChars(true, false));
    EXPECT_EQ(bufferless.getCapacity(), 0u);
}

// ---- Length-prefixed texts ----

TEST(RhStringTest, LengthPrefixedTexts) {
    char shortText[8] = "abc";
    EXPECT_EQ(RhCtoPStr(shortText), shortText);
    EXPECT_EQ(static_cast<unsigned char>(shortText[0]), 3);
    EXPECT_EQ(std::string(shortText + 1, 3), "abc");

    std::string longText(300, 'L');
    longText[254] = 'E';  // last character kept
    std::string work = longText;
    RhCtoPStr(&work[0]);
    EXPECT_EQ(static_cast<unsigned char>(work[0]), 255);
    EXPECT_EQ(work.substr(1, 255), longText.substr(0, 255));

    char* prefixed = RhCtoPTStr(longText.c_str());
    EXPECT_EQ(static_cast<unsigned char>(prefixed[0]), 255);
    EXPECT_EQ(std::string(prefixed + 1, 255), longText.substr(0, 255));
    EXPECT_EQ(RhCtoPTStr("xy"), prefixed);  // one shared buffer
    EXPECT_EQ(static_cast<unsigned char>(prefixed[0]), 2);
    EXPECT_EQ(std::string(prefixed + 1, 2), "xy");
    EXPECT_EQ(static_cast<unsigned char>(RhCtoPTStr(nullptr)[0]), 0);

    char empty[1] = "";
    RhCtoPStr(empty);
    EXPECT_EQ(empty[0], 0);
    EXPECT_EQ(RhCtoPStr(nullptr), nullptr);
}

}  // namespace
