// Throughput of a file batch between the real sending and receiving classes, each in its own
// host of the virtual LAN, against the lock-step bound of the same link: 2000 bytes out, a
// 2-byte reply back, over and over.
//
//   tests/lan-run --hosts 2 -- build-rel/bench/bench_file_transfer [megabytes]
//
// The receiver runs here on host 1; the sender and the bound's client run in a copy of this
// program that enters host 2.
#include "framework/MainWindowLink.h"
#include "transfer/FileListenSocket.h"
#include "transfer/FileSocket.h"
#include "transfer/FileWindows.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr unsigned BOUND_PORT = 5002;

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

long RssKb()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Watches the event loop of this thread: the longest gap between ticks is the longest time the
// user-interface thread was busy; the resident size is sampled on the way.
class LoopWatch
{
public:
    LoopWatch()
    {
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_nMaxGap = std::max(m_nMaxGap, m_clock.restart());
            m_nPeakRss = std::max(m_nPeakRss, RssKb());
        });
    }
    void Start()
    {
        m_nBaseRss = RssKb();
        m_nPeakRss = m_nBaseRss;
        m_nMaxGap = 0;
        m_clock.start();
        m_timer.start();
    }
    void Stop() { m_timer.stop(); }
    qint64 MaxGap() const { return m_nMaxGap; }
    long Growth() const { return m_nPeakRss - m_nBaseRss; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_nMaxGap = 0;
    long m_nBaseRss = 0;
    long m_nPeakRss = 0;
};

sockaddr_in AddressOf(const std::string& host, unsigned port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return address;
}

bool ReadExactly(int fd, char* buffer, size_t length)
{
    while (length > 0) {
        const ssize_t got = recv(fd, buffer, length, 0);
        if (got <= 0) {
            return false;
        }
        buffer += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// --- host 2: the sender and the bound's client ---------------------------------------------

class CLocalName : public IMainWindow
{
public:
    bool AddPeer(const CString&, const CString&) override { return true; }
    void RemovePeer(const CString&) override { }
    CString FindAddressByName(const CString&) const override { return {}; }
    CString FindNameByAddress(const CString&) const override { return {}; }
    CString GetLocalName() const override { return "bench (host2)"; }
    void ShowReceivedMessage(const CString&, const CString&, const CString&) override { }
    void SendMessageTo(const CString&, const CString&) override { }
};

class CSenderEnd : public ISendFileWindow, public IFileProgressWindow
{
public:
    std::unique_ptr<CFileSocket> socket = std::make_unique<CFileSocket>();
    std::string outcome;

    void OnTransferAccepted() override { socket->SetProgressWindow(this); }
    void OnDeclineReason(const CString&) override { End("declined"); }
    void OnDeclinedWithoutReason() override { End("declined"); }
    void OnFileError(const CString& message) override { End(message); }
    void ShowFile(const CString&, std::uint32_t) override { }
    void SetBatchTotal(std::uint32_t) override { }
    void ShowProgress(std::uint32_t, std::uint32_t) override { }
    void OnFinished() override { End("finished"); }
    void OnTerminated() override { End("terminated"); }
    void OnTransferFailed(const CString& message) override { End(message); }

private:
    void End(const std::string& how)
    {
        outcome = how;
        socket.reset();
        QCoreApplication::quit();
    }
};

int RunSender(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    CLocalName local;
    AfxSetMainWnd(&local);
    const std::string directory = argv[2];
    std::vector<CString> names(argv + 3, argv + argc);
    LoopWatch watch;
    CSenderEnd sender;
    sender.socket->SetRequest(&sender, directory, names, "bench\r\n");
    QElapsedTimer clock;
    clock.start();
    watch.Start();
    sender.socket->ConnectTo(Env("QLAN_ADDR_1"));
    app.exec();
    watch.Stop();
    std::printf("%s %lld %lld %ld\n", sender.outcome.c_str(), static_cast<long long>(clock.elapsed()),
        static_cast<long long>(watch.MaxGap()), watch.Growth());
    return sender.outcome == "finished" ? 0 : 1;
}

int RunBoundClient(long long bytes)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in to = AddressOf(Env("QLAN_ADDR_1"), BOUND_PORT);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        return 1;
    }
    char chunk[2000] = {};
    char reply[2];
    QElapsedTimer clock;
    clock.start();
    for (long long sent = 0; sent < bytes; sent += sizeof chunk) {
        if (send(fd, chunk, sizeof chunk, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof chunk)
            || !ReadExactly(fd, reply, sizeof reply)) {
            return 1;
        }
    }
    std::printf("%lld\n", static_cast<long long>(clock.elapsed()));
    close(fd);
    return 0;
}

// --- host 1: the receiver and the bound's server -------------------------------------------

// Runs this program again inside host 2 and returns what it printed.
std::string RunOnHost2(const std::vector<std::string>& args)
{
    int out[2];
    if (pipe(out) != 0) {
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        const std::string path = "/run/netns/" + Env("QLAN_NS_2");
        const int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
            _exit(2);
        }
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(3);
    }
    close(out[1]);
    std::string printed;
    // The receiver's event loop keeps running until the copy on host 2 ends.
    QEventLoop loop;
    QSocketNotifier readable(out[0], QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got > 0) {
            printed.append(buffer, static_cast<size_t>(got));
        } else {
            readable.setEnabled(false);
            loop.quit();
        }
    });
    loop.exec();
    close(out[0]);
    waitpid(child, nullptr, 0);
    return printed;
}

double BoundSeconds(long long bytes)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in any = AddressOf("0.0.0.0", BOUND_PORT);
    bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    listen(listener, 1);
    std::thread server([listener] {
        const int fd = accept(listener, nullptr, nullptr);
        const int yes = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        char chunk[2000];
        while (ReadExactly(fd, chunk, sizeof chunk)) {
            send(fd, "OK", 2, MSG_NOSIGNAL);
        }
        close(fd);
    });
    const std::string printed = RunOnHost2({"bench_file_transfer", "--bound", std::to_string(bytes)});
    server.join();
    close(listener);
    return std::atof(printed.c_str()) / 1000.0;
}

class CReceiverEnd : public IFileWindowFactory, public IFileRequestWindow, public IFileProgressWindow
{
public:
    explicit CReceiverEnd(std::string directory)
        : m_strDirectory(std::move(directory))
    {
    }
    std::unique_ptr<CFileListenSocket> socket;
    std::string outcome;
    QElapsedTimer clock;

    void OpenFileRequest(std::unique_ptr<CFileListenSocket> connection) override
    {
        socket = std::move(connection);
        socket->SetRequestWindow(this);
        socket->SetProgressWindow(this);
        clock.start();
        socket->AcceptFiles(m_strDirectory);
    }
    void OnRequestCancelled() override { End("cancelled"); }
    void ShowFile(const CString&, std::uint32_t) override { }
    void SetBatchTotal(std::uint32_t) override { }
    void ShowProgress(std::uint32_t, std::uint32_t) override { }
    void OnFinished() override { End("finished"); }
    void OnTerminated() override { End("terminated"); }
    void OnTransferFailed(const CString& message) override { End(message); }

private:
    void End(const std::string& how)
    {
        outcome = how;
        m_nElapsed = clock.elapsed();
        socket.reset();
    }
    std::string m_strDirectory;

public:
    qint64 m_nElapsed = 0;
};

bool SameFile(const std::string& a, const std::string& b)
{
    std::ifstream left(a, std::ios::binary);
    std::ifstream right(b, std::ios::binary);
    std::vector<char> x(1 << 20);
    std::vector<char> y(1 << 20);
    while (left && right) {
        left.read(x.data(), static_cast<std::streamsize>(x.size()));
        right.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (left.gcount() != right.gcount() || !std::equal(x.begin(), x.begin() + left.gcount(), y.begin())) {
            return false;
        }
    }
    return left.eof() && right.eof();
}

struct Result
{
    double seconds = 0;
    double megabytesPerSecond = 0;
    long long senderStall = 0;
    long senderGrowth = 0;
    qint64 receiverStall = 0;
    long receiverGrowth = 0;
    bool identical = false;
};

Result SendBatch(const std::string& source, const std::vector<std::string>& names, long long total)
{
    QTemporaryDir target;
    CReceiverEnd receiver(target.path().toStdString() + "/");
    SetFileWindowFactory(&receiver);
    LoopWatch watch;
    watch.Start();
    std::vector<std::string> args = {"bench_file_transfer", "--send", source};
    args.insert(args.end(), names.begin(), names.end());
    const std::string printed = RunOnHost2(args);
    QElapsedTimer settle;
    settle.start();
    while (receiver.outcome.empty() && settle.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    watch.Stop();
    SetFileWindowFactory(nullptr);

    Result result;
    char outcome[64] = {};
    long long elapsed = 0;
    std::sscanf(
        printed.c_str(), "%63s %lld %lld %ld", outcome, &elapsed, &result.senderStall, &result.senderGrowth);
    result.seconds = elapsed / 1000.0;
    result.megabytesPerSecond = total / 1e6 / result.seconds;
    result.receiverStall = watch.MaxGap();
    result.receiverGrowth = watch.Growth();
    result.identical = std::string(outcome) == "finished" && receiver.outcome == "finished";
    if (!result.identical) {
        std::fprintf(stderr, "sender ended '%s', receiver ended '%s'\n", outcome, receiver.outcome.c_str());
    }
    for (const std::string& name : names) {
        if (!SameFile(source + name, target.path().toStdString() + "/" + name)) {
            std::fprintf(stderr, "%s differs\n", name.c_str());
            result.identical = false;
        }
    }
    return result;
}

void MakeFile(const std::string& path, long long size)
{
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    unsigned seed = static_cast<unsigned>(size);
    for (char& byte : block) {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<char>(seed >> 16);
    }
    for (long long written = 0; written < size; written += static_cast<long long>(block.size())) {
        out.write(
            block.data(), static_cast<std::streamsize>(std::min<long long>(block.size(), size - written)));
        block[0]++;
    }
}

} // namespace

int main(int argc, char** argv)
{
    // The event dispatcher the program uses.
    setenv("QT_NO_GLIB", "1", 1);
    if (argc >= 3 && std::string(argv[1]) == "--send") {
        return RunSender(argc, argv);
    }
    if (argc == 3 && std::string(argv[1]) == "--bound") {
        return RunBoundClient(std::atoll(argv[2]));
    }
    QCoreApplication app(argc, argv);
    if (Env("QLAN_NS_2").empty()) {
        std::fprintf(stderr, "run through tests/lan-run --hosts 2\n");
        return 2;
    }
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 200;
    const long long total = megabytes * 1000 * 1000;

    CFileListenSocket listener;
    if (!listener.CreateListener() || !listener.Listen(5)) {
        std::fprintf(stderr, "cannot listen on port 102\n");
        return 1;
    }
    QTemporaryDir source;
    const std::string dir = source.path().toStdString() + "/";
    // A batch of three files, one of them empty; and a small one for the memory comparison.
    MakeFile(dir + "first.bin", total / 2);
    MakeFile(dir + "empty", 0);
    MakeFile(dir + "second.bin", total - total / 2);
    MakeFile(dir + "small.bin", total / 10);

    // The link's speed drifts on a virtual machine: the bound is measured before and after the
    // batches, and they are compared with the mean of the two.
    const double boundBefore = BoundSeconds(total);
    const Result small = SendBatch(dir, {"small.bin"}, total / 10);
    const Result big = SendBatch(dir, {"first.bin", "empty", "second.bin"}, total);
    const double boundAfter = BoundSeconds(total);
    const double bound = (boundBefore + boundAfter) / 2;

    std::printf("lock-step bound: %lld bytes in %.2f s before, %.2f s after = %.2f MB/s on average\n", total,
        boundBefore, boundAfter, total / 1e6 / bound);
    for (const auto& [label, result, bytes] :
        {std::tuple {"batch", big, total}, std::tuple {"batch/10", small, total / 10}}) {
        std::printf("%-8s %lld bytes in %.2f s = %.2f MB/s (%.0f %% of the bound rate), identical: %s\n",
            label, bytes, result.seconds, result.megabytesPerSecond,
            100.0 * result.megabytesPerSecond / (total / 1e6 / bound), result.identical ? "yes" : "NO");
        std::printf(
            "         longest UI-thread stall: sender %lld ms, receiver %lld ms; resident growth: sender %ld "
            "KiB, receiver %ld KiB\n",
            result.senderStall, static_cast<long long>(result.receiverStall), result.senderGrowth,
            result.receiverGrowth);
    }
    return big.identical && small.identical ? 0 : 1;
}
