#include "RhStringList.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

const int kPointerSize = static_cast<int>(sizeof(RhString*));
const int kPoolIncrementCount = 4096;
// Strings with at most this many bytes of capacity are pooled.
const unsigned kMaxPooledCapacity = 19;

// The text of an optional string: null for a null pointer.
const char* textOf(const RhString* s) {
    return s != nullptr ? s->getText() : nullptr;
}

// True when the whole token reads as a base-10 integer.
bool isWholeInteger(const char* token) {
    char* end = nullptr;
    (void)strtol(token, &end, 10);
    return end != token && *end == '\0';
}

bool isStopWord(const char* token) {
    static const char* const kStopWords[] = {"the", "and", "under", "with"};
    for (const char* word : kStopWords) {
        if (strcasecmp(token, word) == 0)
            return true;
    }
    return false;
}

// True while the shared pool is constructed. Pooled lists that live in
// static storage may be built before it or destroyed after it; they then
// create and destroy their strings directly.
bool gSharedPoolAlive = false;

RhString* takeFromSharedPool() {
    return gSharedPoolAlive ? RhStringListWithStringPool::sStringPool.getString() : new RhString();
}

void giveToSharedPool(RhString* s) {
    if (gSharedPoolAlive)
        RhStringListWithStringPool::sStringPool.contributeStringToPool(s);
    else
        delete s;
}

}  // namespace

// ------------------------------------------------------------ RhStringList

RhStringList::RhStringList() : RhDynArray(kPointerSize) {}

RhStringList::RhStringList(const RhStringList& other) : RhDynArray(kPointerSize) {
    // Our own appendString: the dynamic type is still RhStringList here.
    for (int i = 0; i < other.count; ++i)
        RhStringList::appendString(other.getStrings()[i], 1);
}

RhStringList& RhStringList::operator=(const RhStringList& other) {
    if (this == &other)
        return *this;
    clear();
    for (int i = 0; i < other.count; ++i)
        appendString(other.getStrings()[i], 1);
    return *this;
}

RhStringList::~RhStringList() {
    destroyStrings(0, count);
    count = 0;
}

void RhStringList::destroyStrings(int first, int n) {
    RhString** strings = getStrings();
    for (int i = first; i < first + n; ++i) {
        delete strings[i];
        strings[i] = nullptr;
    }
}

void RhStringList::clear() {
    destroyStrings(0, count);
    RhDynArray::clear();
}

void RhStringList::copyFrom(RhArray*) {}

void* RhStringList::append(const void* item) {
    return appendString(static_cast<const RhString*>(item), 1);
}

void* RhStringList::appendNoDuplication(const void* item) {
    int before = count;
    int present = appendStringNoDuplication(textOf(static_cast<const RhString*>(item)), 0);
    return present == 0 && count == before ? nullptr : buf;
}

void* RhStringList::appendFullArray(RhArray* other) {
    RhStringList* list = dynamic_cast<RhStringList*>(other);
    if (list != nullptr)
        appendList(list, 1);
    return buf;
}

void* RhStringList::set(void* item, int index) {
    if (item == nullptr || index < 0)
        return nullptr;
    RhString* adopted = *static_cast<RhString**>(item);
    while (count <= index) {
        if (appendString("") == nullptr)
            return nullptr;
    }
    RhString** strings = getStrings();
    if (strings[index] != adopted) {
        delete strings[index];
        strings[index] = adopted;
    }
    return buf;
}

void RhStringList::deleteElement(int index) {
    if (index < 0 || index >= count)
        return;
    destroyStrings(index, 1);
    RhDynArray::deleteElement(index);
}

void RhStringList::deleteElements(int first, int n) {
    if (first < 0 || n <= 0 || n > count - first)
        return;
    destroyStrings(first, n);
    RhDynArray::deleteElements(first, n);
}

void* RhStringList::appendString(const RhString* s, int allowDuplicates) {
    if (!allowDuplicates) {
        if (appendStringNoDuplication(const_cast<RhString*>(s), 0) != 0)
            return nullptr;
        return buf;
    }
    return appendString(textOf(s));
}

RhString* RhStringList::newString(const char* text) const {
    return new RhString(text);
}

void* RhStringList::appendString(const char* text) {
    RhString* s = newString(text);
    void* stored = RhDynArray::append(&s);
    if (stored == nullptr)
        delete s;
    return stored;
}

int RhStringList::appendStringNoDuplication(RhString* s, int fuzzy) {
    return appendStringNoDuplication(textOf(s), fuzzy);
}

int RhStringList::appendStringNoDuplication(const char* text, int fuzzy) {
    if (text == nullptr)
        return 1;
    if (fuzzy) {
        RhString pattern(text);
        for (int i = 0; i < count; ++i) {
            if (getStrings()[i]->substringMatchFuzzy(&pattern, false) == 0)
                return 1;
        }
    } else if (findString(text, 0) >= 0) {
        return 1;
    }
    appendString(text);
    return 0;
}

int RhStringList::findString(const char* text, int caseInsensitive) const {
    if (text == nullptr)
        return -1;
    RhString** strings = getStrings();
    for (int i = 0; i < count; ++i) {
        int difference = caseInsensitive ? strings[i]->compareCaseInsensitive(text) : strings[i]->compare(text);
        if (difference == 0)
            return i;
    }
    return -1;
}

int RhStringList::findString(const RhString* s, int caseInsensitive) const {
    return findString(textOf(s), caseInsensitive);
}

int RhStringList::countSharedStrings(RhStringList* other) const {
    if (other == nullptr)
        return 0;
    int shared = 0;
    for (int i = 0; i < other->count; ++i) {
        if (findString(other->getStrings()[i]->getText(), 0) >= 0)
            ++shared;
    }
    return shared;
}

int RhStringList::compare(RhStringList* other) const {
    if (other == nullptr || other->count != count)
        return 1;
    for (int i = 0; i < count; ++i) {
        if (getStrings()[i]->compare(other->getStrings()[i]) != 0)
            return 1;
    }
    return 0;
}

bool RhStringList::deleteString(const char* text) {
    if (text == nullptr)
        return false;
    bool deleted = false;
    for (int i = count - 1; i >= 0; --i) {
        if (getStrings()[i]->compare(text) == 0) {
            deleteElement(i);
            deleted = true;
        }
    }
    return deleted;
}

bool RhStringList::deleteString(const RhString* s) {
    return s != nullptr && deleteString(s->getText());
}

void RhStringList::deleteStrings(RhStringList* other) {
    if (other == nullptr)
        return;
    if (other == this) {
        clear();
        return;
    }
    for (int i = 0; i < other->count; ++i)
        deleteString(other->getStrings()[i]->getText());
}

void RhStringList::eliminateDuplicateStrings(int sorted) {
    for (int i = count - 1; i >= 1; --i) {
        const RhString* entry = getStrings()[i];
        bool duplicate = false;
        if (sorted) {
            duplicate = entry->compare(getStrings()[i - 1]) == 0;
        } else {
            for (int j = 0; j < i && !duplicate; ++j)
                duplicate = entry->compare(getStrings()[j]) == 0;
        }
        if (duplicate)
            deleteElement(i);
    }
}

int RhStringList::alphaSortFunc(const void* a, const void* b) {
    const RhString* x = *static_cast<RhString* const*>(a);
    const RhString* y = *static_cast<RhString* const*>(b);
    return strcasecmp(x->getText(), y->getText());
}

void RhStringList::sortAlphabetically() {
    if (count < 2)
        return;
    qsort(buf, static_cast<size_t>(count), sizeof(RhString*), alphaSortFunc);
}

void RhStringList::tokenize(const RhString* text, const char* delimiters, int keepAll) {
    clear();
    if (text == nullptr)
        return;
    if (delimiters == nullptr)
        delimiters = "";
    RhString copy(text->getText());
    char* cursor = copy.getBuffer();
    if (cursor == nullptr)
        return;
    char* state = nullptr;
    for (char* token = strtok_r(cursor, delimiters, &state); token != nullptr;
         token = strtok_r(nullptr, delimiters, &state)) {
        if (!keepAll && (strlen(token) <= 2 || isStopWord(token) || isWholeInteger(token)))
            continue;
        appendString(token);
    }
}

void RhStringList::appendList(const RhStringList* other, int allowDuplicates) {
    if (other == nullptr)
        return;
    if (other == this) {
        // Appending to itself: work from a snapshot so the walk ends.
        RhStringList snapshot(*other);
        appendList(&snapshot, allowDuplicates);
        return;
    }
    for (int i = 0; i < other->count; ++i)
        appendString(other->getStrings()[i], allowDuplicates);
}

void RhStringList::clearAndCopyFrom(const RhStringList* other, int allowDuplicates) {
    if (other == this)
        return;
    clear();
    appendList(other, allowDuplicates);
}

RhString** RhStringList::operator[](unsigned index) const {
    if (index >= static_cast<unsigned>(count))
        return nullptr;
    return getStrings() + index;
}

RhString* RhStringList::getIthString(unsigned index) const {
    if (index >= static_cast<unsigned>(count))
        return nullptr;
    return getStrings()[index];
}

void RhStringList::setIthString(unsigned index, const char* text) {
    if (index >= static_cast<unsigned>(INT_MAX))
        return;
    while (static_cast<unsigned>(count) <= index) {
        if (appendString("") == nullptr)
            return;
    }
    RhString* replacement = newString(text);
    delete getStrings()[index];
    getStrings()[index] = replacement;
}

void RhStringList::setIthString(unsigned index, const RhString* s) {
    setIthString(index, textOf(s));
}

// ------------------------------------------------------------ RhStringPool

int RhStringPool::sEnablePool = 1;

RhStringPool::RhStringPool() : RhDynArray(kPointerSize), topIndex(-1), cachedStorage(nullptr), mutex(new std::mutex) {
    incrementCount = kPoolIncrementCount;
    if (this == &RhStringListWithStringPool::sStringPool)
        gSharedPoolAlive = true;
}

RhStringPool::~RhStringPool() {
    if (this == &RhStringListWithStringPool::sStringPool)
        gSharedPoolAlive = false;
    std::mutex* own = mutex;
    if (own != nullptr)
        own->lock();
    for (int i = 0; i <= topIndex; ++i)
        delete cachedStorage[i];
    topIndex = -1;
    cachedStorage = nullptr;
    mutex = nullptr;
    if (own != nullptr) {
        own->unlock();
        delete own;
    }
    // RhDynArray's destructor releases the storage.
}

RhString* RhStringPool::getString() {
    if (mutex != nullptr) {
        std::lock_guard<std::mutex> lock(*mutex);
        if (topIndex >= 0)
            return cachedStorage[topIndex--];
    }
    return new RhString();
}

void RhStringPool::contributeStringToPool(RhString* s) {
    if (s == nullptr)
        return;
    if (sEnablePool == 0 || s->getCapacity() > kMaxPooledCapacity || mutex == nullptr) {
        delete s;
        return;
    }
    // A pooled string keeps its small buffer but reads as empty.
    if (s->getCapacity() > 0)
        *s = "";
    std::lock_guard<std::mutex> lock(*mutex);
    int oldTop = topIndex;
    if (oldTop + 2 >= capacity || cachedStorage == nullptr) {
        // Grow by the increment: with count at capacity the array must grow.
        count = capacity;
        if (!ensureRoomForOneMore()) {
            delete s;
            return;
        }
        cachedStorage = static_cast<RhString**>(buf);
    }
    topIndex = oldTop + 1;
    cachedStorage[topIndex] = s;
}

int RhStringPool::getPooledCount() {
    if (mutex == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(*mutex);
    return topIndex + 1;
}

// ------------------------------------------------ RhStringListWithStringPool

RhStringPool RhStringListWithStringPool::sStringPool;

RhStringListWithStringPool::RhStringListWithStringPool(const RhStringListWithStringPool& other) : RhStringList() {
    for (int i = 0; i < other.count; ++i)
        RhStringListWithStringPool::appendString(other.getStrings()[i]->getText());
}

RhStringListWithStringPool& RhStringListWithStringPool::operator=(const RhStringListWithStringPool& other) {
    RhStringList::operator=(other);
    return *this;
}

RhStringListWithStringPool::~RhStringListWithStringPool() {
    giveBackAll();
}

void RhStringListWithStringPool::giveBackAll() {
    RhString** strings = getStrings();
    for (int i = 0; i < count; ++i) {
        giveToSharedPool(strings[i]);
        strings[i] = nullptr;
    }
    count = 0;
}

void RhStringListWithStringPool::clear() {
    giveBackAll();
    RhDynArray::clear();
}

void* RhStringListWithStringPool::appendString(const RhString* s, int allowDuplicates) {
    if (!allowDuplicates && findString(textOf(s), 1) >= 0)
        return nullptr;
    return appendString(textOf(s));
}

void* RhStringListWithStringPool::appendString(const char* text) {
    RhString* s = takeFromSharedPool();
    *s = text;
    void* stored = RhDynArray::append(&s);
    if (stored == nullptr)
        giveToSharedPool(s);
    return stored;
}

int RhStringListWithStringPool::appendStringNoDuplication(RhString* s, int fuzzy) {
    return appendStringNoDuplication(textOf(s), fuzzy);
}

int RhStringListWithStringPool::appendStringNoDuplication(const char* text, int) {
    if (text == nullptr || findString(text, 1) >= 0)
        return 1;
    appendString(text);
    return 0;
}

// ----------------------------------------------------------- RhStringListMRU

void RhStringListMRU::push(const RhString* s) {
    if (s == nullptr)
        return;
    if (count == 0) {
        appendString(s, 1);
        return;
    }
    // s may be one of our own entries, whose text the shift below changes.
    RhString pushed(s->getText());
    int k = count - 1;
    for (int i = count - 1; i >= 0; --i) {
        if (getStrings()[i]->compare(&pushed) == 0) {
            k = i;
            break;
        }
    }
    RhString displaced(getStrings()[k]->getText());
    for (int i = k; i >= 1; --i)
        *getStrings()[i] = *getStrings()[i - 1];
    *getStrings()[0] = pushed;
    if (static_cast<unsigned>(count) < maxCount && displaced.compare(&pushed) != 0)
        appendString(&displaced, 1);
}
