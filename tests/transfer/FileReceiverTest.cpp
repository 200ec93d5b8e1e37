// CFileListenSocket against senders played by plain sockets on host 2: the header, the files on
// disk, and every way a request or a transfer ends on the receiving side.
#include "framework/Alert.h"
#include "tests/support/ScopedIdleLimits.h"
#include "tests/transfer/TransferTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Log = std::vector<std::string>;
using Files = std::vector<std::pair<std::string, std::string>>;

class FileReceiverTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_LAN(2);
        ASSERT_TRUE(listener.CreateListener());
        ASSERT_TRUE(listener.Listen(5));
        SetAlertSound([this] { ++beeps; });
    }
    void TearDown() override
    {
        SetAlertSound({});
        CFileReceiveWorker::SetFileWriter({});
        CFileReceiveWorker::SetFileFinish({}, {});
        EXPECT_TRUE(CFileReceiveWorker::WaitForAll(std::chrono::seconds(5)));
    }

    std::string Dir() const { return dir.path().toStdString() + "/"; }
    QStringList Written() const { return QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot); }

    // Sends one header message and expects the reply "OK".
    void Message(Peer& sender, const std::string& bytes)
    {
        sender.Send(bytes);
        ASSERT_EQ(sender.Read(2), "OK") << "after " << bytes.size() << " bytes";
    }
    // Plays a sender through the header, up to the open request.
    ReceiverWindows* Request(Peer& sender, const Files& files, const std::string& description = "hi")
    {
        const size_t before = factory.requests.size();
        Message(sender, "ANN (PC1)");
        Message(sender, Number(static_cast<std::uint32_t>(files.size())));
        for (const auto& [name, bytes] : files) {
            Message(sender, name);
        }
        for (const auto& [name, bytes] : files) {
            Message(sender, Number(static_cast<std::uint32_t>(bytes.size())));
        }
        sender.Send(description + "\r\n");
        if (!WaitFor([&] { return factory.requests.size() > before; })) {
            return nullptr;
        }
        return factory.requests.back().get();
    }
    // A flush or close of a failing disk.
    static CFileReceiveWorker::FileCall Failing(int error)
    {
        return [error](int) {
            errno = error;
            return -1;
        };
    }
    // Sends the data as one chunk per send, each waiting for its reply.
    void SendData(Peer& sender, const std::string& data)
    {
        for (size_t at = 0; at < data.size(); at += 2000) {
            sender.Send(data.substr(at, 2000));
            ASSERT_EQ(sender.Read(2), "OK");
        }
    }

    // Progress may skip figures, but never goes back, and ends on the exact one.
    static void ExpectProgressEndingAt(const Log& progress, const std::string& last)
    {
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back(), last);
        std::uint64_t before = 0;
        for (const std::string& figure : progress) {
            const std::uint64_t batch = std::stoull(figure.substr(figure.find('/') + 1));
            EXPECT_GE(batch, before) << figure;
            before = batch;
        }
    }

    FakeFileWindowFactory factory;
    CFileListenSocket listener;
    QTemporaryDir dir;
    int beeps = 0;
};

TEST_F(FileReceiverTest, ExampleBatchIsAnsweredAndStored)
{
    Peer sender = Peer::Connect();
    const std::string b = Pattern(2500, 'b');
    ReceiverWindows* request = Request(sender, {{"a.txt", "abc"}, {"b.bin", b}});
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(sender.ReadAny(100), "") << "no reply to the description";
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(listener.GetPendingCount(), 0u) << "the request window owns the connection";
    EXPECT_EQ(request->socket->GetPeer(), "ANN (PC1)");
    EXPECT_EQ(request->socket->GetNames(), (std::vector<CString> {"a.txt", "b.bin"}));
    EXPECT_EQ(request->socket->GetTotal(), 2503u);
    EXPECT_EQ(request->socket->GetDescription(), "hi\r\n");
    EXPECT_TRUE(Written().isEmpty());

    request->Accept(Dir());
    ASSERT_EQ(sender.Read(2), "OK");
    sender.Send("abc");
    ASSERT_EQ(sender.Read(2), "OK");
    SendData(sender, b);
    ASSERT_TRUE(WaitFor([&] { return request->Ended(); }));
    EXPECT_EQ(request->log, (Log {"file a.txt 3", "total 2503", "file b.bin 2500", "finished"}));
    ExpectProgressEndingAt(request->progress, "2500/2503");
    EXPECT_EQ(ReadFile(Dir() + "a.txt"), "abc");
    EXPECT_EQ(ReadFile(Dir() + "b.bin"), b);
    EXPECT_TRUE(sender.WaitClosed());
}

TEST_F(FileReceiverTest, ReadsAreDividedAtFileBoundariesAndEmptyFilesAreCreated)
{
    Peer sender = Peer::Connect();
    const Files files
        = {{"e0", ""}, {"first", Pattern(3000, '1')}, {"e1", ""}, {"second", Pattern(10, '2')}, {"e2", ""}};
    ReceiverWindows* request = Request(sender, files);
    ASSERT_NE(request, nullptr);
    WriteFile(Dir() + "first", "an older file of that name");
    request->Accept(Dir());
    ASSERT_EQ(sender.Read(2), "OK");
    // The end of one file and the start of the next in one read, as after a late reply.
    SendData(sender, files[1].second.substr(0, 2000));
    sender.Send(files[1].second.substr(2000) + files[3].second);
    ASSERT_TRUE(WaitFor([&] { return request->Ended(); }));
    EXPECT_EQ(request->log.back(), "finished");
    for (const auto& [name, bytes] : files) {
        EXPECT_EQ(ReadFile(Dir() + name), bytes) << name;
    }
}

TEST_F(FileReceiverTest, EmptyBatchFinishesOnAcceptance)
{
    Peer sender = Peer::Connect();
    ReceiverWindows* request = Request(sender, {{"e1", ""}, {"e2", ""}});
    ASSERT_NE(request, nullptr);
    request->Accept(Dir());
    ASSERT_TRUE(WaitFor([&] { return request->Ended(); }));
    EXPECT_EQ(request->log, (Log {"file e1 0", "file e2 0", "total 0", "finished"}));
    EXPECT_EQ(ReadFile(Dir() + "e1"), "");
    EXPECT_EQ(ReadFile(Dir() + "e2"), "");
    EXPECT_EQ(sender.Read(2), "OK");
}

TEST_F(FileReceiverTest, StopInTheSecondOfThreeFilesLeavesWhatArrived)
{
    Peer sender = Peer::Connect();
    const Files files
        = {{"one", Pattern(100, '1')}, {"two", Pattern(5000, '2')}, {"three", Pattern(100, '3')}};
    // A file already there is replaced only by a whole one.
    WriteFile(Dir() + "two", "old two");
    WriteFile(Dir() + "two.incomplete", "left by an earlier transfer");
    ReceiverWindows* request = Request(sender, files);
    ASSERT_NE(request, nullptr);
    request->Accept(Dir());
    ASSERT_EQ(sender.Read(2), "OK");
    SendData(sender, files[0].second);
    SendData(sender, files[1].second.substr(0, 3000));
    sender.Close();
    ASSERT_TRUE(WaitFor([&] { return request->Ended(); }));
    EXPECT_EQ(request->log.back(), "terminated");
    EXPECT_EQ(ReadFile(Dir() + "one"), files[0].second);
    EXPECT_EQ(ReadFile(Dir() + "two"), "old two");
    EXPECT_EQ(ReadFile(Dir() + "two.incomplete"), "left by an earlier transfer");
    EXPECT_EQ(ReadFile(Dir() + "two.1.incomplete"), files[1].second.substr(0, 3000));
    EXPECT_FALSE(ReadFile(Dir() + "three"));
}

TEST_F(FileReceiverTest, DataWaitingAtTheCloseCompletesTheBatch)
{
    Peer sender = Peer::Connect();
    const std::string data = Pattern(30000, 'w');
    ReceiverWindows* request = Request(sender, {{"whole", data}});
    ASSERT_NE(request, nullptr);
    request->Accept(Dir());
    ASSERT_EQ(sender.Read(2), "OK");
    // A sender that finished on an early reply closes while its last chunks are under way.
    sender.Send(data);
    sender.Close();
    ASSERT_TRUE(WaitFor([&] { return request->Ended(); }));
    EXPECT_EQ(request->log.back(), "finished");
    EXPECT_EQ(ReadFile(Dir() + "whole"), data);
}

TEST_F(FileReceiverTest, DeclineAndCancellation)
{
    Peer declined = Peer::Connect();
    ReceiverWindows* first = Request(declined, {{"a", "1"}});
    ASSERT_NE(first, nullptr);
    first->Decline();
    EXPECT_EQ(declined.Read(6), "NO WAY");
    declined.Send("ignored while declined");
    EXPECT_EQ(declined.ReadAny(100), "");
    declined.Close();
    ASSERT_TRUE(WaitFor([&] { return first->Ended(); }));
    EXPECT_EQ(first->log, (Log {"cancelled"}));

    Peer pending = Peer::Connect();
    ReceiverWindows* second = Request(pending, {{"a", "1"}});
    ASSERT_NE(second, nullptr);
    pending.Close();
    ASSERT_TRUE(WaitFor([&] { return second->Ended(); }));
    EXPECT_EQ(second->log, (Log {"cancelled"}));
    EXPECT_TRUE(Written().isEmpty());
}

TEST_F(FileReceiverTest, TwoTransfersAtOnceKeepToTheirOwnDirectories)
{
    QTemporaryDir other;
    Peer ann = Peer::Connect();
    Peer bob = Peer::Connect();
    ReceiverWindows* fromAnn = Request(ann, {{"same", Pattern(2500, 'a')}});
    ReceiverWindows* fromBob = Request(bob, {{"same", Pattern(2500, 'b')}});
    ASSERT_TRUE(fromAnn && fromBob);
    fromAnn->Accept(Dir());
    fromBob->Accept(other.path().toStdString());
    ASSERT_EQ(ann.Read(2), "OK");
    ASSERT_EQ(bob.Read(2), "OK");
    SendData(ann, Pattern(2000, 'a'));
    SendData(bob, Pattern(2500, 'b'));
    SendData(ann, Pattern(2500, 'a').substr(2000));
    ASSERT_TRUE(WaitFor([&] { return fromAnn->Ended() && fromBob->Ended(); }));
    EXPECT_EQ(ReadFile(Dir() + "same"), Pattern(2500, 'a'));
    EXPECT_EQ(ReadFile(other.path().toStdString() + "/same"), Pattern(2500, 'b'));
}

TEST_F(FileReceiverTest, InvalidHeadersAreClosedBeforeAnyWindow)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> messages; // the last one is refused
    };
    const std::vector<Case> cases = {
        {"no files", {"ANN", Number(0)}},
        {"too many files", {"ANN", Number(filewire::MAX_FILE_COUNT + 1)}},
        {"huge count", {"ANN", Number(0xFFFFFFFFu)}},
        {"empty name", {"ANN", Number(1), std::string("\0", 1)}},
        {"dot", {"ANN", Number(1), "."}},
        {"dot dot", {"ANN", Number(2), "ok", ".."}},
        {"separator", {"ANN", Number(1), "../escape"}},
        {"absolute", {"ANN", Number(1), "/tmp/x"}},
        {"zero byte", {"ANN", Number(1), std::string("a\0b", 3)}},
        {"total over 32 bits", {"ANN", Number(2), "a", "b", Number(0x80000000u), Number(0x80000000u)}},
    };
    for (const Case& c : cases) {
        Peer sender = Peer::Connect();
        for (size_t i = 0; i + 1 < c.messages.size(); ++i) {
            Message(sender, c.messages[i]);
        }
        sender.Send(c.messages.back());
        EXPECT_TRUE(sender.WaitClosed()) << c.what;
        EXPECT_EQ(listener.GetPendingCount(), 0u) << c.what;
    }
    EXPECT_TRUE(factory.requests.empty());
    EXPECT_EQ(beeps, 0);
    EXPECT_TRUE(Written().isEmpty());
}

TEST_F(FileReceiverTest, EarlyCloseReleasesTheConnectionSilently)
{
    Peer sender = Peer::Connect();
    Message(sender, "ANN (PC1)");
    Message(sender, Number(3));
    ASSERT_TRUE(WaitFor([&] { return listener.GetPendingCount() == 1; }));
    sender.Close();
    EXPECT_TRUE(WaitFor([&] { return listener.GetPendingCount() == 0; }));
    EXPECT_TRUE(factory.requests.empty());
}

TEST_F(FileReceiverTest, WaitingConnectionsMakeRoomOldestSilentFirstAndTimeOut)
{
    {
        ScopedIdleLimits limits({std::chrono::seconds(30), std::chrono::seconds(5), 3});
        Peer speaking = Peer::Connect();
        Message(speaking, "ANN (PC1)");
        Peer silent1 = Peer::Connect();
        ASSERT_TRUE(WaitFor([&] { return listener.GetPendingCount() == 2; }));
        Peer silent2 = Peer::Connect();
        ASSERT_TRUE(WaitFor([&] { return listener.GetPendingCount() == 3; }));
        // A genuine request beyond the limit gets in; the oldest silent connection goes.
        Peer genuine = Peer::Connect();
        EXPECT_TRUE(silent1.WaitClosed());
        ReceiverWindows* request = Request(genuine, {{"a.txt", "abc"}});
        ASSERT_NE(request, nullptr);
        Message(speaking, Number(1));
        EXPECT_EQ(listener.GetPendingCount(), 2u);
    }
    {
        ScopedIdleLimits limits({std::chrono::milliseconds(300), std::chrono::milliseconds(50), 64});
        // A header that keeps coming is never cut off, however long it takes in all.
        Peer stalled = Peer::Connect();
        Message(stalled, "ANN (PC1)");
        Settle(200);
        Message(stalled, Number(2));
        Settle(200);
        Message(stalled, "a");
        Settle(200);
        EXPECT_EQ(listener.GetPendingCount(), 1u);
        EXPECT_TRUE(stalled.WaitClosed());
        EXPECT_TRUE(WaitFor([&] { return listener.GetPendingCount() == 0; }));
    }
    EXPECT_EQ(factory.requests.size(), 1u);
    EXPECT_EQ(beeps, 1);
}

TEST_F(FileReceiverTest, AFileThatCannotBeCreatedClosesTheConnectionAndLinksAreNotFollowed)
{
    const std::string outside = Dir() + "outside";
    WriteFile(outside, "untouched");
    ASSERT_EQ(mkdir((Dir() + "in").c_str(), 0700), 0);
    ASSERT_EQ(symlink(outside.c_str(), (Dir() + "in/link").c_str()), 0);

    Peer sender = Peer::Connect();
    ReceiverWindows* request = Request(sender, {{"fine", "12"}, {"link", "evil"}});
    ASSERT_NE(request, nullptr);
    request->Accept(Dir() + "in");
    ASSERT_EQ(sender.Read(2), "OK");
    sender.Send("12evil");
    ASSERT_TRUE(WaitFor([&] { return request->Ended(); }));
    EXPECT_EQ(request->log.back(), "failed " + Dir() + "in/link is a symbolic link; it was not followed.");
    EXPECT_EQ(sender.ReadUntilClosed(), "") << "the last read is answered only once every file is in place";
    EXPECT_EQ(ReadFile(outside), "untouched");
    EXPECT_EQ(ReadFile(Dir() + "in/fine"), "12");
}

// Answered bytes are gathered into few large writes, and none is lost on the way: a sender that
// goes quiet finds them on the disk without any stop, and a stop with bytes still gathered leaves
// exactly those answered.
TEST_F(FileReceiverTest, ReadsAreStoredInFewWritesAndAnsweredBytesAreNeverLost)
{
    const auto writes = std::make_shared<std::atomic<int>>(0);
    CFileReceiveWorker::SetFileWriter([writes](int fd, const char* data, size_t length) {
        ++*writes;
        return ::write(fd, data, length);
    });
    const std::string data = Pattern(700000, 'g');
    Peer sender = Peer::Connect();
    ReceiverWindows* request = Request(sender, {{"big", data}});
    ASSERT_NE(request, nullptr);
    request->Accept(Dir());
    ASSERT_EQ(sender.Read(2), "OK");
    SendData(sender, data.substr(0, 600000));
    EXPECT_TRUE(WaitFor([&] { return ReadFile(Dir() + "big.incomplete") == data.substr(0, 600000); }))
        << "answered bytes wait in memory while the sender is silent";
    EXPECT_LE(writes->load(), 30) << "300 reads";
    SendData(sender, data.substr(600000, 4000));
    request->socket.reset();
    EXPECT_TRUE(sender.WaitClosed());
    ASSERT_TRUE(CFileReceiveWorker::WaitForAll(std::chrono::seconds(5)));
    const std::string stored = ReadFile(Dir() + "big.incomplete").value_or("");
    EXPECT_EQ(stored.size(), 604000u);
    EXPECT_TRUE(stored == data.substr(0, 604000)) << "the bytes answered, in order";
}

// A disk that holds a write until the test lets it go: the event loop goes on answering the
// windows, the stop ends the transfer without waiting for the disk, and the file keeps exactly the
// bytes that were answered. The reads are gathered, so the write held is the one made once the
// sender has gone quiet.
TEST_F(FileReceiverTest, SlowDiskFreezesNothingAndAStopKeepsExactlyWhatWasAnswered)
{
    struct Disk
    {
        std::atomic<int> writes {0};
        std::atomic<bool> released {false};
    };
    const auto disk = std::make_shared<Disk>();
    CFileReceiveWorker::SetFileWriter([disk](int fd, const char* data, size_t length) {
        ++disk->writes;
        for (int waited = 0; !disk->released && waited < 2000; waited += 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return ::write(fd, data, length);
    });
    const std::string data = Pattern(10000, 's');
    Peer sender = Peer::Connect();
    ReceiverWindows* request = Request(sender, {{"slow", data}});
    ASSERT_NE(request, nullptr);
    request->Accept(Dir());
    ASSERT_EQ(sender.Read(2), "OK");

    QElapsedTimer clock;
    qint64 longestPause = 0;
    QTimer probe;
    probe.setInterval(5);
    QObject::connect(
        &probe, &QTimer::timeout, [&] { longestPause = std::max(longestPause, clock.restart()); });
    clock.start();
    probe.start();
    SendData(sender, data.substr(0, 6000));
    ASSERT_TRUE(WaitFor([&] { return disk->writes == 1; })) << "the quiet sender's bytes go to the disk";
    Settle(100);
    probe.stop();
    EXPECT_LT(longestPause, 150) << "the event loop waited for the disk";
    // Waits unread behind the write; the stop comes before it is answered.
    sender.Send(data.substr(6000, 2000));
    QElapsedTimer stopping;
    stopping.start();
    request->socket.reset();
    EXPECT_LT(stopping.elapsed(), 150) << "the stop waited for the disk";
    disk->released = true;
    EXPECT_TRUE(sender.WaitClosed());
    ASSERT_TRUE(CFileReceiveWorker::WaitForAll(std::chrono::seconds(5)));
    EXPECT_EQ(ReadFile(Dir() + "slow.incomplete"), data.substr(0, 6000));
    EXPECT_EQ(disk->writes, 1) << "three reads, one write";
    Settle(50);
    EXPECT_EQ(request->log, (Log {"file slow 10000", "total 10000"})) << "nothing is reported after the stop";
}

// A full disk, a quota or an I/O error may show at the write, the flush or the close, or at a
// flush behind the reads of a large file (the file's own flush would not see it again): each
// fails the transfer naming the file, leaves the batch's last read unanswered so that the sender
// is not told "Finished", and keeps the file that was there.
TEST_F(FileReceiverTest, StorageFailuresNameTheFileAndKeepTheOldOne)
{
    for (const std::string where : {"write", "fsync", "close", "flush-behind"}) {
        SCOPED_TRACE(where);
        const std::string name = "kept-" + where;
        const std::string bytes = where == "flush-behind"
            ? Pattern(CFileReceiveWorker::FLUSH_BEHIND_SIZE + 2 * CFileReceiveWorker::STORE_BUFFER_SIZE, 'f')
            : "new bytes";
        WriteFile(Dir() + name, "old bytes");
        if (where == "write") {
            CFileReceiveWorker::SetFileWriter([](int, const char*, size_t) {
                errno = ENOSPC;
                return ssize_t(-1);
            });
        } else if (where == "fsync") {
            CFileReceiveWorker::SetFileFinish(Failing(EDQUOT), {});
        } else if (where == "flush-behind") {
            // Only a flush of the file still arriving fails, as a write-back error is reported
            // once; the file's own flush succeeds.
            CFileReceiveWorker::SetFileFinish(
                [whole = bytes.size()](int fd) {
                    struct stat status
                    {
                    };
                    if (::fstat(fd, &status) == 0 && static_cast<size_t>(status.st_size) < whole) {
                        errno = EIO;
                        return -1;
                    }
                    return ::fsync(fd);
                },
                {});
        } else {
            CFileReceiveWorker::SetFileFinish({}, [](int fd) {
                ::close(fd);
                errno = EIO;
                return -1;
            });
        }
        Peer sender = Peer::Connect();
        ReceiverWindows* request = Request(sender, {{name, bytes}});
        ASSERT_NE(request, nullptr);
        request->Accept(Dir());
        ASSERT_EQ(sender.Read(2), "OK");
        // Not in lock-step: every read is answered all the same, and the replies wait unread.
        sender.Send(bytes);
        ASSERT_TRUE(WaitFor([&] { return request->Ended(); }));
        EXPECT_NE(request->log.back().find(Dir() + name), std::string::npos) << request->log.back();
        // No read is answered after the failure; a small file comes in one read, which stays
        // unanswered.
        if (bytes.size() < filewire::READ_SIZE) {
            EXPECT_EQ(sender.ReadUntilClosed(), "") << "the last read was answered";
        } else {
            EXPECT_TRUE(sender.WaitClosed());
        }
        // Not EXPECT_EQ: a failure would print megabytes.
        EXPECT_TRUE(ReadFile(Dir() + name) == "old bytes");
        CFileReceiveWorker::SetFileWriter({});
        CFileReceiveWorker::SetFileFinish({}, {});
    }
}

// A file's flush to the disk can take long: the next file's reads are answered meanwhile, the
// batch's last reply still waits until every file is in place, the next file never takes the
// name the one before is on its way to, and a flush that fails names its own file even though
// the next one has begun, which is then neither answered nor kept.
TEST_F(FileReceiverTest, NextFileIsAnsweredWhileTheLastIsFlushed)
{
    const auto held = std::make_shared<std::atomic<bool>>(true);
    CFileReceiveWorker::SetFileFinish(
        [held](int fd) {
            for (int waited = 0; *held && waited < 30000; waited += 5) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            return ::fsync(fd);
        },
        {});
    Peer sender = Peer::Connect();
    ReceiverWindows* request = Request(sender, {{"x.incomplete", "1111"}, {"x", "2222"}});
    ASSERT_NE(request, nullptr);
    request->Accept(Dir());
    ASSERT_EQ(sender.Read(2), "OK");
    sender.Send("1111");
    ASSERT_EQ(sender.Read(2), "OK");
    sender.Send("22");
    EXPECT_EQ(sender.Read(2, 1000), "OK") << "the read waited for the first file's flush";
    sender.Send("22");
    EXPECT_EQ(sender.ReadAny(200), "") << "the last reply came before the files were in place";
    *held = false;
    EXPECT_EQ(sender.Read(2), "OK");
    EXPECT_EQ(ReadFile(Dir() + "x.incomplete"), "1111");
    EXPECT_EQ(ReadFile(Dir() + "x"), "2222");
    ASSERT_TRUE(WaitFor([&] { return request->Ended(); }));

    CFileReceiveWorker::SetFileFinish(Failing(EDQUOT), {});
    Peer failing = Peer::Connect();
    ReceiverWindows* quota = Request(failing, {{"over", "1111"}, {"next", "2222"}});
    ASSERT_NE(quota, nullptr);
    quota->Accept(Dir());
    ASSERT_EQ(failing.Read(2), "OK");
    failing.Send("1111");
    ASSERT_EQ(failing.Read(2), "OK");
    failing.Send("2222");
    ASSERT_TRUE(WaitFor([&] { return quota->Ended(); }));
    EXPECT_NE(quota->log.back().find(Dir() + "over"), std::string::npos) << quota->log.back();
    EXPECT_EQ(failing.ReadUntilClosed(), "") << "the last read was answered";
    EXPECT_FALSE(ReadFile(Dir() + "over"));
    EXPECT_FALSE(ReadFile(Dir() + "next.incomplete"));
    CFileReceiveWorker::SetFileFinish({}, {});
}

} // namespace
