#include "net/WireText.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>
#include <unicode/ustring.h>

namespace {

struct LocaleCodePage
{
    std::string_view language;
    int codePage;
};

// Windows' default ANSI code page per language, where it is not 1252.
constexpr LocaleCodePage LANGUAGE_CODE_PAGES[] = {
    {"cs", 1250},
    {"hr", 1250},
    {"hu", 1250},
    {"pl", 1250},
    {"ro", 1250},
    {"sk", 1250},
    {"sl", 1250},
    {"sq", 1250},
    {"bs", 1250},
    {"tk", 1250},
    {"ru", 1251},
    {"uk", 1251},
    {"be", 1251},
    {"bg", 1251},
    {"mk", 1251},
    {"mn", 1251},
    {"ky", 1251},
    {"tg", 1251},
    {"tt", 1251},
    {"kk", 1251},
    {"sr", 1251},
    {"el", 1253},
    {"tr", 1254},
    {"az", 1254},
    {"uz", 1254},
    {"he", 1255},
    {"iw", 1255},
    {"ar", 1256},
    {"fa", 1256},
    {"ur", 1256},
    {"et", 1257},
    {"lt", 1257},
    {"lv", 1257},
    {"vi", 1258},
    {"th", 874},
    {"ja", 932},
    {"ko", 949},
};

constexpr int DEFAULT_CODE_PAGE = 1252;

const char* IcuName(int codePage)
{
    switch (codePage) {
    case 874:
        return "windows-874";
    case 932:
        return "windows-31j";
    case 936:
        return "GBK";
    case 949:
        return "windows-949";
    case 950:
        return "windows-950";
    case 1250:
        return "windows-1250";
    case 1251:
        return "windows-1251";
    case 1252:
        return "windows-1252";
    case 1253:
        return "windows-1253";
    case 1254:
        return "windows-1254";
    case 1255:
        return "windows-1255";
    case 1256:
        return "windows-1256";
    case 1257:
        return "windows-1257";
    case 1258:
        return "windows-1258";
    default:
        return nullptr;
    }
}

std::atomic<int> g_nCodePage {0};

struct ConverterClose
{
    void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterClose>;

// A byte the code page does not define reads as U+FFFD. ICU's own substitute for a single byte
// is U+001A, a control character that shows as nothing and has no place in a file name.
void ReadReplacementCharacter(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
    UConverterCallbackReason reason, UErrorCode* error)
{
    if (reason > UCNV_IRREGULAR) {
        return;
    }
    static const UChar replacement = 0xFFFD;
    *error = U_ZERO_ERROR;
    ucnv_cbToUWriteUChars(args, &replacement, 1, 0, error);
}

// ICU converters keep state and are not shared between threads; each thread opens its own, once
// per code page.
class CConverters
{
public:
    enum Kind {
        Read,
        // Stops at the first byte sequence the code page does not define.
        StrictRead,
        WriteText,
        WriteName,
        KIND_COUNT,
    };

    static UConverter* Get(Kind kind)
    {
        thread_local CConverters converters;
        return converters.Open(kind, WireCodePage());
    }

private:
    UConverter* Open(Kind kind, int codePage)
    {
        if (codePage != m_nCodePage) {
            for (Converter& converter : m_converters) {
                converter.reset();
            }
            m_nCodePage = codePage;
        }
        Converter& converter = m_converters[kind];
        if (!converter) {
            UErrorCode error = U_ZERO_ERROR;
            converter.reset(ucnv_open(IcuName(codePage), &error));
            if (U_FAILURE(error) || !converter) {
                converter.reset();
                return nullptr;
            }
            Configure(converter.get(), kind);
        }
        ucnv_reset(converter.get());
        return converter.get();
    }

    static void Configure(UConverter* converter, Kind kind)
    {
        UErrorCode error = U_ZERO_ERROR;
        switch (kind) {
        case Read:
            ucnv_setToUCallBack(converter, ReadReplacementCharacter, nullptr, nullptr, nullptr, &error);
            break;
        case StrictRead:
            ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &error);
            break;
        case WriteText:
            // ICU's own substitute is 0x1A, which Windows shows as a box.
            ucnv_setFallback(converter, true);
            ucnv_setSubstChars(converter, "?", 1, &error);
            break;
        case WriteName:
            ucnv_setFallback(converter, false);
            ucnv_setSubstChars(converter, "_", 1, &error);
            break;
        default:
            break;
        }
    }

    int m_nCodePage = 0;
    Converter m_converters[KIND_COUNT];
};

bool IsAscii(std::string_view bytes)
{
    return std::all_of(
        bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::u16string ToUtf16(std::string_view utf8)
{
    std::u16string text(utf8.size(), u'\0');
    int32_t length = 0;
    UErrorCode error = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(text.data()), static_cast<int32_t>(text.size()), &length,
        utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &error);
    text.resize(U_SUCCESS(error) ? static_cast<size_t>(length) : 0);
    return text;
}

CString ToUtf8(const UChar* text, int32_t length)
{
    CString utf8(static_cast<size_t>(length) * 3, '\0');
    int32_t written = 0;
    UErrorCode error = U_ZERO_ERROR;
    u_strToUTF8WithSub(
        utf8.data(), static_cast<int32_t>(utf8.size()), &written, text, length, 0xFFFD, nullptr, &error);
    utf8.resize(U_SUCCESS(error) ? static_cast<size_t>(written) : 0);
    return utf8;
}

// Bytes of the code page to UTF-8; null when strict and a sequence is not defined there.
std::optional<CString> FromCodePage(std::string_view bytes, CConverters::Kind kind)
{
    UConverter* converter = CConverters::Get(kind);
    if (!converter) {
        return CString(bytes);
    }
    // Room for a surrogate pair per byte: more than any of these code pages needs, so that no
    // text from the network can overflow it.
    std::u16string text(2 * bytes.size() + 2, u'\0');
    UErrorCode error = U_ZERO_ERROR;
    const int32_t length = ucnv_toUChars(converter, reinterpret_cast<UChar*>(text.data()),
        static_cast<int32_t>(text.size()), bytes.data(), static_cast<int32_t>(bytes.size()), &error);
    if (U_FAILURE(error)) {
        return std::nullopt;
    }
    return ToUtf8(reinterpret_cast<const UChar*>(text.data()), length);
}

CString ReadCodePage(std::string_view bytes)
{
    return FromCodePage(bytes, CConverters::Read).value_or(CString());
}

bool IsCleanInCodePage(std::string_view bytes)
{
    return FromCodePage(bytes, CConverters::StrictRead).has_value();
}

// The longest prefix of UTF-8 bytes, at most maxBytes, that ends between characters.
size_t Utf8Cut(std::string_view utf8, size_t maxBytes)
{
    if (utf8.size() <= maxBytes) {
        return utf8.size();
    }
    size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

CString ToCodePage(std::string_view utf8, CConverters::Kind kind, size_t maxBytes)
{
    UConverter* converter = CConverters::Get(kind);
    if (!converter) {
        return CString(utf8.substr(0, Utf8Cut(utf8, maxBytes)));
    }
    const std::u16string text = ToUtf16(utf8);
    // At most two bytes per UTF-16 unit in these code pages; a surrogate pair becomes one "?".
    const size_t capacity = text.size() * 2 + 4;
    CString bytes(capacity, '\0');
    std::vector<int32_t> offsets(capacity, 0);
    char* target = bytes.data();
    const UChar* source = reinterpret_cast<const UChar*>(text.data());
    UErrorCode error = U_ZERO_ERROR;
    ucnv_fromUnicode(converter, &target, bytes.data() + capacity, &source, source + text.size(),
        offsets.data(), true, &error);
    if (U_FAILURE(error)) {
        return {};
    }
    size_t length = static_cast<size_t>(target - bytes.data());
    if (length > maxBytes) {
        // The bytes of one character share the offset of its first unit.
        length = maxBytes;
        while (length > 0 && offsets[length] == offsets[length - 1]) {
            --length;
        }
    }
    bytes.resize(length);
    return bytes;
}

struct Utf8Scan
{
    bool valid = true;
    size_t nonAsciiBytes = 0;
    // C1 control characters: what a legacy double-byte text often turns into when read as UTF-8.
    bool controls = false;
};

Utf8Scan ScanUtf8(std::string_view bytes)
{
    Utf8Scan scan;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    for (size_t i = 0; i < size;) {
        const unsigned char lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        std::uint32_t code = 0;
        std::uint32_t minimum = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
            minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
            minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
            minimum = 0x10000;
        } else {
            scan.valid = false;
            return scan;
        }
        if (size - i < length) {
            scan.valid = false;
            return scan;
        }
        for (size_t k = 1; k < length; ++k) {
            if ((data[i + k] & 0xC0) != 0x80) {
                scan.valid = false;
                return scan;
            }
            code = (code << 6) | (data[i + k] & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            scan.valid = false;
            return scan;
        }
        scan.controls = scan.controls || code <= 0x9F;
        scan.nonAsciiBytes += length;
        i += length;
    }
    return scan;
}

// Code pages whose legacy text is often valid UTF-8 by accident: the double-byte ones, and Thai,
// whose letters sit where UTF-8 puts its continuation bytes.
bool IsAmbiguousCodePage(int codePage)
{
    return codePage == 874 || codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950;
}

// In these code pages a short legacy text is often valid UTF-8 by accident. Three
// characters of an East Asian script take nine bytes in UTF-8; a legacy text that happens to
// read as that much valid UTF-8, with no C1 control among it, is rare enough to ignore.
constexpr size_t CONVINCING_UTF8_BYTES = 9;

} // namespace

int CodePageForLocale(std::string_view locale)
{
    std::string_view modifier;
    if (const size_t at = locale.find('@'); at != std::string_view::npos) {
        modifier = locale.substr(at + 1);
        locale = locale.substr(0, at);
    }
    locale = locale.substr(0, locale.find('.'));
    const std::string_view language = locale.substr(0, locale.find('_'));
    const std::string_view territory = locale.find('_') == std::string_view::npos
        ? std::string_view()
        : locale.substr(locale.find('_') + 1);
    if (language == "zh") {
        return territory == "TW" || territory == "HK" || territory == "MO" ? 950 : 936;
    }
    if (modifier == "cyrillic") {
        return 1251;
    }
    for (const LocaleCodePage& entry : LANGUAGE_CODE_PAGES) {
        if (entry.language == language) {
            // Serbian and Belarusian in Latin letters are written as Croatian and Polish are.
            return entry.codePage == 1251 && modifier == "latin" ? 1250 : entry.codePage;
        }
    }
    return DEFAULT_CODE_PAGE;
}

bool IsKnownCodePage(int codePage)
{
    return IcuName(codePage) != nullptr;
}

int CodePageFromEnvironment()
{
    const char* locale = "";
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    const int localeCodePage = CodePageForLocale(locale);
    const char* chosen = std::getenv("QUORVANE_CODEPAGE");
    if (!chosen || !*chosen) {
        return localeCodePage;
    }
    char* end = nullptr;
    const long value = std::strtol(chosen, &end, 10);
    if (*end == '\0' && value > 0 && value < 100000 && IsKnownCodePage(static_cast<int>(value))) {
        return static_cast<int>(value);
    }
    static std::atomic<bool> s_bReported {false};
    if (!s_bReported.exchange(true)) {
        std::fprintf(stderr,
            "quorvane: QUORVANE_CODEPAGE=%s is not a code page this program knows; using %d\n", chosen,
            localeCodePage);
    }
    return localeCodePage;
}

int WireCodePage()
{
    int codePage = g_nCodePage.load(std::memory_order_relaxed);
    if (codePage == 0) {
        codePage = CodePageFromEnvironment();
        int unset = 0;
        if (!g_nCodePage.compare_exchange_strong(unset, codePage)) {
            codePage = unset;
        }
    }
    return codePage;
}

void SetWireCodePage(int codePage)
{
    g_nCodePage.store(IsKnownCodePage(codePage) ? codePage : DEFAULT_CODE_PAGE);
}

bool IsValidUtf8(std::string_view bytes)
{
    return ScanUtf8(bytes).valid;
}

CString DecodeWireText(std::string_view bytes, WireSpeech& speech)
{
    if (IsAscii(bytes)) {
        return CString(bytes);
    }
    const Utf8Scan scan = ScanUtf8(bytes);
    if (!scan.valid) {
        if (speech != WireSpeech::Utf8) {
            speech = WireSpeech::CodePage;
        }
        return ReadCodePage(bytes);
    }
    if (speech == WireSpeech::Utf8 || !IsAmbiguousCodePage(WireCodePage())) {
        speech = WireSpeech::Utf8;
        return CString(bytes);
    }
    // What the peer wrote before decides, then the weight of the text.
    if (!IsCleanInCodePage(bytes)) {
        speech = WireSpeech::Utf8;
        return CString(bytes);
    }
    if (speech == WireSpeech::Unknown && scan.nonAsciiBytes >= CONVINCING_UTF8_BYTES && !scan.controls) {
        speech = WireSpeech::Utf8;
        return CString(bytes);
    }
    return ReadCodePage(bytes);
}

CString DecodeWireText(std::string_view bytes)
{
    WireSpeech speech = WireSpeech::Unknown;
    return DecodeWireText(bytes, speech);
}

CString EncodeWireText(std::string_view text, WireSpeech speech, std::size_t maxBytes)
{
    if (speech == WireSpeech::Utf8) {
        return CString(text.substr(0, Utf8Cut(text, maxBytes)));
    }
    if (IsAscii(text)) {
        return CString(text.substr(0, std::min(text.size(), maxBytes)));
    }
    return ToCodePage(text, CConverters::WriteText, maxBytes);
}

std::size_t WireLength(std::string_view text, WireSpeech speech)
{
    if (speech == WireSpeech::Utf8 || IsAscii(text)) {
        return text.size();
    }
    return ToCodePage(text, CConverters::WriteText, SIZE_MAX).size();
}

CString EncodeWireName(std::string_view name, WireSpeech speech)
{
    if (speech == WireSpeech::Utf8 || IsAscii(name)) {
        return CString(name);
    }
    return ToCodePage(name, CConverters::WriteName, SIZE_MAX);
}

CString DecodeWireName(std::string_view bytes, WireSpeech speech)
{
    return speech == WireSpeech::Utf8 || IsAscii(bytes) ? CString(bytes) : ReadCodePage(bytes);
}

CString DecodeLocalName(std::string_view bytes)
{
    if (IsValidUtf8(bytes)) {
        return CString(bytes);
    }
    return ReadCodePage(bytes);
}
