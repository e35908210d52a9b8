#include "RhStringList.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CoreUtilTestSupport.h"

namespace {

using Texts = std::vector<std::string>;

using rhtest::texts;

template <typename List = RhStringList>
void fill(List& list, const Texts& items) {
    for (const std::string& t : items)
        list.appendString(t.c_str());
}

}  // namespace

TEST(RhStringList, AppendFormsCopyTheirStrings) {
    RhStringList list;
    RhString s("alpha");
    list.appendString("one");
    list.appendString(static_cast<const char*>(nullptr));
    list.append(&s);
    list.append(static_cast<const void*>(&s));
    list.appendString(&s, 0);  // present: not appended
    list.appendString(static_cast<const RhString*>(nullptr), 0);
    EXPECT_EQ(texts(list), (Texts{"one", "", "alpha", "alpha"}));
    EXPECT_EQ(list.getIthString(1)->getCapacity(), 0u);  // bufferless
    EXPECT_NE(list.getIthString(2), &s);
    s = "changed";
    EXPECT_STREQ(list.getIthString(2)->getText(), "alpha");
}

TEST(RhStringList, AppendNoDuplicationRules) {
    struct Case {
        bool pooled;
        const char* text;
        int fuzzy;
        int result;
    };
    // The list holds "Grand Piano" and "organ".
    for (const Case& c : {
             Case{false, nullptr, 0, 1},
             Case{false, "organ", 0, 1},
             Case{false, "Organ", 0, 0},
             Case{false, "piano", 0, 0},
             Case{false, "piano, flute", 1, 1},  // a token matches an entry
             Case{false, "flute", 1, 0},
             Case{true, "Organ", 0, 1},  // pooled lists ignore case
             Case{true, "ORGAN", 1, 1},
             Case{true, "piano", 1, 0},  // and never match fuzzily
             Case{true, nullptr, 0, 1},
         }) {
        SCOPED_TRACE(testing::Message() << c.pooled << " " << (c.text ? c.text : "(null)") << " " << c.fuzzy);
        RhStringList plain;
        RhStringListWithStringPool pooled;
        RhStringList& list = c.pooled ? static_cast<RhStringList&>(pooled) : plain;
        list.appendString("Grand Piano");
        list.appendString("organ");
        EXPECT_EQ(list.appendStringNoDuplication(c.text, c.fuzzy), c.result);
        EXPECT_EQ(list.getCount(), c.result ? 2 : 3);
        RhString s(c.text);
        if (c.text != nullptr) {
            EXPECT_EQ(list.appendStringNoDuplication(&s, c.fuzzy), 1);  // now present
        }
    }
}

TEST(RhStringList, FindAndCompare) {
    RhStringList list;
    fill(list, {"a", "B", "b"});
    EXPECT_EQ(list.findString("b"), 2);
    EXPECT_EQ(list.findString("b", 1), 1);
    EXPECT_EQ(list.findString("c"), -1);
    EXPECT_EQ(list.findString(static_cast<const char*>(nullptr)), -1);
    EXPECT_EQ(list.findString(static_cast<const RhString*>(nullptr)), -1);

    RhStringList other;
    fill(other, {"b", "x", "a", "a"});
    EXPECT_EQ(list.countSharedStrings(&other), 3);
    EXPECT_EQ(list.countSharedStrings(nullptr), 0);

    RhStringList same;
    fill(same, {"a", "B", "b"});
    RhStringList shorter;
    fill(shorter, {"a", "B"});
    RhStringList reordered;
    fill(reordered, {"B", "a", "b"});
    EXPECT_EQ(list.compare(&same), 0);
    EXPECT_EQ(list.compare(&shorter), 1);
    EXPECT_EQ(list.compare(&reordered), 1);
    EXPECT_EQ(list.compare(nullptr), 1);
}

TEST(RhStringList, RemovalDestroysEveryEqualEntry) {
    RhStringList list;
    fill(list, {"x", "y", "x", "z", "X"});
    EXPECT_TRUE(list.deleteString("x"));
    EXPECT_FALSE(list.deleteString("nope"));
    EXPECT_FALSE(list.deleteString(static_cast<const RhString*>(nullptr)));
    EXPECT_EQ(texts(list), (Texts{"y", "z", "X"}));

    RhStringList gone;
    fill(gone, {"X", "y", "q"});
    list.deleteStrings(&gone);
    EXPECT_EQ(texts(list), (Texts{"z"}));

    RhStringList many;
    fill(many, {"0", "1", "2", "3", "4"});
    many.deleteElement(9);
    many.deleteElement(0);
    many.deleteElements(1, 2);
    many.deleteElements(2, 5);  // beyond count: nothing
    EXPECT_EQ(texts(many), (Texts{"1", "4"}));
    many.reset();
    EXPECT_EQ(many.getCount(), 0);
}

TEST(RhStringList, EliminateDuplicates) {
    struct Case {
        int sorted;
        Texts items;
        Texts expected;
    };
    for (const Case& c : {
             Case{0, {"b", "a", "b", "c", "a"}, {"b", "a", "c"}},
             Case{0, {"a", "A", "a"}, {"a", "A"}},
             Case{1, {"a", "a", "a", "b", "c", "c"}, {"a", "b", "c"}},
             Case{1, {"a", "b", "a"}, {"a", "b", "a"}},  // only neighbours count
             Case{0, {}, {}},
         }) {
        RhStringList list;
        fill(list, c.items);
        list.eliminateDuplicateStrings(c.sorted);
        EXPECT_EQ(texts(list), c.expected);
    }
}

TEST(RhStringList, SortAlphabeticallyIgnoresCase) {
    RhStringList list;
    fill(list, {"pear", "Apple", "fig", "banana"});
    list.sortAlphabetically();
    EXPECT_EQ(texts(list), (Texts{"Apple", "banana", "fig", "pear"}));
    RhString x("abc"), y("ABD");
    RhString* px = &x;
    RhString* py = &y;
    EXPECT_LT(RhStringList::alphaSortFunc(&px, &py), 0);
}

TEST(RhStringList, Tokenize) {
    struct Case {
        const char* text;
        const char* delimiters;
        int keepAll;
        Texts expected;
    };
    for (const Case& c : {
             Case{"The piano and 88 keys, under lid", " ,", 0, {"piano", "keys", "lid"}},
             Case{"The piano and 88 keys, under lid", " ,", 1, {"The", "piano", "and", "88", "keys", "under", "lid"}},
             Case{"WITH 1234 12ab -567 abc", " ", 0, {"12ab", "abc"}},
             Case{",,a,,bb,,", ",", 1, {"a", "bb"}},
             Case{"", " ", 1, {}},
             Case{"one two", nullptr, 1, {"one two"}},
         }) {
        RhStringList list;
        list.appendString("old");
        RhString text(c.text);
        list.tokenize(&text, c.delimiters, c.keepAll);
        EXPECT_EQ(texts(list), c.expected) << c.text;
    }
    RhStringList list;
    list.appendString("old");
    list.tokenize(nullptr, " ", 1);
    EXPECT_EQ(list.getCount(), 0);
}

TEST(RhStringList, CopyingMakesIndependentStrings) {
    RhStringList a;
    fill(a, {"a", "b", "a"});
    RhStringList b(a);
    RhStringList c;
    c.appendString("junk");
    c = a;
    c = c;
    RhStringList d;
    d.clearAndCopyFrom(&a, 0);
    RhStringList e;
    e.copyFrom(&a);  // string lists are not copied this way
    RhStringList f;
    fill(f, {"z"});
    f.appendList(&a, 1);
    f.appendList(&f, 1);
    EXPECT_EQ(texts(b), (Texts{"a", "b", "a"}));
    EXPECT_EQ(texts(c), (Texts{"a", "b", "a"}));
    EXPECT_EQ(texts(d), (Texts{"a", "b"}));
    EXPECT_EQ(e.getCount(), 0);
    EXPECT_EQ(texts(f), (Texts{"z", "a", "b", "a", "z", "a", "b", "a"}));
    EXPECT_NE(b.getIthString(0), a.getIthString(0));
    EXPECT_NE(c.getIthString(0), a.getIthString(0));
}

TEST(RhStringList, IndexedAccess) {
    RhStringList list;
    EXPECT_EQ(list.getIthString(0), nullptr);
    EXPECT_EQ(list[0], nullptr);
    list.setIthString(2, "c");
    EXPECT_EQ(texts(list), (Texts{"", "", "c"}));
    RhString b("b");
    list.setIthString(1, &b);
    list.setIthString(0, static_cast<const char*>(nullptr));
    EXPECT_EQ(texts(list), (Texts{"", "b", "c"}));
    EXPECT_EQ(list.getIthString(0)->getCapacity(), 0u);
    ASSERT_NE(list[2], nullptr);
    EXPECT_EQ(*list[2], list.getStrings()[2]);
    EXPECT_EQ(list.getIthString(3), nullptr);
}

TEST(RhStringList, UntypedOperationsKeepOwnershipSound) {
    RhStringList list;
    fill(list, {"a", "b", "c", "d"});
    // Moving uses a temporary copy of the pointer; the string must survive.
    RhString* c = list.getIthString(2);
    list.moveElement(2, 0);
    list.moveElement(0, 3);
    EXPECT_EQ(list.getIthString(3), c);
    EXPECT_EQ(texts(list), (Texts{"a", "b", "d", "c"}));
    list.interchange(0, 1);
    list.reverse();
    EXPECT_EQ(texts(list), (Texts{"c", "d", "a", "b"}));

    RhString e("e");
    list.appendNoDuplication(&e);
    list.appendNoDuplication(&e);
    RhStringList other;
    fill(other, {"f"});
    list.appendFullArray(&other);
    RhIntArray ints;
    ints.appendInt(1);
    list.appendFullArray(&ints);
    EXPECT_EQ(texts(list), (Texts{"c", "d", "a", "b", "e", "f"}));

    // set adopts the pointer; a gap gets empty strings, never shared pointers.
    RhString* adopted = new RhString("g");
    list.set(&adopted, 8);
    EXPECT_EQ(texts(list), (Texts{"c", "d", "a", "b", "e", "f", "", "", "g"}));
    EXPECT_EQ(list.getIthString(8), adopted);
    RhString* replacement = new RhString("h");
    list.set(&replacement, 0);
    list.set(&replacement, 0);  // same pointer again: kept, not destroyed
    EXPECT_STREQ(list.getIthString(0)->getText(), "h");
}

TEST(RhStringListMRU, PushMovesToFront) {
    struct Case {
        unsigned max;
        Texts items;
        const char* pushed;
        Texts expected;
    };
    for (const Case& c : {
             Case{3, {"x", "y", "z"}, "y", {"y", "x", "z"}},
             Case{3, {"x", "y", "z"}, "w", {"w", "x", "y"}},
             Case{5, {"x", "y", "z"}, "w", {"w", "x", "y", "z"}},
             Case{5, {"x", "y", "z"}, "z", {"z", "x", "y"}},
             Case{5, {"x", "y", "x"}, "x", {"x", "x", "y"}},  // the last occurrence moves
             Case{3, {}, "a", {"a"}},
         }) {
        RhStringListMRU list(c.max);
        fill(list, c.items);
        RhString s(c.pushed);
        list.push(&s);
        EXPECT_EQ(texts(list), c.expected) << c.pushed;
    }
    RhStringListMRU list(3);
    fill(list, {"x", "y", "z"});
    list.push(list.getIthString(2));  // one of its own entries
    list.push(nullptr);
    EXPECT_EQ(texts(list), (Texts{"z", "x", "y"}));
    list.setMaxCount(4);
    EXPECT_EQ(list.getMaxCount(), 4u);
}

TEST(RhStringPool, RefilledPooledListReusesItsStrings) {
    RhStringListWithStringPool list;
    Texts names{"kick", "snare", "hat", "tom"};
    fill(list, names);
    std::set<RhString*> first;
    for (int i = 0; i < list.getCount(); ++i)
        first.insert(list.getIthString(static_cast<unsigned>(i)));
    int pooled = RhStringListWithStringPool::sStringPool.getPooledCount();
    list.clear();
    EXPECT_EQ(RhStringListWithStringPool::sStringPool.getPooledCount(), pooled + 4);
    fill(list, names);
    std::set<RhString*> second;
    for (int i = 0; i < list.getCount(); ++i)
        second.insert(list.getIthString(static_cast<unsigned>(i)));
    EXPECT_EQ(first, second);
    EXPECT_EQ(texts(list), names);
    EXPECT_EQ(RhStringListWithStringPool::sStringPool.getPooledCount(), pooled);
}

TEST(RhStringPool, OnlySmallStringsArePooled) {
    RhStringPool& pool = RhStringListWithStringPool::sStringPool;
    int pooled = 0;
    {
        RhStringListWithStringPool list;
        list.appendString("eighteen-chars-abc");   // capacity 19: pooled
        list.appendString("nineteen-chars-abcd");  // capacity 20: destroyed
        pooled = pool.getPooledCount();
    }
    EXPECT_EQ(pool.getPooledCount(), pooled + 1);

    RhStringPool::sEnablePool = 0;
    {
        RhStringListWithStringPool list;
        list.appendString("a");
        pooled = pool.getPooledCount();
    }
    RhStringPool::sEnablePool = 1;
    EXPECT_EQ(pool.getPooledCount(), pooled);

    pool.contributeStringToPool(nullptr);
    EXPECT_EQ(pool.getPooledCount(), pooled);
}

TEST(RhStringPool, PooledStringsComeBackEmptyAndPoolGrowsBy4096) {
    RhStringPool pool;
    std::vector<RhString*> given;
    for (int i = 0; i < 5000; ++i) {
        RhString* s = new RhString("x");
        given.push_back(s);
        pool.contributeStringToPool(s);
        if (i == 0) {
            EXPECT_EQ(pool.getCapacity(), 4096);
        }
    }
    EXPECT_EQ(pool.getCapacity(), 8192);
    EXPECT_EQ(pool.getPooledCount(), 5000);
    for (int i = 4999; i >= 0; --i) {
        RhString* s = pool.getString();
        ASSERT_EQ(s, given[static_cast<size_t>(i)]);
        EXPECT_STREQ(s->getText(), "");
        EXPECT_EQ(s->getCapacity(), 2u);  // the small buffer is kept
        delete s;
    }
    RhString* fresh = pool.getString();
    EXPECT_EQ(fresh->getCapacity(), 0u);
    delete fresh;
    // Strings still pooled are destroyed with the pool (the sanitizer build's
    // leak checker watches this).
    for (int i = 0; i < 3; ++i)
        pool.contributeStringToPool(new RhString("left"));
}

TEST(RhStringPool, PooledListsFromSeveralThreads) {
    RhStringPool& pool = RhStringListWithStringPool::sStringPool;
    int pooled = pool.getPooledCount();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            RhStringListWithStringPool list;
            for (int round = 0; round < 200; ++round) {
                for (int i = 0; i < 20; ++i)
                    list.appendString(("n" + std::to_string(t) + "_" + std::to_string(i)).c_str());
                if (list.getCount() != 20 || std::string(list.getIthString(19)->getText()) !=
                                                  "n" + std::to_string(t) + "_19")
                    ADD_FAILURE() << "thread " << t << " round " << round;
                list.clear();
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    // Every string went back: the pool holds at most the 80 in flight at once.
    EXPECT_GE(pool.getPooledCount(), pooled);
    EXPECT_LE(pool.getPooledCount(), pooled + 80);
}
