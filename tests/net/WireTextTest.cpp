#include "net/WireText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string FULLWIDTH_SOLIDUS = "\xEF\xBC\x8F";
const std::string CJK_MIDDLE = "\xE4\xB8\xAD"; // U+4E2D
const std::string REPLACEMENT = "\xEF\xBF\xBD";

std::string Utf8(char32_t code)
{
    std::string text;
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
    return text;
}

std::string Bytes(unsigned value)
{
    std::string bytes;
    if (value > 0xFF) {
        bytes += static_cast<char>(value >> 8);
    }
    bytes += static_cast<char>(value & 0xFF);
    return bytes;
}

struct TableRow
{
    std::string bytes;
    std::string text;
    // What the character is written as, where another row owns it.
    std::string written;
    int line = 0;
};

// Rows of a Microsoft table: the unicode.org format ("0x80<TAB>0x20AC<TAB>#EURO SIGN") or the best
// fit format (MBTABLE and DBCSTABLE sections, "0x40<TAB>0x4e00<TAB>;comment"). Rows without a
// character are lead bytes or undefined.
std::vector<TableRow> ReadTable(const std::string& name)
{
    std::ifstream file(std::string(WIRETEXT_TABLES_DIR) + "/" + name);
    EXPECT_TRUE(file) << name;
    std::vector<TableRow> rows;
    enum { Plain, Range, Rows } section = Plain;
    unsigned lead = 0;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        const std::string comment = line.substr(std::min(line.find_first_of("#;"), line.size()));
        std::istringstream fields(line.substr(0, line.find_first_of("#;")));
        std::string code, character;
        fields >> code >> character;
        if (code == "CODEPAGE" || code == "DBCSRANGE") {
            section = Range;
        } else if (code == "MBTABLE" || code == "DBCSTABLE") {
            section = Rows;
            const size_t at = comment.find("LeadByte = ");
            lead = at == std::string::npos ? 0 : std::stoul(comment.substr(at + 11), nullptr, 16);
        } else if (section != Range && code.starts_with("0x") && character.starts_with("0x")) {
            TableRow row;
            row.bytes = (lead ? Bytes(lead) : std::string()) + Bytes(std::stoul(code, nullptr, 16));
            row.text = Utf8(std::stoul(character, nullptr, 16));
            const size_t bestFit = comment.find("Best-Fit 0x");
            row.written = bestFit == std::string::npos
                ? row.bytes
                : Bytes(std::stoul(comment.substr(bestFit + 9), nullptr, 16));
            row.line = number;
            rows.push_back(row);
        }
    }
    return rows;
}

class WireTextTest : public ::testing::Test
{
protected:
    void SetUp() override { m_nSavedCodePage = WireCodePage(); }
    void TearDown() override { SetWireCodePage(m_nSavedCodePage); }

private:
    int m_nSavedCodePage = 0;
};

} // namespace

TEST_F(WireTextTest, ReadsAndWritesEveryRowOfMicrosoftTables)
{
    const struct
    {
        int codePage;
        const char* table;
    } pages[] = {
        {1250, "BESTFIT1250.TXT"},
        {1251, "BESTFIT1251.TXT"},
        {1252, "CP1252.TXT"},
        {932, "CP932.TXT"},
        {936, "CP936.TXT"},
        {949, "CP949.TXT"},
        {950, "BESTFIT950.TXT"},
    };
    for (const auto& page : pages) {
        SCOPED_TRACE(page.table);
        SetWireCodePage(page.codePage);
        const std::vector<TableRow> rows = ReadTable(page.table);
        EXPECT_GE(rows.size(), 10u);
        std::string allBytes, allText;
        for (const TableRow& row : rows) {
            SCOPED_TRACE("line " + std::to_string(row.line));
            WireSpeech speech = WireSpeech::CodePage;
            EXPECT_EQ(DecodeWireText(row.bytes, speech), row.text);
            EXPECT_EQ(speech, WireSpeech::CodePage);
            EXPECT_EQ(EncodeWireText(row.text, WireSpeech::CodePage), row.written);
            EXPECT_EQ(EncodeWireName(row.text, WireSpeech::CodePage), row.written);
            if (row.written == row.bytes) {
                allBytes += row.bytes;
                allText += row.text;
            }
        }
        // A trail byte 0x5C or 0x7C never ends a character early.
        WireSpeech speech = WireSpeech::CodePage;
        EXPECT_EQ(DecodeWireText(allBytes, speech), allText);
        EXPECT_EQ(EncodeWireText(allText, WireSpeech::CodePage), allBytes);
    }
}

TEST_F(WireTextTest, WhatThePageLacksIsBestFitOrQuestionMarkInTextAndUnderscoreInNames)
{
    SetWireCodePage(1252);
    EXPECT_EQ(EncodeWireText("a" + FULLWIDTH_SOLIDUS + "b", WireSpeech::CodePage), "a/b");
    EXPECT_EQ(EncodeWireName("a" + FULLWIDTH_SOLIDUS + "b", WireSpeech::CodePage), "a_b");
    EXPECT_EQ(EncodeWireText("\xEF\xBC\xA1\xEF\xBC\xA2", WireSpeech::CodePage), "AB"); // FULLWIDTH A, B
    EXPECT_EQ(EncodeWireText("x" + CJK_MIDDLE + "y", WireSpeech::CodePage), "x?y");
    EXPECT_EQ(EncodeWireName("x" + CJK_MIDDLE + "y", WireSpeech::CodePage), "x_y");
    // One character outside the BMP, two UTF-16 units, is one "?".
    EXPECT_EQ(EncodeWireText("\xF0\x9F\x98\x80!", WireSpeech::CodePage), "?!");
    EXPECT_EQ(EncodeWireText("\xE2\x82\xAC", WireSpeech::CodePage), "\x80");
    SetWireCodePage(1251);
    EXPECT_EQ(EncodeWireText("\xE2\x82\xAC", WireSpeech::CodePage), "\x88");
    EXPECT_EQ(EncodeWireText("\xC3\xA9", WireSpeech::CodePage), "?"); // no best fit for e-acute

    // Yen sign: a best fit to the byte Japanese Windows shows as a yen sign, but in a name it
    // would be a path separator.
    SetWireCodePage(932);
    EXPECT_EQ(EncodeWireText("\xC2\xA5", WireSpeech::CodePage), "\\");
    EXPECT_EQ(EncodeWireName("\xC2\xA5", WireSpeech::CodePage), "_");
    EXPECT_EQ(EncodeWireName("\xEF\xBC\xBC", WireSpeech::CodePage), "\x81\x5F"); // FULLWIDTH REVERSE SOLIDUS
    EXPECT_EQ(EncodeWireText("\xC3\xA9", WireSpeech::CodePage), "?");
    EXPECT_EQ(EncodeWireName("\xC3\xA9", WireSpeech::CodePage), "_");
}

TEST_F(WireTextTest, AsciiTeachesNothingAndBytesThatAreNotUtf8AreTheCodePage)
{
    SetWireCodePage(1252);
    WireSpeech speech = WireSpeech::Unknown;
    EXPECT_EQ(DecodeWireText("plain \\ text", speech), "plain \\ text");
    EXPECT_EQ(speech, WireSpeech::Unknown);

    EXPECT_EQ(DecodeWireText("caf\xE9", speech), "caf\xC3\xA9");
    EXPECT_EQ(speech, WireSpeech::CodePage);

    // A peer known to write UTF-8 stays so, whatever it sends.
    speech = WireSpeech::Utf8;
    EXPECT_EQ(DecodeWireText("caf\xE9", speech), "caf\xC3\xA9");
    EXPECT_EQ(speech, WireSpeech::Utf8);
}

TEST_F(WireTextTest, BytesThePageDoesNotDefineReadAsReplacementCharacters)
{
    // Not as ICU's U+001A for a single byte: a control character shows as nothing and has no
    // place in a file name.
    SetWireCodePage(932);
    EXPECT_EQ(DecodeWireText(std::string("a\x80") + "b"), "a" + REPLACEMENT + "b");
    EXPECT_EQ(DecodeWireText("\xA0\xFD"), REPLACEMENT + REPLACEMENT);
    EXPECT_EQ(DecodeWireText("\x81 x"), REPLACEMENT + " x"); // a lead byte without its trail
    EXPECT_EQ(DecodeLocalName("\x80.txt"), REPLACEMENT + ".txt");
    // Windows reads 0x81 of 1252 as U+0081, and so does ICU.
    SetWireCodePage(1252);
    EXPECT_EQ(DecodeWireText("\x81"), "\xC2\x81");
}

TEST_F(WireTextTest, Utf8InASingleBytePageIsReadAsUtf8AndTeachesIt)
{
    SetWireCodePage(1252);
    for (WireSpeech before : {WireSpeech::Unknown, WireSpeech::CodePage}) {
        WireSpeech speech = before;
        EXPECT_EQ(DecodeWireText("caf\xC3\xA9", speech), "caf\xC3\xA9");
        EXPECT_EQ(speech, WireSpeech::Utf8);
    }
}

TEST_F(WireTextTest, ShortGbkThatIsAlsoUtf8IsGbkUnlessThePeerWritesUtf8)
{
    SetWireCodePage(936);
    // "郑伟" in GBK; as UTF-8 the same bytes read U+05A3 U+03B0.
    const std::string gbk = "\xD6\xA3\xCE\xB0";
    const std::string name = "\xE9\x83\x91\xE4\xBC\x9F";
    ASSERT_TRUE(IsValidUtf8(gbk));

    WireSpeech speech = WireSpeech::Unknown;
    EXPECT_EQ(DecodeWireText(gbk, speech), name);
    EXPECT_EQ(speech, WireSpeech::Unknown);
    speech = WireSpeech::CodePage;
    EXPECT_EQ(DecodeWireText(gbk, speech), name);
    EXPECT_EQ(speech, WireSpeech::CodePage);
    speech = WireSpeech::Utf8;
    EXPECT_EQ(DecodeWireText(gbk, speech), gbk);

    // "你好世界" in UTF-8 is also GBK ("浣犲ソ涓栫晫"), but twelve bytes of UTF-8 convince on their own.
    const std::string text = "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C";
    speech = WireSpeech::CodePage;
    EXPECT_EQ(DecodeWireText(text, speech),
        "\xE6\xB5\xA3\xE7\x8A\xB2\xE3\x82\xBD\xE6\xB6\x93\xE6\xA0\xAB\xE6\x99\xAB");
    speech = WireSpeech::Unknown;
    EXPECT_EQ(DecodeWireText(text, speech), text);
    EXPECT_EQ(speech, WireSpeech::Utf8);
}

TEST_F(WireTextTest, LimitsNeverSplitACharacter)
{
    const struct
    {
        int codePage;
        std::string text;
        WireSpeech speech;
    } cases[] = {
        // あいソポ漢: double bytes, two of them with trail bytes 0x5C and 0x7C.
        {932,
            "a\xE3\x81\x82\xE3\x81\x84\xE3\x82\xBD\xE3\x83\x9D"
            "b\xE6\xBC\xA2",
            WireSpeech::CodePage},
        {936,
            "x\xE4\xB8\xAD\xE6\x96\x87\xE4\xB9\x97"
            "y\xE4\xBA\x85",
            WireSpeech::CodePage}, // 中文乗 y 亅
        {936, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z", WireSpeech::Utf8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SetWireCodePage(c.codePage);
        const std::string whole = EncodeWireText(c.text, c.speech);
        EXPECT_EQ(WireLength(c.text, c.speech), whole.size());
        EXPECT_EQ(whole.find('?'), std::string::npos);
        // Where the characters end on the wire.
        std::vector<size_t> ends;
        for (size_t i = 0; i <= c.text.size(); ++i) {
            if (i == c.text.size() || (static_cast<unsigned char>(c.text[i]) & 0xC0) != 0x80) {
                ends.push_back(EncodeWireText(c.text.substr(0, i), c.speech).size());
            }
        }
        for (size_t limit = 0; limit <= whole.size() + 1; ++limit) {
            size_t expected = 0;
            for (size_t end : ends) {
                expected = end <= limit ? end : expected;
            }
            const std::string cut = EncodeWireText(c.text, c.speech, limit);
            EXPECT_EQ(cut, whole.substr(0, expected)) << limit;
            WireSpeech speech = c.speech;
            const std::string read = DecodeWireText(cut, speech);
            EXPECT_EQ(c.text.substr(0, read.size()), read) << limit;
        }
    }
}

TEST(WireTextLocaleTest, CodePageOfLocale)
{
    const struct
    {
        const char* locale;
        int codePage;
    } cases[] = {
        {"de_DE.UTF-8", 1252},
        {"cs_CZ", 1250},
        {"sr_RS@latin", 1250},
        {"sr_RS.UTF-8", 1251},
        {"uz_UZ", 1254},
        {"uz_UZ@cyrillic", 1251},
        {"zh_CN", 936},
        {"zh_SG", 936},
        {"zh_TW", 950},
        {"zh_HK", 950},
        {"ja_JP.eucJP", 932},
        {"ko_KR", 949},
        {"th_TH", 874},
        {"vi_VN", 1258},
        {"he_IL", 1255},
        {"ar_EG", 1256},
        {"lt_LT", 1257},
        {"el_GR", 1253},
        {"tr_TR", 1254},
        {"C", 1252},
        {"POSIX", 1252},
        {"", 1252},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CodePageForLocale(c.locale), c.codePage) << c.locale;
    }
}

namespace {

class WireTextEnvironmentTest : public ::testing::Test
{
protected:
    static constexpr const char* VARIABLES[] = {"LC_ALL", "LC_CTYPE", "LANG", "QUORVANE_CODEPAGE"};

    void SetUp() override
    {
        for (const char* variable : VARIABLES) {
            const char* value = std::getenv(variable);
            m_saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(variable);
        }
    }
    void TearDown() override
    {
        for (size_t i = 0; i < m_saved.size(); ++i) {
            if (m_saved[i]) {
                setenv(VARIABLES[i], m_saved[i]->c_str(), 1);
            } else {
                unsetenv(VARIABLES[i]);
            }
        }
    }

private:
    std::vector<std::optional<std::string>> m_saved;
};

} // namespace

TEST_F(WireTextEnvironmentTest, LcAllThenLcCtypeThenLangAndAKnownOverride)
{
    EXPECT_EQ(CodePageFromEnvironment(), 1252);
    setenv("LANG", "ru_RU.UTF-8", 1);
    EXPECT_EQ(CodePageFromEnvironment(), 1251);
    setenv("LC_CTYPE", "ja_JP.UTF-8", 1);
    EXPECT_EQ(CodePageFromEnvironment(), 932);
    setenv("LC_ALL", "", 1); // empty counts as unset
    EXPECT_EQ(CodePageFromEnvironment(), 932);
    setenv("LC_ALL", "pl_PL.UTF-8", 1);
    EXPECT_EQ(CodePageFromEnvironment(), 1250);

    setenv("QUORVANE_CODEPAGE", "936", 1);
    EXPECT_EQ(CodePageFromEnvironment(), 936);
    for (const char* unknown : {"65001", "1252x", "cp936", "-1"}) {
        setenv("QUORVANE_CODEPAGE", unknown, 1);
        EXPECT_EQ(CodePageFromEnvironment(), 1250) << unknown;
    }
}
