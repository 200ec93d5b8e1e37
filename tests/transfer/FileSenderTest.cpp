// CFileSocket against a receiver played by a plain socket on host 2: the exact bytes of the
// conversation, the pacing of the worker, and every way a request or a transfer ends.
#include "tests/support/FakeMainWindow.h"
#include "tests/transfer/TransferTestSupport.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <thread>

#include <poll.h>

namespace {

using Log = std::vector<std::string>;

class FileSenderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_LAN(2);
        main.localName = "ANN (PC1)";
        ASSERT_TRUE(listener.IsOpen());
    }

    std::string Dir() const { return dir.path().toStdString() + "/"; }

    // Starts a request for the files and takes the connection on the receiving side.
    Peer Start(const std::vector<std::pair<std::string, std::string>>& files, const std::string& description)
    {
        std::vector<CString> paths;
        for (const auto& [name, bytes] : files) {
            WriteFile(Dir() + name, bytes);
            paths.push_back(Dir() + name);
        }
        sender.socket->SetRequest(&sender, paths, filewire::EncodeDescription(description));
        sender.socket->ConnectTo(lan::Address(2));
        return listener.Accept();
    }

    // Plays the receiver through the header; false at the first message that differs.
    void Header(Peer& receiver, const std::vector<std::pair<std::string, std::string>>& files,
        const std::string& description)
    {
        ASSERT_EQ(receiver.Read(9), "ANN (PC1)");
        receiver.Send("OK");
        ASSERT_EQ(receiver.Read(4), Number(static_cast<std::uint32_t>(files.size())));
        for (const auto& [name, bytes] : files) {
            receiver.Send("OK");
            ASSERT_EQ(receiver.Read(name.size()), name);
        }
        for (const auto& [name, bytes] : files) {
            receiver.Send("OK");
            ASSERT_EQ(receiver.Read(4), Number(static_cast<std::uint32_t>(bytes.size())));
        }
        receiver.Send("OK");
        ASSERT_EQ(receiver.Read(description.size() + 2), description + "\r\n");
    }

    // Reads the data phase answering every read, and records the size of each read.
    std::string ReceiveAll(Peer& receiver, size_t total, std::vector<size_t>& reads)
    {
        std::string data;
        while (data.size() < total) {
            const std::string piece = receiver.ReadAny(3000);
            if (piece.empty()) {
                break;
            }
            reads.push_back(piece.size());
            data += piece;
            receiver.Send("OK");
        }
        return data;
    }

    FakeMainWindow main;
    QTemporaryDir dir;
    Peer listener = Peer::Listen();
    SenderWindows sender;
};

TEST_F(FileSenderTest, ExampleBatchGoesOutByteForByte)
{
    const std::string a = "abc";
    const std::string b = Pattern(2500, 'b');
    Peer receiver = Start({{"a.txt", a}, {"b.bin", b}}, "hi");
    ASSERT_TRUE(receiver.IsOpen());
    // Each message waits for its reply, so each read is one whole message.
    ASSERT_EQ(receiver.Read(9), std::string("\x41\x4E\x4E\x20\x28\x50\x43\x31\x29"));
    EXPECT_EQ(receiver.ReadAny(100), "") << "nothing before the reply";
    receiver.Send("OK");
    ASSERT_EQ(receiver.Read(4), std::string("\x02\x00\x00\x00", 4));
    receiver.Send("OK");
    ASSERT_EQ(receiver.Read(5), "a.txt");
    receiver.Send("OK");
    ASSERT_EQ(receiver.Read(5), "b.bin");
    receiver.Send("OK");
    ASSERT_EQ(receiver.Read(4), std::string("\x03\x00\x00\x00", 4));
    receiver.Send("OK");
    ASSERT_EQ(receiver.Read(4), std::string("\xC4\x09\x00\x00", 4));
    receiver.Send("OK");
    ASSERT_EQ(receiver.Read(4), "hi\r\n");
    EXPECT_EQ(receiver.ReadAny(100), "") << "the data waits for the decision";
    EXPECT_EQ(sender.socket->GetState(), CFileSocket::AwaitDecision);

    receiver.Send("OK");
    EXPECT_EQ(receiver.Read(3), a) << "one chunk per file";
    receiver.Send("OK");
    EXPECT_EQ(receiver.Read(2000), b.substr(0, 2000));
    receiver.Send("OK");
    EXPECT_EQ(receiver.Read(500), b.substr(2000));
    receiver.Send("OK");
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log, (Log {"accepted", "file a.txt 3", "total 2503", "file b.bin 2500", "finished"}));
    EXPECT_EQ(sender.progress, (Log {"3/3", "2000/2003", "2500/2503"}));
    EXPECT_TRUE(receiver.WaitClosed());
}

TEST_F(FileSenderTest, ChunksNeverCrossAFileAndEmptyFilesArePassedOver)
{
    const std::vector<std::pair<std::string, std::string>> files
        = {{"empty1", ""}, {"three", Pattern(3000, 't')}, {"empty2", ""}, {"four", Pattern(4000, 'f')},
            {"ten", Pattern(10, 'x')}, {"empty3", ""}};
    Peer receiver = Start(files, "");
    Header(receiver, files, "");
    receiver.Send("OK");
    std::vector<size_t> reads;
    const std::string data = ReceiveAll(receiver, 7010, reads);
    EXPECT_EQ(data, files[1].second + files[3].second + files[4].second);
    EXPECT_EQ(reads, (std::vector<size_t> {2000, 1000, 2000, 2000, 10}));
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log,
        (Log {"accepted", "file empty1 0", "file three 3000", "total 7010", "file empty2 0", "file four 4000",
            "file ten 10", "finished"}));
}

// A receiver that answers each read at once, from a thread of its own: the reply to the last chunk
// of a file can then arrive before the worker has counted that chunk. A file longer than the
// worker's read-ahead still goes in whole chunks, the file's last one alone shorter.
TEST_F(FileSenderTest, PromptRepliesAtFileBoundariesNeverStallTheBatch)
{
    std::vector<std::pair<std::string, std::string>> files = {{"long", Pattern(1050500, 'L')}};
    size_t total = files[0].second.size();
    // Appended rather than "f" + ..., which GCC 12 at -O3 warns of wrongly (-Wrestrict).
    const auto named = [](char prefix, int i) { return std::string(1, prefix).append(std::to_string(i)); };
    for (int i = 0; i < 60; ++i) {
        files.emplace_back(named('f', i), Pattern(i % 3 == 0 ? 2000 : 4000, static_cast<char>('a' + i % 26)));
        files.emplace_back(named('e', i), "");
        total += files[files.size() - 2].second.size();
    }
    Peer receiver = Start(files, "");
    Header(receiver, files, "");
    receiver.Send("OK");

    std::string data;
    std::vector<size_t> shortReads;
    std::thread prompt([&] {
        char buffer[65536];
        while (data.size() < total) {
            pollfd ready {receiver.Fd(), POLLIN, 0};
            if (poll(&ready, 1, 5000) <= 0) {
                return;
            }
            const ssize_t got = ::recv(receiver.Fd(), buffer, sizeof buffer, 0);
            if (got <= 0) {
                return;
            }
            data.append(buffer, static_cast<size_t>(got));
            if (got != 2000) {
                shortReads.push_back(static_cast<size_t>(got));
            }
            ::send(receiver.Fd(), "OK", 2, MSG_NOSIGNAL);
        }
    });
    const bool ended = WaitFor([&] { return sender.Ended(); }, 20000);
    prompt.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(sender.log.back(), "finished");
    std::string expected;
    for (const auto& [name, bytes] : files) {
        expected += bytes;
    }
    EXPECT_TRUE(data == expected);
    EXPECT_EQ(shortReads, (std::vector<size_t> {500}));
}

TEST_F(FileSenderTest, EmptyBatchFinishesOnAcceptance)
{
    const std::vector<std::pair<std::string, std::string>> files = {{"e1", ""}, {"e2", ""}};
    Peer receiver = Start(files, "none");
    Header(receiver, files, "none");
    receiver.Send("OK");
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log, (Log {"accepted", "file e1 0", "file e2 0", "total 0", "finished"}));
    EXPECT_TRUE(receiver.WaitClosed());
}

TEST_F(FileSenderTest, SilentReceiverGetsAChunkEvery500Milliseconds)
{
    const std::vector<std::pair<std::string, std::string>> files = {{"five", Pattern(5000, 'v')}};
    Peer receiver = Start(files, "");
    Header(receiver, files, "");
    receiver.Send("OK");
    QElapsedTimer clock;
    std::vector<qint64> arrivals;
    std::string data;
    clock.start();
    while (data.size() < 5000 && !clock.hasExpired(4000)) {
        const std::string piece = receiver.ReadAny(100);
        if (!piece.empty()) {
            arrivals.push_back(clock.elapsed());
            data += piece;
        }
    }
    EXPECT_EQ(data, files[0].second);
    ASSERT_EQ(arrivals.size(), 3u);
    for (size_t i = 1; i < arrivals.size(); ++i) {
        const qint64 gap = arrivals[i] - arrivals[i - 1];
        EXPECT_GE(gap, 400);
        EXPECT_LE(gap, 900);
    }
    EXPECT_FALSE(sender.Ended()) << "without a reply the batch is sent but not finished";
}

TEST_F(FileSenderTest, DeclineWithAndWithoutReason)
{
    const std::vector<std::pair<std::string, std::string>> files = {{"a", "1"}};
    {
        Peer receiver = Start(files, "x");
        Header(receiver, files, "x");
        receiver.Send("NO WAY");
        ASSERT_TRUE(WaitFor([&] { return sender.socket->GetState() == CFileSocket::Declined; }));
        receiver.Send("too busy");
        ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
        EXPECT_EQ(sender.log, (Log {"reason too busy"}));
    }
    sender.log.clear();
    sender.socket = std::make_unique<CFileSocket>();
    {
        Peer receiver = Start(files, "x");
        Header(receiver, files, "x");
        receiver.Send("NO WAY");
        ASSERT_TRUE(WaitFor([&] { return sender.socket->GetState() == CFileSocket::Declined; }));
        receiver.Close();
        ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
        EXPECT_EQ(sender.log, (Log {"declined"}));
    }
}

TEST_F(FileSenderTest, CloseBeforeTheFirstSizeIsStillADecline)
{
    const std::vector<std::pair<std::string, std::string>> files = {{"a", "1"}, {"b", "2"}};
    Peer receiver = Start(files, "");
    ASSERT_EQ(receiver.Read(9), "ANN (PC1)");
    receiver.Send("OKOK");
    EXPECT_EQ(receiver.ReadAny(200), "") << "two replies in one read are not OK";
    receiver.Send("OK");
    ASSERT_EQ(receiver.Read(4), Number(2));
    receiver.Close();
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log, (Log {"declined"}));
}

TEST_F(FileSenderTest, ReceiverThatLeavesMidwayTerminatesTheTransfer)
{
    const std::vector<std::pair<std::string, std::string>> files = {{"big", Pattern(9000, 'g')}};
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        sender.log.clear();
        sender.socket = std::make_unique<CFileSocket>();
        Peer receiver = Start(files, "");
        Header(receiver, files, "");
        receiver.Send("OK");
        EXPECT_EQ(receiver.Read(2000).size(), 2000u);
        if (reset) {
            const linger abort {1, 0};
            setsockopt(receiver.Fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        receiver.Close();
        ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
        EXPECT_EQ(sender.log.back(), "terminated");
    }
}

// Progress reaches the window at a bounded rate, yet what was held back still shows when the
// replies stop.
TEST_F(FileSenderTest, ProgressHeldBackShowsWhenRepliesStop)
{
    const std::vector<std::pair<std::string, std::string>> files = {{"six", Pattern(6000, 'p')}};
    Peer receiver = Start(files, "");
    Header(receiver, files, "");
    receiver.Send("OK");
    for (int chunk = 0; chunk < 2; ++chunk) {
        ASSERT_EQ(receiver.Read(2000).size(), 2000u);
        receiver.Send("OK");
    }
    ASSERT_EQ(receiver.Read(2000).size(), 2000u);
    // Well within the pacing interval, and with the whole file out nothing else would carry it.
    EXPECT_TRUE(
        WaitFor([&] { return !sender.progress.empty() && sender.progress.back() == "4000/4000"; }, 300));
    EXPECT_EQ(sender.progress.front(), "2000/2000");
    EXPECT_FALSE(sender.Ended());
}

TEST_F(FileSenderTest, DestroyingTheSenderStopsTheWorkerAtOnce)
{
    // Midway, the worker waits out its pacing; with the whole batch out, it waits for the last
    // reply without a time limit.
    for (const size_t size : {20000, 2000}) {
        SCOPED_TRACE(size);
        sender.socket = std::make_unique<CFileSocket>();
        const std::vector<std::pair<std::string, std::string>> files = {{"big", Pattern(size, 's')}};
        Peer receiver = Start(files, "");
        Header(receiver, files, "");
        receiver.Send("OK");
        EXPECT_EQ(receiver.Read(2000).size(), 2000u);
        ASSERT_TRUE(sender.socket->IsWorkerRunning());
        QElapsedTimer clock;
        clock.start();
        sender.socket.reset();
        EXPECT_LT(clock.elapsed(), 200) << "the worker stops without waiting";
        EXPECT_TRUE(receiver.WaitClosed());
    }
}

// A receiver following the protocol answers the last chunk before it closes: a close in between
// is a termination, not a success.
TEST_F(FileSenderTest, CloseAfterTheLastChunkBeforeItsReplyIsATermination)
{
    const std::vector<std::pair<std::string, std::string>> files = {{"one", Pattern(1500, 'o')}};
    Peer receiver = Start(files, "");
    Header(receiver, files, "");
    receiver.Send("OK");
    EXPECT_EQ(receiver.Read(1500).size(), 1500u);
    receiver.Close();
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log.back(), "terminated");
}

TEST_F(FileSenderTest, FileGoneMidBatchStopsAfterTheFilesBeforeIt)
{
    const std::vector<std::pair<std::string, std::string>> files
        = {{"first", Pattern(2000, '1')}, {"second", Pattern(10, '2')}};
    Peer receiver = Start(files, "");
    Header(receiver, files, "");
    ::unlink((Dir() + "second").c_str());
    receiver.Send("OK");
    EXPECT_EQ(receiver.Read(2000), files[0].second);
    receiver.Send("OK");
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log,
        (Log {"accepted", "file first 2000", "total 2010", "failed " + Dir() + "second was not found."}));
    EXPECT_EQ(sender.progress, Log {"2000/2000"}) << "the first file's reply shows before the failure";
    EXPECT_TRUE(receiver.WaitClosed());
}

TEST_F(FileSenderTest, MissingFileEndsTheRequestWithAMessageNamingIt)
{
    const std::vector<std::pair<std::string, std::string>> files = {{"gone", "1"}};
    Peer receiver = Start(files, "");
    ::unlink((Dir() + "gone").c_str());
    ASSERT_EQ(receiver.Read(9), "ANN (PC1)");
    receiver.Send("OK");
    receiver.Read(4);
    receiver.Send("OK");
    receiver.Read(4);
    receiver.Send("OK");
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log, (Log {"file error " + Dir() + "gone was not found."}));
    EXPECT_TRUE(receiver.WaitClosed());
}

TEST_F(FileSenderTest, ShrunkFileStopsWithoutPaddingAndGrownFileSendsOnlyItsSize)
{
    const std::vector<std::pair<std::string, std::string>> files
        = {{"grows", Pattern(100, 'g')}, {"shrinks", Pattern(5000, 's')}};
    Peer receiver = Start(files, "");
    Header(receiver, files, "");
    WriteFile(Dir() + "grows", Pattern(3000, 'g'));
    WriteFile(Dir() + "shrinks", Pattern(2500, 's'));
    receiver.Send("OK");
    std::vector<size_t> reads;
    // Found out when its turn comes, before any of its bytes go.
    const std::string data = ReceiveAll(receiver, 5100, reads);
    EXPECT_EQ(data, Pattern(100, 'g'));
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log.back(),
        "failed " + Dir() + "shrinks has become shorter since it was offered; the transfer was stopped.");
    EXPECT_TRUE(receiver.WaitClosed());
}

TEST_F(FileSenderTest, FileReplacedAfterTheOfferStopsTheTransferBeforeItsBytes)
{
    const std::vector<std::pair<std::string, std::string>> files
        = {{"first", Pattern(100, 'f')}, {"replaced", Pattern(3000, 'r')}};
    Peer receiver = Start(files, "");
    Header(receiver, files, "");
    // Another file of the very same size now stands at the name, as an editor saves.
    WriteFile(Dir() + "new", Pattern(3000, 'n'));
    ASSERT_EQ(::rename((Dir() + "new").c_str(), (Dir() + "replaced").c_str()), 0);
    receiver.Send("OK");
    std::vector<size_t> reads;
    EXPECT_EQ(ReceiveAll(receiver, 3100, reads), Pattern(100, 'f'));
    ASSERT_TRUE(WaitFor([&] { return sender.Ended(); }));
    EXPECT_EQ(sender.log.back(),
        "failed " + Dir() + "replaced has changed since it was offered; the transfer was stopped.");
    EXPECT_TRUE(receiver.WaitClosed());
}

} // namespace
