#include "transfer/FileProtocol.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include <QRegularExpression>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace filewire {

CString EncodeNumber(std::uint32_t value)
{
    CString bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

std::uint32_t DecodeNumber(const char* data, std::size_t length)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4 && i < length; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    return value;
}

CString MessageText(const char* data, std::size_t length)
{
    const void* zero = std::memchr(data, '\0', length);
    return CString(data, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : length);
}

bool IsReplyOk(const char* data, std::size_t length)
{
    return length == 2 && data[0] == 'O' && data[1] == 'K';
}

CString EncodeDescription(const CString& description)
{
    return description + "\r\n";
}

bool IsSafeFileName(const char* data, std::size_t length)
{
    const CString name(data, length);
    return !name.empty() && name.size() <= NAME_MAX && name != "." && name != ".."
        && name.find('/') == CString::npos && name.find('\0') == CString::npos;
}

bool IsValidFileCount(std::uint32_t count)
{
    return count >= 1 && count <= MAX_FILE_COUNT;
}

bool AddToTotal(std::uint32_t& total, std::uint32_t size)
{
    if (size > UINT32_MAX - total) {
        return false;
    }
    total += size;
    return true;
}

} // namespace filewire

namespace {
CString Printf(const char* format, auto... values)
{
    char text[64];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// Not printf's %.2f: the program runs in the user's locale, whose decimal point may be a comma.
// to_chars rounds as printf does in the C locale.
CString TwoDecimals(double value, const char* unit)
{
    char text[64];
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2).ptr;
    return CString(text, static_cast<std::size_t>(end - text)) + unit;
}
} // namespace

CString FormatSize(std::uint32_t bytes)
{
    if (bytes < 1024) {
        return Printf("%u b", bytes);
    }
    const double kilobytes = bytes / 1024.0;
    if (kilobytes < 1024) {
        return TwoDecimals(kilobytes, " kb");
    }
    return TwoDecimals(kilobytes / 1024, " Mb");
}

CString FormatProgress(std::uint32_t done, std::uint32_t total)
{
    return Printf("%u / %u", done, total);
}

int Percentage(std::uint32_t done, std::uint32_t total)
{
    if (total == 0) {
        return 100;
    }
    return static_cast<int>(static_cast<std::uint64_t>(done) * 100 / total);
}

CString BareName(const CString& path)
{
    const size_t slash = path.rfind('/');
    return slash == CString::npos ? path : path.substr(slash + 1);
}

CString ShownFileName(const CString& path)
{
    return DecodeLocalName(BareName(path));
}

CString WireFileName(const CString& path, WireSpeech speech)
{
    return EncodeWireName(ShownFileName(path), speech);
}

CString IncompleteFileName(const CString& name, int attempt)
{
    CString suffix;
    if (attempt > 0) {
        suffix.append(".").append(std::to_string(attempt));
    }
    suffix += ".incomplete";
    size_t cut = name.size();
    if (cut + suffix.size() > NAME_MAX) {
        cut = NAME_MAX - suffix.size();
        // Never half a character of a UTF-8 name.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
    }
    return name.substr(0, cut) + suffix;
}

int ProbeWritableDirectory(const CString& directory)
{
    CString probe = directory;
    if (probe.empty() || probe.back() != '/') {
        probe += '/';
    }
    probe += ".quorvane-probe-XXXXXX";
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return 0;
}

CString DescribeBatch(const std::vector<CString>& names)
{
    if (names.size() == 1) {
        return names.front();
    }
    return Printf("%d Files", static_cast<int>(names.size()));
}

CString DescribeFileError(const CString& path, int errnoValue)
{
    switch (errnoValue) {
    case ENOENT:
        return path + " was not found.";
    case EACCES:
    case EPERM:
        return "Access to " + path + " was denied.";
    case ELOOP:
        return path + " is a symbolic link; it was not followed.";
    case ENOSPC:
        return "There is not enough space on the disk for " + path + ".";
    case EDQUOT:
        return "The disk quota leaves no room for " + path + ".";
    case EISDIR:
        return path + " is a directory.";
    default:
        return "An error occurred while accessing " + path + ": " + std::strerror(errnoValue) + ".";
    }
}

const char* const BATCH_TOO_LARGE_MESSAGE
    = "The selected files come to 4 GB or more; a batch of that size cannot be sent.";

FileStamp StampOf(const struct stat& status)
{
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
        static_cast<std::uint64_t>(status.st_size)};
}

bool IsFileAsOffered(const FileStamp& offered, const FileStamp& now)
{
    if (now.device != offered.device || now.inode != offered.inode) {
        return false;
    }
    return now.size > offered.size || (now.size == offered.size && now.modifiedNs == offered.modifiedNs);
}

CString DescribeChangedFile(const CString& path, bool shorter)
{
    return path + (shorter ? " has become shorter" : " has changed")
        + " since it was offered; the transfer was stopped.";
}

std::optional<std::uint32_t> MeasureFileToSend(const CString& path, CString& message, FileStamp* stamp)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status
    {
    };
    const bool measured = fd >= 0 && fstat(fd, &status) == 0;
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!measured) {
        message = DescribeFileError(path, error);
    } else if (S_ISDIR(status.st_mode)) {
        message = DescribeFileError(path, EISDIR);
    } else if (!S_ISREG(status.st_mode)) {
        message = path + " is not a regular file; only regular files can be sent.";
    } else if (status.st_size > static_cast<off_t>(UINT32_MAX)) {
        message = path + " is 4 GB or larger; files of that size cannot be sent.";
    } else {
        if (stamp) {
            *stamp = StampOf(status);
        }
        return static_cast<std::uint32_t>(status.st_size);
    }
    return std::nullopt;
}

CString CheckWindowsFileName(const CString& shownName, const CString& receivedName)
{
    const bool refusedCharacter = std::any_of(receivedName.begin(), receivedName.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F || std::strchr("\\/:*?\"<>|", c) != nullptr;
    });
    if (refusedCharacter) {
        return shownName
            + " cannot be sent: Windows does not allow any of \\ / : * ? \" < > | or control characters in a "
              "file name. Rename the file and select it again.";
    }
    if (!receivedName.empty() && (receivedName.back() == '.' || receivedName.back() == ' ')) {
        return shownName
            + " cannot be sent: Windows does not allow a file name that ends in a dot or a space. Rename the "
              "file and select it again.";
    }
    // The device names count with any extension, and with blanks before it.
    QString base = QString::fromUtf8(receivedName).section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QRegularExpression devices(QStringLiteral("^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])$"));
    if (devices.match(base).hasMatch()) {
        return shownName + " cannot be sent: " + base.toStdString()
            + " is the name of a device on Windows. Rename the file and select it again.";
    }
    return {};
}

std::optional<std::uint32_t> CheckBatch(
    const std::vector<CString>& paths, CString& message, WireSpeech speech)
{
    if (paths.size() > filewire::MAX_FILE_COUNT) {
        message = "Too many files are selected; a batch holds at most "
            + std::to_string(filewire::MAX_FILE_COUNT) + " files.";
        return std::nullopt;
    }
    // Checked as the names will read at the receiver: names the code page cannot hold may come
    // out the same once converted, and Windows ignores letter case.
    std::unordered_map<QString, CString> names;
    for (const CString& path : paths) {
        const CString name = ShownFileName(path);
        const CString received = DecodeWireName(WireFileName(path, speech), speech);
        message = CheckWindowsFileName(name, received);
        if (!message.empty()) {
            return std::nullopt;
        }
        const auto [other, added] = names.emplace(QString::fromUtf8(received).toCaseFolded(), name);
        if (added) {
            continue;
        }
        if (other->second == name) {
            message = "More than one of the selected files is named " + name
                + "; the receiver would save one over the other. Send them in separate batches.";
        } else {
            message = "The selected files " + other->second + " and " + name
                + " reach the receiver under the same name; it would save one over the other. Send them in "
                  "separate batches.";
        }
        return std::nullopt;
    }
    std::uint32_t total = 0;
    for (const CString& path : paths) {
        const auto size = MeasureFileToSend(path, message);
        if (!size) {
            return std::nullopt;
        }
        if (!filewire::AddToTotal(total, *size)) {
            message = BATCH_TOO_LARGE_MESSAGE;
            return std::nullopt;
        }
    }
    return total;
}
