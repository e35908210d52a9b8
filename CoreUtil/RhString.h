// RhString: growable, heap-backed, NUL-terminated byte string.
//
// A string may have no buffer at all (capacity 0, length 0); every reading
// operation then sees the empty text, never a null pointer. Strings are
// values: copying copies the text into a new buffer, buffers are never
// shared. Only the operations named for UTF-8 look at multi-byte sequences.
//
// Growth: appending grows the buffer to twice the needed size, so that many
// small appends reallocate only logarithmically often; assignment allocates
// exactly what is needed and reuses a large enough buffer in place.
//
// No lock: one string is used by one thread at a time.
#pragma once

#include <cstdarg>
#include <cstdint>

class RhString {
public:
    // The empty text. Read only.
    static RhString sEmptyString;

    // ---- Construction and assignment ----

    // No buffer (capacity 0, length 0).
    RhString();
    // Null text: no buffer. Otherwise a buffer of exactly strlen(text)+1 bytes.
    RhString(const char* text);
    // Bufferless other: no buffer. Otherwise exactly other.length+1 bytes.
    RhString(const RhString& other);
    // Takes other's buffer; other is left without buffer.
    RhString(RhString&& other) noexcept;
    // Releases the buffer.
    virtual ~RhString();

    // Same as copyFrom(text).
    RhString& operator=(const char* text);
    // Assigns other's text; a bufferless other reads as "", so the target
    // ends with a buffer holding the empty text (unlike the copy constructor).
    RhString& operator=(const RhString& other);
    // Takes other's buffer when it has one; otherwise behaves as operator=
    // with the empty text.
    RhString& operator=(RhString&& other) noexcept;

    // Null text: release the buffer. Otherwise copy in place when the
    // capacity suffices, else allocate exactly strlen(text)+1 bytes.
    void copyFrom(const char* text);
    // Null other: release the buffer. Otherwise as operator= with its text.
    void copyFrom(const RhString* other);

    // ---- Access ----

    // The text; never null (the empty text for a bufferless string).
    const char* getText() const { return buffer ? buffer : ""; }
    // The buffer itself; null for a bufferless string. A caller that writes
    // into it must keep a NUL within capacity; the length is not updated.
    char* getBuffer() { return buffer; }
    // Characters before the terminator.
    unsigned getLength() const { return length; }
    // Bytes allocated, terminator included; 0 exactly when bufferless.
    unsigned getCapacity() const { return capacity; }

    // ---- Appending and prepending (growth to 2 x needed) ----

    // Appends the whole text; null text: nothing.
    void append(const char* text);
    // Appends the first min(maxChars, strlen(text)) characters; a count of
    // 0 (or null text) changes nothing.
    void append(const char* text, int maxChars);
    // Appends the one-character text made of c (NUL leaves the text as is).
    void append(char c);
    // Same as append(text).
    void cat(const char* text);
    // Appends other's text (nothing for null).
    void cat(const RhString* other);
    // Appends the printf-style formatted text, whole whatever its length;
    // a null format appends nothing.
    void appendFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The same with an argument list (the list is consumed).
    void appendFormattedArgs(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    // Appends the UTF-8 form of codePoint (1 to 4 bytes, no range check,
    // bits above bit 20 dropped); code point 0 appends nothing.
    void appendUnicodeCodePointAsUTF8(unsigned long codePoint);
    // New text is text followed by the old text; null text: nothing.
    void prepend(const char* text);

    // ---- Comparison and search (a bufferless string reads as "") ----

    // strcmp(this text, other's text); null other reads as "".
    int compare(const RhString* other) const;
    // strcmp(this text, text); null text reads as "".
    int compare(const char* text) const;
    // Null text: 1. Otherwise strcasecmp(text, this text): the sign is that
    // of the argument against this string.
    int compareCaseInsensitive(const char* text) const;
    // Null other: 1. Otherwise strcasecmp(other's text, this text).
    int compareCaseInsensitive(const RhString* other) const;
    // True only when both strings have a buffer and equal texts; a bufferless
    // string equals nothing, not even another bufferless string.
    bool operator==(const RhString& other) const;
    bool operator!=(const RhString& other) const { return !(*this == other); }

    // 1 when the text begins with prefix (case-sensitive; "" always does), else 0.
    int startsWith(const char* prefix) const;
    int startsWith(const RhString* prefix) const;
    // 1 when the text ends with suffix, else 0.
    int endsWith(const char* suffix) const;
    // Index of the first occurrence of pattern, or -1 (also for null pattern).
    int contains(const char* pattern) const;
    // Index of the first c at or after first; -1 when first >= length or absent.
    int find(char c, unsigned first = 0) const;

    // First position in haystack where needle matches ignoring case; null
    // when either is null or there is no match; haystack for an empty needle.
    static const char* strstrCaseInsensitive(const char* haystack, const char* needle);
    // True when text holds any of > < & " ' CR LF (false for null).
    static bool containsXMLspecialChars(const char* text);
    // True when c is printable, LF or CR.
    static bool isPrintOrCRorLF(char c);

    // 0 when other's tokens (split at blank, comma, tab, LF) match this text
    // (either contains the other, ignoring case): all of them when
    // requireAll, at least one otherwise. 1 otherwise, and when other is
    // null or either text is empty.
    int substringMatchFuzzy(const RhString* other, bool requireAll) const;
    // The same with a raw text (null reads as no match).
    int substringMatchFuzzy(const char* other, bool requireAll) const;
    // The first number that strtod reads at any position of the text, or
    // 3.4028235e38 (largest float) when there is none.
    float extractFloatFromText() const;

    // ---- Editing in place ----

    void makeLowerCase();
    // Every LF and CR becomes a blank.
    void replace_CR_and_LF_withBlanks();
    // Removes isspace characters at both ends.
    void eliminateLeadingAndTrailingWhiteSpace();
    // Cuts the text at the start of the last occurrence of pattern.
    void truncateAtSubstring(const char* pattern);
    // Replaces every occurrence (as str_replace); null arguments: nothing.
    void replaceSubstring(const char* pattern, const char* replacement);
    // Every blank becomes "%20".
    void encodeSpaces();
    // Doubling escape: escape becomes two escapes, plain becomes escape.
    // Where plain and escape stand side by side the encoded text is
    // ambiguous ("/_" and "_/" both give "___"), so decode cannot restore it.
    void encode(char plain, char escape);
    // Inverse of encode: a doubled escape gives escape, a single one plain.
    void decode(char plain, char escape);
    // Replace the text by its XML-friendly encoded / decoded form;
    // 1 when the text changed, 0 when nothing needed doing.
    int encodeXMLfriendlyInPlace();
    int decodeXMLfriendlyInPlace();
    // New heap string (caller deletes) with the seven XML special characters
    // written as "&#NN;"; null when none occurs.
    RhString* createEncodedXMLfriendlyString() const;
    // New heap string (caller deletes) with entities and character
    // references decoded; null when the text holds nothing to decode.
    RhString* createDecodedXMLfriendlyString() const;
    // Replaces characters that are not plain printable text (or LF/CR) by
    // '-': byte-wise (then also '?' when replaceQuestionMarks), or by whole
    // UTF-8 sequences when utf8Aware. True when anything was replaced.
    bool convertUserTextInputThatMayContainForeignChars(bool replaceQuestionMarks, bool utf8Aware);
    // Copies the text and its terminator to destination, sized by the caller.
    void copyTo(char* destination) const;

protected:
    char* buffer;        // owned; null exactly when capacity is 0
    uint32_t capacity;   // bytes allocated, terminator included
    uint32_t length;     // characters before the terminator

    // Releases the buffer: null buffer, capacity 0, length 0.
    void releaseBuffer();
    // Starts with the empty text in a fresh buffer of initialCapacity bytes.
    void allocateEmpty(uint32_t initialCapacity);
    // Appends count bytes of text (which may lie inside this string's own
    // buffer), growing to 2 x needed when the capacity is too small.
    void appendBytes(const char* text, uint32_t count);
};

// A string whose first allocation is 256 bytes (a typical name or path).
class RhMedString : public RhString {
public:
    using RhString::operator=;
    RhMedString();
    RhMedString(const char* text);
};

// A string whose first allocation is 1024 bytes.
class RhLongString : public RhString {
public:
    using RhString::operator=;
    RhLongString();
    RhLongString(const char* text);
};

// Returns a new malloc'ed text (caller frees) in which every occurrence of
// pattern, found left to right without overlap, is replaced by replacement.
// Null pattern or replacement counts as "" (an empty pattern gives a copy).
// Null text or a failed allocation returns null.
char* str_replace(const char* text, const char* pattern, const char* replacement);

// Converts text in place into a length-prefixed text: the first byte becomes
// min(strlen, 255) and up to 255 characters move one place right. Returns text.
char* RhCtoPStr(char* text);

// The same conversion into one static 256-byte buffer, whose address is
// returned; each call overwrites the previous result (not thread-safe).
char* RhCtoPTStr(const char* text);
