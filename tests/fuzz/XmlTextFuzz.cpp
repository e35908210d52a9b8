// Fuzzes the string operations that read outside text: the decoding of
// XML-friendly text (entities and character references), its round trip
// with the encoding, and the cleaning of user text with foreign characters.
//
// Input: one byte of flags (bit 0 replaceQuestionMarks, bit 1 utf8Aware),
// then the text (cut at its first NUL, as a C string is).
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "RhString.h"

using fuzzsupport::require;

namespace {

bool plainOrLineBreak(unsigned char c) { return std::isprint(c) || c == '\n' || c == '\r'; }

void checkLength(const RhString& s) {
    require(std::strlen(s.getText()) == s.getLength(), "the length disagrees with the text");
}

void checkDecoding(const RhString& text) {
    std::unique_ptr<RhString> decoded(text.createDecodedXMLfriendlyString());
    if (decoded) {
        checkLength(*decoded);
        require(decoded->getLength() <= text.getLength(), "decoding made the text longer");
    }
    RhString inPlace(text.getText());
    const int changed = inPlace.decodeXMLfriendlyInPlace();
    require(changed == (decoded ? 1 : 0), "decoding in place disagrees with the decoded copy");
    require(inPlace.compare(decoded ? decoded->getText() : text.getText()) == 0,
            "decoding in place gives another text than the decoded copy");
}

void checkRoundTrip(const RhString& text) {
    std::unique_ptr<RhString> encoded(text.createEncodedXMLfriendlyString());
    const RhString& e = encoded ? *encoded : text;
    checkLength(e);
    require(!encoded || std::strpbrk(e.getText(), "<>\"'\r\n") == nullptr,
            "the encoded text still holds special characters");
    std::unique_ptr<RhString> decoded(e.createDecodedXMLfriendlyString());
    const RhString& d = decoded ? *decoded : e;
    require(d.compare(&text) == 0, "decoding the encoded text does not give the text back");
}

void checkForeign(const RhString& text, bool replaceQuestionMarks, bool utf8Aware) {
    RhString s(text.getText());
    const bool replaced = s.convertUserTextInputThatMayContainForeignChars(replaceQuestionMarks, utf8Aware);
    checkLength(s);
    require(replaced == (s.compare(&text) != 0), "the answer disagrees with whether the text changed");
    if (utf8Aware) {
        require(s.getLength() <= text.getLength(), "the cleaned text grew");
    } else {
        require(s.getLength() == text.getLength(), "byte-wise cleaning changed the length");
    }
    for (const char* p = s.getText(); *p; ++p) {
        require(plainOrLineBreak(static_cast<unsigned char>(*p)), "a foreign character was left");
        require(!(replaceQuestionMarks && !utf8Aware && *p == '?'), "a question mark was left");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const RhString text(bytes.substr(0, bytes.find('\0')).c_str());
    checkDecoding(text);
    checkRoundTrip(text);
    checkForeign(text, flags & 1, flags & 2);
    return 0;
}
