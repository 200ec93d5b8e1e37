// Four batches at once into a running copy of the program, its windows open, against four
// lock-step bound streams measured just before, round after round:
//
//   export QUORVANE_BINARY=$PWD/build-rel/quorvane QT_QPA_PLATFORM=offscreen
//   tests/lan-run --hosts 2 -- build-rel/bench/bench_program_receive [MB per stream] [rounds] [bound-stores]
//
// With "bound-stores" the bound's receivers also write what they receive to files, which tells
// the cost of storing apart from the program's own.
//
// The copy runs on host 1 and is driven through its automation socket, as a user would: each
// File Request window gets "Save As" and a directory of its own. Four minimal senders on host 2
// (plain blocking calls, one file each, each chunk waiting for its reply) start their data once
// all four are accepted; the time runs from then until the last reply of the last one.
#include "bench/BenchSupport.h"
#include "tests/support/Lan.h"
#include "tests/support/RunningCopy.h"
#include "tests/support/Wait.h"
#include "transfer/FileProtocol.h"
#include "transfer/FileReceiveWorker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using bench::Median;
using bench::ReadExactly;
using bench::ThreadCpuMicroseconds;

constexpr int STREAMS = 4;
constexpr unsigned BOUND_PORT = 5002;
using Clock = std::chrono::steady_clock;

// A stream socket on host 2, connected to host 1's port, without delayed chunks.
int ConnectFromHost2(unsigned port)
{
    const int fd = lan::OpenSocketOn(2, SOCK_STREAM);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const sockaddr_in to = lan::SocketAddress(1, port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// With QUORVANE_BENCH_PHASES set, each phase's start and end go to standard error in seconds of
// CLOCK_MONOTONIC, so that a profile taken with "perf record -k CLOCK_MONOTONIC" can be cut into
// the bound's phases and the copy's ("perf report --time START,END").
void PrintPhase(const char* phase, Clock::time_point start, Clock::time_point end)
{
    if (qEnvironmentVariableIsSet("QUORVANE_BENCH_PHASES")) {
        using Seconds = std::chrono::duration<double>;
        std::fprintf(stderr, "phase %s %.6f %.6f\n", phase, Seconds(start.time_since_epoch()).count(),
            Seconds(end.time_since_epoch()).count());
    }
}

// --bound BYTES: the bound's four clients, in a process of their own as the senders are in
// another process than the copy (a wake-up within one process is cheaper). Prints the time in
// microseconds until the last ends (or 0) and the processor time of the four threads.
int RunBoundClients(long long bytes)
{
    std::atomic<bool> failed {false};
    std::atomic<long long> cpu {0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int i = 0; i < STREAMS; ++i) {
        threads.emplace_back([&] {
            const int fd = ConnectFromHost2(BOUND_PORT);
            char chunk[2000] = {};
            char reply[2];
            const long long cpuBefore = ThreadCpuMicroseconds();
            for (long long sent = 0; fd >= 0 && sent < bytes; sent += sizeof chunk) {
                if (send(fd, chunk, sizeof chunk, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof chunk)
                    || !ReadExactly(fd, reply, sizeof reply)) {
                    failed = true;
                    break;
                }
            }
            cpu += ThreadCpuMicroseconds() - cpuBefore;
            failed = failed || fd < 0;
            if (fd >= 0) {
                close(fd);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const auto end = Clock::now();
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(end - start);
    PrintPhase("bound", start, end);
    std::printf("%lld %lld\n", failed ? 0LL : static_cast<long long>(elapsed.count()), cpu.load());
    return failed ? 1 : 0;
}

// Interrupts one processor sends another, summed over the processors: rescheduling (a thread
// woken for a busy processor) and function calls (among them a thread woken for an idle one).
// Few while each sender runs beside its receiver; many once they run apart.
long long CrossProcessorInterrupts()
{
    QFile file("/proc/interrupts");
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    long long total = 0;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.front() != "RES:" && fields.front() != "CAL:") {
            continue;
        }
        for (qsizetype i = 1; i < fields.size(); ++i) {
            bool number = false;
            const long long count = fields[i].toLongLong(&number);
            if (!number) {
                break;
            }
            total += count;
        }
    }
    return total;
}

// Cross-processor interrupts a second between two readings.
double InterruptRate(long long before, long long after, double seconds)
{
    return seconds > 0 ? (after - before) / seconds : 0;
}

struct Bound
{
    double megabytesPerSecond = 0;
    // Both ends, all eight threads, per exchange.
    double cpuPerExchange = 0;
    double interruptsPerSecond = 0;
};

// Four lock-step streams at once, host 2 to host 1.
Bound BoundRate(long long bytes, bool stores)
{
    const int listener = lan::OpenSocketOn(1, SOCK_STREAM);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in any = lan::SocketAddress("0.0.0.0", BOUND_PORT);
    bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any);
    listen(listener, STREAMS);
    QTemporaryDir target;
    int out[2];
    if ((stores && !target.isValid()) || pipe(out) != 0) {
        std::fprintf(stderr, "the bound cannot start: %s\n", std::strerror(errno));
        close(listener);
        return {};
    }
    std::vector<std::thread> threads;
    std::atomic<long long> cpu {0};
    for (int i = 0; i < STREAMS; ++i) {
        // When storing, each receiver writes the simplest way, to a file of its own: the reads
        // gathered as the program gathers them, one write each, without the program's hints to the
        // disk on the way. Like the program it answers a read before it writes, while the next
        // chunk is on its way, and the last read only once the file is on the disk.
        const std::string path
            = stores ? target.filePath(QString("b%1").arg(i)).toStdString() : std::string();
        threads.emplace_back([listener, &cpu, bytes, path] {
            const int fd = accept(listener, nullptr, nullptr);
            const int yes = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            const bool storing = !path.empty();
            const int file
                = storing ? open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : -1;
            // A failure to store ends the stream, and with it the round.
            if (storing && file < 0) {
                std::fprintf(stderr, "the bound could not store: %s\n", std::strerror(errno));
                close(fd);
                return;
            }
            std::vector<char> gathered(
                storing ? CFileReceiveWorker::STORE_BUFFER_SIZE : filewire::CHUNK_SIZE);
            size_t filled = 0;
            long long received = 0;
            const long long cpuBefore = ThreadCpuMicroseconds();
            while (ReadExactly(fd, gathered.data() + filled, filewire::CHUNK_SIZE)) {
                // The clients send whole chunks, so the last may reach past bytes.
                received += filewire::CHUNK_SIZE;
                const bool last = received >= bytes;
                if (!storing || !last) {
                    send(fd, "OK", 2, MSG_NOSIGNAL);
                }
                if (!storing) {
                    continue;
                }
                filled += filewire::CHUNK_SIZE;
                if (last || gathered.size() - filled < filewire::CHUNK_SIZE) {
                    if (write(file, gathered.data(), filled) != static_cast<ssize_t>(filled)
                        || (last && fsync(file) != 0)) {
                        std::fprintf(stderr, "the bound could not store: %s\n", std::strerror(errno));
                        break;
                    }
                    filled = 0;
                }
                if (last) {
                    send(fd, "OK", 2, MSG_NOSIGNAL);
                }
            }
            cpu += ThreadCpuMicroseconds() - cpuBefore;
            if (file >= 0) {
                close(file);
            }
            close(fd);
        });
    }
    const long long interruptsBefore = CrossProcessorInterrupts();
    const auto interruptsFrom = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        const std::string size = std::to_string(bytes);
        execl(
            "/proc/self/exe", "bench_program_receive", "--bound", size.c_str(), static_cast<char*>(nullptr));
        _exit(3);
    }
    close(out[1]);
    std::string printed;
    char buffer[64];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) {
        printed.append(buffer, static_cast<size_t>(got));
    }
    close(out[0]);
    waitpid(child, nullptr, 0);
    const long long interruptsAfter = CrossProcessorInterrupts();
    const double interruptSeconds = std::chrono::duration<double>(Clock::now() - interruptsFrom).count();
    for (std::thread& thread : threads) {
        thread.join();
    }
    long long microseconds = 0;
    long long clientCpu = 0;
    std::sscanf(printed.c_str(), "%lld %lld", &microseconds, &clientCpu);
    close(listener);
    if (microseconds <= 0) {
        return {};
    }
    const double exchanges = STREAMS * static_cast<double>(bytes) / 2000;
    return {STREAMS * bytes / static_cast<double>(microseconds), (cpu + clientCpu) / exchanges,
        InterruptRate(interruptsBefore, interruptsAfter, interruptSeconds)};
}

// Processor time of a process's threads in microseconds, from /proc: the user-interface thread
// (whose id is the process's) and all of them.
struct CopyCpu
{
    long long ui = 0;
    long long all = 0;
};

// utime + stime of a /proc stat file, in microseconds.
long long StatCpu(const QString& path)
{
    QFile stat(path);
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    // Fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() < 13
        ? 0
        : (fields[11].toLongLong() + fields[12].toLongLong()) * 1000000 / sysconf(_SC_CLK_TCK);
}

// The process's figures count its threads that have ended too.
CopyCpu ReadCopyCpu(qint64 pid)
{
    return {StatCpu(QString("/proc/%1/task/%1/stat").arg(pid)), StatCpu(QString("/proc/%1/stat").arg(pid))};
}

// Gives the go to the senders once all are accepted, and keeps the first start and the last end.
struct StartLine
{
    std::mutex lock;
    std::condition_variable changed;
    int accepted = 0;
    int ended = 0;
    Clock::time_point start;
    Clock::time_point end;
    // The copy's processor time when the data began and when the last sender was through.
    qint64 copyPid = 0;
    CopyCpu atStart;
    CopyCpu atEnd;
    long long interruptsAtStart = 0;
    long long interruptsAtEnd = 0;
    // The senders' threads during the data.
    long long senderCpu = 0;
};

// One minimal sender: the header, then (after the go) one file of size bytes in lock-step. Like the
// bound's clients it sends one chunk over and over, so that the two differ only in the receiver.
bool MinimalSender(int index, const std::string& chunk, size_t size, StartLine& line)
{
    const int fd = ConnectFromHost2(filewire::PORT);
    if (fd < 0) {
        return false;
    }
    char reply[filewire::READ_SIZE];
    const auto exchange = [&](const std::string& message) {
        return send(fd, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size())
            && recv(fd, reply, sizeof reply, 0) > 0;
    };
    const bool header = exchange("bench" + std::to_string(index) + " (host2)")
        && exchange(filewire::EncodeNumber(1)) && exchange("stream" + std::to_string(index) + ".bin")
        && exchange(filewire::EncodeNumber(static_cast<std::uint32_t>(size)))
        // The reply to the description is the acceptance.
        && exchange("bench\r\n");
    {
        std::unique_lock guard(line.lock);
        ++line.accepted;
        line.changed.notify_all();
        line.changed.wait(guard, [&] { return line.accepted >= STREAMS; });
        if (line.start == Clock::time_point {}) {
            line.atStart = ReadCopyCpu(line.copyPid);
            line.interruptsAtStart = CrossProcessorInterrupts();
            line.start = Clock::now();
        }
    }
    bool whole = header;
    const long long cpuBefore = ThreadCpuMicroseconds();
    for (size_t at = 0; whole && at < size; at += filewire::CHUNK_SIZE) {
        const size_t length = std::min<size_t>(filewire::CHUNK_SIZE, size - at);
        whole = send(fd, chunk.data(), length, MSG_NOSIGNAL) == static_cast<ssize_t>(length)
            && recv(fd, reply, sizeof reply, 0) > 0;
    }
    {
        std::lock_guard guard(line.lock);
        line.end = std::max(line.end, Clock::now());
        line.senderCpu += ThreadCpuMicroseconds() - cpuBefore;
        if (++line.ended == STREAMS) {
            line.atEnd = ReadCopyCpu(line.copyPid);
            line.interruptsAtEnd = CrossProcessorInterrupts();
        }
    }
    close(fd);
    return whole;
}

struct Result
{
    double megabytesPerSecond = 0;
    bool identical = false;
    // The copy's processor time per exchange during the data, all threads and its
    // user-interface thread, and the share of the data phase that thread was busy.
    double cpuPerExchange = 0;
    double uiPerExchange = 0;
    double uiBusyShare = 0;
    // Both ends: the copy's and the senders' threads.
    double bothPerExchange = 0;
    double interruptsPerSecond = 0;
};

Result ProgramRate(RunningCopy& copy, const std::string& chunk, size_t size)
{
    QTemporaryDir target;
    StartLine line;
    line.copyPid = copy.ProcessId();
    std::atomic<int> whole {0};
    std::vector<std::thread> senders;
    for (int i = 0; i < STREAMS; ++i) {
        senders.emplace_back([&, i] { whole += MinimalSender(i, chunk, size, line) ? 1 : 0; });
    }
    // Accepts each request as a user would, each into a directory of its own.
    for (int i = 0; i < STREAMS; ++i) {
        const auto offer = copy.WaitForWindow("File Request");
        if (!offer) {
            break;
        }
        const QString directory = target.filePath(QString("t%1").arg(i));
        QDir().mkpath(directory);
        copy.Click(*offer, "Save As");
        copy.AnswerFileDialog(directory, "Choose");
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    Result result;
    PrintPhase("copy", line.start, line.end);
    const double seconds = std::chrono::duration<double>(line.end - line.start).count();
    result.megabytesPerSecond = seconds > 0 ? STREAMS * size / 1e6 / seconds : 0;
    const double exchanges = STREAMS * static_cast<double>(size) / filewire::CHUNK_SIZE;
    result.cpuPerExchange = (line.atEnd.all - line.atStart.all) / exchanges;
    result.uiPerExchange = (line.atEnd.ui - line.atStart.ui) / exchanges;
    result.bothPerExchange = result.cpuPerExchange + line.senderCpu / exchanges;
    result.uiBusyShare = seconds > 0 ? (line.atEnd.ui - line.atStart.ui) / 1e6 / seconds : 0;
    result.interruptsPerSecond = InterruptRate(line.interruptsAtStart, line.interruptsAtEnd, seconds);
    // Each progress window ends with its "Finished" box, closed as a user would.
    int finished = 0;
    for (; finished < STREAMS; ++finished) {
        const auto box = copy.WaitForMessageBox("Finished");
        if (!box) {
            break;
        }
        copy.Click(*box, "OK");
    }
    result.identical = whole == STREAMS && finished == STREAMS;
    // Which request was accepted into which directory depends on the order the windows came in.
    for (int i = 0; i < STREAMS && result.identical; ++i) {
        const QFileInfoList files = QDir(target.filePath(QString("t%1").arg(i))).entryInfoList(QDir::Files);
        result.identical = files.size() == 1 && files.front().size() == static_cast<qint64>(size);
    }
    if (!result.identical) {
        std::fprintf(stderr, "senders whole: %d, Finished boxes: %d\n", whole.load(), finished);
    }
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--bound") {
        return RunBoundClients(std::atoll(argv[2]));
    }
    QCoreApplication app(argc, argv);
    if (lan::HostCount() < 2 || qEnvironmentVariable("QUORVANE_BINARY").isEmpty()) {
        std::fprintf(
            stderr, "run through tests/lan-run --hosts 2, with QUORVANE_BINARY naming the program\n");
        return 2;
    }
    const long long megabytes = argc > 1 ? std::atoll(argv[1]) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const bool boundStores = argc > 3 && std::string(argv[3]) == "bound-stores";
    if (argc > 4 || (argc > 3 && !boundStores)) {
        std::fprintf(stderr, "usage: bench_program_receive [MB per stream] [rounds] [bound-stores]\n");
        return 2;
    }
    const auto size = static_cast<size_t>(megabytes * 1000 * 1000);
    const std::string chunk = bench::PseudoRandomBytes(filewire::CHUNK_SIZE, 1);

    RunningCopy copy(1);
    if (!copy.IsRunning()) {
        std::fprintf(stderr, "the copy did not start\n");
        return 1;
    }
    const long residentBefore = copy.ResidentKiB();
    std::vector<double> bounds;
    std::vector<double> programs;
    std::vector<double> shares;
    bool identical = true;
    std::vector<double> cpuShares;
    for (int round = 1; round <= rounds; ++round) {
        const Bound bound = BoundRate(static_cast<long long>(size), boundStores);
        if (bound.megabytesPerSecond <= 0) {
            std::fprintf(stderr, "the bound's streams failed in round %d\n", round);
            copy.Terminate();
            return 1;
        }
        const Result result = ProgramRate(copy, chunk, size);
        bounds.push_back(bound.megabytesPerSecond);
        programs.push_back(result.megabytesPerSecond);
        shares.push_back(result.megabytesPerSecond / bound.megabytesPerSecond);
        cpuShares.push_back(result.bothPerExchange / bound.cpuPerExchange);
        identical = identical && result.identical;
        std::printf(
            "round %d  four bound streams %7.2f MB/s  four batches into the copy %7.2f MB/s  (%3.0f %%)  "
            "processor time per exchange, both ends: bound %.1f us, copy and senders %.1f us; the "
            "copy %.1f us, of it the UI thread %.1f us (busy %.0f %% of the time); cross-processor "
            "interrupts a second: bound %.0f, copy %.0f; resident %ld KiB%s\n",
            round, bound.megabytesPerSecond, result.megabytesPerSecond,
            100 * result.megabytesPerSecond / bound.megabytesPerSecond, bound.cpuPerExchange,
            result.bothPerExchange, result.cpuPerExchange, result.uiPerExchange, 100 * result.uiBusyShare,
            bound.interruptsPerSecond, result.interruptsPerSecond, copy.ResidentKiB(),
            result.identical ? "" : "  NOT ALL FINISHED WHOLE");
        std::fflush(stdout);
    }
    std::printf("\n%lld MB per stream, %d rounds, the bound %s; medians: bound %.2f MB/s, copy %.2f MB/s = "
                "%.0f %% of the bound "
                "(median of the round shares %.0f %%); processor time per exchange %.0f %% of the bound's\n",
        megabytes, rounds, boundStores ? "storing" : "discarding", Median(bounds), Median(programs),
        100 * Median(programs) / Median(bounds), 100 * Median(shares), 100 * Median(cpuShares));
    std::printf("copy's resident size: %ld KiB before, %ld KiB after, peak %ld KiB; all files whole: %s\n",
        residentBefore, copy.ResidentKiB(), copy.PeakResidentKiB(), identical ? "yes" : "NO");
    copy.Terminate();
    return identical ? 0 : 1;
}
