#include "RhDynArray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

namespace {

std::vector<int> values(const RhIntArray& a) {
    std::vector<int> out;
    for (int i = 0; i < a.getCount(); ++i)
        out.push_back(a.getIthInt(static_cast<unsigned>(i)));
    return out;
}

RhIntArray makeInts(const std::vector<int>& v) {
    RhIntArray a;
    for (int x : v)
        a.appendInt(x);
    return a;
}

RhIntArray iota(int n) {
    std::vector<int> v(static_cast<size_t>(n));
    std::iota(v.begin(), v.end(), 0);
    return makeInts(v);
}

}  // namespace

TEST(RhDynArray, GrowthKeepsOneSlotFreeAndScalesTheIncrement) {
    struct Case {
        int scale;
        std::vector<int> capacities;  // capacity after each growth
    };
    for (const Case& c : {Case{1, {32, 64, 96}}, Case{2, {32, 96, 224}}, Case{3, {32, 128, 416}}}) {
        SCOPED_TRACE(c.scale);
        RhIntArray a;
        a.setIncrementCountScale(c.scale);
        std::vector<int> seen;
        for (int i = 0; i < c.capacities.back() - 1; ++i) {
            int before = a.getCapacity();
            a.appendInt(i);
            if (a.getCapacity() != before) {
                // One slot always stays free: the growth happens when count
                // would reach capacity.
                EXPECT_EQ(i, before == 0 ? 0 : before - 1);
                seen.push_back(a.getCapacity());
            }
        }
        EXPECT_EQ(seen, c.capacities);
        EXPECT_EQ(a.getIthInt(static_cast<unsigned>(a.getCount() - 1)), a.getCount() - 1);
    }
}

TEST(RhDynArray, ThirtySecondItemGrowsToSixtyFour) {
    RhIntArray a = iota(31);
    EXPECT_EQ(a.getCapacity(), 32);
    a.appendInt(31);
    EXPECT_EQ(a.getCapacity(), 64);
}

TEST(RhDynArray, IncrementSettersClampToOne) {
    RhDynArray a(4);
    a.setIncrementCount(0);
    a.setIncrementCountScale(-5);
    EXPECT_EQ(a.getIncrementCount(), 1);
    EXPECT_EQ(a.getIncrementCountScale(), 1);
    int v = 1;
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(a.append(&v), nullptr);
    EXPECT_EQ(a.getCapacity(), 3);
}

TEST(RhDynArray, RetiredStorageStaysUntilNextInsertionOrClear) {
    RhIntArray a = iota(31);
    void* old = a.getBuf();
    EXPECT_EQ(a.getRetiredBuf(), nullptr);
    a.appendInt(31);  // grows
    EXPECT_EQ(a.getRetiredBuf(), old);
    EXPECT_EQ(static_cast<int*>(old)[30], 30);  // still readable
    a.appendInt(32);  // no growth: the retired storage is released
    EXPECT_EQ(a.getRetiredBuf(), nullptr);

    RhIntArray b = iota(31);
    b.appendInt(31);
    ASSERT_NE(b.getRetiredBuf(), nullptr);
    b.clear();
    EXPECT_EQ(b.getRetiredBuf(), nullptr);
    EXPECT_EQ(b.getBuf(), nullptr);
    EXPECT_EQ(b.getCapacity(), 0);
}

TEST(RhDynArray, SetFillsGapsWithCopies) {
    RhIntArray a;
    a.setIthInt(3, 7);
    EXPECT_EQ(values(a), (std::vector<int>{7, 7, 7, 7}));
    a.setIthInt(1, 2);
    EXPECT_EQ(values(a), (std::vector<int>{7, 2, 7, 7}));
    int v = 9;
    EXPECT_EQ(a.set(&v, -1), nullptr);
    EXPECT_EQ(a.getCount(), 4);

    RhIntArray z;
    z[3];
    EXPECT_EQ(values(z), (std::vector<int>{0, 0, 0, 0}));
    z[1] = 5;
    EXPECT_EQ(values(z), (std::vector<int>{0, 5, 0, 0}));
}

TEST(RhDynArray, SetFromOwnItemSurvivesSeveralGrowths) {
    RhIntArray a = makeInts({42});
    a.set(static_cast<RhArray&>(a)[0], 100);
    ASSERT_EQ(a.getCount(), 101);
    for (int x : values(a))
        ASSERT_EQ(x, 42);
}

TEST(RhDynArray, InsertRequiresIndexInRange) {
    RhIntArray empty;
    int v = 5;
    EXPECT_EQ(empty.insertBefore(&v, 0), nullptr);
    EXPECT_EQ(empty.insertAfter(&v, 0), nullptr);
    EXPECT_EQ(empty.getCount(), 0);

    RhIntArray a = makeInts({1, 2, 3});
    struct Case {
        bool before;
        int index;
        std::vector<int> expected;
    };
    for (const Case& c : {Case{true, 0, {5, 1, 2, 3}}, Case{true, 2, {1, 2, 5, 3}}, Case{false, 2, {1, 2, 3, 5}},
                          Case{false, 0, {1, 5, 2, 3}}, Case{true, 3, {1, 2, 3}}, Case{false, -1, {1, 2, 3}},
                          Case{true, -1, {1, 2, 3}}}) {
        RhIntArray b = a;
        if (c.before)
            b.insertBefore(&v, c.index);
        else
            b.insertAfter(&v, c.index);
        EXPECT_EQ(values(b), c.expected) << c.before << " " << c.index;
    }
}

TEST(RhDynArray, InsertOfOwnItemCopiesTheItemBeforeTheShift) {
    RhIntArray a = makeInts({10, 11, 12, 13});
    a.insertBefore(static_cast<RhArray&>(a)[3], 1);
    EXPECT_EQ(values(a), (std::vector<int>{10, 13, 11, 12, 13}));
}

TEST(RhDynArray, MoveElementKeepsOrderAlsoAcrossAGrowth) {
    struct Case {
        int n;  // array 0..n-1; n = 31 makes the insertion grow the array
        int from;
        int to;
    };
    for (const Case& c : {Case{5, 4, 1}, Case{5, 1, 4}, Case{5, 0, 4}, Case{5, 4, 0}, Case{31, 30, 1},
                          Case{31, 1, 30}, Case{31, 0, 30}, Case{31, 30, 0}}) {
        SCOPED_TRACE(testing::Message() << c.n << ": " << c.from << " -> " << c.to);
        RhIntArray a = iota(c.n);
        int capacity = a.getCapacity();
        a.moveElement(c.from, c.to);
        std::vector<int> expected(static_cast<size_t>(c.n));
        std::iota(expected.begin(), expected.end(), 0);
        int moved = expected[static_cast<size_t>(c.from)];
        expected.erase(expected.begin() + c.from);
        expected.insert(expected.begin() + c.to, moved);
        EXPECT_EQ(values(a), expected);
        if (c.n == 31) {
            EXPECT_GT(a.getCapacity(), capacity);
        }
    }
    RhIntArray a = makeInts({0, 1, 2, 3, 4});
    a.moveElement(4, 1);
    EXPECT_EQ(values(a), (std::vector<int>{0, 4, 1, 2, 3}));
    for (auto [from, to] : {std::pair{2, 2}, std::pair{-1, 2}, std::pair{1, 5}}) {
        RhIntArray b = makeInts({0, 1, 2});
        b.moveElement(from, to);
        EXPECT_EQ(values(b), (std::vector<int>{0, 1, 2}));
    }
}

TEST(RhDynArray, DeleteIgnoresOutOfRange) {
    struct Case {
        int first;
        int n;  // -1: deleteElement(first)
        std::vector<int> expected;
    };
    for (const Case& c : {Case{0, -1, {1, 2, 3}}, Case{3, -1, {0, 1, 2}}, Case{4, -1, {0, 1, 2, 3}},
                          Case{-1, -1, {0, 1, 2, 3}}, Case{1, 2, {0, 3}}, Case{2, 2, {0, 1}}, Case{3, 2, {0, 1, 2, 3}},
                          Case{-1, 1, {0, 1, 2, 3}}, Case{0, 4, {}}, Case{1, 0, {0, 1, 2, 3}}}) {
        RhIntArray a = iota(4);
        if (c.n < 0)
            a.deleteElement(c.first);
        else
            a.deleteElements(c.first, c.n);
        EXPECT_EQ(values(a), c.expected) << c.first << " " << c.n;
    }
}

TEST(RhDynArray, FindContainsAndNoDuplication) {
    RhIntArray a = makeInts({4, 5, 4});
    int four = 4, six = 6;
    EXPECT_EQ(a.findIndex(&four), 0);
    EXPECT_EQ(a.findIndex(&six), -1);
    EXPECT_EQ(a.findIndex(nullptr), -1);
    EXPECT_TRUE(a.contains(&four));
    a.appendNoDuplication(&four);
    a.appendIntNoDuplicates(6);
    a.appendIntNoDuplicates(6);
    EXPECT_EQ(values(a), (std::vector<int>{4, 5, 4, 6}));
    EXPECT_TRUE(a.containsInt(6));
    EXPECT_FALSE(a.containsInt(7));
}

TEST(RhDynArray, AppendFullArrayNeedsEqualItemSizes) {
    RhIntArray a = makeInts({1});
    RhIntArray b = makeInts({2, 3});
    RhPointerArray p;
    p.appendPointer(&a);
    a.appendFullArray(&b);
    a.appendFullArray(&p);  // other item size
    RhIntArray empty;
    a.appendFullArray(&empty);
    a.appendFullArray(nullptr);
    EXPECT_EQ(values(a), (std::vector<int>{1, 2, 3}));
}

TEST(RhDynArray, AppendFullArrayToItselfAppendsItsItemsOnce) {
    // 20 items: the self-append grows the storage (capacity 32) midway, so
    // the items still to be copied have moved.
    for (int n : {1, 5, 20}) {
        SCOPED_TRACE(n);
        RhIntArray a = iota(n);
        EXPECT_NE(a.appendFullArray(&a), nullptr);
        std::vector<int> twice = values(iota(n));
        twice.insert(twice.end(), twice.begin(), twice.end());
        EXPECT_EQ(values(a), twice);
    }
}

TEST(RhDynArray, ReverseAndInterchange) {
    RhIntArray odd = iota(5), even = iota(4);
    odd.reverse();
    even.reverse();
    EXPECT_EQ(values(odd), (std::vector<int>{4, 3, 2, 1, 0}));
    EXPECT_EQ(values(even), (std::vector<int>{3, 2, 1, 0}));
    even.interchange(0, 9);  // out of range: ignored
    even.interchange(-1, 0);
    EXPECT_EQ(values(even), (std::vector<int>{3, 2, 1, 0}));

    // Items larger than the 64-byte scratch area swap in pieces.
    struct Big {
        unsigned char bytes[150];
    };
    RhDynArray big(sizeof(Big));
    Big x, y;
    memset(x.bytes, 0xAA, sizeof x.bytes);
    memset(y.bytes, 0x55, sizeof y.bytes);
    x.bytes[149] = 1;
    big.append(&x);
    big.append(&y);
    big.interchange(0, 1);
    EXPECT_EQ(memcmp(big[0], &y, sizeof y), 0);
    EXPECT_EQ(memcmp(big[1], &x, sizeof x), 0);
}

TEST(RhDynArray, PointerAccessors) {
    int a = 0, b = 0;
    RhPointerArray p;
    p.appendPointer(&a);
    p.appendPointer(&b);
    EXPECT_EQ(p.getIthObject(1), &b);
    EXPECT_EQ(p.getIthObject(2), nullptr);
    EXPECT_EQ(p.getIndexOfObject(&b), 1);
    EXPECT_EQ(p.getIndexOfObject(nullptr), -1);
    EXPECT_EQ(p.getIthPointer(5), nullptr);
    p.setIthPointer(3, &a);
    EXPECT_EQ(p.getCount(), 4);
    EXPECT_EQ(p.getIthPointer(2), &a);
    // Items smaller than a pointer are never read as pointers.
    RhIntArray ints = iota(3);
    EXPECT_EQ(ints.getIthObject(0), nullptr);
    EXPECT_EQ(ints.getIndexOfObject(nullptr), -1);
}

TEST(RhDynArray, FixedArrayNeverGrows) {
    int storage[4] = {1, 2, 0, 0};
    RhArray a(storage, sizeof(int), 4, 2);
    int v = 3;
    EXPECT_NE(a.append(&v), nullptr);
    EXPECT_NE(a.append(&v), nullptr);
    EXPECT_EQ(a.append(&v), nullptr);
    EXPECT_EQ(a.insertBefore(&v, 0), nullptr);
    a.moveElement(0, 3);  // needs a temporary fifth slot: nothing happens
    EXPECT_EQ(a.getCount(), 4);
    EXPECT_EQ(storage[0], 1);
    EXPECT_EQ(storage[1], 2);
    EXPECT_EQ(a.set(&v, 6), nullptr);
    EXPECT_EQ(a.getBuf(), storage);

    int small[2] = {0, 0};
    RhArray b(small, sizeof(int), 2, 0);
    b.copyFrom(&a);  // too small: nothing
    EXPECT_EQ(b.getCount(), 0);
    RhArray c(storage, sizeof(int), 4, 99);  // count cut to capacity
    EXPECT_EQ(c.getCount(), 4);
    a.clear();
    EXPECT_EQ(a.getCount(), 0);
    EXPECT_EQ(a.getBuf(), storage);
}

TEST(RhDynArray, CopyFromMakesOwnStorage) {
    int storage[3] = {7, 8, 9};
    RhArray fixed(storage, sizeof(int), 3, 3);
    RhIntArray a;
    a.copyFrom(&fixed);
    EXPECT_EQ(values(a), (std::vector<int>{7, 8, 9}));
    EXPECT_NE(a.getBuf(), static_cast<void*>(storage));
    a.appendInt(10);  // full copy grows on the next insertion
    EXPECT_EQ(values(a), (std::vector<int>{7, 8, 9, 10}));

    RhIntArray b = a;  // copy constructor
    b[0] = 0;
    RhIntArray c;
    c = b;
    c.copyFrom(&c);
    EXPECT_EQ(values(a), (std::vector<int>{7, 8, 9, 10}));
    EXPECT_EQ(values(c), (std::vector<int>{0, 8, 9, 10}));
    EXPECT_NE(c.getBuf(), b.getBuf());

    RhIntArray empty;
    c.copyFrom(&empty);
    EXPECT_EQ(c.getCount(), 0);
    EXPECT_EQ(c.getBuf(), nullptr);
}

TEST(RhDynArray, SetElementSizeClearsOnChange) {
    RhDynArray a(4);
    int v = 1;
    a.append(&v);
    a.setElementSize(4);
    EXPECT_EQ(a.getCount(), 1);
    a.setElementSize(0);  // refused
    EXPECT_EQ(a.getElementSize(), 4);
    a.setElementSize(16);
    EXPECT_EQ(a.getCount(), 0);
    EXPECT_EQ(a.getElementSize(), 16);
    a.reset();
    EXPECT_EQ(a.getCount(), 0);
}

TEST(RhDynArray, SortMultipleArraysRearrangesCompanions) {
    RhIntArray keys = makeInts({3, 2, 1, 1});
    RhFloatArray names;
    for (float f : {30.f, 20.f, 10.f, 11.f})
        names.appendFloat(f);
    RhIntArray shorter = makeInts({1, 2});
    RhDynArray* companions[] = {&names, &shorter, nullptr};
    keys.sortMultipleArrays(companions, 3, RhIntArray::sortAscending);
    EXPECT_EQ(values(keys), (std::vector<int>{1, 1, 2, 3}));
    // Equal keys both take the companion of the first of them.
    std::vector<float> got;
    for (int i = 0; i < names.getCount(); ++i)
        got.push_back(names.getIthFloat(static_cast<unsigned>(i)));
    EXPECT_EQ(got, (std::vector<float>{10.f, 10.f, 20.f, 30.f}));
    EXPECT_EQ(values(shorter), (std::vector<int>{1, 2}));
}

TEST(RhIntArray, SortAndComparators) {
    RhIntArray a = makeInts({5, -2, 9, 5, 0});
    a.sort(1);
    EXPECT_EQ(values(a), (std::vector<int>{-2, 0, 5, 5, 9}));
    a.sort(0);
    EXPECT_EQ(values(a), (std::vector<int>{9, 5, 5, 0, -2}));
    int x = 1, y = 2, z = 1;
    EXPECT_EQ(RhIntArray::sortAscending(&y, &x), 1);
    EXPECT_EQ(RhIntArray::sortAscending(&x, &y), -1);
    EXPECT_EQ(RhIntArray::sortAscending(&x, &z), -1);
    EXPECT_EQ(RhIntArray::sortDescending(&x, &y), 1);
    EXPECT_EQ(RhIntArray::sortDescending(&x, &z), -1);
}

TEST(RhIntArray, FindEntryEqualToOrLessThan) {
    struct Case {
        std::vector<int> items;
        int v;
        int expected;
    };
    for (const Case& c : {Case{{1, 9, 3}, 5, 3}, Case{{6, 7}, 5, -23662}, Case{{}, 5, -23662}, Case{{5, 1}, 5, 1},
                          Case{{2, 5}, 5, 5}}) {
        EXPECT_EQ(makeInts(c.items).findEntryEqualToOrLessThan(c.v), c.expected) << c.v;
    }
}

TEST(RhIntArray, AppendSortedWithTolerance) {
    struct Case {
        std::vector<int> items;
        int v;
        int tolerance;
        int result;
        std::vector<int> expected;
    };
    for (const Case& c : {
             Case{{}, 4, 0, 1, {4}},
             Case{{10, 20}, 12, 2, 0, {10, 20}},
             Case{{10, 20}, 15, 2, 1, {10, 15, 20}},
             Case{{10, 20}, 18, 2, 0, {10, 20}},
             Case{{10, 20}, 20, 0, 0, {10, 20}},
             Case{{10, 20}, 5, 0, 1, {5, 10, 20}},
             Case{{10, 20}, 25, 0, 1, {10, 20, 25}},
             Case{{10, 20}, 8, 2, 0, {10, 20}},
             Case{{INT32_MIN, 0}, INT32_MAX, 5, 1, {INT32_MIN, 0, INT32_MAX}},
         }) {
        RhIntArray a = makeInts(c.items);
        EXPECT_EQ(a.appendIntNoDuplicatesSorted(c.v, c.tolerance), c.result) << c.v;
        EXPECT_EQ(values(a), c.expected) << c.v;
    }
}

TEST(RhIntArray, OutOfRangeAccess) {
    RhIntArray a = makeInts({1});
    const RhIntArray& ca = a;
    EXPECT_EQ(a.getIthInt(1), 0);
    EXPECT_EQ(ca[5], 0);
    EXPECT_EQ(a.getCount(), 1);
    // An index beyond the signed range cannot be reached: a scratch value.
    int& scratch = a[0xFFFFFFFFu];
    scratch = 3;
    EXPECT_EQ(values(a), (std::vector<int>{1}));
}

TEST(RhFloatArray, TypedAccess) {
    RhFloatArray f;
    f.setIthFloat(2, 1.5f);
    EXPECT_EQ(f.getCount(), 3);
    EXPECT_EQ(f.getIthFloat(0), 1.5f);
    EXPECT_EQ(f.getIthFloat(3), 0.f);
    f[4] = 2.5f;
    EXPECT_EQ(f.getIthFloat(3), 0.f);
    const RhFloatArray& cf = f;
    EXPECT_EQ(cf[4], 2.5f);
}

TEST(RhPointerArray, SortedInsertionByAddress) {
    char block[8];
    RhPointerArray p;
    for (int i : {5, 1, 7, 3, 1, 0, 5})
        p.insertPointerSortedNoDuplication(block + i);
    std::vector<char*> got;
    for (int i = 0; i < p.getCount(); ++i)
        got.push_back(static_cast<char*>(p.getIthPointer(static_cast<unsigned>(i))));
    EXPECT_EQ(got, (std::vector<char*>{block, block + 1, block + 3, block + 5, block + 7}));
    EXPECT_EQ(p.insertPointerSortedNoDuplication(block + 3), 0);
    EXPECT_EQ(p.insertPointerSortedNoDuplication(block + 2), 1);
}

TEST(AssociativeArray, LookupByKey) {
    AssociativeArray a;
    for (AssociativeArrayEntry e : {AssociativeArrayEntry{4, 0.5f}, AssociativeArrayEntry{-1, 2.f},
                                    AssociativeArrayEntry{4, 9.f}})
        a.append(&e);
    EXPECT_EQ(a.getEntryIndex(-1), 1);
    EXPECT_EQ(a.getEntryIndex(3), -1);
    ASSERT_NE(a.getEntry(4), nullptr);
    EXPECT_EQ(a.getEntry(4)->value, 0.5f);
    EXPECT_EQ(a.getEntry(3), nullptr);
    float v = 0;
    EXPECT_EQ(a.getValue(-1, &v), 1);
    EXPECT_EQ(v, 2.f);
    EXPECT_EQ(a.getValue(7, &v), 0);
    EXPECT_EQ(a.getValue(4, nullptr), 1);
}
