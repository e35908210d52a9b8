#include "RhDynArray.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

const int kDefaultElementSize = 8;
const int kDefaultIncrementCount = 32;

// True when p lies inside the byte range [begin, end). Compared as integers
// because the pointers may belong to different allocations.
bool pointsInto(const void* p, const void* begin, const void* end) {
    uintptr_t v = reinterpret_cast<uintptr_t>(p);
    return v >= reinterpret_cast<uintptr_t>(begin) && v < reinterpret_cast<uintptr_t>(end);
}

}  // namespace

// ---------------------------------------------------------------- RhArray

RhArray::RhArray() {
    RhArray::init();
}

RhArray::RhArray(void* storage, int itemSize, int capacityIn, unsigned countIn) {
    RhArray::init();
    if (itemSize <= 0 || storage == nullptr || capacityIn <= 0)
        return;
    buf = storage;
    elementSize = itemSize;
    capacity = capacityIn;
    count = countIn > static_cast<unsigned>(capacityIn) ? capacityIn : static_cast<int>(countIn);
}

RhArray::~RhArray() = default;

RhArray& RhArray::operator=(const RhArray& other) {
    if (this != &other)
        copyFrom(const_cast<RhArray*>(&other));
    return *this;
}

void RhArray::init() {
    count = 0;
    capacity = 0;
    buf = nullptr;
    elementSize = kDefaultElementSize;
    retiredBuf = nullptr;
    incrementCount = kDefaultIncrementCount;
    incrementCountScale = 1;
}

void RhArray::clear() {
    count = 0;
}

void RhArray::copyFrom(RhArray* other) {
    if (other == nullptr || other == this)
        return;
    if (other->elementSize != elementSize || capacity < other->count)
        return;
    if (other->count > 0)
        memmove(buf, other->buf, static_cast<size_t>(other->count) * static_cast<size_t>(elementSize));
    count = other->count;
}

bool RhArray::ensureRoomForOneMore() {
    return count < capacity;
}

void* RhArray::insertAt(const void* item, int pos) {
    if (item == nullptr || pos < 0 || pos > count)
        return nullptr;
    if (!ensureRoomForOneMore())
        return nullptr;
    // The room may have come from a growth: item then still points into the
    // retired storage, which stays readable. When item points into the
    // current storage at or after pos, the shift below moves it one slot up.
    if (pointsInto(item, slot(pos), slot(count)))
        item = static_cast<const char*>(item) + elementSize;
    if (pos < count)
        memmove(slot(pos + 1), slot(pos), static_cast<size_t>(count - pos) * static_cast<size_t>(elementSize));
    memmove(slot(pos), item, static_cast<size_t>(elementSize));
    ++count;
    return buf;
}

void RhArray::removeSlots(int first, int n) {
    int tail = count - first - n;
    if (tail > 0)
        memmove(slot(first), slot(first + n), static_cast<size_t>(tail) * static_cast<size_t>(elementSize));
    count -= n;
}

void* RhArray::append(const void* item) {
    return insertAt(item, count);
}

void* RhArray::appendNoDuplication(const void* item) {
    if (item == nullptr)
        return nullptr;
    if (findIndex(const_cast<void*>(item)) >= 0)
        return buf;
    return append(item);
}

void* RhArray::appendFullArray(RhArray* other) {
    if (other == nullptr || other->count <= 0 || other->elementSize != elementSize)
        return buf;
    // other may be this array: its count is taken once, so its own items are
    // appended once, and each item is addressed afresh through the current
    // storage (insertAt keeps it readable across a growth).
    int n = other->count;
    for (int i = 0; i < n; ++i) {
        if (insertAt(other->slot(i), count) == nullptr)
            return nullptr;
    }
    return buf;
}

void* RhArray::set(void* item, int index) {
    if (item == nullptr || index < 0)
        return nullptr;
    if (index < count) {
        memmove(slot(index), item, static_cast<size_t>(elementSize));
        return buf;
    }
    // The first copy comes from item; each further copy from the slot just
    // filled, so that an item taken from this array stays valid however
    // often the array grows.
    const void* source = item;
    while (count <= index) {
        if (append(source) == nullptr)
            return nullptr;
        source = slot(count - 1);
    }
    return buf;
}

int RhArray::findIndex(void* item) {
    if (item == nullptr)
        return -1;
    for (int i = 0; i < count; ++i) {
        if (memcmp(slot(i), item, static_cast<size_t>(elementSize)) == 0)
            return i;
    }
    return -1;
}

bool RhArray::contains(void* item) {
    return findIndex(item) >= 0;
}

void* RhArray::insertBefore(void* item, int index) {
    if (index < 0 || index >= count)
        return nullptr;
    return insertAt(item, index);
}

void* RhArray::insertAfter(void* item, int index) {
    if (index < 0 || index >= count)
        return nullptr;
    return insertAt(item, index + 1);
}

void RhArray::deleteElement(int index) {
    if (index < 0 || index >= count)
        return;
    removeSlots(index, 1);
}

void RhArray::deleteElements(int first, int n) {
    if (first < 0 || n <= 0 || n > count - first)
        return;
    removeSlots(first, n);
}

void* RhArray::getIthObject(int index) {
    if (index < 0 || index >= count || elementSize < static_cast<int>(sizeof(void*)))
        return nullptr;
    void* p;
    memcpy(&p, slot(index), sizeof p);
    return p;
}

int RhArray::getIndexOfObject(void* pointer) {
    if (elementSize < static_cast<int>(sizeof(void*)))
        return -1;
    for (int i = 0; i < count; ++i) {
        void* p;
        memcpy(&p, slot(i), sizeof p);
        if (p == pointer)
            return i;
    }
    return -1;
}

void RhArray::reverse() {
    for (int i = 0; i < count / 2; ++i)
        interchange(i, count - 1 - i);
}

void RhArray::interchange(int a, int b) {
    if (count < 2 || a == b || elementSize <= 0)
        return;
    if (a < 0 || a >= count || b < 0 || b >= count)
        return;
    char scratch[64];
    char* pa = slot(a);
    char* pb = slot(b);
    for (int done = 0; done < elementSize; done += static_cast<int>(sizeof scratch)) {
        size_t n = std::min(sizeof scratch, static_cast<size_t>(elementSize - done));
        memcpy(scratch, pa + done, n);
        memcpy(pa + done, pb + done, n);
        memcpy(pb + done, scratch, n);
    }
}

void RhArray::moveElement(int from, int to) {
    if (from == to || from < 0 || from >= count || to < 0 || to >= count)
        return;
    // insertAt keeps the pointer to the moved item valid across the shift
    // and across a growth. The old slot is removed without the per-item
    // clean-up of subclasses: the item itself lives on at its new place.
    if (from < to) {
        if (insertAt(slot(from), to + 1) == nullptr)
            return;
        removeSlots(from, 1);
    } else {
        if (insertAt(slot(from), to) == nullptr)
            return;
        removeSlots(from + 1, 1);
    }
}

void RhArray::setElementSize(int size) {
    if (size <= 0 || size == elementSize)
        return;
    clear();
    elementSize = size;
}

void RhArray::setIncrementCount(int n) {
    incrementCount = n <= 0 ? 1 : n;
}

void RhArray::setIncrementCountScale(int n) {
    incrementCountScale = n <= 0 ? 1 : n;
}

void* RhArray::operator[](int index) const {
    if (index < 0 || index >= count)
        return nullptr;
    return slot(index);
}

// ------------------------------------------------------------- RhDynArray

RhDynArray::RhDynArray(int itemSize) {
    if (itemSize > 0)
        elementSize = itemSize;
}

RhDynArray::RhDynArray(const RhDynArray& other) : RhArray() {
    RhDynArray::copyFrom(const_cast<RhDynArray*>(&other));
}

RhDynArray& RhDynArray::operator=(const RhDynArray& other) {
    if (this != &other)
        copyFrom(const_cast<RhDynArray*>(&other));
    return *this;
}

RhDynArray::~RhDynArray() {
    free(buf);
    free(retiredBuf);
    buf = nullptr;
    retiredBuf = nullptr;
}

void RhDynArray::clear() {
    free(buf);
    free(retiredBuf);
    buf = nullptr;
    retiredBuf = nullptr;
    count = 0;
    capacity = 0;
}

void RhDynArray::copyFrom(RhArray* other) {
    if (other == nullptr || other == this)
        return;
    clear();
    elementSize = other->getElementSize();
    incrementCount = other->getIncrementCount();
    incrementCountScale = other->getIncrementCountScale();
    const void* source = other->getBuf();
    int otherCapacity = other->getCapacity();
    int otherCount = other->getCount();
    if (source == nullptr || otherCapacity <= 0)
        return;
    void* storage = malloc(static_cast<size_t>(otherCapacity) * static_cast<size_t>(elementSize));
    if (storage == nullptr)
        return;
    if (otherCount > 0)
        memcpy(storage, source, static_cast<size_t>(otherCount) * static_cast<size_t>(elementSize));
    buf = storage;
    capacity = otherCapacity;
    count = otherCount;
}

bool RhDynArray::ensureRoomForOneMore() {
    free(retiredBuf);
    retiredBuf = nullptr;
    if (static_cast<long long>(count) + 1 <= static_cast<long long>(capacity) - 1)
        return true;

    long long newCapacity = static_cast<long long>(capacity) + incrementCount;
    if (newCapacity < static_cast<long long>(count) + 1)
        newCapacity = static_cast<long long>(count) + 1;
    if (newCapacity > INT_MAX)
        return false;
    size_t bytes = static_cast<size_t>(newCapacity) * static_cast<size_t>(elementSize);
    void* storage = malloc(bytes);
    if (storage == nullptr)
        return false;
    if (count > 0)
        memcpy(storage, buf, static_cast<size_t>(count) * static_cast<size_t>(elementSize));

    long long nextIncrement = static_cast<long long>(incrementCount) * incrementCountScale;
    incrementCount = nextIncrement > INT_MAX ? INT_MAX : static_cast<int>(nextIncrement);
    capacity = static_cast<int>(newCapacity);
    retiredBuf = buf;
    buf = storage;
    return true;
}

void RhDynArray::reset() {
    count = 0;
}

void RhDynArray::sortMultipleArrays(RhDynArray** companions, int n, int (*compare)(const void*, const void*)) {
    if (compare == nullptr || count < 2)
        return;
    size_t size = static_cast<size_t>(elementSize);
    size_t bytes = static_cast<size_t>(count) * size;
    char* before = static_cast<char*>(malloc(bytes));
    if (before == nullptr)
        return;
    memcpy(before, buf, bytes);
    qsort(buf, static_cast<size_t>(count), size, compare);

    for (int c = 0; companions != nullptr && c < n; ++c) {
        RhDynArray* companion = companions[c];
        if (companion == nullptr || companion == this || companion->count < count)
            continue;
        size_t cSize = static_cast<size_t>(companion->elementSize);
        size_t cBytes = static_cast<size_t>(companion->count) * cSize;
        char* copy = static_cast<char*>(malloc(cBytes));
        if (copy == nullptr)
            continue;
        memcpy(copy, companion->buf, cBytes);
        for (int i = 0; i < count; ++i) {
            int j = 0;
            while (j < count && memcmp(before + static_cast<size_t>(j) * size, slot(i), size) != 0)
                ++j;
            if (j < count)
                memcpy(companion->slot(i), copy + static_cast<size_t>(j) * cSize, cSize);
        }
        free(copy);
    }
    free(before);
}

// ------------------------------------------------------------- typed arrays

namespace {

// Reference to the item at index of a typed array, setting a zero value at
// index first when the array does not reach it yet. When the array cannot
// hold index (growth refused, or an index beyond the 32-bit signed range),
// a per-thread scratch value that belongs to no array is returned.
template <typename T>
T& typedSlot(RhDynArray& array, unsigned index) {
    if (index >= static_cast<unsigned>(array.getCount()) && index <= static_cast<unsigned>(INT_MAX)) {
        T zero{};
        array.set(&zero, static_cast<int>(index));
    }
    if (index < static_cast<unsigned>(array.getCount()))
        return *static_cast<T*>(array[static_cast<int>(index)]);
    thread_local T scratch;
    scratch = T{};
    return scratch;
}

template <typename T>
T typedValue(const RhDynArray& array, unsigned index) {
    if (index >= static_cast<unsigned>(array.getCount()))
        return T{};
    T v;
    memcpy(&v, array[static_cast<int>(index)], sizeof v);
    return v;
}

}  // namespace

int RhIntArray::getIthInt(unsigned index) const {
    return typedValue<int>(*this, index);
}

int& RhIntArray::operator[](unsigned index) {
    return typedSlot<int>(*this, index);
}

int RhIntArray::operator[](unsigned index) const {
    return typedValue<int>(*this, index);
}

void RhIntArray::appendIntNoDuplicates(int v) {
    appendNoDuplication(&v);
}

bool RhIntArray::containsInt(int v) {
    return contains(&v);
}

int RhIntArray::findEntryEqualToOrLessThan(int v) const {
    for (int i = count - 1; i >= 0; --i) {
        int value = typedValue<int>(*this, static_cast<unsigned>(i));
        if (value <= v)
            return value;
    }
    return -23662;
}

void RhIntArray::sort(int ascending) {
    if (count < 2)
        return;
    int* values = static_cast<int*>(buf);
    if (ascending)
        std::sort(values, values + count);
    else
        std::sort(values, values + count, std::greater<int>());
}

int RhIntArray::sortAscending(const void* a, const void* b) {
    int x, y;
    memcpy(&x, a, sizeof x);
    memcpy(&y, b, sizeof y);
    return x > y ? 1 : -1;
}

int RhIntArray::sortDescending(const void* a, const void* b) {
    int x, y;
    memcpy(&x, a, sizeof x);
    memcpy(&y, b, sizeof y);
    return x < y ? 1 : -1;
}

int RhIntArray::appendIntNoDuplicatesSorted(int v, int tolerance) {
    if (count == 0)
        return append(&v) != nullptr ? 1 : 0;
    int lo = 0;
    int hi = count - 1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        int value = typedValue<int>(*this, static_cast<unsigned>(mid));
        if (value < v)
            lo = mid + 1;
        else if (value == v)
            return 0;
        else
            hi = mid - 1;
    }
    if (tolerance > 0) {
        auto near = [&](int index) {
            if (index < 0 || index >= count)
                return false;
            long long diff = static_cast<long long>(v) - typedValue<int>(*this, static_cast<unsigned>(index));
            return (diff < 0 ? -diff : diff) <= tolerance;
        };
        if (near(hi) || near(lo))
            return 0;
    }
    void* stored = hi < 0 ? insertBefore(&v, 0) : insertAfter(&v, hi);
    return stored != nullptr ? 1 : 0;
}

float RhFloatArray::getIthFloat(unsigned index) const {
    return typedValue<float>(*this, index);
}

float& RhFloatArray::operator[](unsigned index) {
    return typedSlot<float>(*this, index);
}

float RhFloatArray::operator[](unsigned index) const {
    return typedValue<float>(*this, index);
}

void* RhPointerArray::getIthPointer(unsigned index) const {
    return typedValue<void*>(*this, index);
}

void*& RhPointerArray::operator[](unsigned index) {
    return typedSlot<void*>(*this, index);
}

void* RhPointerArray::operator[](unsigned index) const {
    return typedValue<void*>(*this, index);
}

int RhPointerArray::insertPointerSortedNoDuplication(void* p) {
    if (count == 0)
        return append(&p) != nullptr ? 1 : 0;
    uintptr_t key = reinterpret_cast<uintptr_t>(p);
    int lo = 0;
    int hi = count - 1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        uintptr_t value = reinterpret_cast<uintptr_t>(typedValue<void*>(*this, static_cast<unsigned>(mid)));
        if (value < key)
            lo = mid + 1;
        else if (value == key)
            return 0;
        else
            hi = mid - 1;
    }
    void* stored = hi < 0 ? insertBefore(&p, 0) : insertAfter(&p, hi);
    return stored != nullptr ? 1 : 0;
}

AssociativeArrayEntry* AssociativeArray::getEntry(int key) {
    int index = getEntryIndex(key);
    return index < 0 ? nullptr : static_cast<AssociativeArrayEntry*>((*this)[index]);
}

int AssociativeArray::getValue(int key, float* value) {
    AssociativeArrayEntry* entry = getEntry(key);
    if (entry == nullptr)
        return 0;
    if (value != nullptr)
        *value = entry->value;
    return 1;
}

int AssociativeArray::getEntryIndex(int key) {
    if (elementSize < static_cast<int>(sizeof(AssociativeArrayEntry)))
        return -1;
    for (int i = 0; i < count; ++i) {
        AssociativeArrayEntry entry;
        memcpy(&entry, slot(i), sizeof entry);
        if (entry.key == key)
            return i;
    }
    return -1;
}
