// The file sender with its worker, connected over a local socket pair to a receiver that replies
// what the input says; the user stops the transfer at any point. The batch is three small files,
// one of them empty.
#include "framework/MainWindowLink.h"
#include "fuzz/FuzzSupport.h"
#include "transfer/FileSocket.h"
#include "transfer/FileWindows.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

namespace fs = std::filesystem;

class FuzzFileSocket : public CFileSocket
{
public:
    // The pair is connected already: what the connect notification would do.
    void Connected() { OnConnect(0); }
};

class NamedMainWindow : public IMainWindow
{
public:
    bool AddPeer(const CString&, const CString&) override { return true; }
    void RemovePeer(const CString&) override { }
    bool IsListed(const CString&, const CString&) const override { return false; }
    CString FindAddressByName(const CString&) const override { return {}; }
    CString FindNameByAddress(const CString&) const override { return {}; }
    CString GetLocalName() const override { return "ANN (PC1)"; }
    void ShowReceivedMessage(const CString&, const CString&, const CString&) override { }
    void SendMessageTo(const CString&, const CString&) override { }
};

constexpr std::uint32_t TOTAL = 3 + 0 + 2500;

class Windows : public ISendFileWindow, public IFileProgressWindow
{
public:
    std::unique_ptr<FuzzFileSocket> socket;
    bool transferring = false;

    void OnTransferAccepted() override
    {
        if (transferring) {
            std::abort();
        }
        transferring = true;
        socket->SetProgressWindow(this);
    }
    void OnDeclineReason(const CString& reason) override
    {
        if (transferring || !fuzz::IsReadText(reason, filewire::READ_SIZE)) {
            std::abort();
        }
        socket.reset();
    }
    void OnDeclinedWithoutReason() override { socket.reset(); }
    void OnFileError(const CString&) override { std::abort(); } // the files stay as they are
    void ShowFile(const CString&, std::uint32_t) override { }
    void SetBatchTotal(std::uint32_t total) override
    {
        if (total != TOTAL) {
            std::abort();
        }
    }
    void ShowProgress(std::uint32_t fileBytes, std::uint32_t batchBytes) override
    {
        if (fileBytes > batchBytes || batchBytes > TOTAL) {
            std::abort();
        }
    }
    void OnFinished() override { socket.reset(); }
    void OnTerminated() override { socket.reset(); }
    void OnTransferFailed(const CString&) override { std::abort(); }
};

struct Batch
{
    fuzz::ScratchDirectory scratch;
    fs::path directory {scratch.Path()};
    Batch()
    {
        std::ofstream(directory / "a.txt") << "abc";
        std::ofstream(directory / "empty.bin");
        std::ofstream(directory / "b.bin") << std::string(2500, 'b');
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool started = (fuzz::StartApplication(), true);
    (void)started;
    static Batch batch;
    NamedMainWindow mainWindow;
    AfxSetMainWnd(&mainWindow);
    {
        Windows windows;
        const auto [ours, theirs] = fuzz::StreamPair();
        fuzz::Peer peer(theirs);
        windows.socket = std::make_unique<FuzzFileSocket>();
        const std::string in = batch.directory.string() + "/";
        windows.socket->SetRequest(&windows, {in + "a.txt", in + "empty.bin", in + "b.bin"}, "hi\r\n");
        windows.socket->Attach(ours);
        windows.socket->Connected();

        const auto open = [&] { return windows.socket != nullptr; };
        fuzz::Play(data, size, peer,
            {open, [&] { return !open(); },
                [&](fuzz::Script::Action action) {
                    if (action == fuzz::Script::UserA) {
                        windows.socket.reset();
                    } else {
                        // Let the worker and queued notifications run.
                        fuzz::Pump([] { return false; }, 8);
                    }
                },
                {}});
        // Destroying the sender stops and joins its worker.
        windows.socket.reset();
    }
    AfxSetMainWnd(nullptr);
    return 0;
}
