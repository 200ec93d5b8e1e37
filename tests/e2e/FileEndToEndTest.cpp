#include "app/CommandLine.h"
#include "net/Datagram.h"
#include "tests/support/Lan.h"
#include "tests/support/RunningCopy.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUrl>
#include <gtest/gtest.h>

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

TEST(FileEndToEndTest, SendWithoutARunningCopyFailsAndStartsNothingAndWrongArgumentsGetTheUsage)
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
    EXPECT_FALSE(lan.Receive(500)) << "nothing reached the LAN";
    EXPECT_TRUE(
        QDir(runtime.path()).isEmpty(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot));

    for (const QStringList& wrong : {QStringList {"--bogus"}, QStringList {"--send"}}) {
        const auto usage = RunningCopy::RunOnce(1, wrong, runtime.path(), work.path());
        EXPECT_EQ(usage.exitCode, 2) << wrong.join(' ').toStdString();
        EXPECT_EQ(usage.errorOutput, QString(COMMAND_LINE_USAGE) + '\n');
    }
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
