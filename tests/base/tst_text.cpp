// SPDX-License-Identifier: MIT
#include "tvkbytearray.h"
#include "tvkstring.h"
#include "tvkvariant.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <string>

using namespace Quorvan;

namespace {

TEST(StringTest, NullIsDistinctFromEmpty)
{
    CtvkString null;
    CtvkString empty = CtvkString::fromUtf8("");
    EXPECT_TRUE(null.isNull());
    EXPECT_TRUE(null.isEmpty());
    EXPECT_FALSE(empty.isNull());
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_TRUE(CtvkString(static_cast<const char*>(nullptr)).isNull());
    EXPECT_TRUE(CtvkString::fromAscii(nullptr).isNull());
    EXPECT_TRUE(null == "");
    EXPECT_TRUE(null == nullptr);
    EXPECT_TRUE(null.toUtf8().isNull());
    EXPECT_FALSE(empty.toUtf8().isNull());
    // Removing from a null string keeps it null.
    EXPECT_TRUE(null.remove(CtvkChar('a')).isNull());
}

TEST(StringTest, ExplicitLengthsAndUtf8)
{
    EXPECT_EQ(CtvkString::fromAscii("abcdef", 3), "abc");
    EXPECT_EQ(CtvkString::fromAscii("abc", -1).size(), 3);
    const CtvkString s = CtvkString::fromUtf8("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(s.size(), 9);   // the emoji takes two code units
    EXPECT_EQ(s.at(2).unicode(), 0xFC);
    EXPECT_EQ(s.toStdString(), "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(s.toAscii().toStdString(), "gr?? ? ??");
    EXPECT_EQ(s.toLatin1().toStdString(), "gr\xFC\xDF ? ??");
    EXPECT_TRUE(CtvkString::fromLatin1("gr\xFC") == "gr\xFC");
    EXPECT_FALSE(CtvkString::fromLatin1("abc") == "abd");
    EXPECT_FALSE(CtvkString::fromLatin1("abc") == "ab");
}

TEST(StringTest, MalformedUtf8NeverReadsPastTheGivenLength)
{
    // A lead byte announcing three more bytes at the very end of the input.
    const char truncated[] = {'a', '\xF0', '\x9F'};
    const CtvkString s = CtvkString::fromUtf8(truncated, 3);
    EXPECT_EQ(s.size(), 3);
    EXPECT_EQ(s.at(0).unicode(), u'a');
    EXPECT_EQ(s.at(1).unicode(), 0xFFFD);
    // Overlong forms and encoded surrogates are refused too.
    EXPECT_EQ(CtvkString::fromUtf8("\xC0\xAF").at(0).unicode(), 0xFFFD);
    EXPECT_EQ(CtvkString::fromUtf8("\xED\xA0\x80").at(0).unicode(), 0xFFFD);
    EXPECT_EQ(s.at(99).unicode(), 0);
}

// Sets the C library's locale for one scope; false if the system lacks it.
class ScopedLocale {
public:
    explicit ScopedLocale(const char* name)
    {
        const char* current = std::setlocale(LC_ALL, nullptr);
        m_saved = current ? current : "C";
        m_set = std::setlocale(LC_ALL, name) != nullptr;
    }
    ~ScopedLocale() { std::setlocale(LC_ALL, m_saved.c_str()); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    bool isSet() const { return m_set; }
private:
    std::string m_saved;
    bool m_set = false;
};

TEST(StringTest, LocalEightBitFollowsTheLocaleAndKeepsEveryByte)
{
    // The C locale reads no byte above 0x7f: each is kept as Latin-1 and
    // written back unchanged.
    const CtvkString c = CtvkString::fromLocal8Bit("caf\xe9\xff!");
    EXPECT_EQ(c, CtvkString::fromLatin1("caf\xe9\xff!"));
    EXPECT_EQ(c.toLocal8Bit(), CtvkByteArray("caf\xe9\xff!"));
    EXPECT_TRUE(CtvkString::fromLocal8Bit(nullptr).isNull());
    EXPECT_EQ(CtvkString::fromLocal8Bit("a\0b", 3).size(), 3);

    bool anyLocale = false;
    {
        ScopedLocale utf8("fr_FR.UTF-8");
        if (utf8.isSet()) {
            anyLocale = true;
            const char* text = "Connexion refus\xc3\xa9" "e \xf0\x9f\x94\x8c";
            const CtvkString s = CtvkString::fromLocal8Bit(text);
            EXPECT_EQ(s, CtvkString::fromUtf8(text));
            EXPECT_EQ(s.toLocal8Bit(), CtvkByteArray(text));
            EXPECT_EQ(CtvkString::fromLocal8Bit("\xc3").at(0), CtvkChar(char16_t(0xc3)));   // cut off
        }
    }
    {
        ScopedLocale latin1("fr_FR.ISO-8859-1");
        if (latin1.isSet()) {
            anyLocale = true;
            const CtvkString s = CtvkString::fromLocal8Bit("refus\xe9" "e");
            EXPECT_EQ(s, CtvkString::fromUtf8("refus\xc3\xa9" "e"));
            EXPECT_EQ(s.toLocal8Bit(), CtvkByteArray("refus\xe9" "e"));
            EXPECT_EQ(CtvkString::fromUtf8("\xe2\x82\xac").toLocal8Bit(), CtvkByteArray("?"));
        }
    }
    if (!anyLocale)
        GTEST_SKIP() << "neither fr_FR.UTF-8 nor fr_FR.ISO-8859-1 is installed (localedef -i fr_FR -f UTF-8 fr_FR.UTF-8)";
}

TEST(StringTest, CopiesShareUntilChanged)
{
    CtvkString a = CtvkString::fromAscii("Hello World");
    CtvkString b = a;
    b.remove(CtvkChar('o'));
    EXPECT_EQ(a, "Hello World");
    EXPECT_EQ(b, "Hell Wrld");
    CtvkString c = a;
    c.remove(CtvkChar('L'), CaseInsensitive);
    EXPECT_EQ(c, "Heo Word");
    c.append(CtvkString("!"));
    EXPECT_EQ(c, "Heo Word!");
    EXPECT_EQ(a, "Hello World");
    CtvkString n;
    n.append(CtvkString::fromAscii(""));
    EXPECT_FALSE(n.isNull());
}

TEST(ByteArrayTest, TerminatedAndCopyOnWrite)
{
    CtvkByteArray null;
    EXPECT_TRUE(null.isNull());
    EXPECT_STREQ(null.constData(), "");
    CtvkByteArray a("ab\0cd", 5);
    EXPECT_EQ(a.size(), 5);
    EXPECT_EQ(a.constData()[5], '\0');
    CtvkByteArray b = a;
    b.data()[0] = 'X';
    EXPECT_EQ(a.constData()[0], 'a');
    EXPECT_NE(a, b);
    b.append("yz", 2);
    EXPECT_EQ(b.size(), 7);
    EXPECT_EQ(b.constData()[7], '\0');
}

TEST(VariantTest, NumbersBoolsAndText)
{
    EXPECT_FALSE(CtvkVariant().isValid());
    EXPECT_TRUE(CtvkVariant().toString().isNull());
    EXPECT_FALSE(CtvkVariant().canConvert(CtvkVariant::Int));

    bool ok = false;
    EXPECT_EQ(CtvkVariant(true).toInt(&ok), 1);
    EXPECT_TRUE(ok);
    EXPECT_EQ(CtvkVariant(2.6).toInt(&ok), 3);
    EXPECT_TRUE(ok);
    EXPECT_EQ(CtvkVariant(-2.6).toInt(), -3);
    CtvkVariant(1e12).toInt(&ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(CtvkVariant(42).toString(), "42");
    EXPECT_EQ(CtvkVariant(0.1).toString(), "0.1");
    EXPECT_EQ(CtvkVariant(false).toString(), "false");

    // unsigned values beyond int become doubles rather than negative ints.
    EXPECT_EQ(CtvkVariant(3000000000u).type(), CtvkVariant::Double);
    EXPECT_EQ(CtvkVariant(7u).type(), CtvkVariant::Int);
}

TEST(VariantTest, TextConvertsOnlyWhenItIsANumber)
{
    bool ok = false;
    EXPECT_EQ(CtvkVariant(CtvkString(" 123 ")).toInt(&ok), 123);
    EXPECT_TRUE(ok);
    EXPECT_EQ(CtvkVariant("-7").toInt(&ok), -7);
    EXPECT_TRUE(ok);
    EXPECT_EQ(CtvkVariant("+7").toInt(&ok), 7);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(CtvkVariant("12").canConvert(CtvkVariant::Int));
    EXPECT_TRUE(CtvkVariant("12").canConvert(CtvkVariant::Double));

    EXPECT_EQ(CtvkVariant("12abc").toInt(&ok), 0);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(CtvkVariant("12abc").canConvert(CtvkVariant::Int));
    EXPECT_FALSE(CtvkVariant("").canConvert(CtvkVariant::Double));
    EXPECT_FALSE(CtvkVariant("99999999999").canConvert(CtvkVariant::Int));
    EXPECT_TRUE(CtvkVariant("99999999999").canConvert(CtvkVariant::Double));
    EXPECT_FALSE(CtvkVariant("1.5").canConvert(CtvkVariant::Int));
    // One sign only.
    EXPECT_FALSE(CtvkVariant("+-5").canConvert(CtvkVariant::Int));
    EXPECT_FALSE(CtvkVariant("+-5").canConvert(CtvkVariant::Double));
    EXPECT_FALSE(CtvkVariant("++5").canConvert(CtvkVariant::Int));
    EXPECT_DOUBLE_EQ(CtvkVariant("1.5e3").toDouble(&ok), 1500.0);
    EXPECT_TRUE(ok);
    CtvkVariant("nan").toDouble(&ok);
    EXPECT_FALSE(ok);
    // Non-ASCII digits are not digits.
    CtvkVariant(CtvkString::fromUtf8("\xD9\xA1")).toInt(&ok);
    EXPECT_FALSE(ok);

    EXPECT_FALSE(CtvkVariant("0").toBool());
    EXPECT_FALSE(CtvkVariant("false").toBool());
    EXPECT_TRUE(CtvkVariant("yes").toBool());
    EXPECT_FALSE(CtvkVariant(CtvkString()).toBool());
}

TEST(VariantTest, CopiesAndComparison)
{
    CtvkVariant a(CtvkString("abc"));
    CtvkVariant b = a;
    EXPECT_EQ(a, b);
    b = CtvkVariant(3);
    EXPECT_EQ(a.toString(), "abc");
    EXPECT_EQ(CtvkVariant(3), CtvkVariant(3.0));
    EXPECT_NE(CtvkVariant(3), CtvkVariant("3"));
    EXPECT_EQ(CtvkVariant(), CtvkVariant());
    int x = 0;
    EXPECT_EQ(CtvkVariant(static_cast<void*>(&x)).toVoidStar(), &x);
    EXPECT_EQ(CtvkVariant(5).toVoidStar(), nullptr);
}

} // namespace
