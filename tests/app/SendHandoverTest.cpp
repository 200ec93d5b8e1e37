#include "app/CommandLine.h"
#include "app/SendListener.h"
#include "app/SendRequestParser.h"
#include "tests/support/Wait.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::string_literals;
using Action = CCommandLine::Action;

TEST(CommandLineTest, RunsSendsOrExplainsTheUsage)
{
    const auto parse = [](std::vector<CString> arguments, CString directory = "/home/u/dir") {
        return ParseCommandLine(arguments, directory);
    };
    EXPECT_EQ(parse({}).action, Action::Run);
    EXPECT_FALSE(parse({}).quiet);
    // Starts by the session leave a copy already running alone.
    for (const std::vector<CString>& quiet : std::vector<std::vector<CString>> {{"-session", "10d2c3e4f"}, {"--autostart"}}) {
        EXPECT_EQ(parse(quiet).action, Action::Run);
        EXPECT_TRUE(parse(quiet).quiet);
    }
    for (const std::vector<CString>& wrong : std::vector<std::vector<CString>> {{"--bogus"}, {"--send"},
             {"x"}, {"-session"}, {"-session", "id", "x"}, {"x", "--send", "y"}, {"--send", ""}, {"--autostart", "x"}}) {
        const CCommandLine result = parse(wrong);
        EXPECT_EQ(result.action, Action::Usage) << ::testing::PrintToString(wrong);
        EXPECT_TRUE(result.files.empty());
    }

    // After --send every argument is a file; relative ones are joined, not canonicalised.
    const CCommandLine send = parse({"--send", "a.txt", "-v", "/abs/../b", "../c", "--send", "d\xff e"});
    EXPECT_EQ(send.action, Action::Send);
    EXPECT_EQ(send.files,
        (std::vector<CString> {"/home/u/dir/a.txt", "/home/u/dir/-v", "/abs/../b", "/home/u/dir/../c",
            "/home/u/dir/--send", "/home/u/dir/d\xff e"}));
    EXPECT_EQ(parse({"--send", "a"}, "/").files, std::vector<CString> {"/a"});
}

TEST(SendRequestTest, PathsEndWithAZeroAndTheRequestWithAnEmptyPathInAnyPieces)
{
    const std::vector<CString> paths {"/a b", "/x\xff\n", "/"};
    const CString wire = sendwire::EncodeRequest(paths);
    EXPECT_EQ(wire, "/a b\0/x\xff\n\0/\0\0"s);
    EXPECT_EQ(std::string(sendwire::ANSWER), "ok\n");

    CSendRequestParser whole;
    EXPECT_EQ(whole.Feed(wire.data(), wire.size()), CSendRequestParser::State::Complete);
    EXPECT_EQ(whole.TakePaths(), paths);

    // One byte at a time, then bytes after the end, which are not read as a request.
    CSendRequestParser pieces;
    for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
        ASSERT_EQ(pieces.Feed(&wire[i], 1), CSendRequestParser::State::Incomplete) << i;
    }
    const CString last = "\0/more\0\0"s;
    EXPECT_EQ(pieces.Feed(last.data(), last.size()), CSendRequestParser::State::Complete);
    EXPECT_EQ(pieces.GetPathCount(), 3u);
    EXPECT_EQ(pieces.TakePaths(), paths);

    CSendRequestParser empty;
    EXPECT_EQ(empty.Feed("\0", 1), CSendRequestParser::State::Complete);
    EXPECT_TRUE(empty.TakePaths().empty());
    EXPECT_FALSE(empty.IsShowRequest());

    // A second start asks for the window, with its startup id or none; older copies refuse it as
    // a relative path.
    EXPECT_EQ(sendwire::EncodeShowRequest("id_1"), "show\0id_1\0\0"s);
    EXPECT_EQ(sendwire::EncodeShowRequest(""), "show\0\0"s);
    for (const CString& id : {"id_1"s, ""s}) {
        const CString show = sendwire::EncodeShowRequest(id);
        CSendRequestParser parser;
        EXPECT_EQ(parser.Feed(show.data(), show.size()), CSendRequestParser::State::Complete);
        EXPECT_TRUE(parser.IsShowRequest());
        EXPECT_EQ(parser.GetStartupId(), id);
        EXPECT_TRUE(parser.TakePaths().empty());
    }
    CSendRequestParser twoIds;
    EXPECT_EQ(twoIds.Feed("show\0a\0b\0\0", 11), CSendRequestParser::State::Refused);
    CSendRequestParser notFirst;
    EXPECT_EQ(notFirst.Feed("/a\0show\0\0", 10), CSendRequestParser::State::Refused);
}

TEST(SendRequestTest, LongOrRelativePathsAndHugeRequestsAreRefusedAndPathsBeyondTheBatchAreOnlyCounted)
{
    const CString longest = '/' + CString(sendwire::MAX_PATH_LENGTH - 1, 'p');
    CSendRequestParser fits;
    EXPECT_EQ(fits.Feed(longest.data(), longest.size()), CSendRequestParser::State::Incomplete);
    EXPECT_EQ(fits.Feed("\0\0", 2), CSendRequestParser::State::Complete);
    EXPECT_EQ(fits.TakePaths(), std::vector<CString> {longest});

    // One byte too long, in two reads.
    CSendRequestParser tooLong;
    EXPECT_EQ(tooLong.Feed(longest.data(), longest.size()), CSendRequestParser::State::Incomplete);
    EXPECT_EQ(tooLong.Feed("p\0\0", 3), CSendRequestParser::State::Refused);
    EXPECT_EQ(tooLong.Feed("\0", 1), CSendRequestParser::State::Refused);
    CSendRequestParser relative;
    EXPECT_EQ(relative.Feed("/a\0b\0\0", 6), CSendRequestParser::State::Refused);

    CSendRequestParser many;
    const std::size_t count = sendwire::MAX_KEPT_PATHS + 2;
    for (std::size_t i = 0; i < count; ++i) {
        const CString path = "/f" + std::to_string(i) + '\0';
        ASSERT_EQ(many.Feed(path.data(), path.size()), CSendRequestParser::State::Incomplete);
    }
    EXPECT_EQ(many.Feed("\0", 1), CSendRequestParser::State::Complete);
    EXPECT_EQ(many.GetPathCount(), count);
    const std::vector<CString> kept = many.TakePaths();
    ASSERT_EQ(kept.size(), std::size_t(filewire::MAX_FILE_COUNT + 1));
    EXPECT_EQ(kept.back(), "/f10000");

    // Paths of the longest kind until the request passes 64 MiB, then the end.
    CSendRequestParser huge;
    const CString piece = longest + '\0';
    std::size_t fed = 0;
    CSendRequestParser::State state = CSendRequestParser::State::Incomplete;
    while (state == CSendRequestParser::State::Incomplete && fed <= sendwire::MAX_REQUEST_SIZE) {
        state = huge.Feed(piece.data(), piece.size());
        fed += piece.size();
    }
    EXPECT_EQ(state, CSendRequestParser::State::Refused);
    EXPECT_GT(fed, sendwire::MAX_REQUEST_SIZE - piece.size());
}

namespace {
int ConnectTo(const CString& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// What arrives until the other end closes, while the event loop runs; nothing when it stays open.
std::optional<CString> ReadUntilClosed(int fd, int timeoutMs = 3000)
{
    CString received;
    bool closed = false;
    WaitFor(
        [&] {
            char buffer[256];
            const ssize_t length = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (length > 0) {
                received.append(buffer, static_cast<std::size_t>(length));
                return false;
            }
            closed = length == 0 || errno != EAGAIN;
            return closed;
        },
        timeoutMs);
    close(fd);
    return closed ? std::optional<CString>(received) : std::nullopt;
}

mode_t ModeOf(const CString& path)
{
    struct stat status
    {
    };
    return lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}
} // namespace

TEST(SendListenerTest, OneCopyListensForThisUserReplacesAStaleSocketAndAnswersARequest)
{
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    // Directories others may write to, or read, are not the user's own.
    ASSERT_EQ(chmod(runtime.path().toLocal8Bit().constData(), 01777), 0);
    for (const QByteArray& unusable :
        {QByteArray(), QByteArray("run/user/1000"), runtime.path().toLocal8Bit()}) {
        qputenv("XDG_RUNTIME_DIR", unusable);
        CString problem;
        EXPECT_EQ(CSendListener::DefaultSocketPath(&problem), "") << unusable.constData();
        EXPECT_FALSE(problem.empty());
    }
    ASSERT_EQ(chmod(runtime.path().toLocal8Bit().constData(), 0700), 0);
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit() + '/');
    EXPECT_EQ(CSendListener::DefaultSocketPath(), runtime.filePath("quorvane.sock").toStdString());
    qputenv("XDG_RUNTIME_DIR", savedRuntime);

    const CString path = runtime.filePath("quorvane.sock").toStdString();
    std::vector<std::vector<CString>> delivered;
    const auto record = [&](std::vector<CString> paths) { delivered.push_back(std::move(paths)); };

    // Something that is not a socket is left alone.
    {
        QFile inTheWay(QString::fromStdString(path));
        ASSERT_TRUE(inTheWay.open(QIODevice::WriteOnly) && inTheWay.write("mine") == 4);
    }
    EXPECT_FALSE(CSendListener(record).Start(path));
    EXPECT_TRUE(S_ISREG(ModeOf(path)));
    ASSERT_TRUE(QFile::remove(QString::fromStdString(path)));

    // The socket of a copy that ended without removing it.
    const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(stale);

    CSendListener first(record);
    ASSERT_TRUE(first.Start(path));
    EXPECT_EQ(ModeOf(path), S_IFSOCK | 0600);
    {
        // A later copy's probe reaches the first, which keeps the socket even when the later ends.
        CSendListener second(record);
        EXPECT_FALSE(second.Start(path));
    }
    EXPECT_TRUE(S_ISSOCK(ModeOf(path)));
    EXPECT_TRUE(WaitFor([&] { return first.GetConnectionCount() == 0; }));

    // A request in two writes is delivered and answered; one path too long is refused unanswered.
    const int client = ConnectTo(path);
    const CString request = "/home/u/a b.txt\0/x\xff\0\0"s;
    ASSERT_EQ(write(client, request.data(), 5), 5);
    Settle(50);
    EXPECT_TRUE(delivered.empty());
    ASSERT_EQ(write(client, request.data() + 5, request.size() - 5), ssize_t(request.size() - 5));
    EXPECT_EQ(ReadUntilClosed(client), "ok\n");
    EXPECT_EQ(delivered, (std::vector<std::vector<CString>> {{"/home/u/a b.txt", "/x\xff"}}));

    const int hostile = ConnectTo(path);
    const CString tooLong(sendwire::MAX_PATH_LENGTH + 1, 'x');
    ASSERT_EQ(write(hostile, tooLong.data(), tooLong.size()), ssize_t(tooLong.size()));
    EXPECT_EQ(ReadUntilClosed(hostile), "");

    // Idle connections up to the cap are kept; one more is closed at once.
    std::vector<int> idle;
    for (std::size_t i = 0; i < CSendListener::MAX_CONNECTIONS; ++i) {
        idle.push_back(ConnectTo(path));
    }
    EXPECT_TRUE(WaitFor([&] { return first.GetConnectionCount() == CSendListener::MAX_CONNECTIONS; }));
    EXPECT_EQ(ReadUntilClosed(ConnectTo(path)), "");
    for (const int fd : idle) {
        close(fd);
    }
    EXPECT_EQ(delivered.size(), 1u);

    first.Close();
    EXPECT_EQ(ModeOf(path), 0u) << "the socket file goes with the listener";
}
