#include "convertlib.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

// Every Convert routine hands over a new string; take it and free it here.
std::string take(std::string* owned)
{
    std::unique_ptr<std::string> holder(owned);
    return *holder;
}

}  // namespace

TEST(ConvertBytes, SafebyteMasksOnlyControlBytes)
{
    EXPECT_EQ('.', Convert::safebyte(0));
    EXPECT_EQ('.', Convert::safebyte(31));
    EXPECT_EQ(' ', Convert::safebyte(32));
    EXPECT_EQ(127, Convert::safebyte(127));
    EXPECT_EQ(200, Convert::safebyte(200));
}

TEST(ConvertBytes, Int32IsBigEndianBothWays)
{
    unsigned char bytes[] = {0xEE, 0x12, 0x34, 0x56, 0x78, 0xEE};
    EXPECT_EQ(0x12345678u, Convert::getint32(bytes, 1));
    EXPECT_EQ(0xEE123456u, Convert::getint32(bytes, 0));

    unsigned char written[6] = {0xAA, 0, 0, 0, 0, 0xBB};
    Convert::setint32(written, 1, 0x12345678UL);
    const unsigned char expected[6] = {0xAA, 0x12, 0x34, 0x56, 0x78, 0xBB};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(expected[i], written[i]) << "byte " << i;

    Convert::setint32(written, 1, 0xFFFFFFFFUL);
    EXPECT_EQ(0xFFFFFFFFu, Convert::getint32(written, 1));
    EXPECT_EQ(0xBB, written[5]);
}

TEST(ConvertBytes, ReadstringStopsAtLengthOrNul)
{
    unsigned char text[] = "abc\0def";
    EXPECT_EQ("abc", take(Convert::readstring(text, 0, 10)));
    EXPECT_EQ("ab", take(Convert::readstring(text, 0, 2)));
    EXPECT_EQ("bc", take(Convert::readstring(text, 1, 10)));
    EXPECT_EQ("de", take(Convert::readstring(text, 4, 2)));
    EXPECT_EQ("", take(Convert::readstring(text, 3, 10)));
    EXPECT_EQ("", take(Convert::readstring(text, 0, 0)));
    EXPECT_EQ("", take(Convert::readstring(text, 0, -1)));
}

TEST(ConvertCase, MakelowerStopsAtFirstNul)
{
    std::string text("ABC\0DEF", 7);
    Convert::makelower(&text);
    EXPECT_EQ(std::string("abc\0DEF", 7), text);

    std::string mixed = "Hello, WORLD [@Z]";
    Convert::makelower(&mixed);
    EXPECT_EQ("hello, world [@z]", mixed);
}

TEST(ConvertCase, TolowerLeavesTheOriginal)
{
    std::string text = "MiXeD";
    EXPECT_EQ("mixed", take(Convert::tolower(&text)));
    EXPECT_EQ("MiXeD", text);
}

TEST(ConvertText, IsnibbleComparesWholeStrings)
{
    for (const char* yes : {"5", "0", "9", "a", "c", "f", "A", "E", "F", "5x"})
        EXPECT_TRUE(Convert::isnibble(yes)) << yes;
    for (const char* no : {"g", "90", "G", "", " ", "/", ":", "`", "@"})
        EXPECT_FALSE(Convert::isnibble(no)) << '"' << no << '"';
}

TEST(ConvertText, TrimRemovesOnlySpaces)
{
    std::string spaced = "  a b  ";
    EXPECT_EQ("a b", take(Convert::trim(&spaced)));
    EXPECT_EQ("  a b  ", spaced);

    std::string tabbed = "\ta ";
    EXPECT_EQ("\ta", take(Convert::trim(&tabbed)));

    std::string blank = "   ";
    EXPECT_EQ("", take(Convert::trim(&blank)));
    std::string empty;
    EXPECT_EQ("", take(Convert::trim(&empty)));
    std::string untouched = "x\n";
    EXPECT_EQ("x\n", take(Convert::trim(&untouched)));
}

TEST(ConvertPad, PadleftPadsInPlaceButCutsOnlyTheCopy)
{
    std::string seven = "7";
    EXPECT_EQ("007", take(Convert::padleft(seven, 3, "0")));
    EXPECT_EQ("007", seven);

    std::string longer = "12345";
    EXPECT_EQ("123", take(Convert::padleft(longer, 3, "0")));
    EXPECT_EQ("12345", longer);

    std::string exact = "abc";
    EXPECT_EQ("abc", take(Convert::padleft(exact, 3, "0")));
    EXPECT_EQ("abc", exact);

    std::string wide = "ab";
    EXPECT_EQ("xyxyab", take(Convert::padleft(wide, 4, "xy")));
    EXPECT_EQ("xyxyab", wide);

    std::string negative = "abc";
    EXPECT_EQ("abc", take(Convert::padleft(negative, -1, "0")));
    EXPECT_EQ("abc", negative);
}

TEST(ConvertPad, PadrightChangesTheCallerEitherWay)
{
    std::string longer = "12345";
    EXPECT_EQ("123", take(Convert::padright(longer, 3, "0")));
    EXPECT_EQ("123", longer);

    std::string wide = "ab";
    EXPECT_EQ("abxyxy", take(Convert::padright(wide, 4, "xy")));
    EXPECT_EQ("abxyxy", wide);

    std::string five = "5";
    EXPECT_EQ("5  ", take(Convert::padright(five, 3, " ")));
    EXPECT_EQ("5  ", five);

    std::string negative = "abc";
    EXPECT_EQ("abc", take(Convert::padright(negative, -2, "0")));
    EXPECT_EQ("abc", negative);
}

TEST(ConvertDecimal, DigitsWithoutLeadingZeros)
{
    EXPECT_EQ("0", take(Convert::int64tostr(0)));
    EXPECT_EQ("10", take(Convert::int64tostr(10)));
    EXPECT_EQ("9223372036854775807", take(Convert::int64tostr(9223372036854775807LL)));
    EXPECT_EQ("4294967295", take(Convert::int32tostr(4294967295UL)));
    EXPECT_EQ("0", take(Convert::int32tostr(0)));
    EXPECT_EQ("440", take(Convert::int2str(440)));
    EXPECT_EQ("2147483647", take(Convert::int2str(2147483647)));
}

TEST(ConvertDecimal, Int2strPadsToWidth)
{
    EXPECT_EQ("005", take(Convert::int2str(5, 3, "0")));
    EXPECT_EQ("1234", take(Convert::int2str(1234, 3, "0")));
    EXPECT_EQ("5", take(Convert::int2str(5, 1, "0")));
    EXPECT_EQ("5", take(Convert::int2str(5, 0, "0")));
    EXPECT_EQ("  0", take(Convert::int2str(0, 3, " ")));
    // The pad piece goes in whole, so a longer piece can overshoot the width.
    EXPECT_EQ("aba7", take(Convert::int2str(7, 2, "aba")));
}

TEST(ConvertHex, UpperCaseMostSignificantFirst)
{
    EXPECT_EQ("0A", take(Convert::byte2hex(10)));
    EXPECT_EQ("00", take(Convert::byte2hex(0)));
    EXPECT_EQ("FF", take(Convert::byte2hex(255)));
    EXPECT_EQ("0000FFFF", take(Convert::int32tohex(65535)));
    EXPECT_EQ("00000000", take(Convert::int32tohex(0)));
    EXPECT_EQ("DEADBEEF", take(Convert::int32tohex(0xDEADBEEFUL)));
    EXPECT_EQ("0123:4567.89AB:CDEF", take(Convert::int64tohex(0x0123456789ABCDEFLL)));
    EXPECT_EQ("0000:0000.0000:0000", take(Convert::int64tohex(0)));
    EXPECT_EQ("FFFF:FFFF.FFFF:FFFE", take(Convert::int64tohex(-2)));
}

TEST(ConvertParse, TextToNumbers)
{
    EXPECT_EQ(255, Convert::hex2long("ff"));
    EXPECT_EQ(26, Convert::hex2long("  0x1A"));
    EXPECT_EQ(-16, Convert::hex2long("-10"));
    EXPECT_EQ(0xAB, Convert::hex2long("abz9"));
    EXPECT_EQ(0, Convert::hex2long("zz"));

    EXPECT_EQ(42, Convert::str2long("  42abc"));
    EXPECT_EQ(-17, Convert::str2long("-17"));
    EXPECT_EQ(0, Convert::str2long("x1"));

    EXPECT_DOUBLE_EQ(3.25, Convert::str2dbl("3.25"));
    EXPECT_DOUBLE_EQ(-0.5, Convert::str2dbl(" -5e-1 hz"));
    EXPECT_DOUBLE_EQ(0.0, Convert::str2dbl("abc"));

    EXPECT_EQ(0xA5, Convert::hex2byte("a5"));
    EXPECT_EQ(0xFF, Convert::hex2byte("1FF"));
    EXPECT_EQ(0, Convert::hex2byte(""));
}
