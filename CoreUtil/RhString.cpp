#include "RhString.h"

#include <tinyxml.h>

#include <cctype>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

RhString RhString::sEmptyString("");

namespace {

// TinyXML keeps its entity decoder protected; this helper only makes it
// callable. It is never instantiated.
class XmlEntityDecoder : public TiXmlBase {
public:
    using TiXmlBase::GetEntity;
};

// Number of bytes of the UTF-8 sequence that starts with lead (1 for every
// byte that does not start a multi-byte sequence).
unsigned utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

bool isXmlSpecialChar(char c) {
    return c == '>' || c == '<' || c == '&' || c == '"' || c == '\'' || c == '\r' || c == '\n';
}

bool isFuzzySeparator(char c) {
    return c == ' ' || c == ',' || c == '\t' || c == '\n';
}

// Builds the text of a length-prefixed text from text into destination,
// which holds at least 256 bytes or strlen(text)+1 bytes. The source may
// be the destination itself.
void convertToLengthPrefixed(char* destination, const char* text) {
    size_t count = strlen(text);
    if (count > 255) count = 255;
    memmove(destination + 1, text, count);
    destination[0] = static_cast<char>(static_cast<unsigned char>(count));
}

char sLengthPrefixedScratch[256];

}  // namespace

// ---- Construction and assignment ----

RhString::RhString() : buffer(nullptr), capacity(0), length(0) {}

RhString::RhString(const char* text) : buffer(nullptr), capacity(0), length(0) {
    if (!text) return;
    size_t count = strlen(text);
    buffer = new char[count + 1];
    memcpy(buffer, text, count + 1);
    capacity = static_cast<uint32_t>(count + 1);
    length = static_cast<uint32_t>(count);
}

RhString::RhString(const RhString& other) : buffer(nullptr), capacity(0), length(0) {
    if (!other.buffer) return;
    buffer = new char[other.length + 1];
    memcpy(buffer, other.buffer, other.length);
    buffer[other.length] = '\0';
    capacity = other.length + 1;
    length = other.length;
}

RhString::RhString(RhString&& other) noexcept
    : buffer(other.buffer), capacity(other.capacity), length(other.length) {
    other.buffer = nullptr;
    other.capacity = 0;
    other.length = 0;
}

RhString::~RhString() {
    releaseBuffer();
}

RhString& RhString::operator=(const char* text) {
    copyFrom(text);
    return *this;
}

RhString& RhString::operator=(const RhString& other) {
    copyFrom(other.getText());
    return *this;
}

RhString& RhString::operator=(RhString&& other) noexcept {
    if (this == &other) return *this;
    if (!other.buffer) {
        copyFrom("");
        return *this;
    }
    releaseBuffer();
    buffer = other.buffer;
    capacity = other.capacity;
    length = other.length;
    other.buffer = nullptr;
    other.capacity = 0;
    other.length = 0;
    return *this;
}

void RhString::copyFrom(const char* text) {
    if (!text) {
        releaseBuffer();
        return;
    }
    size_t count = strlen(text);
    size_t needed = count + 1;
    if (capacity < needed) {
        // text may lie inside the old buffer: copy before releasing it.
        char* fresh = new char[needed];
        memcpy(fresh, text, needed);
        delete[] buffer;
        buffer = fresh;
        capacity = static_cast<uint32_t>(needed);
    } else {
        memmove(buffer, text, needed);
    }
    length = static_cast<uint32_t>(count);
}

void RhString::copyFrom(const RhString* other) {
    if (!other) {
        releaseBuffer();
        return;
    }
    copyFrom(other->getText());
}

void RhString::releaseBuffer() {
    delete[] buffer;
    buffer = nullptr;
    capacity = 0;
    length = 0;
}

void RhString::allocateEmpty(uint32_t initialCapacity) {
    releaseBuffer();
    if (initialCapacity == 0) return;
    buffer = new char[initialCapacity];
    buffer[0] = '\0';
    capacity = initialCapacity;
}

// ---- Appending and prepending ----

void RhString::appendBytes(const char* text, uint32_t count) {
    uint64_t needed = uint64_t(length) + count + 1;
    if (needed > UINT32_MAX) return;  // cannot be represented; leave the text as is
    if (capacity < needed) {
        uint64_t grown = needed * 2;
        if (grown > UINT32_MAX) grown = needed;
        // text may lie inside the old buffer: copy it before releasing.
        char* fresh = new char[grown];
        if (buffer) memcpy(fresh, buffer, length);
        memcpy(fresh + length, text, count);
        delete[] buffer;
        buffer = fresh;
        capacity = static_cast<uint32_t>(grown);
    } else {
        memmove(buffer + length, text, count);
    }
    length += count;
    buffer[length] = '\0';
}

void RhString::append(const char* text) {
    if (!text) return;
    size_t count = strlen(text);
    if (count >= UINT32_MAX) return;
    appendBytes(text, static_cast<uint32_t>(count));
}

void RhString::append(const char* text, int maxChars) {
    if (!text || maxChars <= 0) return;
    size_t count = strnlen(text, static_cast<size_t>(maxChars));
    if (count == 0) return;
    appendBytes(text, static_cast<uint32_t>(count));
}

void RhString::append(char c) {
    const char text[2] = {c, '\0'};
    append(text);
}

void RhString::cat(const char* text) {
    append(text);
}

void RhString::cat(const RhString* other) {
    if (!other) return;
    append(other->getText());
}

void RhString::appendFormatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    appendFormattedArgs(format, args);
    va_end(args);
}

void RhString::appendFormattedArgs(const char* format, va_list args) {
    if (!format) return;
    // Most results fit the scratch buffer; a longer one is formatted a
    // second time into a buffer of its exact size, so it is never cut.
    char scratch[8192];
    va_list again;
    va_copy(again, args);
    int produced = vsnprintf(scratch, sizeof scratch, format, args);
    if (produced >= 0 && static_cast<size_t>(produced) < sizeof scratch) {
        append(scratch);
    } else if (produced >= 0) {
        std::string whole(static_cast<size_t>(produced) + 1, '\0');
        vsnprintf(&whole[0], whole.size(), format, again);
        append(whole.c_str());
    }
    va_end(again);
}

void RhString::appendUnicodeCodePointAsUTF8(unsigned long cp) {
    if (cp == 0) return;
    char bytes[4];
    uint32_t count;
    if (cp < 0x80) {
        bytes[0] = static_cast<char>(cp);
        count = 1;
    } else if (cp < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | ((cp >> 6) & 0x1F));
        bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
        count = 2;
    } else if (cp <= 0xFFFF) {
        bytes[0] = static_cast<char>(0xE0 | ((cp >> 12) & 0x0F));
        bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
        count = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | ((cp >> 18) & 0x07));
        bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
        count = 4;
    }
    appendBytes(bytes, count);
}

void RhString::prepend(const char* text) {
    if (!text) return;
    RhString old(*this);
    copyFrom(text);
    append(old.getText());
}

// ---- Comparison and search ----

int RhString::compare(const RhString* other) const {
    return strcmp(getText(), other ? other->getText() : "");
}

int RhString::compare(const char* text) const {
    return strcmp(getText(), text ? text : "");
}

int RhString::compareCaseInsensitive(const char* text) const {
    if (!text) return 1;
    return strcasecmp(text, getText());
}

int RhString::compareCaseInsensitive(const RhString* other) const {
    if (!other) return 1;
    return strcasecmp(other->getText(), getText());
}

bool RhString::operator==(const RhString& other) const {
    return buffer && other.buffer && strcmp(buffer, other.buffer) == 0;
}

int RhString::startsWith(const char* prefix) const {
    if (!prefix) return 1;
    size_t count = strlen(prefix);
    return (length >= count && strncmp(getText(), prefix, count) == 0) ? 1 : 0;
}

int RhString::startsWith(const RhString* prefix) const {
    return startsWith(prefix ? prefix->getText() : "");
}

int RhString::endsWith(const char* suffix) const {
    if (!suffix) return 1;
    size_t count = strlen(suffix);
    if (count > length) return 0;
    return memcmp(getText() + length - count, suffix, count) == 0 ? 1 : 0;
}

int RhString::contains(const char* pattern) const {
    if (!pattern) return -1;
    const char* text = getText();
    const char* found = strstr(text, pattern);
    return found ? static_cast<int>(found - text) : -1;
}

int RhString::find(char c, unsigned first) const {
    if (first >= length || c == '\0') return -1;
    const void* found = memchr(buffer + first, c, length - first);
    return found ? static_cast<int>(static_cast<const char*>(found) - buffer) : -1;
}

const char* RhString::strstrCaseInsensitive(const char* haystack, const char* needle) {
    if (!haystack || !needle) return nullptr;
    if (!*needle) return haystack;
    for (const char* start = haystack; *start; ++start) {
        const char* h = start;
        const char* n = needle;
        while (*h && *n &&
               toupper(static_cast<unsigned char>(*h)) == toupper(static_cast<unsigned char>(*n))) {
            ++h;
            ++n;
        }
        if (!*n) return start;
        if (!*h) return nullptr;  // the rest of haystack is shorter than needle
    }
    return nullptr;
}

bool RhString::containsXMLspecialChars(const char* text) {
    if (!text) return false;
    for (; *text; ++text) {
        if (isXmlSpecialChar(*text)) return true;
    }
    return false;
}

bool RhString::isPrintOrCRorLF(char c) {
    return isprint(static_cast<unsigned char>(c)) || c == '\n' || c == '\r';
}

int RhString::substringMatchFuzzy(const RhString* other, bool requireAll) const {
    if (!other || length == 0 || other->length == 0) return 1;
    const char* text = getText();
    std::string tokens(other->getText());
    size_t pos = 0;
    while (pos < tokens.size()) {
        while (pos < tokens.size() && isFuzzySeparator(tokens[pos])) ++pos;
        if (pos >= tokens.size()) break;
        size_t end = pos;
        while (end < tokens.size() && !isFuzzySeparator(tokens[end])) ++end;
        std::string token = tokens.substr(pos, end - pos);
        pos = end;
        bool matches = strstrCaseInsensitive(text, token.c_str()) != nullptr ||
                       strstrCaseInsensitive(token.c_str(), text) != nullptr;
        if (requireAll && !matches) return 1;
        if (!requireAll && matches) return 0;
    }
    return requireAll ? 0 : 1;
}

int RhString::substringMatchFuzzy(const char* other, bool requireAll) const {
    if (!other) return 1;
    RhString tokens(other);
    return substringMatchFuzzy(&tokens, requireAll);
}

float RhString::extractFloatFromText() const {
    const char* text = getText();
    for (const char* p = text; *p; ++p) {
        // Only a decimal number counts: strtod alone would also read
        // "inf"/"nan" out of words such as "info" or "banana", and hex.
        const char* q = p;
        while (isspace(static_cast<unsigned char>(*q))) ++q;
        bool negative = false;
        if (*q == '+' || *q == '-') {
            negative = *q == '-';
            ++q;
        }
        bool startsNumber = isdigit(static_cast<unsigned char>(q[0])) ||
                            (q[0] == '.' && isdigit(static_cast<unsigned char>(q[1])));
        if (!startsNumber) continue;
        if (q[0] == '0' && (q[1] == 'x' || q[1] == 'X')) return negative ? -0.0f : 0.0f;
        return static_cast<float>(strtod(p, nullptr));
    }
    return FLT_MAX;
}

// ---- Editing in place ----

void RhString::makeLowerCase() {
    for (uint32_t i = 0; i < length; ++i) {
        buffer[i] = static_cast<char>(tolower(static_cast<unsigned char>(buffer[i])));
    }
}

void RhString::replace_CR_and_LF_withBlanks() {
    for (uint32_t i = 0; i < length; ++i) {
        if (buffer[i] == '\n' || buffer[i] == '\r') buffer[i] = ' ';
    }
}

void RhString::eliminateLeadingAndTrailingWhiteSpace() {
    if (!buffer) return;
    uint32_t end = length;
    while (end > 0 && isspace(static_cast<unsigned char>(buffer[end - 1]))) --end;
    uint32_t start = 0;
    while (start < end && isspace(static_cast<unsigned char>(buffer[start]))) ++start;
    memmove(buffer, buffer + start, end - start);
    length = end - start;
    buffer[length] = '\0';
}

void RhString::truncateAtSubstring(const char* pattern) {
    if (!pattern || !*pattern || !buffer) return;
    char* last = nullptr;
    for (char* found = strstr(buffer, pattern); found; found = strstr(found + 1, pattern)) {
        last = found;
    }
    if (!last) return;
    *last = '\0';
    length = static_cast<uint32_t>(last - buffer);
}

void RhString::replaceSubstring(const char* pattern, const char* replacement) {
    if (!pattern || !replacement) return;
    char* result = str_replace(getText(), pattern, replacement);
    if (!result) return;
    copyFrom(result);
    free(result);
}

void RhString::encodeSpaces() {
    if (length == 0 || !memchr(buffer, ' ', length)) return;
    std::string result;
    result.reserve(length + 16);
    for (uint32_t i = 0; i < length; ++i) {
        if (buffer[i] == ' ') {
            result += "%20";
        } else {
            result += buffer[i];
        }
    }
    copyFrom(result.c_str());
}

void RhString::encode(char plain, char escape) {
    // A NUL escape would cut the text; nothing to encode then.
    if (length == 0 || escape == '\0') return;
    bool hasEscape = memchr(buffer, escape, length) != nullptr;
    bool hasPlain = plain != '\0' && memchr(buffer, plain, length) != nullptr;
    if (!hasEscape && !hasPlain) return;
    if (!hasEscape) {
        for (uint32_t i = 0; i < length; ++i) {
            if (buffer[i] == plain) buffer[i] = escape;
        }
        return;
    }
    std::string result;
    result.reserve(length + 16);
    for (uint32_t i = 0; i < length; ++i) {
        char c = buffer[i];
        if (c == escape) {
            result += escape;
            result += escape;
        } else if (c == plain) {
            result += escape;
        } else {
            result += c;
        }
    }
    copyFrom(result.c_str());
}

void RhString::decode(char plain, char escape) {
    if (length == 0 || escape == '\0' || !memchr(buffer, escape, length)) return;
    // The result is never longer than the text: decode in place.
    uint32_t out = 0;
    for (uint32_t i = 0; i < length; ++i) {
        char c = buffer[i];
        if (c == escape) {
            if (i + 1 < length && buffer[i + 1] == escape) {
                buffer[out++] = escape;
                ++i;
            } else {
                buffer[out++] = plain;
            }
        } else {
            buffer[out++] = c;
        }
    }
    // A NUL plain ends the text where it was written.
    length = static_cast<uint32_t>(strnlen(buffer, out));
    buffer[length] = '\0';
}

int RhString::encodeXMLfriendlyInPlace() {
    RhString* encoded = createEncodedXMLfriendlyString();
    if (!encoded) return 0;
    copyFrom(encoded);
    delete encoded;
    return 1;
}

int RhString::decodeXMLfriendlyInPlace() {
    RhString* decoded = createDecodedXMLfriendlyString();
    if (!decoded) return 0;
    copyFrom(decoded);
    delete decoded;
    return 1;
}

RhString* RhString::createEncodedXMLfriendlyString() const {
    if (!containsXMLspecialChars(buffer)) return nullptr;
    std::string result;
    result.reserve(length + 32);
    for (uint32_t i = 0; i < length; ++i) {
        char c = buffer[i];
        if (isXmlSpecialChar(c)) {
            char reference[8];
            snprintf(reference, sizeof reference, "&#%2d;", static_cast<int>(c));
            result += reference;
        } else {
            result += c;
        }
    }
    return new RhString(result.c_str());
}

RhString* RhString::createDecodedXMLfriendlyString() const {
    if (length == 0) return nullptr;
    // The shortest reference the decoder can turn into a character ("&lt;",
    // "&gt;", "&#9;") has four characters, so a '&' with fewer than three
    // characters after it is plain text.
    const uint32_t lastDecodable = length >= 4 ? length - 4 : 0;
    bool handedToDecoder = false;
    std::string result;
    result.reserve(length);
    uint32_t i = 0;
    while (i < length) {
        const char* p = buffer + i;
        if (*p != '&' || length < 4 || i > lastDecodable) {
            result += *p;
            ++i;
            continue;
        }
        handedToDecoder = true;
        char value[4] = {0, 0, 0, 0};
        int produced = 0;
        const char* next = XmlEntityDecoder::GetEntity(p, value, &produced, TIXML_ENCODING_UNKNOWN);
        if (!next) {
            // Rejected reference: the '&' is dropped.
            ++i;
            continue;
        }
        // Without UTF-8 the decoder yields at most one byte; it reports 0
        // bytes for an unrecognised '&', which then stands for itself.
        if (produced <= 0) {
            result += '&';
        } else if (value[0] != '\0') {
            result += value[0];  // a reference to NUL cannot be held in the text
        }
        i = static_cast<uint32_t>(next - buffer);
    }
    if (!handedToDecoder) return nullptr;
    return new RhString(result.c_str());
}

bool RhString::convertUserTextInputThatMayContainForeignChars(bool replaceQuestionMarks, bool utf8Aware) {
    if (!buffer) return false;
    bool replaced = false;
    if (!utf8Aware) {
        for (uint32_t i = 0; i < length; ++i) {
            char c = buffer[i];
            if (!isPrintOrCRorLF(c) || (replaceQuestionMarks && c == '?')) {
                buffer[i] = '-';
                replaced = true;
            }
        }
        return replaced;
    }
    std::string result;
    result.reserve(length);
    uint32_t i = 0;
    while (i < length) {
        unsigned char lead = static_cast<unsigned char>(buffer[i]);
        uint32_t count = utf8SequenceLength(lead);
        if (count > length - i) count = length - i;  // a sequence cut by the end
        if (count == 1 && isPrintOrCRorLF(static_cast<char>(lead))) {
            result += static_cast<char>(lead);
        } else {
            result += '-';
            replaced = true;
        }
        i += count;
    }
    if (replaced) copyFrom(result.c_str());
    return replaced;
}

void RhString::copyTo(char* destination) const {
    if (!destination) return;
    memcpy(destination, getText(), length + 1);
}

// ---- Sized variants ----

RhMedString::RhMedString() {
    allocateEmpty(256);
}

RhMedString::RhMedString(const char* text) {
    allocateEmpty(256);
    copyFrom(text);
}

RhLongString::RhLongString() {
    allocateEmpty(1024);
}

RhLongString::RhLongString(const char* text) {
    allocateEmpty(1024);
    copyFrom(text);
}

// ---- Free functions on raw text ----

char* str_replace(const char* text, const char* pattern, const char* replacement) {
    if (!text) return nullptr;
    if (!pattern) pattern = "";
    if (!replacement) replacement = "";
    size_t textLength = strlen(text);
    size_t patternLength = strlen(pattern);
    size_t replacementLength = strlen(replacement);

    size_t count = 0;
    if (patternLength > 0) {
        for (const char* p = strstr(text, pattern); p; p = strstr(p + patternLength, pattern)) ++count;
    }
    // Result size, guarded against overflow for absurd inputs.
    size_t size = textLength + 1;
    if (replacementLength > patternLength) {
        size_t growth = replacementLength - patternLength;
        if (count > 0 && growth > (SIZE_MAX - size) / count) return nullptr;
        size += growth * count;
    } else {
        size -= (patternLength - replacementLength) * count;
    }
    char* result = static_cast<char*>(malloc(size));
    if (!result) return nullptr;

    char* out = result;
    const char* rest = text;
    for (size_t n = 0; n < count; ++n) {
        const char* found = strstr(rest, pattern);
        size_t before = static_cast<size_t>(found - rest);
        memcpy(out, rest, before);
        out += before;
        memcpy(out, replacement, replacementLength);
        out += replacementLength;
        rest = found + patternLength;
    }
    strcpy(out, rest);
    return result;
}

char* RhCtoPStr(char* text) {
    if (!text) return nullptr;
    convertToLengthPrefixed(text, text);
    return text;
}

char* RhCtoPTStr(const char* text) {
    if (!text) {
        sLengthPrefixedScratch[0] = 0;
        return sLengthPrefixedScratch;
    }
    convertToLengthPrefixed(sLengthPrefixedScratch, text);
    return sLengthPrefixedScratch;
}
