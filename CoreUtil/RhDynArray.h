// Arrays of fixed-size items, copied and compared as raw bytes.
//
// RhArray is a counted run of equal-sized items in storage it does not own;
// RhDynArray owns heap storage (malloc/free) and grows it by a fixed
// increment. The typed arrays below are thin layers on RhDynArray.
//
// Items are plain bytes: copying, comparing and moving use the item size and
// nothing else, so items must be trivially copyable (numbers, records of
// numbers, pointers). An array of pointers does not own what they point to.
//
// Indices are 32-bit signed; an index is in range when 0 <= index < count,
// and -1 means "not found". Out-of-range indices are ignored.
//
// Growth (RhDynArray): one slot always stays free, so an array of capacity
// 32 grows when its 32nd item arrives. Each growth adds the increment count
// (default 32) and then multiplies the increment count by the increment scale
// (default 1). The storage replaced by a growth is kept readable ("retired")
// until the next insertion or clear, so that an item pointer taken from the
// array itself survives an insertion that grows it.
//
// No locks: an array belongs to one thread at a time or to its owner's lock.
#pragma once

#include <cstddef>

class RhArray {
public:
    // A fixed array over caller-provided storage of capacity items of
    // itemSize bytes, of which the first count are in use. The storage is
    // never allocated, grown or freed by the array. A count above capacity
    // is cut to capacity; a non-positive item size gives an array with no
    // usable storage.
    RhArray(void* storage, int itemSize, int capacity, unsigned count);
    // Assigning copies with copyFrom (nothing when assigning to itself).
    RhArray& operator=(const RhArray& other);

    // ---- Virtual operations (this order is the slot order) ----

    virtual ~RhArray();
    // Base: count = 0. Owning arrays also release their storage.
    virtual void clear();
    // Base: when the item sizes are equal and other's count fits the
    // capacity, copies other's items and count; otherwise nothing.
    virtual void copyFrom(RhArray* other);
    // Copies item (item-size bytes) into slot count. Returns the storage, or
    // null when there was no room (the array is then unchanged).
    virtual void* append(const void* item);
    // Appends unless an item with equal bytes is present. Returns the
    // storage, or null when the append failed.
    virtual void* appendNoDuplication(const void* item);
    // Appends copies of other's items in order; other may be this array
    // (its items are then appended once). Nothing when other is null, empty
    // or of another item size. Returns the storage, or null when an append
    // failed.
    virtual void* appendFullArray(RhArray* other);
    // Negative index: nothing. In range: overwrites. Beyond the end: appends
    // copies of item until count exceeds index (the gap holds copies of the
    // same item). Returns the storage, or null when nothing was stored.
    virtual void* set(void* item, int index);
    // The first index whose bytes equal item, or -1 (also for null).
    virtual int findIndex(void* item);
    // findIndex(item) >= 0.
    virtual bool contains(void* item);
    // Inserts a copy of item at index, moving the later items up; index must
    // be in range (so never into an empty array). item may point into this
    // array. Returns the storage, or null when nothing was inserted.
    virtual void* insertBefore(void* item, int index);
    // Inserts a copy of item at index + 1; index must be in range.
    virtual void* insertAfter(void* item, int index);
    // Removes the item at index, moving the later items down.
    virtual void deleteElement(int index);
    // Removes n items from first on; nothing when first < 0, n <= 0 or
    // first + n > count.
    virtual void deleteElements(int first, int n);
    // For arrays of pointers: the pointer stored at index, or null (also when
    // the item size is smaller than a pointer).
    virtual void* getIthObject(int index);
    // For arrays of pointers: the first index storing pointer, or -1.
    virtual int getIndexOfObject(void* pointer);
    // Reverses the order of the items.
    virtual void reverse();
    // Swaps the bytes of items a and b; nothing when count < 2, a == b, the
    // item size is not positive or either index is out of range.
    virtual void interchange(int a, int b);
    // The item at from ends at index to; the others keep their order.
    // Nothing when from == to, either index is out of range, or the array
    // has no room for the temporary extra item.
    virtual void moveElement(int from, int to);
    // Sets every field to its default (no storage, count 0, capacity 0,
    // item size 8, increment count 32, scale 1) without releasing anything.
    virtual void init();
    // Makes room for one more item. Base: true while count < capacity.
    virtual bool ensureRoomForOneMore();

    // ---- Non-virtual operations ----

    // When size differs from the current item size: clear, then take size.
    // A non-positive size is refused.
    void setElementSize(int size);
    // Slots added by the next growth; a value <= 0 is stored as 1.
    void setIncrementCount(int n);
    // Factor applied to the increment count after each growth; <= 0 gives 1.
    void setIncrementCountScale(int n);

    int getCount() const { return count; }
    void* getBuf() const { return buf; }
    int getCapacity() const { return capacity; }
    int getElementSize() const { return elementSize; }
    int getIncrementCount() const { return incrementCount; }
    int getIncrementCountScale() const { return incrementCountScale; }
    // The storage retired by the latest growth, or null.
    void* getRetiredBuf() const { return retiredBuf; }

    // The address of the item at index, or null out of range.
    void* operator[](int index) const;

protected:
    // An empty array with the default fields (for owning subclasses).
    RhArray();
    RhArray(const RhArray&) = default;

    // Address of slot index (no range check; index <= capacity).
    char* slot(int index) const { return static_cast<char*>(buf) + static_cast<size_t>(index) * static_cast<size_t>(elementSize); }
    // Inserts a copy of item at position pos (0 <= pos <= count).
    void* insertAt(const void* item, int pos);
    // Removes n slots from first on (in range), without the per-item
    // clean-up of subclasses.
    void removeSlots(int first, int n);

    int count;              // items in use
    int capacity;           // item slots in the storage
    void* buf;              // the item slots, elementSize x capacity bytes
    int elementSize;        // bytes per item
    void* retiredBuf;       // storage replaced by the latest growth, or null
    int incrementCount;     // slots added by the next growth
    int incrementCountScale;  // factor applied to incrementCount per growth
};

// An array that owns heap storage and grows it (see the file comment).
class RhDynArray : public RhArray {
public:
    // Default fields, then the given item size (a non-positive size keeps 8).
    explicit RhDynArray(int itemSize = 8);
    // A copy with storage of its own (as copyFrom).
    RhDynArray(const RhDynArray& other);
    RhDynArray& operator=(const RhDynArray& other);

    ~RhDynArray() override;
    // Releases the storage and the retired storage; count and capacity 0.
    void clear() override;
    // Nothing when other is this array or null. Otherwise clear, then take
    // over other's count, capacity, item size and increments, with a copy of
    // its items in storage of our own; when that allocation fails the array
    // ends empty.
    void copyFrom(RhArray* other) override;
    // Releases the retired storage; when count + 1 > capacity - 1, grows
    // (capacity += increment count, increment count *= scale) and retires
    // the old storage. False only when the storage cannot be grown (size
    // overflow or allocation failure); the array is then unchanged.
    bool ensureRoomForOneMore() override;

    // count = 0; the storage is kept.
    void reset();
    // Sorts this array with compare (qsort) and rearranges each of the n
    // companion arrays the same way: companion item i becomes the companion
    // item that stood beside the first pre-sort item with the bytes of sorted
    // item i. Companions shorter than this array (and null ones) are skipped.
    void sortMultipleArrays(RhDynArray** companions, int n, int (*compare)(const void*, const void*));
};

// 32-bit signed integers.
class RhIntArray : public RhDynArray {
public:
    RhIntArray() : RhDynArray(4) {}

    // Appends v; the storage, or null when that failed.
    void* appendInt(int v) { return append(&v); }
    // The value at index, or 0 when index is not below count.
    int getIthInt(unsigned index) const;
    // set(value, index): a gap is filled with copies of value.
    void setIthInt(int index, int value) { set(&value, index); }
    // When index is not below count, a zero is set at index first (the gap
    // is zero-filled). A reference to the item (to a scratch value when the
    // array cannot hold index).
    int& operator[](unsigned index);
    // The item at index; 0 out of range.
    int operator[](unsigned index) const;

    // Appends v unless an equal value is present.
    void appendIntNoDuplicates(int v);
    bool containsInt(int v);
    // Scanning from the last item to the first: the first value <= v, or
    // -23662 when there is none.
    int findEntryEqualToOrLessThan(int v) const;
    // Sorts ascending when ascending is non-zero, else descending.
    void sort(int ascending);
    // qsort comparators: 1 when the first value belongs after the second,
    // else -1 (never 0).
    static int sortAscending(const void* a, const void* b);
    static int sortDescending(const void* a, const void* b);
    // On an ascending array: inserts v in order unless a value within
    // tolerance of v (or equal to it) sits at the insertion point. 1 when v
    // was inserted, 0 when not.
    int appendIntNoDuplicatesSorted(int v, int tolerance);
};

// 32-bit floats.
class RhFloatArray : public RhDynArray {
public:
    RhFloatArray() : RhDynArray(4) {}

    void* appendFloat(float v) { return append(&v); }
    // The value at index, or 0 when index is not below count.
    float getIthFloat(unsigned index) const;
    void setIthFloat(int index, float value) { set(&value, index); }
    // As RhIntArray::operator[].
    float& operator[](unsigned index);
    float operator[](unsigned index) const;
};

// Untyped pointers, not owned.
class RhPointerArray : public RhDynArray {
public:
    RhPointerArray() : RhDynArray(static_cast<int>(sizeof(void*))) {}

    void* appendPointer(void* p) { return append(&p); }
    // The pointer at index, or null when index is not below count.
    void* getIthPointer(unsigned index) const;
    void setIthPointer(int index, void* value) { set(&value, index); }
    // As RhIntArray::operator[].
    void*& operator[](unsigned index);
    void* operator[](unsigned index) const;
    // Keeps the array ascending by address: 0 when p is present, else
    // inserts p in place and returns 1.
    int insertPointerSortedNoDuplication(void* p);
};

// One entry of an AssociativeArray.
struct AssociativeArrayEntry {
    int key;
    float value;
};

// Integer keys with float values; entries are appended as
// AssociativeArrayEntry records (first entry with a key wins on lookup).
class AssociativeArray : public RhDynArray {
public:
    AssociativeArray() : RhDynArray(static_cast<int>(sizeof(AssociativeArrayEntry))) {}

    // Address of the first entry with key, or null.
    AssociativeArrayEntry* getEntry(int key);
    // 1 and *value (when value is not null) when an entry with key exists,
    // else 0.
    int getValue(int key, float* value);
    // Index of the first entry with key, or -1.
    int getEntryIndex(int key);
};
