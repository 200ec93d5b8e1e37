#pragma once

#include "framework/CString.h"
#include "net/WireText.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct stat;

// The wire format of a file transmission on TCP port 102: lock-step header messages, each
// answered "OK" but the description, then the data in chunks, each read answered "OK".
namespace filewire {

constexpr unsigned PORT = 102;
constexpr int LISTEN_BACKLOG = 5;
// Every read on either end, and the largest chunk of data.
constexpr int READ_SIZE = 2000;
constexpr int CHUNK_SIZE = 2000;
// The sender's pacing when no reply comes.
constexpr int PACING_MS = 500;
constexpr char REPLY_OK[] = "OK";
constexpr char DECLINE[] = "NO WAY";
// No selection holds more files; a larger count from the network is refused before anything is
// allocated for it. With names of at most NAME_MAX bytes, one waiting request holds at most
// about 2.5 MB of names.
constexpr std::uint32_t MAX_FILE_COUNT = 10000;

// Four bytes, least significant first.
CString EncodeNumber(std::uint32_t value);
// The first four bytes of a read; a shorter read counts as zero-filled, as the read buffer is.
std::uint32_t DecodeNumber(const char* data, std::size_t length);
// The text of a read: its bytes up to the first zero byte.
CString MessageText(const char* data, std::size_t length);
// A reply is "OK" only when the read is exactly those two bytes.
bool IsReplyOk(const char* data, std::size_t length);
CString EncodeDescription(const CString& description);

// A received name is stored as a file of the chosen directory: it must be one plain component,
// no longer than a file name can be.
bool IsSafeFileName(const char* data, std::size_t length);
bool IsValidFileCount(std::uint32_t count);
// The batch total grows by size; false (total unchanged) when it would not fit in 32 bits.
bool AddToTotal(std::uint32_t& total, std::uint32_t size);

} // namespace filewire

// Where a received file is written until it is whole, beside its own name: "name.incomplete",
// then "name.1.incomplete" and on for a name taken already; shortened to fit a file name.
constexpr int MAX_INCOMPLETE_ATTEMPTS = 100;
CString IncompleteFileName(const CString& name, int attempt);
// Whether files can be created in the directory; 0, or the error that stops them.
int ProbeWritableDirectory(const CString& directory);

// "1023 b", "1.50 kb", "4096.00 Mb".
CString FormatSize(std::uint32_t bytes);
// "done / total", unsigned.
CString FormatProgress(std::uint32_t done, std::uint32_t total);
// Whole percent, rounded down, exact over the 32-bit range; an empty file or batch is complete.
int Percentage(std::uint32_t done, std::uint32_t total);
// What follows the last separator of a path.
CString BareName(const CString& path);
// The bare name of a file of ours as text (file system names are UTF-8, or else an older
// program's code page), and as it goes to a receiver that writes so.
CString ShownFileName(const CString& path);
CString WireFileName(const CString& path, WireSpeech speech);
// The name when there is one, else "N Files".
CString DescribeBatch(const std::vector<CString>& names);
// What the user is told when a file of the batch cannot be opened, read or written.
CString DescribeFileError(const CString& path, int errnoValue);
// Which file was offered, and as it was then.
struct FileStamp
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modifiedNs = 0;
    std::uint64_t size = 0;
};
FileStamp StampOf(const struct stat& status);
// Whether the file opened when its turn came is the one offered: the same file, unchanged, or
// only grown (only the offered bytes go out). A file replaced or rewritten would send other
// bytes under the offered name.
bool IsFileAsOffered(const FileStamp& offered, const FileStamp& now);
// What the user is told when a file is no longer the one offered: shorter, or another file.
CString DescribeChangedFile(const CString& path, bool shorter);
// The size of a file about to be offered, or nothing and the message that tells the user why it
// cannot be sent. Only a regular file under 4 GiB qualifies; a pipe is never waited for.
std::optional<std::uint32_t> MeasureFileToSend(
    const CString& path, CString& message, FileStamp* stamp = nullptr);
// Told when the sizes of a selection add up to 4 GiB or more.
extern const char* const BATCH_TOO_LARGE_MESSAGE;
// Why a Windows receiver cannot hold a file under its name as the receiver reads it (a message
// naming the file as shown here), or empty text when it can: Windows leaves the directory at a
// backslash, puts "a:b" into a hidden stream, throws away what goes to "NUL", and drops a dot or
// a space at the end.
CString CheckWindowsFileName(const CString& shownName, const CString& receivedName);
// Whether files (full paths) can go as one batch to a receiver that writes so: at most
// MAX_FILE_COUNT, names a Windows receiver can hold, no two with the same name as received there
// (equal but for letter case counts: the receiver saves them into one directory), each measured
// as above, under 4 GiB together. The total size, or nothing and the message that tells the user
// why not.
std::optional<std::uint32_t> CheckBatch(
    const std::vector<CString>& paths, CString& message, WireSpeech speech = WireSpeech::CodePage);
