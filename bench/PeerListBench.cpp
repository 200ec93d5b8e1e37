// Processor time of one hello against the size of the peer list: the hello datagram goes
// through the presence socket's handler into the real main window (listed, sorted into the
// list control, selected) and the reply is sent. The same for a leave and for the look-up of a
// message's sender. The window is shown, and the event loop runs after each datagram, as in
// the program.
//
//   tests/lan-run --hosts 2 -- build-rel/bench/bench_peer_list
//
// The hellos come from host 2's address (the replies go there); the names are distinct and
// arrive in no particular order.
#include "app/MainDialog.h"
#include "framework/MainWindowLink.h"
#include "net/PresenceSocket.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr unsigned BENCH_PORT = 40100;
constexpr int SAMPLE = 1000;

double ThreadSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The presence socket's handler, reachable from here.
class CBenchPresence : public CPresenceSocket
{
public:
    using CPresenceSocket::HandleDatagram;
};

// The n-th name of a fixed shuffle, so that sorted inserts land all over the list.
CString Name(unsigned n)
{
    const unsigned key = (n * 2654435761u) % 1000003u;
    return "user" + std::to_string(key) + " (host" + std::to_string(n) + ")";
}

// Microseconds of processor time per call of step, over SAMPLE calls numbered from first.
template<typename Step> double PerCall(unsigned first, Step step)
{
    const double before = ThreadSeconds();
    for (unsigned n = first; n < first + SAMPLE; ++n) {
        step(n);
        QCoreApplication::processEvents();
    }
    return (ThreadSeconds() - before) * 1e6 / SAMPLE;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const char* peerAddress = std::getenv("QLAN_ADDR_2");
    if (!peerAddress) {
        std::fprintf(stderr, "run through tests/lan-run --hosts 2\n");
        return 2;
    }
    const CString source = peerAddress;
    CBenchPresence presence;
    if (!presence.Start(BENCH_PORT)) {
        std::fprintf(stderr, "cannot open UDP port %u\n", BENCH_PORT);
        return 1;
    }

    std::printf("%-10s %12s %14s %12s %12s\n", "list size", "hello (us)", "full list (us)", "leave (us)",
        "sender (us)");
    std::fflush(stdout);
    for (const bool shown : {true, false}) {
        std::printf(shown ? "main window shown:\n" : "main window hidden in the tray:\n");
        for (const unsigned size : {0u, 1000u, 5000u, 9000u}) {
            CMainDialog window;
            AfxSetMainWnd(&window);
            window.setVisible(shown);
            QCoreApplication::processEvents();
            for (unsigned n = 0; n < size; ++n) {
                window.AddPeer(Name(n), source);
            }
            QCoreApplication::processEvents();
            // The hellos take the list from size to size + SAMPLE; the leaves take it back.
            const double hello
                = PerCall(size, [&](unsigned n) { presence.HandleDatagram(KIND_HELLO, Name(n), source); });
            // At the last size the list is now full, with 10,000 peers.
            double refused = -1;
            if (size + SAMPLE == 10000) {
                refused = PerCall(
                    20000, [&](unsigned n) { presence.HandleDatagram(KIND_HELLO, Name(n), source); });
            }
            const double leave
                = PerCall(size, [&](unsigned n) { presence.HandleDatagram(KIND_LEAVE, Name(n), source); });
            // A sender that is not listed is the longest search.
            volatile std::size_t found = 0;
            const double sender
                = PerCall(0, [&](unsigned) { found = found + window.FindNameByAddress("10.9.9.9").size(); });
            std::printf("%-10u %12.1f %14.1f %12.1f %12.2f\n", size, hello, refused, leave, sender);
            AfxSetMainWnd(nullptr);
        }
    }
    return 0;
}
