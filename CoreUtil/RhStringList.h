// Lists of owned heap strings, and the pool that recycles small strings.
//
// An RhStringList holds pointers to heap RhString objects that it owns:
// every removal destroys the string. Texts are compared case-sensitively
// with RhString::compare unless an operation says otherwise; a bufferless
// entry reads as the empty text.
//
// The untyped operations take strings in two ways: append,
// appendNoDuplication and appendFullArray copy the strings they are given
// (append's argument is an RhString pointer), while set, insertBefore and
// insertAfter receive the address of an RhString pointer and store that
// pointer as it is: the list takes ownership of the string. Prefer the
// string operations below.
//
// RhStringListWithStringPool takes its strings from, and hands them back to,
// the shared RhStringPool, so that lists of short names built and cleared
// over and over do not allocate new string objects.
#pragma once

#include <mutex>

#include "RhDynArray.h"
#include "RhString.h"

class RhStringList : public RhDynArray {
public:
    RhStringList();
    // A list with copies of all of other's strings.
    RhStringList(const RhStringList& other);
    // Unless assigning to itself: clear, then copies of all of other's
    // strings (duplicates kept).
    RhStringList& operator=(const RhStringList& other);

    // Destroys every string, then releases the storage.
    ~RhStringList() override;
    void clear() override;
    // Does nothing: string lists are copied with clearAndCopyFrom or operator=.
    void copyFrom(RhArray* other) override;
    // appendString(item as an RhString pointer, 1).
    void* append(const void* item) override;
    // appendStringNoDuplication(item as an RhString pointer, 0); the storage,
    // or null when the append failed.
    void* appendNoDuplication(const void* item) override;
    // appendList(other, 1) when other is a string list; nothing otherwise.
    void* appendFullArray(RhArray* other) override;
    // item is the address of an RhString pointer, which the list adopts.
    // Negative index: nothing. In range: the old string is destroyed (unless
    // it is the same one) and replaced. Beyond the end: empty strings fill
    // the gap (never copies of the same pointer, which the list would
    // destroy twice).
    void* set(void* item, int index) override;
    // In range: destroys the string, then removes the slot.
    void deleteElement(int index) override;
    // Destroys the strings, then removes their slots (same range rules as
    // RhArray::deleteElements).
    void deleteElements(int first, int n) override;

    // ---- String appending (virtual, in this slot order) ----

    // allowDuplicates non-zero: appends a new heap copy of s. Zero:
    // appendStringNoDuplication(s, 0). A null s reads as a null text.
    // Returns the storage, or null when nothing was appended.
    virtual void* appendString(const RhString* s, int allowDuplicates);
    // Appends newString(text); a null text gives a bufferless string.
    virtual void* appendString(const char* text);
    // The same as the text form with s's text.
    virtual int appendStringNoDuplication(RhString* s, int fuzzy);
    // Null text: 1. fuzzy non-zero: 1 when some entry e gives
    // e.substringMatchFuzzy(text, false) == 0. fuzzy zero: 1 when an entry
    // equals text. Otherwise appends text and returns 0.
    virtual int appendStringNoDuplication(const char* text, int fuzzy);

    // ---- Conveniences over the above ----

    void* append(const char* text) { return appendString(text); }
    void* append(RhString* s) { return appendString(s, 1); }
    void* appendString(RhString* s) { return appendString(static_cast<const RhString*>(s), 1); }
    void* appendString(const void* s) { return appendString(static_cast<const RhString*>(s), 1); }

    // ---- Queries ----

    // Index of the first entry equal to text (ignoring case when
    // caseInsensitive is non-zero), or -1 (also for null).
    int findString(const char* text, int caseInsensitive = 0) const;
    int findString(const RhString* s, int caseInsensitive = 0) const;
    // How many of other's entries occur in this list.
    int countSharedStrings(RhStringList* other) const;
    // 0 when both lists hold the same number of entries, equal in order; else 1.
    int compare(RhStringList* other) const;

    // ---- Removal ----

    // Deletes every entry equal to text; true when any was deleted.
    bool deleteString(const char* text);
    // The same with s's text; a null s gives false.
    bool deleteString(const RhString* s);
    // For each of other's strings, deletes every equal entry.
    void deleteStrings(RhStringList* other);
    // sorted non-zero: deletes each entry equal to its predecessor (one of
    // every run remains). Zero: deletes each entry equal to an earlier one
    // (first occurrences remain, in order).
    void eliminateDuplicateStrings(int sorted);
    // Count 0, like clear (the strings are destroyed or pooled).
    void reset() { clear(); }

    // ---- Ordering and building ----

    // Sorts by strcasecmp of the texts (ties in no defined order).
    void sortAlphabetically();
    static int alphaSortFunc(const void* a, const void* b);
    // Clears, then appends the tokens of text split at any of delimiters
    // (strtok rules). keepAll zero keeps only tokens longer than 2
    // characters that are none of "the", "and", "under", "with" (ignoring
    // case) and not wholly a decimal integer. A null text leaves the list empty.
    void tokenize(const RhString* text, const char* delimiters, int keepAll);
    // appendString(each of other's strings, allowDuplicates), in order.
    void appendList(const RhStringList* other, int allowDuplicates);
    // clear, then appendList.
    void clearAndCopyFrom(const RhStringList* other, int allowDuplicates);

    // ---- Access ----

    // The storage: the array of string pointers.
    RhString** getStrings() const { return static_cast<RhString**>(buf); }
    // The address of the slot at index, or null out of range.
    RhString** operator[](unsigned index) const;
    // The string at index, or null when index is not below count.
    RhString* getIthString(unsigned index) const;
    // Appends empty strings until count exceeds index, then replaces the
    // string at index by a new string (newString(text)).
    void setIthString(unsigned index, const char* text);
    void setIthString(unsigned index, const RhString* s);

protected:
    // Destroys the strings in slots [first, first + n).
    void destroyStrings(int first, int n);
    // A new heap string holding text (null text: bufferless), of the kind
    // this list keeps; every string the list creates itself comes from here.
    // Lists of a string subclass override it.
    virtual RhString* newString(const char* text) const;
};

// The shared pool of spare small strings (item: pointer to a heap RhString).
//
// Locking: mutex guards topIndex, cachedStorage and the array fields; it is
// taken by getString and contributeStringToPool and by nothing else. It sits
// below every list mutex of the system.
class RhStringPool : public RhDynArray {
public:
    // Switch: when 0, contributed strings are destroyed instead of pooled.
    // Initially 1.
    static int sEnablePool;

    // Item size 8, increment count 4096, empty, a new mutex.
    RhStringPool();
    RhStringPool(const RhStringPool&) = delete;
    RhStringPool& operator=(const RhStringPool&) = delete;
    // Destroys every pooled string, the mutex and the storage. A destroyed
    // pool still answers getString and contributeStringToPool (without
    // pooling), so that lists destroyed late at exit stay safe.
    ~RhStringPool() override;

    // A pooled string (its text is empty), or a new bufferless string when
    // the pool is empty. The caller owns the string.
    RhString* getString();
    // Null: nothing. A string of at most 19 bytes of capacity is pooled while
    // sEnablePool is non-zero; any other string is destroyed.
    void contributeStringToPool(RhString* s);
    // Number of strings currently pooled.
    int getPooledCount();

protected:
    int topIndex;                // index of the top pooled string, -1 when empty
    RhString** cachedStorage;    // the storage as of the latest growth
    std::mutex* mutex;           // owned; null before construction and after destruction
};

// A string list whose strings come from and go back to the shared pool.
class RhStringListWithStringPool : public RhStringList {
public:
    // The one pool that all pooled lists share.
    static RhStringPool sStringPool;

    RhStringListWithStringPool() = default;
    RhStringListWithStringPool(const RhStringListWithStringPool& other);
    RhStringListWithStringPool& operator=(const RhStringListWithStringPool& other);

    // Hands every string to the pool, then releases the storage.
    ~RhStringListWithStringPool() override;
    void clear() override;

    using RhStringList::appendString;
    using RhStringList::appendStringNoDuplication;
    // allowDuplicates zero and s present ignoring case: nothing. Otherwise
    // appendString(s's text).
    void* appendString(const RhString* s, int allowDuplicates) override;
    // Takes a string from the pool, assigns text and appends it.
    void* appendString(const char* text) override;
    int appendStringNoDuplication(RhString* s, int fuzzy) override;
    // The flag is not used. Null text or text present ignoring case: 1.
    // Otherwise appends text and returns 0.
    int appendStringNoDuplication(const char* text, int fuzzy) override;

private:
    void giveBackAll();
};

// Most-recently-used list: push moves a string to the front.
class RhStringListMRU : public RhStringList {
public:
    explicit RhStringListMRU(unsigned maxCount = 10) : maxCount(maxCount) {}

    void setMaxCount(unsigned n) { maxCount = n; }
    unsigned getMaxCount() const { return maxCount; }

    // A string already present (its last occurrence) moves to the front and
    // the list keeps its length; a new string enters at the front and the
    // last entry falls off, unless the list is below maxCount, in which case
    // it grows by one. An empty list takes a copy. Null s: nothing.
    void push(const RhString* s);

protected:
    unsigned maxCount;
};
