// SPDX-License-Identifier: MIT
#include "tvkhash.h"
#include "tvklist"
#include "tvkvariant.h"
#include "tvkvector"

#include <gtest/gtest.h>

#include <string>

using namespace Quorvan;

namespace {

TEST(ContainerTest, HashDetachesOnWriteOnly)
{
    CtvkHash<int, CtvkVariant> a;
    a.insert(1, CtvkVariant(10));
    CtvkHash<int, CtvkVariant> b = a;
    EXPECT_TRUE(a.isSharedWith(b));
    EXPECT_EQ(b.value(1).toInt(), 10);   // reading keeps sharing
    EXPECT_TRUE(a.isSharedWith(b));
    b[1] = CtvkVariant(20);
    EXPECT_FALSE(a.isSharedWith(b));
    EXPECT_EQ(a.value(1).toInt(), 10);
    EXPECT_EQ(b.value(1).toInt(), 20);
    CtvkHash<int, CtvkVariant> c = a;
    c.remove(1);
    EXPECT_TRUE(a.contains(1));
    EXPECT_FALSE(c.contains(1));
    EXPECT_FALSE(a.value(2).isValid());
    a.clear();
    EXPECT_TRUE(a.isEmpty());
    EXPECT_EQ(b.size(), 1);
}

TEST(ContainerTest, ListAndVectorDetachOnWrite)
{
    CtvkList<int> a{1, 2, 3, 2};
    CtvkList<int> b = a;
    EXPECT_TRUE(a.isSharedWith(b));
    EXPECT_EQ(b.removeAll(2), 2);
    EXPECT_EQ(a.size(), 4);
    EXPECT_EQ(b, (CtvkList<int>{1, 3}));
    EXPECT_EQ(a.lastIndexOf(2), 3);
    EXPECT_EQ(a.indexOf(7), -1);
    // Nothing to remove: no copy is made.
    CtvkList<int> c = a;
    EXPECT_EQ(c.removeAll(9), 0);
    EXPECT_TRUE(c.isSharedWith(a));

    CtvkVector<int> v{5, 6};
    CtvkVector<int> w = v;
    w[0] = 9;
    EXPECT_EQ(v.at(0), 5);
    EXPECT_EQ(w.at(0), 9);
    const CtvkVector<int>& cv = v;
    CtvkVector<int> x = v;
    EXPECT_EQ(cv[1], 6);   // const access does not detach
    EXPECT_TRUE(x.isSharedWith(v));
}

// The value to remove may be an element of the container itself, whose
// slot the removal overwrites; alone or shared, the result is the same.
template <class Seq>
void removeAllOfItsOwnElement()
{
    Seq alone{1, 2, 1, 3};
    EXPECT_EQ(alone.removeAll(alone.at(0)), 2);
    EXPECT_EQ(alone, (Seq{2, 3}));

    Seq shared{1, 2, 1, 3};
    const Seq copy = shared;
    EXPECT_EQ(shared.removeAll(shared.at(0)), 2);
    EXPECT_EQ(shared, (Seq{2, 3}));
    EXPECT_EQ(copy, (Seq{1, 2, 1, 3}));
}

TEST(ContainerTest, RemoveAllOfAnElementOfItsOwn)
{
    removeAllOfItsOwnElement<CtvkList<int>>();
    removeAllOfItsOwnElement<CtvkVector<int>>();
    CtvkList<std::string> words{"a", "b", "a", "a", "c"};
    EXPECT_EQ(words.removeAll(words.at(0)), 3);
    EXPECT_EQ(words, (CtvkList<std::string>{"b", "c"}));
}

} // namespace
