#include "net/Datagram.h"

#include <gtest/gtest.h>

namespace {
CString Bytes(std::initializer_list<unsigned char> bytes)
{
    return CString(bytes.begin(), bytes.end());
}
} // namespace

TEST(DatagramTest, EncodesKindLittleEndianAndTextWithoutTerminator)
{
    EXPECT_EQ(EncodeDatagram(KIND_HELLO, "jsmith (LAB7)"), Bytes({0, 0, 0, 0}) + "jsmith (LAB7)");
    EXPECT_EQ(EncodeDatagram(KIND_HELLO_REPLY, "a"), Bytes({1, 0, 0, 0, 'a'}));
    EXPECT_EQ(EncodeDatagram(KIND_LEAVE, "b"), Bytes({3, 0, 0, 0, 'b'}));
    EXPECT_EQ(EncodeDatagram(0x04030201, ""), Bytes({1, 2, 3, 4}));
}

TEST(DatagramTest, EmptyMessageIsFourBytes)
{
    EXPECT_EQ(EncodeDatagram(KIND_MESSAGE, ""), Bytes({2, 0, 0, 0}));
}

TEST(DatagramTest, TextOf2000BytesTravelsWholeAndLongerIsCut)
{
    const CString text(2000, 'x');
    const CString datagram = EncodeDatagram(KIND_MESSAGE, text);
    ASSERT_EQ(datagram.size(), 2004u);
    EXPECT_EQ(DecodeDatagram(datagram.data(), datagram.size()).text, text);
    EXPECT_EQ(EncodeDatagram(KIND_MESSAGE, CString(2001, 'x')).size(), 2004u);
}

TEST(DatagramTest, ShortDatagramReadsAsPaddedWithZeros)
{
    const CString single = Bytes({2});
    const Datagram message = DecodeDatagram(single.data(), single.size());
    EXPECT_EQ(message.kind, KIND_MESSAGE);
    EXPECT_EQ(message.text, "");

    const CString three = Bytes({1, 1, 1});
    EXPECT_EQ(DecodeDatagram(three.data(), three.size()).kind, 0x010101u);
    EXPECT_EQ(DecodeDatagram(nullptr, 0).kind, KIND_HELLO);
}

TEST(DatagramTest, TextEndsAtTheFirstZeroByte)
{
    const CString datagram = Bytes({2, 0, 0, 0, 'h', 'i', 0, 'x', 'y'});
    EXPECT_EQ(DecodeDatagram(datagram.data(), datagram.size()).text, "hi");
}

TEST(DatagramTest, EightBitTextPassesUnchanged)
{
    const CString text = Bytes({0xE9, 0x80, 0xFF, '\r', '\n'});
    const CString datagram = EncodeDatagram(KIND_MESSAGE, text);
    EXPECT_EQ(DecodeDatagram(datagram.data(), datagram.size()).text, text);
}

TEST(DatagramTest, DecoderNeverReadsBeyondTheLargestDatagram)
{
    CString oversized = EncodeDatagram(KIND_MESSAGE, CString(2000, 'a'));
    oversized += CString(100, 'b');
    EXPECT_EQ(DecodeDatagram(oversized.data(), oversized.size()).text, CString(2000, 'a'));
}
