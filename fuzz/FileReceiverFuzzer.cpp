// The file listener, listening on a local socket; one connection sends a header and data as the
// input says, and the user accepts into a scratch directory, declines or stops at any point.
// Anything created outside the scratch directory fails the target: its parent must hold nothing
// else, and the symbolic links planted inside must never be followed.
#include "chat/DeclineWindow.h"
#include "fuzz/FuzzSupport.h"
#include "transfer/FileListenSocket.h"
#include "transfer/FileWindows.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class Windows : public IFileRequestWindow, public IFileProgressWindow, public IDeclineWindow
{
public:
    explicit Windows(std::unique_ptr<CFileListenSocket> connection)
        : socket(std::move(connection))
    {
        socket->SetRequestWindow(this);
    }

    void OnRequestCancelled() override { socket.reset(); }
    void ShowFile(const CString& name, std::uint32_t) override
    {
        if (name.empty() || name.find('/') != CString::npos || name == "." || name == "..") {
            std::abort();
        }
    }
    void SetBatchTotal(std::uint32_t) override { }
    void ShowProgress(std::uint32_t fileBytes, std::uint32_t batchBytes) override
    {
        if (fileBytes > batchBytes || batchBytes > socket->GetTotal()) {
            std::abort();
        }
    }
    void OnFinished() override { socket.reset(); }
    void OnTerminated() override { socket.reset(); }
    void OnTransferFailed(const CString&) override { socket.reset(); }

    std::unique_ptr<CFileListenSocket> socket;
};

class Factory : public IFileWindowFactory
{
public:
    void OpenFileRequest(std::unique_ptr<CFileListenSocket> connection) override
    {
        const size_t count = connection->GetNames().size();
        if (count == 0 || count > filewire::MAX_FILE_COUNT || connection->GetSizes().size() != count) {
            std::abort();
        }
        windows = std::make_unique<Windows>(std::move(connection));
    }
    std::unique_ptr<Windows> windows;
};

struct Scratch
{
    fuzz::ScratchDirectory scratch;
    fs::path parent {scratch.Path()};
    fs::path directory {parent / "in"};
    fs::path linkTarget {parent / "escaped"};

    // The directory holds only the planted links and a subdirectory at the start of each input.
    void Reset()
    {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
        fs::create_directory(directory);
        fs::create_symlink(linkTarget, directory / "link");
        fs::create_directory_symlink(parent, directory / "up");
        fs::create_directory(directory / "sub");
    }
    void Check() const
    {
        for (const auto& entry : fs::directory_iterator(parent)) {
            if (entry.path() != directory) {
                std::abort(); // written outside the chosen directory
            }
        }
        if (!fs::is_symlink(directory / "link") || !fs::is_symlink(directory / "up")) {
            std::abort(); // a planted link was replaced
        }
        for (const auto& entry : fs::directory_iterator(directory / "sub")) {
            (void)entry;
            std::abort();
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool started = (fuzz::StartApplication(), true);
    (void)started;
    static Scratch scratch;
    static Factory factory;
    SetFileWindowFactory(&factory);
    scratch.Reset();
    {
        const fuzz::LocalListener local = fuzz::MakeLocalListener();
        CFileListenSocket listener;
        listener.Attach(local.fd);
        fuzz::Peer peer(local.connect());
        fuzz::Pump([&] { return listener.GetPendingCount() == 1; });

        fuzz::Play(data, size, peer,
            {{},
                [&] {
                    return listener.GetPendingCount() == 0 && !(factory.windows && factory.windows->socket);
                },
                [&](fuzz::Script::Action action) {
                    Windows* windows = factory.windows.get();
                    const bool deciding = windows && windows->socket
                        && windows->socket->GetState() == CFileListenSocket::DecisionPending;
                    if (action == fuzz::Script::UserA && deciding) {
                        windows->socket->SetProgressWindow(windows);
                        windows->socket->AcceptFiles(scratch.directory.string() + "/");
                    } else if (action == fuzz::Script::UserB && deciding) {
                        windows->socket->DeclineFiles();
                        windows->socket->SetDeclineWindow(windows);
                    } else if (action == fuzz::Script::UserC) {
                        factory.windows.reset();
                    }
                },
                [&] {
                    if (listener.GetPendingCount() > 1) {
                        std::abort();
                    }
                }});
    }
    factory.windows.reset();
    // A stopped transfer's thread finishes its last write before the directory is looked at.
    if (!CFileReceiveWorker::WaitForAll(std::chrono::seconds(10))) {
        std::abort();
    }
    scratch.Check();
    SetFileWindowFactory(nullptr);
    return 0;
}
