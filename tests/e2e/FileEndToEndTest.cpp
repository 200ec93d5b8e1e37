#include "app/Automation.h"
#include "app/CommandLine.h"
#include "chat/ChatProtocol.h"
#include "net/Datagram.h"
#include "tests/support/Lan.h"
#include "tests/support/RunningCopy.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"
#include "transfer/FileProtocol.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
QByteArray Checksum(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
}

QByteArray RandomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(20261208);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(generator.generate() & 0xFF);
    }
    return bytes;
}

// The copy's main window, once it lists the peer.
std::optional<RunningCopy::Window> MainWindowListing(RunningCopy& copy, RunningCopy& peer)
{
    const auto main = copy.WaitForWindow("Quorvane");
    if (!main || !WaitFor([&] { return copy.ListEntries(*main, "peerList").contains(peer.Identity()); })) {
        return std::nullopt;
    }
    return main;
}

QString FileUri(const QString& path)
{
    return QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded());
}

// The receiver takes the offer into the directory and both ends finish.
void AcceptInto(RunningCopy& receiver, RunningCopy& sender, const QString& directory)
{
    const auto offer = receiver.WaitForWindow("File Request");
    ASSERT_TRUE(offer);
    receiver.Click(*offer, "Save As");
    ASSERT_TRUE(receiver.AnswerFileDialog(directory, "Choose"));
    EXPECT_TRUE(receiver.WaitForMessageBox("Finished", 60000));
    EXPECT_TRUE(sender.WaitForMessageBox("Finished", 60000));
}

// The sender offers the files to the receiver from its File window.
void Offer(RunningCopy& sender, RunningCopy& receiver, const QStringList& paths)
{
    const auto main = MainWindowListing(sender, receiver);
    ASSERT_TRUE(main);
    sender.Select(*main, "peerList", sender.ListEntries(*main, "peerList").indexOf(receiver.Identity()));
    sender.Click(*main, "File");
    const auto request = sender.WaitForWindow("Send File Transmission Request");
    ASSERT_TRUE(request);
    sender.Click(*request, "Select File");
    QStringList typed;
    for (const QString& path : paths) {
        typed << '"' + path + '"';
    }
    ASSERT_TRUE(sender.AnswerFileDialog(typed.join(' '), "Open"));
    sender.Click(*request, "Send");
}

// A mount that only this test process and the copies it starts from now on see: the process
// moves into a mount namespace of its own whose mounts propagate nowhere, so the machine's mounts
// are never touched. CI runs as root, where mode bits stop no write, so a directory that cannot
// be written has to be a read-only mount.
class ScopedMount
{
public:
    // The directory bound onto itself, read only.
    static std::unique_ptr<ScopedMount> ReadOnly(const QString& directory)
    {
        const QByteArray path = QFile::encodeName(directory);
        if (!EnterPrivateNamespace() || ::mount(path, path, nullptr, MS_BIND, nullptr) != 0) {
            return nullptr;
        }
        auto mounted = std::unique_ptr<ScopedMount>(new ScopedMount(path));
        if (::mount(nullptr, path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            return nullptr;
        }
        return mounted;
    }
    // A tmpfs over the directory, with mount(8)'s options such as "size=1m".
    static std::unique_ptr<ScopedMount> Tmpfs(const QString& directory, const char* options)
    {
        const QByteArray path = QFile::encodeName(directory);
        if (!EnterPrivateNamespace() || ::mount("tmpfs", path, "tmpfs", 0, options) != 0) {
            return nullptr;
        }
        return std::unique_ptr<ScopedMount>(new ScopedMount(path));
    }
    ~ScopedMount() { ::umount2(m_path.constData(), MNT_DETACH); }
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

private:
    explicit ScopedMount(QByteArray path)
        : m_path(std::move(path))
    {
    }
    // Once per process, from the main thread, which starts the copies.
    static bool EnterPrivateNamespace()
    {
        static const bool entered = ::unshare(CLONE_NEWNS) == 0
            && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        return entered;
    }

    QByteArray m_path;
};
} // namespace

TEST(FileEndToEndTest, BatchWithAnEmptyAndALargeFileArrivesByteIdentical)
{
    REQUIRE_LAN(2);
    QTemporaryDir source;
    QTemporaryDir target;
    ASSERT_TRUE(source.isValid() && target.isValid());
    const QStringList names {"a.txt", "empty.bin", "big.bin", "c.dat"};
    WriteFile(source.filePath("a.txt"), "abc");
    WriteFile(source.filePath("empty.bin"), {});
    WriteFile(source.filePath("big.bin"), RandomBytes(10 * 1024 * 1024 + 777));
    WriteFile(source.filePath("c.dat"), RandomBytes(5000));

    RunningCopy sender(1);
    RunningCopy receiver(2);
    const auto senderMain = MainWindowListing(sender, receiver);
    ASSERT_TRUE(senderMain);

    sender.Click(*senderMain, "File");
    const auto request = sender.WaitForWindow("Send File Transmission Request");
    ASSERT_TRUE(request);
    EXPECT_EQ(
        sender.Text(*request, "headerLabel"), "Send File Transmission Request To " + receiver.Identity());
    sender.Click(*request, "Select File");
    QStringList typed;
    for (const QString& name : names) {
        typed << '"' + source.filePath(name) + '"';
    }
    ASSERT_TRUE(sender.AnswerFileDialog(typed.join(' '), "Open"));
    sender.Set(*request, "descriptionEdit", "holiday pictures");
    sender.Click(*request, "Send");

    const auto offer = receiver.WaitForWindow("File Request");
    ASSERT_TRUE(offer);
    EXPECT_EQ(
        receiver.Text(*offer, "headerLabel"), "Received File Transmission Request From " + sender.Identity());
    EXPECT_EQ(receiver.Text(*offer, "fileNameLabel"), "4 Files");
    EXPECT_EQ(receiver.Text(*offer, "descriptionEdit").trimmed(), "holiday pictures");
    receiver.Click(*offer, "Save As");
    ASSERT_TRUE(receiver.AnswerFileDialog(target.path(), "Choose"));

    EXPECT_TRUE(receiver.WaitForMessageBox("Finished", 60000));
    EXPECT_TRUE(sender.WaitForMessageBox("Finished", 60000));
    for (const QString& name : names) {
        EXPECT_TRUE(QFile::exists(target.filePath(name))) << name.toStdString();
        EXPECT_EQ(Checksum(target.filePath(name)), Checksum(source.filePath(name))) << name.toStdString();
    }
    EXPECT_EQ(QDir(target.path()).entryList(QDir::Files | QDir::Hidden).size(), names.size());
}

TEST(FileEndToEndTest, FilesDroppedFromTwoDirectoriesGoToTheSelectedPeer)
{
    REQUIRE_LAN(2);
    QTemporaryDir first;
    QTemporaryDir second;
    QTemporaryDir target;
    ASSERT_TRUE(first.isValid() && second.isValid() && target.isValid());
    WriteFile(first.filePath("one.txt"), "one");
    WriteFile(second.filePath("two.bin"), RandomBytes(70000));
    WriteFile(second.filePath("one.txt"), "another one");
    const QStringList both {FileUri(first.filePath("one.txt")), FileUri(second.filePath("two.bin"))};

    RunningCopy sender(1);
    RunningCopy receiver(2);
    const auto senderMain = MainWindowListing(sender, receiver);
    ASSERT_TRUE(senderMain);
    sender.Select(*senderMain, "peerList", -1);
    EXPECT_FALSE(sender.Drop(*senderMain, both)) << "no peer selected";
    sender.Select(
        *senderMain, "peerList", sender.ListEntries(*senderMain, "peerList").indexOf(receiver.Identity()));
    EXPECT_FALSE(sender.Drop(*senderMain, {"https://example.org/a.txt"}));
    EXPECT_FALSE(sender.Drop(*senderMain, {FileUri(first.filePath("one.txt")), "https://example.org/a.txt"}));
    ASSERT_TRUE(sender.Drop(*senderMain, both));

    const auto request = sender.WaitForWindow("Send File Transmission Request",
        [](const QStringList& dump) { return dump.contains("label\tfileNameLabel\t2 Files"); });
    ASSERT_TRUE(request);
    EXPECT_EQ(
        sender.Text(*request, "headerLabel"), "Send File Transmission Request To " + receiver.Identity());
    // Two names alike would be saved one over the other: refused, and the selection stands.
    ASSERT_TRUE(
        sender.Drop(*request, {FileUri(first.filePath("one.txt")), FileUri(second.filePath("one.txt"))}));
    const auto refusal
        = sender.WaitForMessageBox("More than one of the selected files is named one.txt; the "
                                   "receiver would save one over the other. Send them in separate "
                                   "batches.");
    ASSERT_TRUE(refusal);
    sender.Click(*refusal, "OK");
    EXPECT_EQ(sender.Text(*request, "fileNameLabel"), "2 Files");
    sender.Set(*request, "descriptionEdit", "dropped");
    sender.Click(*request, "Send");
    EXPECT_FALSE(sender.Drop(*request, both)) << "sent: the selection is settled";

    AcceptInto(receiver, sender, target.path());
    EXPECT_EQ(Checksum(target.filePath("one.txt")), Checksum(first.filePath("one.txt")));
    EXPECT_EQ(Checksum(target.filePath("two.bin")), Checksum(second.filePath("two.bin")));
}

TEST(FileEndToEndTest, SendWithoutARunningCopyOrADisplayFailsAndStartsNothingAndWrongArgumentsGetTheUsage)
{
    REQUIRE_LAN(2);
    QTemporaryDir runtime;
    QTemporaryDir work;
    ASSERT_TRUE(runtime.isValid() && work.isValid());
    // A copy that started would say hello to the LAN at once.
    UdpPeer lan {2, PRESENCE_PORT};
    ASSERT_TRUE(lan.IsOpen());

    const auto sent = RunningCopy::RunOnce(1, {"--send", "x"}, runtime.path(), work.path());
    EXPECT_EQ(sent.exitCode, 1);
    EXPECT_EQ(sent.errorOutput, "quorvane: no running copy of Quorvane answered\n");
    const auto noRuntime = RunningCopy::RunOnce(1, {"--send", "/x"}, {}, work.path());
    EXPECT_EQ(noRuntime.exitCode, 1);
    EXPECT_EQ(
        noRuntime.errorOutput, "quorvane: XDG_RUNTIME_DIR is not set, so no running copy can be reached\n");
    // Started outside the desktop session, the copy says what is missing instead of aborting.
    const auto noDisplay = RunningCopy::RunOnce(1, {}, runtime.path(), work.path());
    EXPECT_EQ(noDisplay.exitCode, 1);
    EXPECT_TRUE(noDisplay.errorOutput.startsWith("quorvane: there is no display to show Quorvane on"))
        << noDisplay.errorOutput.toStdString();
    EXPECT_FALSE(lan.Receive(500)) << "nothing reached the LAN";
    EXPECT_TRUE(
        QDir(runtime.path()).isEmpty(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot));

    for (const QStringList& wrong : {QStringList {"--bogus"}, QStringList {"--send"}}) {
        const auto usage = RunningCopy::RunOnce(1, wrong, runtime.path(), work.path());
        EXPECT_EQ(usage.exitCode, 2) << wrong.join(' ').toStdString();
        EXPECT_EQ(usage.errorOutput, QString(COMMAND_LINE_USAGE) + '\n');
    }
}

// A second start from the menu finds the copy through its hand-over socket: it shows that copy's
// window and ends, binding no port and needing no display.
TEST(FileEndToEndTest, ASecondStartShowsTheRunningCopyAndStartsNothingOfItsOwn)
{
    REQUIRE_LAN(2);
    QTemporaryDir work;
    RunningCopy first(1);
    ASSERT_TRUE(first.WaitForWindow("Quorvane"));
    UdpPeer lan {2, PRESENCE_PORT};
    ASSERT_TRUE(lan.IsOpen());
    QElapsedTimer clock;
    clock.start();
    const auto again = RunningCopy::RunOnce(1, {}, first.RuntimeDirectory(), work.path());
    EXPECT_EQ(again.exitCode, 0) << again.errorOutput.toStdString();
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_TRUE(again.errorOutput.isEmpty());
    for (const QStringList& quiet : {QStringList {"--autostart"}, QStringList {"-session", "1a2b3c"}}) {
        const auto started = RunningCopy::RunOnce(1, quiet, first.RuntimeDirectory(), work.path());
        EXPECT_EQ(started.exitCode, 0) << quiet.join(' ').toStdString();
        EXPECT_TRUE(started.errorOutput.isEmpty());
    }
    EXPECT_FALSE(lan.Receive(500)) << "a second copy said hello";
    EXPECT_TRUE(first.IsRunning());
    EXPECT_TRUE(first.WaitForWindow("Quorvane"));

    // An older copy answers files but refuses what it does not know, by closing.
    QTemporaryDir runtime;
    const QByteArray path = QFile::encodeName(runtime.filePath("quorvane.sock"));
    const int older = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), static_cast<size_t>(path.size()) + 1);
    ASSERT_EQ(bind(older, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(older, 4), 0);
    std::thread refuser([older] {
        const int connection = accept(older, nullptr, nullptr);
        char request[64];
        [[maybe_unused]] const ssize_t got = read(connection, request, sizeof request);
        close(connection);
    });
    const auto refused = RunningCopy::RunOnce(1, {}, runtime.path(), work.path());
    refuser.join();
    close(older);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.errorOutput.startsWith("quorvane: Quorvane is already running for this user"))
        << refused.errorOutput.toStdString();
}

TEST(FileEndToEndTest, FilesHandedOverOnTheCommandLineGoToThePeerChosenInSendFiles)
{
    REQUIRE_LAN(2);
    QTemporaryDir source;
    QTemporaryDir target;
    ASSERT_TRUE(source.isValid() && target.isValid());
    WriteFile(source.filePath("a.txt"), "from the terminal");
    WriteFile(source.filePath("b.bin"), RandomBytes(300000));

    RunningCopy sender(1);
    RunningCopy receiver(2);
    const auto senderMain = MainWindowListing(sender, receiver);
    ASSERT_TRUE(senderMain);
    sender.Select(*senderMain, "peerList", -1);

    // Relative names, as typed in the directory that holds the files.
    const auto handed
        = RunningCopy::RunOnce(1, {"--send", "a.txt", "b.bin"}, sender.RuntimeDirectory(), source.path());
    EXPECT_EQ(handed.exitCode, 0) << handed.errorOutput.toStdString();
    EXPECT_TRUE(handed.errorOutput.isEmpty());
    const auto choice = sender.WaitForWindow("Send Files");
    ASSERT_TRUE(choice);
    EXPECT_EQ(sender.Text(*choice, "fileNameLabel"), "2 Files");
    EXPECT_EQ(sender.ListEntries(*choice, "peerList"), sender.ListEntries(*senderMain, "peerList"));
    EXPECT_TRUE(sender.Request("dump " + choice->id).contains("button\tsendButton\tSend...\tdisabled"))
        << "no peer selected yet";
    sender.Select(*choice, "peerList", sender.ListEntries(*choice, "peerList").indexOf(receiver.Identity()));
    sender.Click(*choice, "Send...");

    const auto request = sender.WaitForWindow("Send File Transmission Request",
        [](const QStringList& dump) { return dump.contains("label\tfileNameLabel\t2 Files"); });
    ASSERT_TRUE(request);
    EXPECT_EQ(
        sender.Text(*request, "headerLabel"), "Send File Transmission Request To " + receiver.Identity());
    EXPECT_TRUE(sender.WindowsTitled("Send Files").empty());
    sender.Set(*request, "descriptionEdit", "handed over");
    sender.Click(*request, "Send");

    AcceptInto(receiver, sender, target.path());
    EXPECT_EQ(Checksum(target.filePath("a.txt")), Checksum(source.filePath("a.txt")));
    EXPECT_EQ(Checksum(target.filePath("b.bin")), Checksum(source.filePath("b.bin")));
}

TEST(FileEndToEndTest, ADirectoryThatCannotBeWrittenIsRefusedWhileTheRequestStaysOpenForAnother)
{
    REQUIRE_LAN(2);
    QTemporaryDir source;
    QTemporaryDir target;
    ASSERT_TRUE(source.isValid() && target.isValid());
    const QString locked = target.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    const auto readOnly = ScopedMount::ReadOnly(locked);
    ASSERT_TRUE(readOnly) << std::strerror(errno);
    WriteFile(source.filePath("a.txt"), "abc");

    RunningCopy sender(1);
    RunningCopy receiver(2);
    Offer(sender, receiver, {source.filePath("a.txt")});
    const auto offer = receiver.WaitForWindow("File Request");
    ASSERT_TRUE(offer);
    receiver.Click(*offer, "Save As");
    ASSERT_TRUE(receiver.AnswerFileDialog(locked, "Choose"));
    const auto refusal = receiver.WaitForMessageBox(
        "Files cannot be saved in " + locked + "/: Read-only file system. Choose another directory.");
    ASSERT_TRUE(refusal);
    receiver.Click(*refusal, "OK");
    EXPECT_TRUE(WaitFor([&] { return receiver.WindowsTitled("File Request").size() == 1; }));
    // Nothing was accepted: the sender still waits for an answer.
    EXPECT_TRUE(sender.WindowsTitled("File").empty());
    EXPECT_FALSE(sender.WindowsTitled("Send File Transmission Request").empty());

    AcceptInto(receiver, sender, target.path());
    EXPECT_EQ(Checksum(target.filePath("a.txt")), Checksum(source.filePath("a.txt")));
}

TEST(FileEndToEndTest, AFullDiskFailsTheFileByNameKeepsTheOldOneAndTheSenderIsNeverToldFinished)
{
    REQUIRE_LAN(2);
    QTemporaryDir source;
    QTemporaryDir target;
    ASSERT_TRUE(source.isValid() && target.isValid());
    const QString small = target.filePath("small");
    ASSERT_TRUE(QDir().mkpath(small));
    const auto tmpfs = ScopedMount::Tmpfs(small, "size=1m");
    ASSERT_TRUE(tmpfs) << std::strerror(errno);
    const QByteArray old(20000, 'o');
    WriteFile(small + "/big.bin", old);
    WriteFile(source.filePath("big.bin"), RandomBytes(3 * 1024 * 1024));

    RunningCopy sender(1);
    RunningCopy receiver(2);
    Offer(sender, receiver, {source.filePath("big.bin")});
    const auto offer = receiver.WaitForWindow("File Request");
    ASSERT_TRUE(offer);
    receiver.Click(*offer, "Save As");
    ASSERT_TRUE(receiver.AnswerFileDialog(small, "Choose"));
    EXPECT_TRUE(receiver.WaitForMessageBox(
        "There is not enough space on the disk for " + small + "/big.bin.", 60000));
    EXPECT_TRUE(sender.WaitForMessageBox(receiver.Identity() + " Terminated The Process", 60000));
    EXPECT_FALSE(sender.WaitForMessageBox("Finished", 1000));
    EXPECT_FALSE(receiver.WaitForMessageBox("Finished", 100));
    QFile kept(small + "/big.bin");
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), old);
    std::printf("[storage] left in the full directory: %s\n",
        QDir(small).entryList(QDir::Files | QDir::Hidden).join(", ").toLocal8Bit().constData());
}

namespace {
// Four bytes, least significant first, as the protocol's kinds, counts and sizes go.
std::string Le32(std::uint32_t value)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

// A blocking stream socket of the test's host; reads give up after a while.
class Stream
{
public:
    explicit Stream(int fd = -1)
        : m_fd(fd)
    {
    }
    Stream(Stream&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    ~Stream()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    static Stream Connect(int host, unsigned port)
    {
        Stream stream(lan::OpenSocketOn(1, SOCK_STREAM));
        const sockaddr_in address = lan::SocketAddress(host, port);
        if (::connect(stream.m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return Stream();
        }
        return stream;
    }
    static Stream Listen(unsigned port)
    {
        Stream stream(lan::OpenSocketOn(1, SOCK_STREAM));
        const int on = 1;
        setsockopt(stream.m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in address = lan::SocketAddress("0.0.0.0", port);
        if (bind(stream.m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
            || listen(stream.m_fd, 1) != 0) {
            return Stream();
        }
        return stream;
    }
    bool IsOpen() const { return m_fd >= 0; }
    Stream Accept(int timeoutMs = 10000)
    {
        int fd = -1;
        // The copy is another process: its event loop needs none of ours.
        WaitFor(
            [&] { return Ready(0) && (fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }, timeoutMs);
        return Stream(fd);
    }
    void Send(const std::string& bytes) { ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Exactly count bytes, or what came before the time ran out or the close.
    std::string Read(size_t count, int timeoutMs = 10000)
    {
        std::string bytes;
        WaitFor(
            [&] {
                if (!Ready(0)) {
                    return false;
                }
                char buffer[4096];
                const ssize_t got = ::recv(m_fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
                if (got <= 0) {
                    return true;
                }
                bytes.append(buffer, static_cast<size_t>(got));
                return bytes.size() == count;
            },
            timeoutMs);
        return bytes;
    }

private:
    bool Ready(int timeoutMs) const
    {
        pollfd watched {m_fd, POLLIN, 0};
        return ::poll(&watched, 1, timeoutMs) > 0;
    }

    int m_fd = -1;
};

// A Windows computer of a German office, played by the test on host 1 against our copy on host
// 2 that runs under a German UTF-8 locale. Everything the Windows side writes is windows-1252,
// spelled out byte by byte (in octal, which ends after three digits): \374 ü, \337 ß, \334 Ü,
// \344 ä, \366 ö, \200 €.
class WindowsPeerEndToEndTest : public ::testing::Test
{
protected:
    static constexpr char NAME[] = "J\374rgen (B\334RO)";
    static inline const QString SHOWN_NAME = QString::fromUtf8("J\u00FCrgen (B\u00DCRO)");

    void SetUp() override
    {
        REQUIRE_LAN(2);
        presence = std::make_unique<UdpPeer>(1, PRESENCE_PORT);
        ASSERT_TRUE(presence->IsOpen());
        // The locale alone picks the code page, as on a desktop set to German.
        copy = std::make_unique<RunningCopy>(
            2, QStringList {"LANG=de_DE.UTF-8", "LC_ALL=", "LC_CTYPE=", "QUORVANE_CODEPAGE="});
        const auto hello = presence->Receive(10000);
        ASSERT_TRUE(hello);
        ASSERT_EQ(hello->bytes.substr(0, 4), Le32(KIND_HELLO));
        EXPECT_EQ(hello->bytes.substr(4), copy->Identity().toStdString());
        ASSERT_TRUE(presence->SendTo(Le32(KIND_HELLO_REPLY) + NAME, CopyAddress(), PRESENCE_PORT));
        const auto listed = copy->WaitForWindow("Quorvane");
        ASSERT_TRUE(listed);
        mainWindow = *listed;
        ASSERT_TRUE(WaitFor([&] { return copy->ListEntries(mainWindow, "peerList").contains(SHOWN_NAME); }))
            << copy->ListEntries(mainWindow, "peerList").join(", ").toStdString();
    }

    std::string CopyAddress() const { return copy->Address().toStdString(); }

    // The next message the copy sends the Windows peer, skipping its other datagrams.
    std::string NextMessage()
    {
        while (const auto datagram = presence->Receive(10000)) {
            if (datagram->bytes.substr(0, 4) == Le32(KIND_MESSAGE)) {
                EXPECT_EQ(datagram->source, CopyAddress());
                return datagram->bytes.substr(4);
            }
        }
        return "(nothing)";
    }

    void SelectPeer()
    {
        copy->Select(mainWindow, "peerList",
            static_cast<int>(copy->ListEntries(mainWindow, "peerList").indexOf(SHOWN_NAME)));
    }

    std::unique_ptr<UdpPeer> presence;
    std::unique_ptr<RunningCopy> copy;
    RunningCopy::Window mainWindow;
};

TEST_F(WindowsPeerEndToEndTest, NameAndMessagesAreReadAndAnsweredInTheCodePage)
{
    ASSERT_TRUE(presence->SendTo(Le32(KIND_MESSAGE) + "Gr\374\337e", CopyAddress(), PRESENCE_PORT));
    const auto received = copy->WaitForWindow("Receive Message");
    ASSERT_TRUE(received);
    EXPECT_EQ(copy->Text(*received, "headerLabel"), "Received Message From " + SHOWN_NAME);
    EXPECT_EQ(copy->Text(*received, "messageEdit"), QString::fromUtf8("Gr\u00FC\u00DFe"));

    copy->Click(*received, "Reply");
    const auto reply = copy->WaitForWindow("Send Message");
    ASSERT_TRUE(reply);
    EXPECT_EQ(copy->Text(*reply, "headerLabel"), "Reply Message To " + SHOWN_NAME);
    copy->Set(*reply, "messageEdit", QString::fromUtf8("Gr\u00FC\u00DFe zur\u00FCck"));
    copy->Click(*reply, "Send");
    EXPECT_EQ(NextMessage(), "Gr\374\337e zur\374ck");

    // Picked from the list, whose entry keeps the name's bytes; the euro sign is 0x80 in 1252,
    // where Latin-1 has none.
    SelectPeer();
    copy->Click(mainWindow, "Message");
    const auto message = copy->WaitForWindow("Send Message");
    ASSERT_TRUE(message);
    EXPECT_EQ(copy->Text(*message, "headerLabel"), "Send Message To " + SHOWN_NAME);
    copy->Set(*message, "messageEdit", QString::fromUtf8("Sch\u00F6ne Gr\u00FC\u00DFe, 20 \u20AC"));
    copy->Click(*message, "Send");
    EXPECT_EQ(NextMessage(), "Sch\366ne Gr\374\337e, 20 \200");
}

TEST_F(WindowsPeerEndToEndTest, FileNamesCrossInTheCodePageBothWays)
{
    QTemporaryDir target;
    QTemporaryDir source;
    ASSERT_TRUE(target.isValid() && source.isValid());

    // From the Windows peer: each header message waits for its "OK", the description does not.
    const std::string march = "Umsatz 1.234 \200\r\n";
    Stream incoming = Stream::Connect(2, 102);
    ASSERT_TRUE(incoming.IsOpen());
    for (const std::string& header : {std::string(NAME), Le32(1), std::string("M\344rz.txt"),
             Le32(static_cast<std::uint32_t>(march.size()))}) {
        incoming.Send(header);
        ASSERT_EQ(incoming.Read(2), "OK");
    }
    incoming.Send("Bericht f\374r M\344rz\r\n");
    const auto offer = copy->WaitForWindow("File Request");
    ASSERT_TRUE(offer);
    EXPECT_EQ(copy->Text(*offer, "headerLabel"), "Received File Transmission Request From " + SHOWN_NAME);
    EXPECT_EQ(copy->Text(*offer, "fileNameLabel"), QString::fromUtf8("M\u00E4rz.txt"));
    EXPECT_EQ(
        copy->Text(*offer, "descriptionEdit").trimmed(), QString::fromUtf8("Bericht f\u00FCr M\u00E4rz"));
    copy->Click(*offer, "Save As");
    ASSERT_TRUE(copy->AnswerFileDialog(target.path(), "Choose"));
    ASSERT_EQ(incoming.Read(2), "OK");
    incoming.Send(march);
    EXPECT_EQ(incoming.Read(2), "OK");
    const auto finished = copy->WaitForMessageBox("Finished");
    ASSERT_TRUE(finished);
    copy->Click(*finished, "OK");
    const QString saved = QString::fromUtf8("M\u00E4rz.txt");
    EXPECT_EQ(QDir(target.path()).entryList(QDir::Files | QDir::Hidden), QStringList {saved});
    QFile savedFile(target.filePath(saved));
    ASSERT_TRUE(savedFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(savedFile.readAll().toStdString(), march) << "the content is never converted";

    // To the Windows peer: a name that is UTF-8 on our disk goes in 1252.
    const QString overview = QString::fromUtf8("\u00DCbersicht.txt");
    const std::string content = "Zahlen\n";
    WriteFile(source.filePath(overview), QByteArray::fromStdString(content));
    Stream listener = Stream::Listen(102);
    ASSERT_TRUE(listener.IsOpen());
    SelectPeer();
    copy->Click(mainWindow, "File");
    const auto request = copy->WaitForWindow("Send File Transmission Request");
    ASSERT_TRUE(request);
    EXPECT_EQ(copy->Text(*request, "headerLabel"), "Send File Transmission Request To " + SHOWN_NAME);
    copy->Click(*request, "Select File");
    ASSERT_TRUE(copy->AnswerFileDialog('"' + source.filePath(overview) + '"', "Open"));
    EXPECT_TRUE(WaitFor([&] { return copy->Text(*request, "fileNameLabel") == overview; }));
    copy->Set(*request, "descriptionEdit", QString::fromUtf8("\u00DCbersicht f\u00FCr M\u00E4rz"));
    copy->Click(*request, "Send");

    Stream outgoing = listener.Accept();
    ASSERT_TRUE(outgoing.IsOpen());
    const std::vector<std::string> headers {copy->Identity().toStdString(), Le32(1), "\334bersicht.txt",
        Le32(static_cast<std::uint32_t>(content.size())), "\334bersicht f\374r M\344rz\r\n"};
    for (const std::string& header : headers) {
        ASSERT_EQ(outgoing.Read(header.size()), header);
        outgoing.Send("OK");
    }
    EXPECT_EQ(outgoing.Read(content.size()), content);
    outgoing.Send("OK");
    EXPECT_TRUE(copy->WaitForMessageBox("Finished"));
}

// Runs `ip` with the arguments; true when it succeeded.
bool Ip(const QStringList& arguments)
{
    QProcess ip;
    ip.setProcessChannelMode(QProcess::ForwardedChannels);
    ip.start("ip", arguments);
    return ip.waitForFinished(10000) && ip.exitStatus() == QProcess::NormalExit && ip.exitCode() == 0;
}

// One line per figure, collected for RELIABILITY.md.
void Report(const QString& line)
{
    std::printf("[vanish] %s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// True when the window, or a box it owns, shows a label with exactly the text.
bool Shows(RunningCopy& copy, const RunningCopy::Window& window, const QString& text)
{
    for (const QString& line : copy.Request("dump " + window.id)) {
        const QStringList fields = line.split('\t');
        if (fields.size() >= 3 && fields[0] == "label" && CAutomation::Unescape(fields[2]) == text) {
            return true;
        }
    }
    return false;
}

std::function<bool(const QStringList&)> HeaderIs(const QString& header)
{
    return [header](const QStringList& dump) {
        return dump.contains("label\theaderLabel\t" + CAutomation::Escape(header));
    };
}

// B, played by the test on host 1, vanishes: its bridge port goes down, so nothing more of it
// arrives, not even a FIN or a reset. Our copy A on host 2 meets it in every state at once -
// receiving, sending, an idle chat, B's two requests waiting for A's user, and A's two requests
// to the gone host - so that the whole test waits out the cut-off of about 40 s once (about a
// minute in CI) rather than once per state. C on host 3 stays healthy and keeps its chat with A.
class VanishedPeerEndToEndTest : public ::testing::Test
{
protected:
    static constexpr char NAME[] = "Vanishing (HOST1)";
    static constexpr std::uint32_t BATCH_SIZE = 1000000;
    // Each state is reported within this many seconds of the port going down.
    static constexpr int LIMIT_MS = 90000;

    void SetUp() override
    {
        REQUIRE_LAN(3);
        presence = std::make_unique<UdpPeer>(1, PRESENCE_PORT);
        ASSERT_TRUE(presence->IsOpen());
        a = std::make_unique<RunningCopy>(2);
        const auto hello = presence->Receive(10000);
        ASSERT_TRUE(hello);
        ASSERT_TRUE(
            presence->SendTo(Le32(KIND_HELLO_REPLY) + NAME, a->Address().toStdString(), PRESENCE_PORT));
        c = std::make_unique<RunningCopy>(3);
        const auto listing = MainWindowListing(*a, *c);
        ASSERT_TRUE(listing);
        mainWindow = *listing;
        ASSERT_TRUE(WaitFor([&] { return a->ListEntries(mainWindow, "peerList").contains(NAME); }));
    }

    void TearDown() override
    {
        // The LAN is the whole file's: host 1 comes back for the tests after this one.
        if (portDown) {
            EXPECT_TRUE(Ip({"-n", QString::fromStdString(lan::BridgeNamespace()), "link", "set",
                QString::fromStdString(lan::BridgePort(1)), "up"}));
        }
        if (pinned) {
            EXPECT_TRUE(Ip({"-n", QString::fromStdString(lan::Namespace(2)), "neigh", "del",
                QString::fromStdString(lan::Address(1)), "dev", "eth0"}));
        }
    }

    void SelectPeer(RunningCopy& copy, const RunningCopy::Window& main, const QString& identity)
    {
        copy.Select(main, "peerList", static_cast<int>(copy.ListEntries(main, "peerList").indexOf(identity)));
    }

    // A's user asks for a chat with B; returns the request window.
    std::optional<RunningCopy::Window> AskForChat()
    {
        SelectPeer(*a, mainWindow, NAME);
        a->Click(mainWindow, "Chat");
        const auto request = a->WaitForWindow("Send Chat Request");
        if (request) {
            a->Set(*request, "subjectEdit", "are you there?");
            a->Click(*request, "Send");
        }
        return request;
    }

    // A's user sends B the file; returns the request window.
    std::optional<RunningCopy::Window> SendFile(const QString& path, const QString& description)
    {
        SelectPeer(*a, mainWindow, NAME);
        a->Click(mainWindow, "File");
        const auto request = a->WaitForWindow("Send File Transmission Request");
        if (!request) {
            return std::nullopt;
        }
        a->Click(*request, "Select File");
        if (!a->AnswerFileDialog('"' + path + '"', "Open")
            || !WaitFor([&] { return a->Text(*request, "fileNameLabel") == QFileInfo(path).fileName(); })) {
            return std::nullopt;
        }
        a->Set(*request, "descriptionEdit", description);
        a->Click(*request, "Send");
        return request;
    }

    // B's file request up to its description; each header message waits for its "OK".
    static Stream OfferFromB(const std::string& name, std::uint32_t size, const std::string& description)
    {
        Stream stream = Stream::Connect(2, filewire::PORT);
        for (const std::string& header : {std::string(NAME), Le32(1), name, Le32(size)}) {
            stream.Send(header);
            if (stream.Read(2) != "OK") {
                return Stream();
            }
        }
        stream.Send(description + "\r\n");
        return stream;
    }

    // B's chat request with its subject.
    static Stream ChatFromB(const std::string& subject)
    {
        Stream stream = Stream::Connect(2, CHAT_PORT);
        stream.Send(NAME);
        if (stream.Read(2) != "OK") {
            return Stream();
        }
        stream.Send(subject + "\r\n");
        return stream;
    }

    std::unique_ptr<UdpPeer> presence;
    std::unique_ptr<RunningCopy> a;
    std::unique_ptr<RunningCopy> c;
    RunningCopy::Window mainWindow;
    bool pinned = false;
    bool portDown = false;
};

TEST_F(VanishedPeerEndToEndTest, EveryStateWithTheGonePeerIsReportedWhileAHealthyChatStaysOpen)
{
    const QString b = NAME;
    QTemporaryDir source;
    QTemporaryDir target;
    ASSERT_TRUE(source.isValid() && target.isValid());
    WriteFile(source.filePath("outgoing.bin"), RandomBytes(BATCH_SIZE));

    // A chat with the healthy peer C, asked for by C.
    const auto cMain = MainWindowListing(*c, *a);
    ASSERT_TRUE(cMain);
    SelectPeer(*c, *cMain, a->Identity());
    c->Click(*cMain, "Chat");
    const auto cRequest = c->WaitForWindow("Send Chat Request");
    ASSERT_TRUE(cRequest);
    c->Set(*cRequest, "subjectEdit", "still here?");
    c->Click(*cRequest, "Send");
    const auto fromC = a->WaitForWindow("Received Chat Request");
    ASSERT_TRUE(fromC);
    a->Click(*fromC, "Accept");
    const auto healthyChat = a->WaitForWindow("Chat", HeaderIs("Chatting With " + c->Identity()));
    const auto cChat = c->WaitForWindow("Chat");
    ASSERT_TRUE(healthyChat && cChat);

    // An idle chat that B asked for and A accepted.
    Stream chat = ChatFromB("lunch?");
    const auto fromB = a->WaitForWindow("Received Chat Request");
    ASSERT_TRUE(fromB);
    a->Click(*fromB, "Accept");
    ASSERT_EQ(chat.Read(2), "OK");
    const auto idleChat = a->WaitForWindow("Chat", HeaderIs("Chatting With " + b));
    ASSERT_TRUE(idleChat);

    // Receiving: A accepted B's batch, of which B sends five chunks and then nothing.
    Stream incoming = OfferFromB("incoming.bin", BATCH_SIZE, "from B");
    ASSERT_TRUE(incoming.IsOpen());
    const auto offer = a->WaitForWindow("File Request");
    ASSERT_TRUE(offer);
    a->Click(*offer, "Save As");
    ASSERT_TRUE(a->AnswerFileDialog(target.path(), "Choose"));
    ASSERT_EQ(incoming.Read(2), "OK");
    const std::string chunk(2000, 'b');
    for (int i = 0; i < 5; ++i) {
        incoming.Send(chunk);
        ASSERT_EQ(incoming.Read(2), "OK");
    }
    const auto receiving = a->WaitForWindow("File", HeaderIs("Receiving Files From " + b));
    ASSERT_TRUE(receiving);

    // Sending: B accepts A's batch, answers its first chunk and then no more.
    Stream listener = Stream::Listen(filewire::PORT);
    ASSERT_TRUE(listener.IsOpen());
    ASSERT_TRUE(SendFile(source.filePath("outgoing.bin"), "to B"));
    Stream outgoing = listener.Accept();
    ASSERT_TRUE(outgoing.IsOpen());
    for (const std::string& header : {a->Identity().toStdString(), Le32(1), std::string("outgoing.bin"),
             Le32(BATCH_SIZE), std::string("to B\r\n")}) {
        ASSERT_EQ(outgoing.Read(header.size()), header);
        outgoing.Send("OK");
    }
    ASSERT_EQ(outgoing.Read(chunk.size()).size(), chunk.size());
    outgoing.Send("OK");
    const auto sending = a->WaitForWindow("File", HeaderIs("Sending Files To " + b));
    ASSERT_TRUE(sending);

    // B's chat request and file request, shown to A's user, who leaves them unanswered.
    Stream chatRequest = ChatFromB("are you there?");
    const auto waitingChat = a->WaitForWindow("Received Chat Request");
    ASSERT_TRUE(waitingChat);
    Stream fileRequest = OfferFromB("waiting.txt", 10, "later");
    ASSERT_TRUE(fileRequest.IsOpen());
    const auto waitingFile = a->WaitForWindow("File Request");
    ASSERT_TRUE(waitingFile);

    // B's address stays resolved on A: a port that is down would otherwise fail A's address
    // look-up within seconds, and a connect would end fast with "no route to host" instead of
    // meeting the silence of a host that is gone.
    QFile mac("/sys/class/net/eth0/address");
    ASSERT_TRUE(mac.open(QIODevice::ReadOnly));
    const QString bAddress = QString::fromStdString(lan::Address(1));
    ASSERT_TRUE(Ip({"-n", QString::fromStdString(lan::Namespace(2)), "neigh", "replace", bAddress, "lladdr",
        QString::fromLatin1(mac.readAll().trimmed()), "nud", "permanent", "dev", "eth0"}));
    pinned = true;
    ASSERT_TRUE(Ip({"-n", QString::fromStdString(lan::BridgeNamespace()), "link", "set",
        QString::fromStdString(lan::BridgePort(1)), "down"}));
    portDown = true;
    QElapsedTimer sinceDown;
    sinceDown.start();

    // A's user, who still sees B listed, asks the gone host for a chat and sends it a file.
    const auto chatToGone = AskForChat();
    ASSERT_TRUE(chatToGone);
    const double chatAskedAt = sinceDown.elapsed() / 1000.0;
    const auto fileToGone = SendFile(source.filePath("outgoing.bin"), "to the gone host");
    ASSERT_TRUE(fileToGone);
    const double fileAskedAt = sinceDown.elapsed() / 1000.0;

    struct State
    {
        QString name;
        RunningCopy::Window window;
        QString report;
        double askedAt = 0;
        double seconds = -1;
    };
    std::vector<State> states {
        {"receiving", *receiving, b + " Terminated The Process"},
        {"sending", *sending, b + " Terminated The Process"},
        {"idle chat", *idleChat, b + " Left The Chat"},
        {"chat request waiting", *waitingChat, "Request Cancelled By " + b},
        {"file request waiting", *waitingFile, "Request Cancelled By " + b},
        {"chat request to the gone host", *chatToGone, "Request Declined Without Reason", chatAskedAt},
        {"file request to the gone host", *fileToGone, "Request Declined Without Reason", fileAskedAt},
    };
    while (sinceDown.elapsed() < LIMIT_MS) {
        bool all = true;
        for (State& state : states) {
            if (state.seconds < 0 && Shows(*a, state.window, state.report)) {
                state.seconds = sinceDown.elapsed() / 1000.0;
            }
            all = all && state.seconds >= 0;
        }
        if (all) {
            break;
        }
        Settle(200);
    }
    for (const State& state : states) {
        EXPECT_GE(state.seconds, 0) << state.name.toStdString() << ": no \"" << state.report.toStdString()
                                    << "\" within " << LIMIT_MS / 1000 << " s";
        if (state.seconds < 0) {
            Report(state.name + ": not reported");
        } else if (state.askedAt > 0) {
            Report(QStringLiteral("%1: %2 s (%3 s after it was sent)")
                       .arg(state.name)
                       .arg(state.seconds, 0, 'f', 1)
                       .arg(state.seconds - state.askedAt, 0, 'f', 1));
        } else {
            Report(QStringLiteral("%1: %2 s").arg(state.name).arg(state.seconds, 0, 'f', 1));
        }
    }

    // The chat with B ends once its report is read; the one with C goes on.
    if (const auto left = a->WaitForMessageBox(b + " Left The Chat", 1000)) {
        a->Click(*left, "OK");
        EXPECT_TRUE(WaitFor([&] { return a->Text(*idleChat, "headerLabel") == "Chat Ended"; }));
    }
    EXPECT_EQ(a->Text(*healthyChat, "headerLabel"), "Chatting With " + c->Identity());
    EXPECT_EQ(c->Text(*cChat, "headerLabel"), "Chatting With " + a->Identity());
    c->Set(*cChat, "inputEdit", "yes");
    c->Click(*cChat, "Send");
    EXPECT_TRUE(
        WaitFor([&] { return a->Text(*healthyChat, "transcriptEdit").trimmed() == c->Identity() + ":yes"; }));
    // What B sent before it vanished is kept under the incomplete name, never as the file.
    EXPECT_FALSE(QFile::exists(target.filePath("incoming.bin")));
    EXPECT_EQ(QFileInfo(target.filePath("incoming.bin.incomplete")).size(), 5 * 2000);
}
} // namespace
