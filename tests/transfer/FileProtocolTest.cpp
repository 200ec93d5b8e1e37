// The pure pieces of file transfer: wire encodings, the checks on what the network sends, and
// the texts the windows show.
#include "transfer/FileProtocol.h"
#include "framework/FileDialog.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

using namespace filewire;

TEST(FileProtocolTest, NumbersAreFourBytesLeastSignificantFirst)
{
    EXPECT_EQ(EncodeNumber(2), std::string("\x02\x00\x00\x00", 4));
    EXPECT_EQ(EncodeNumber(3000), std::string("\xB8\x0B\x00\x00", 4));
    EXPECT_EQ(EncodeNumber(2500), std::string("\xC4\x09\x00\x00", 4));
    EXPECT_EQ(EncodeNumber(0xFFFFFFFFu), std::string("\xFF\xFF\xFF\xFF", 4));
    EXPECT_EQ(DecodeNumber("\xC4\x09\x00\x00", 4), 2500u);
    EXPECT_EQ(DecodeNumber("\xB8\x0B\x00\x00tail", 8), 3000u) << "only the first four bytes count";
    EXPECT_EQ(DecodeNumber("\x05", 1), 5u) << "a short read counts as zero-filled";
}

TEST(FileProtocolTest, RepliesTextsAndDescriptions)
{
    EXPECT_TRUE(IsReplyOk("OK", 2));
    EXPECT_FALSE(IsReplyOk("OKOK", 4));
    EXPECT_FALSE(IsReplyOk("OK\r\n", 4));
    EXPECT_FALSE(IsReplyOk("ok", 2));
    EXPECT_FALSE(IsReplyOk("O", 1));
    EXPECT_EQ(MessageText("ab\0cd", 5), "ab");
    EXPECT_EQ(EncodeDescription("hi"), "hi\r\n");
    EXPECT_EQ(EncodeDescription(""), "\r\n");
}

TEST(FileProtocolTest, ReceivedNamesMustStayInsideTheDirectory)
{
    for (const char* good : {"a.txt", "README", ".hidden", "...", "a b", "a\\b"}) {
        EXPECT_TRUE(IsSafeFileName(good, std::strlen(good))) << good;
    }
    for (const char* bad : {"", ".", "..", "a/b", "/etc", "../x", "dir/"}) {
        EXPECT_FALSE(IsSafeFileName(bad, std::strlen(bad))) << bad;
    }
    EXPECT_FALSE(IsSafeFileName("a\0b", 3));
    EXPECT_TRUE(IsSafeFileName(std::string(255, 'n').c_str(), 255));
    EXPECT_FALSE(IsSafeFileName(std::string(256, 'n').c_str(), 256)) << "longer than any file name";
}

TEST(FileProtocolTest, CountsAndTotalsFromTheNetworkAreBounded)
{
    EXPECT_FALSE(IsValidFileCount(0));
    EXPECT_TRUE(IsValidFileCount(1));
    EXPECT_TRUE(IsValidFileCount(MAX_FILE_COUNT));
    EXPECT_FALSE(IsValidFileCount(MAX_FILE_COUNT + 1));
    EXPECT_GE(MAX_FILE_COUNT, 10000u);
    std::uint32_t total = 0xFFFFFFF0u;
    EXPECT_TRUE(AddToTotal(total, 0x0F));
    EXPECT_EQ(total, 0xFFFFFFFFu);
    EXPECT_FALSE(AddToTotal(total, 1));
    EXPECT_EQ(total, 0xFFFFFFFFu) << "a refused size leaves the total";
}

TEST(FileProtocolTest, SizeTextsAreTheSameInEveryLocale)
{
    // The program runs in the user's locale; a comma for a decimal point must not show.
    const std::string before = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"C", "de_DE.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale << " (scripts/install-deps makes it)";
        EXPECT_EQ(FormatSize(0), "0 b");
        EXPECT_EQ(FormatSize(1023), "1023 b");
        EXPECT_EQ(FormatSize(1024), "1.00 kb");
        EXPECT_EQ(FormatSize(1536), "1.50 kb") << locale;
        EXPECT_EQ(FormatSize(1048575), "1024.00 kb");
        EXPECT_EQ(FormatSize(1048576), "1.00 Mb");
        EXPECT_EQ(FormatSize(4294967295u), "4096.00 Mb");
        EXPECT_EQ(FormatSize(1029), "1.00 kb") << "rounded as printf rounds";
        EXPECT_EQ(FormatSize(1030), "1.01 kb");
        EXPECT_EQ(FormatSize(1152), "1.12 kb") << "an exact half goes to the even digit";
    }
    std::setlocale(LC_ALL, before.c_str());
    EXPECT_EQ(DescribeBatch({"a.txt"}), "a.txt");
    EXPECT_EQ(DescribeBatch({"a", "b", "c"}), "3 Files");
}

TEST(FileProtocolTest, ProgressIsExactOverTheWholeRangeAndEmptyMeansComplete)
{
    EXPECT_EQ(Percentage(2000, 5000), 40);
    EXPECT_EQ(Percentage(50000000, 100000000), 50);
    EXPECT_EQ(Percentage(4294967294u, 4294967295u), 99);
    EXPECT_EQ(Percentage(4294967295u, 4294967295u), 100);
    EXPECT_EQ(Percentage(0, 0), 100);
    EXPECT_EQ(FormatProgress(4294967295u, 4294967295u), "4294967295 / 4294967295");
    EXPECT_EQ(FormatProgress(2000, 5000), "2000 / 5000");
}

TEST(FileProtocolTest, OnlyTheBareNameOfAPathGoesOnTheWire)
{
    EXPECT_EQ(BareName("/home/ann/a.txt"), "a.txt");
    EXPECT_EQ(BareName("/a"), "a") << "at the root";
    EXPECT_EQ(BareName("b.txt"), "b.txt");
}

TEST(FileProtocolTest, NamesAreCheckedAsAWindowsReceiverWillReadThem)
{
    const int codePage = WireCodePage();
    QTemporaryDir dir;
    const auto check = [&dir](std::vector<std::string> names, WireSpeech speech = WireSpeech::CodePage) {
        std::vector<CString> paths;
        for (const std::string& name : names) {
            const CString path = dir.path().toStdString() + "/" + name;
            QFile file(QString::fromStdString(path));
            EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << name;
            paths.push_back(path);
        }
        CString message;
        return CheckBatch(paths, message, speech) ? CString() : message;
    };
    SetWireCodePage(1252);
    for (const char* bad : {"a:b", "x*", "back\\slash", "q?.txt", "\"q\"", "<a>", "a|b", "tab\tname", "end.",
             "end ", "NUL", "nul.txt", "Com1.tar.gz", "LPT9", "aux .txt"}) {
        EXPECT_EQ(check({bad}).rfind(bad + CString(" cannot be sent: "), 0), 0U) << bad;
    }
    EXPECT_EQ(check({"COM10", "CONSOLE.txt", "a.b c", ".hidden"}), "");
    EXPECT_NE(check({"a.txt", "A.TXT"}).find("reach the receiver under the same name"), CString::npos);
    EXPECT_NE(check({"\xC3\xA4.txt", "\xC3\x84.txt"}).find("the same name"), CString::npos) << "ä and Ä";
    // Without best-fit mappings the fullwidth solidus cannot become a separator.
    EXPECT_EQ(check({"a\xEF\xBC\x8F"
                     "b.txt"}),
        "");
    EXPECT_EQ(check({"a_b.txt",
                  "a\xEF\xBC\x8F"
                  "b.txt"}),
        "The selected files a_b.txt and a\xEF\xBC\x8F"
        "b.txt reach the receiver under the same name; it would "
        "save one over the other. Send them in separate batches.");
    EXPECT_NE(check({"a.txt", "A.TXT"}, WireSpeech::Utf8).find("same name"), CString::npos);
    // In 932 the second byte of this character is 0x5C, a backslash when read alone.
    SetWireCodePage(932);
    EXPECT_EQ(WireFileName("/x/\xE8\xA1\xA8.txt", WireSpeech::CodePage), "\x95\x5C.txt");
    EXPECT_EQ(check({"\xE8\xA1\xA8.txt"}), "");
    SetWireCodePage(codePage);
}
