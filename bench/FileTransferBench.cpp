// Throughput of file batches against the lock-step bound of the same link (2000 bytes out, a
// 2-byte reply back, over and over), in both directions: the program's receiver against a
// minimal sender, the program's sender against a minimal receiver, both ends the program's, and
// four transfers at once against four bound streams at once. The link's speed drifts, so each
// measurement follows one of its bound, round after round, and the rounds are compared by
// their medians.
//
//   tests/lan-run --hosts 2 -- build-rel/bench/bench_file_transfer [megabytes] [rounds] [discard]
//
// The receiving ends run here on host 1; the sending ends and the bound's clients run in a copy
// of this program that enters host 2.
#include "bench/BenchSupport.h"
#include "framework/MainWindowLink.h"
#include "transfer/FileListenSocket.h"
#include "transfer/FileProtocol.h"
#include "transfer/FileReceiveWorker.h"
#include "transfer/FileSocket.h"
#include "transfer/FileWindows.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using bench::Median;
using bench::ReadExactly;
using bench::ThreadCpuMicroseconds;

constexpr unsigned BOUND_PORT = 5002;
// The minimal receiver, beside the program's listener on port 102.
constexpr unsigned MINIMAL_PORT = 5102;
// "discard": the program's receiver stores nothing (through the writer tests use), which shows
// what writing the files costs.
bool g_bDiscardWrites = false;

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
// user-interface thread did not answer, and the most processor time it used between two ticks the
// longest time it was busy (the rest of a gap it waited for a processor, on a loaded machine); the
// resident size is sampled every tenth tick. The watch costs the program's processes wake-ups the
// bound's do not have, so it ticks no more often than the 20 ms target needs.
class LoopWatch
{
public:
    LoopWatch()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_nMaxGap = std::max(m_nMaxGap, m_clock.restart());
            const long long cpu = ThreadCpuMicroseconds();
            m_nMaxBusy = std::max(m_nMaxBusy, cpu - m_nLastCpu);
            m_nLastCpu = cpu;
            if (++m_nTicks % 10 == 0) {
                m_nPeakRss = std::max(m_nPeakRss, RssKb());
            }
        });
    }
    void Start()
    {
        m_nBaseRss = RssKb();
        m_nPeakRss = m_nBaseRss;
        m_nMaxGap = 0;
        m_nMaxBusy = 0;
        m_nLastCpu = ThreadCpuMicroseconds();
        m_clock.start();
        m_timer.start();
    }
    void Stop() { m_timer.stop(); }
    qint64 MaxGap() const { return m_nMaxGap; }
    long long MaxBusyMicroseconds() const { return m_nMaxBusy; }
    long Growth() const { return std::max(m_nPeakRss, RssKb()) - m_nBaseRss; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_nMaxGap = 0;
    long long m_nMaxBusy = 0;
    long long m_nLastCpu = 0;
    int m_nTicks = 0;
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

// --- host 2: the senders and the bound's clients --------------------------------------------

class CLocalName : public IMainWindow
{
public:
    bool AddPeer(const CString&, const CString&) override { return true; }
    void RemovePeer(const CString&) override { }
    bool IsListed(const CString&, const CString&) const override { return false; }
    CString FindAddressByName(const CString&) const override { return {}; }
    CString FindNameByAddress(const CString&) const override { return {}; }
    CString GetLocalName() const override { return "bench (host2)"; }
    void ShowReceivedMessage(const CString&, const CString&, const CString&) override { }
    void SendMessageTo(const CString&, const CString&) override { }
};

// One of the program's sending ends; its time runs from the acceptance to "Finished".
class CSenderEnd : public ISendFileWindow, public IFileProgressWindow
{
public:
    explicit CSenderEnd(int* pRunning)
        : m_pRunning(pRunning)
    {
    }
    std::unique_ptr<CFileSocket> socket = std::make_unique<CFileSocket>();
    std::string outcome;
    QElapsedTimer clock;
    qint64 elapsed = 0;

    void OnTransferAccepted() override
    {
        clock.start();
        socket->SetProgressWindow(this);
    }
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
        elapsed = clock.isValid() ? clock.elapsed() : 0;
        socket.reset();
        if (--*m_pRunning == 0) {
            QCoreApplication::quit();
        }
    }
    int* m_pRunning;
};

// --send COUNT PORT DIR NAME...: COUNT transfers of the batch at once; prints the outcome, the
// time from the first acceptance to the last "Finished", the longest UI stall, the growth and the
// longest time the UI thread was busy.
int RunSender(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    CLocalName local;
    AfxSetMainWnd(&local);
    const int count = std::atoi(argv[2]);
    const unsigned port = static_cast<unsigned>(std::atoi(argv[3]));
    const std::string directory = argv[4];
    std::vector<CString> paths;
    for (int i = 5; i < argc; ++i) {
        paths.push_back(directory + argv[i]);
    }
    LoopWatch watch;
    int running = count;
    std::vector<std::unique_ptr<CSenderEnd>> senders;
    watch.Start();
    for (int i = 0; i < count; ++i) {
        senders.push_back(std::make_unique<CSenderEnd>(&running));
        senders.back()->socket->SetRequest(senders.back().get(), paths, "bench\r\n");
        senders.back()->socket->ConnectTo(Env("QLAN_ADDR_1"), port);
    }
    QElapsedTimer clock;
    clock.start();
    app.exec();
    watch.Stop();
    bool finished = true;
    qint64 longest = 0;
    for (const auto& sender : senders) {
        finished = finished && sender->outcome == "finished";
        longest = std::max(longest, sender->elapsed);
    }
    // The transfers start within a few milliseconds of each other: the span of the slowest one
    // stands for all of them.
    std::printf("%s %lld %lld %ld %lld\n", finished ? "finished" : senders.front()->outcome.c_str(),
        static_cast<long long>(longest), static_cast<long long>(watch.MaxGap()), watch.Growth(),
        watch.MaxBusyMicroseconds());
    return finished ? 0 : 1;
}

int Connected(const std::string& host, unsigned port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in to = AddressOf(host, port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// --bound COUNT BYTES: COUNT lock-step streams at once; prints the time until the last ends.
int RunBoundClients(int count, long long bytes)
{
    std::atomic<bool> failed {false};
    std::vector<std::thread> streams;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        streams.emplace_back([&] {
            const int fd = Connected(Env("QLAN_ADDR_1"), BOUND_PORT);
            char chunk[2000] = {};
            char reply[2];
            for (long long sent = 0; fd >= 0 && sent < bytes; sent += sizeof chunk) {
                if (send(fd, chunk, sizeof chunk, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof chunk)
                    || !ReadExactly(fd, reply, sizeof reply)) {
                    failed = true;
                    break;
                }
            }
            failed = failed || fd < 0;
            if (fd >= 0) {
                close(fd);
            }
        });
    }
    for (std::thread& stream : streams) {
        stream.join();
    }
    std::printf("%lld\n", failed ? 0LL : static_cast<long long>(clock.elapsed()));
    return failed ? 1 : 0;
}

// --csend PATH: a minimal sender that follows the protocol with plain blocking calls: one file,
// each message waits for its reply, each chunk for the reply to it. Like the bound's clients it
// sends one buffer over and over: the file is its first chunk repeated (MakeRepeatedFile), so the
// receiver's copy is still compared byte for byte, and the two ends differ only in the receiver.
// Prints the time of the data phase.
int RunMinimalSender(const std::string& path)
{
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status
    {
    };
    char chunk[filewire::CHUNK_SIZE] = {};
    if (file < 0 || fstat(file, &status) != 0 || pread(file, chunk, sizeof chunk, 0) < 0) {
        return 1;
    }
    close(file);
    const size_t size = static_cast<size_t>(status.st_size);
    const int fd = Connected(Env("QLAN_ADDR_1"), filewire::PORT);
    if (fd < 0) {
        return 1;
    }
    char reply[filewire::READ_SIZE];
    const auto exchange = [&](const std::string& message) {
        return send(fd, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size())
            && recv(fd, reply, sizeof reply, 0) > 0;
    };
    const std::string name = path.substr(path.rfind('/') + 1);
    const bool header = exchange("csend (host2)") && exchange(filewire::EncodeNumber(1)) && exchange(name)
        && exchange(filewire::EncodeNumber(static_cast<std::uint32_t>(size))) && exchange("bench\r\n");
    if (!header) {
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    for (size_t at = 0; at < size; at += filewire::CHUNK_SIZE) {
        const size_t length = std::min<size_t>(filewire::CHUNK_SIZE, size - at);
        if (send(fd, chunk, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)
            || recv(fd, reply, sizeof reply, 0) <= 0) {
            return 1;
        }
    }
    std::printf("%lld\n", static_cast<long long>(clock.elapsed()));
    close(fd);
    return 0;
}

// --- host 1: the receiving ends and the bound's server -------------------------------------

double CpuSeconds(const rusage& usage)
{
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double OwnCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return CpuSeconds(usage);
}

// Runs this program again inside host 2 and returns what it printed; adds the processor time it
// used to cpuSeconds.
std::string RunOnHost2(const std::vector<std::string>& args, double* cpuSeconds = nullptr)
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
    rusage usage {};
    wait4(child, nullptr, 0, &usage);
    if (cpuSeconds) {
        *cpuSeconds += CpuSeconds(usage);
    }
    return printed;
}

int Listening(unsigned port, int backlog)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in any = AddressOf("0.0.0.0", port);
    bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    listen(listener, backlog);
    return listener;
}

struct Rate
{
    double megabytesPerSecond = 0;
    // Processor time of both ends for each exchange of a chunk and its reply, and of the sending
    // end (host 2's process) alone.
    double cpuMicroseconds = 0;
    double sendingCpuMicroseconds = 0;
};

double PerExchange(double cpuSeconds, long long bytes)
{
    return cpuSeconds * 1e6 / (static_cast<double>(bytes) / filewire::CHUNK_SIZE);
}

// Count bound streams of bytes each, at once.
Rate BoundRate(int count, long long bytes)
{
    double cpu = -OwnCpuSeconds();
    const int listener = Listening(BOUND_PORT, count);
    std::vector<std::thread> servers;
    for (int i = 0; i < count; ++i) {
        servers.emplace_back([listener] {
            const int fd = accept(listener, nullptr, nullptr);
            const int yes = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            char chunk[2000];
            while (ReadExactly(fd, chunk, sizeof chunk)) {
                send(fd, "OK", 2, MSG_NOSIGNAL);
            }
            close(fd);
        });
    }
    double sending = 0;
    const std::string printed = RunOnHost2(
        {"bench_file_transfer", "--bound", std::to_string(count), std::to_string(bytes)}, &sending);
    for (std::thread& server : servers) {
        server.join();
    }
    close(listener);
    cpu += OwnCpuSeconds() + sending;
    const double seconds = std::atof(printed.c_str()) / 1000.0;
    return {seconds > 0 ? count * bytes / 1e6 / seconds : 0, PerExchange(cpu, count * bytes),
        PerExchange(sending, count * bytes)};
}

// A minimal receiver on MINIMAL_PORT for one request: answers every header message but the
// description, accepts, answers every read of data and discards it.
void RunMinimalReceiver(int listener)
{
    const int fd = accept(listener, nullptr, nullptr);
    const int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    char buffer[filewire::READ_SIZE];
    const auto take = [&] { return recv(fd, buffer, sizeof buffer, 0); };
    const auto ok = [&] { send(fd, "OK", 2, MSG_NOSIGNAL); };
    std::uint32_t count = 0;
    long long total = 0;
    ssize_t got = take(); // identity
    ok();
    got = take();
    count = filewire::DecodeNumber(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    ok();
    for (std::uint32_t i = 0; i < count; ++i) {
        take();
        ok();
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        got = take();
        total += filewire::DecodeNumber(buffer, got > 0 ? static_cast<size_t>(got) : 0);
        ok();
    }
    take(); // the description; accepted
    ok();
    for (long long received = 0; received < total;) {
        got = take();
        if (got <= 0) {
            break;
        }
        ok();
        received += got;
    }
    while (take() > 0) { }
    close(fd);
}

// One of the program's receiving ends, accepting into a directory of its own.
class CReceiverEnd : public IFileRequestWindow, public IFileProgressWindow
{
public:
    CReceiverEnd(std::unique_ptr<CFileListenSocket> connection, const std::string& directory)
        : socket(std::move(connection))
    {
        socket->SetRequestWindow(this);
        socket->SetProgressWindow(this);
        socket->AcceptFiles(directory);
    }
    std::unique_ptr<CFileListenSocket> socket;
    std::string outcome;

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
        socket.reset();
    }
};

class CReceivers : public IFileWindowFactory
{
public:
    explicit CReceivers(std::string directory)
        : m_strDirectory(std::move(directory))
    {
        SetFileWindowFactory(this);
    }
    ~CReceivers() override { SetFileWindowFactory(nullptr); }

    void OpenFileRequest(std::unique_ptr<CFileListenSocket> connection) override
    {
        const std::string directory = m_strDirectory + "t" + std::to_string(ends.size()) + "/";
        mkdir(directory.c_str(), 0700);
        ends.push_back(std::make_unique<CReceiverEnd>(std::move(connection), directory));
    }
    bool AllEnded(size_t count) const
    {
        return ends.size() == count
            && std::all_of(ends.begin(), ends.end(), [](const auto& end) { return !end->outcome.empty(); });
    }
    std::vector<std::unique_ptr<CReceiverEnd>> ends;

private:
    std::string m_strDirectory;
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
    double megabytesPerSecond = 0;
    qint64 senderStall = -1; // -1: a minimal end, not measured
    long senderGrowth = 0;
    qint64 receiverStall = -1;
    long receiverGrowth = 0;
    // Microseconds; -1 where not measured.
    long long senderBusy = -1;
    long long receiverBusy = -1;
    bool identical = false;
    double cpuMicroseconds = 0;
    double sendingCpuMicroseconds = 0;
};

enum class Ends { MinimalSender, MinimalReceiver, Ours };

// One run: count transfers of the batch at once, from host 2 to host 1.
Result Transfer(Ends ends, int count, const std::string& source, const std::vector<std::string>& names,
    long long batchBytes)
{
    QTemporaryDir target;
    CReceivers receivers(target.path().toStdString() + "/");
    LoopWatch watch;
    Result result;
    std::string printed;
    double cpu = -OwnCpuSeconds();
    double sending = 0;
    watch.Start();
    if (ends == Ends::MinimalReceiver) {
        const int listener = Listening(MINIMAL_PORT, 1);
        std::thread minimal([listener] { RunMinimalReceiver(listener); });
        std::vector<std::string> args
            = {"bench_file_transfer", "--send", "1", std::to_string(MINIMAL_PORT), source};
        args.insert(args.end(), names.begin(), names.end());
        printed = RunOnHost2(args, &sending);
        minimal.join();
        close(listener);
    } else if (ends == Ends::MinimalSender) {
        printed
            = "finished " + RunOnHost2({"bench_file_transfer", "--csend", source + names.front()}, &sending);
    } else {
        std::vector<std::string> args = {
            "bench_file_transfer", "--send", std::to_string(count), std::to_string(filewire::PORT), source};
        args.insert(args.end(), names.begin(), names.end());
        printed = RunOnHost2(args, &sending);
    }
    if (ends != Ends::MinimalReceiver) {
        QElapsedTimer settle;
        settle.start();
        while (!receivers.AllEnded(static_cast<size_t>(count)) && settle.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        result.receiverStall = watch.MaxGap();
        result.receiverGrowth = watch.Growth();
        result.receiverBusy = watch.MaxBusyMicroseconds();
    }
    watch.Stop();
    CFileReceiveWorker::WaitForAll(std::chrono::seconds(5));
    cpu += OwnCpuSeconds() + sending;
    result.cpuMicroseconds = PerExchange(cpu, count * batchBytes);
    result.sendingCpuMicroseconds = PerExchange(sending, count * batchBytes);

    char outcome[64] = {};
    long long elapsed = 0;
    long long senderStall = -1;
    long long senderBusy = -1;
    std::sscanf(printed.c_str(), "%63s %lld %lld %ld %lld", outcome, &elapsed, &senderStall,
        &result.senderGrowth, &senderBusy);
    if (ends != Ends::MinimalSender) {
        result.senderStall = senderStall;
        result.senderBusy = senderBusy;
    }
    result.megabytesPerSecond = elapsed > 0 ? count * batchBytes / 1e6 / (elapsed / 1000.0) : 0;
    result.identical = std::string(outcome) == "finished";
    if (ends != Ends::MinimalReceiver) {
        for (size_t i = 0; i < receivers.ends.size(); ++i) {
            result.identical = result.identical && receivers.ends[i]->outcome == "finished";
            for (const std::string& name : names) {
                const std::string received
                    = target.path().toStdString() + "/t" + std::to_string(i) + "/" + name;
                if (!g_bDiscardWrites && !SameFile(source + name, received)) {
                    std::fprintf(stderr, "%s differs\n", received.c_str());
                    result.identical = false;
                }
            }
        }
        result.identical = result.identical && receivers.ends.size() == static_cast<size_t>(count);
    }
    if (!result.identical) {
        std::fprintf(stderr, "a run did not end well: '%s'\n", printed.c_str());
    }
    return result;
}

// One chunk of pseudo-random bytes, repeated.
void MakeRepeatedFile(const std::string& path, long long size)
{
    std::ofstream out(path, std::ios::binary);
    const std::string chunk = bench::PseudoRandomBytes(filewire::CHUNK_SIZE, static_cast<unsigned>(size));
    for (long long written = 0; written < size; written += filewire::CHUNK_SIZE) {
        out.write(chunk.data(),
            static_cast<std::streamsize>(std::min<long long>(filewire::CHUNK_SIZE, size - written)));
    }
}

void MakeFile(const std::string& path, long long size)
{
    std::ofstream out(path, std::ios::binary);
    std::string block = bench::PseudoRandomBytes(1 << 20, static_cast<unsigned>(size));
    for (long long written = 0; written < size; written += static_cast<long long>(block.size())) {
        out.write(
            block.data(), static_cast<std::streamsize>(std::min<long long>(block.size(), size - written)));
        block[0]++;
    }
}

std::string Stall(long long ms)
{
    return ms < 0 ? std::string("-") : std::to_string(ms) + " ms";
}

std::string Busy(long long microseconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", microseconds / 1000.0);
    return microseconds < 0 ? std::string("-") : std::string(text);
}

} // namespace

int main(int argc, char** argv)
{
    // The event dispatcher the program uses.
    setenv("QT_NO_GLIB", "1", 1);
    if (argc >= 6 && std::string(argv[1]) == "--send") {
        return RunSender(argc, argv);
    }
    if (argc == 4 && std::string(argv[1]) == "--bound") {
        return RunBoundClients(std::atoi(argv[2]), std::atoll(argv[3]));
    }
    if (argc == 3 && std::string(argv[1]) == "--csend") {
        return RunMinimalSender(argv[2]);
    }
    QCoreApplication app(argc, argv);
    if (Env("QLAN_NS_2").empty()) {
        std::fprintf(stderr, "run through tests/lan-run --hosts 2\n");
        return 2;
    }
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 40;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (argc > 3 && std::string(argv[3]) == "discard") {
        g_bDiscardWrites = true;
        CFileReceiveWorker::SetFileWriter([](int, const char*, size_t length) { return ssize_t(length); });
    }
    const long long total = megabytes * 1000 * 1000;

    CFileListenSocket listener;
    if (!listener.CreateListener() || !listener.Listen(5)) {
        std::fprintf(stderr, "cannot listen on port 102\n");
        return 1;
    }
    QTemporaryDir source;
    const std::string dir = source.path().toStdString() + "/";
    // A batch of three files, one of them empty; one file for the minimal sender; a quarter of
    // the batch for each of four transfers at once.
    MakeFile(dir + "first.bin", total / 2);
    MakeFile(dir + "empty", 0);
    MakeFile(dir + "second.bin", total - total / 2);
    MakeRepeatedFile(dir + "whole.bin", total);
    MakeFile(dir + "quarter.bin", total / 4);
    std::vector<std::string> batch = {"first.bin", "empty", "second.bin"};
    // QUORVANE_BENCH_FILES=N: the batch of the sender's cases is N files of equal size instead,
    // as a batch of photographs would be.
    if (const int files = std::atoi(Env("QUORVANE_BENCH_FILES").c_str()); files > 0) {
        batch.clear();
        for (int i = 0; i < files; ++i) {
            batch.push_back("part" + std::to_string(i) + ".bin");
            MakeFile(dir + batch.back(), total / files + (i < total % files ? 1 : 0));
        }
    }

    struct Scenario
    {
        const char* label;
        Ends ends;
        int count;
        std::vector<std::string> names;
        long long bytes; // of each transfer
        // Each round's figures.
        std::vector<double> bound {}, program {}, boundCpu {}, programCpu {}, boundSending {},
            programSending {};
        qint64 senderStall = -1;
        qint64 receiverStall = -1;
        long long senderBusy = -1;
        long long receiverBusy = -1;
        long senderGrowth = 0;
        long receiverGrowth = 0;
        bool identical = true;
    };
    std::vector<Scenario> scenarios = {
        {"receiver (program) <- minimal sender", Ends::MinimalSender, 1, {"whole.bin"}, total},
        {"sender (program) -> minimal receiver", Ends::MinimalReceiver, 1, batch, total},
        {"both ends the program", Ends::Ours, 1, batch, total},
        {"four transfers at once", Ends::Ours, 4, {"quarter.bin"}, total / 4},
    };
    // For counting system calls (strace -c counts every process and thread together): QUORVANE_BENCH_CASES
    // names the cases to run (1 to 4, e.g. "3,4"), QUORVANE_BENCH_ONLY=bound or =program runs one side
    // of each pair.
    const std::string cases = Env("QUORVANE_BENCH_CASES");
    const std::string only = Env("QUORVANE_BENCH_ONLY");
    for (size_t i = scenarios.size(); i-- > 0;) {
        if (!cases.empty() && cases.find(std::to_string(i + 1)) == std::string::npos) {
            scenarios.erase(scenarios.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (int round = 1; round <= rounds; ++round) {
        for (Scenario& scenario : scenarios) {
            const Rate bound = only == "program" ? Rate {1, 0} : BoundRate(scenario.count, scenario.bytes);
            const Result result = only == "bound"
                ? Result {1}
                : Transfer(scenario.ends, scenario.count, dir, scenario.names, scenario.bytes);
            scenario.bound.push_back(bound.megabytesPerSecond);
            scenario.program.push_back(result.megabytesPerSecond);
            scenario.boundCpu.push_back(bound.cpuMicroseconds);
            scenario.programCpu.push_back(result.cpuMicroseconds);
            scenario.boundSending.push_back(bound.sendingCpuMicroseconds);
            scenario.programSending.push_back(result.sendingCpuMicroseconds);
            scenario.senderStall = std::max(scenario.senderStall, result.senderStall);
            scenario.senderBusy = std::max(scenario.senderBusy, result.senderBusy);
            scenario.receiverBusy = std::max(scenario.receiverBusy, result.receiverBusy);
            scenario.receiverStall = std::max(scenario.receiverStall, result.receiverStall);
            scenario.senderGrowth = std::max(scenario.senderGrowth, result.senderGrowth);
            scenario.receiverGrowth = std::max(scenario.receiverGrowth, result.receiverGrowth);
            scenario.identical = scenario.identical && result.identical;
            std::printf(
                "round %d  %-38s bound %6.2f MB/s  program %6.2f MB/s  (%3.0f %%)  cpu/exchange %3.0f / "
                "%3.0f us (sending end %2.0f / %2.0f)  UI busy %s / %s, stall %s / %s\n",
                round, scenario.label, bound.megabytesPerSecond, result.megabytesPerSecond,
                100 * result.megabytesPerSecond / bound.megabytesPerSecond, bound.cpuMicroseconds,
                result.cpuMicroseconds, bound.sendingCpuMicroseconds, result.sendingCpuMicroseconds,
                Busy(result.senderBusy).c_str(), Busy(result.receiverBusy).c_str(),
                Stall(result.senderStall).c_str(), Stall(result.receiverStall).c_str());
            std::fflush(stdout);
        }
    }
    std::printf("\n%lld MB per run, %d rounds; medians:\n", megabytes, rounds);
    bool identical = true;
    for (const Scenario& scenario : scenarios) {
        const double bound = Median(scenario.bound);
        const double program = Median(scenario.program);
        std::vector<double> shares;
        for (size_t i = 0; i < scenario.bound.size(); ++i) {
            shares.push_back(scenario.program[i] / scenario.bound[i]);
        }
        std::printf("%-38s bound %6.2f MB/s  program %6.2f MB/s = %3.0f %% of the bound (median of the "
                    "round shares %3.0f %%)\n",
            scenario.label, bound, program, 100 * program / bound, 100 * Median(shares));
        const auto kib = [](qint64 stall, long growth) {
            return stall < 0 ? std::string("-") : std::to_string(growth) + " KiB";
        };
        std::printf(
            "%-38s longest UI busy: sender %s, receiver %s; longest UI stall: sender %s, receiver %s\n", "",
            Busy(scenario.senderBusy).c_str(), Busy(scenario.receiverBusy).c_str(),
            Stall(scenario.senderStall).c_str(), Stall(scenario.receiverStall).c_str());
        std::printf("%-38s resident growth: sender %s, receiver %s; files identical: %s\n", "",
            kib(scenario.senderStall, scenario.senderGrowth).c_str(),
            kib(scenario.receiverStall, scenario.receiverGrowth).c_str(), scenario.identical ? "yes" : "NO");
        std::printf("%-38s processor time per exchange (both ends): bound %.0f us, program %.0f us; the "
                    "sending end: bound %.0f us, program %.0f us\n",
            "", Median(scenario.boundCpu), Median(scenario.programCpu), Median(scenario.boundSending),
            Median(scenario.programSending));
        identical = identical && scenario.identical;
    }
    return identical ? 0 : 1;
}
