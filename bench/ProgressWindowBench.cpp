// Processor time the progress windows cost the user-interface thread while transfers run: four
// "File" windows shown, each fed its transfer's progress every 100 ms as the workers report it,
// for a number of seconds; the figures advance as four streams of 25 MB/s each would.
//
//   QT_QPA_PLATFORM=offscreen build-rel/bench/bench_progress_window [seconds]
//
// No network: it runs directly. Under Xvfb (QT_QPA_PLATFORM=xcb) it includes the copies to the
// display.
#include "bench/BenchSupport.h"
#include "transfer/FileProgressDialog.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int WINDOWS = 4;
constexpr std::uint32_t FILE_SIZE = 100'000'000;
constexpr std::uint32_t BYTES_PER_REPORT = 2'500'000; // 25 MB/s, reported every 100 ms

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench_progress_window [seconds]\n");
        return 2;
    }
    std::vector<std::unique_ptr<CFileProgressDialog>> windows;
    for (int i = 0; i < WINDOWS; ++i) {
        auto window = std::make_unique<CFileProgressDialog>();
        window->m_strHeader = "Receiving Files From bench" + std::to_string(i);
        window->Create();
        window->ShowFile("stream" + std::to_string(i) + ".bin", FILE_SIZE);
        window->SetBatchTotal(FILE_SIZE);
        windows.push_back(std::move(window));
    }
    QCoreApplication::processEvents();

    // Each window's reports come 100 ms apart, the windows' staggered over the interval.
    std::vector<std::uint32_t> done(WINDOWS, 0);
    int reports = 0;
    QTimer feed;
    feed.setInterval(100 / WINDOWS);
    QObject::connect(&feed, &QTimer::timeout, [&] {
        const int i = reports++ % WINDOWS;
        done[i] = (done[i] + BYTES_PER_REPORT) % FILE_SIZE;
        windows[i]->ShowProgress(done[i], done[i]);
    });
    const long long before = bench::ThreadCpuMicroseconds();
    feed.start();
    // Exit rather than quit: quit would ask each window to close, and a running one asks the user.
    QTimer::singleShot(seconds * 1000, &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const double busy = (bench::ThreadCpuMicroseconds() - before) / 1e6;
    std::printf("%d windows, %d reports in %d s: user-interface thread %.1f ms a second, %.0f us per "
                "report\n",
        WINDOWS, reports, seconds, busy * 1e3 / seconds, busy * 1e6 / reports);
    return 0;
}
