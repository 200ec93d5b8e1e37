#pragma once

#include "framework/ManualResetEvent.h"
#include "net/AsyncSocket.h"
#include "transfer/FileProtocol.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class IFileProgressWindow;
class ISendFileWindow;
class QObject;

// The sending end of one file transmission: conducts the header on the user-interface thread
// and hands the data to a worker thread of its own, paced by the receiver's replies.
class CFileSocket : public CAsyncSocket
{
public:
    enum State {
        Connecting,
        AwaitIdentityReply,
        SendingNames,
        SendingSizes,
        AwaitLastSizeReply,
        AwaitDecision,
        Declined,
        Transferring,
        Finished,
    };

    CFileSocket();
    // Stops the worker at once and joins it; afterwards nothing touches the file or the
    // connection any more.
    ~CFileSocket() override;

    // The batch: files named by bare names in one directory (ending in "/"), and the
    // description as it goes on the wire (CR LF included).
    void SetRequest(ISendFileWindow* window, const CString& directory, std::vector<CString> names,
        const CString& description);
    void SetProgressWindow(IFileProgressWindow* window) { m_pProgressWindow = window; }
    // Creates the socket and connects to the receiver's file port; nothing is reported when the
    // attempt fails.
    void ConnectTo(const CString& address, unsigned port = filewire::PORT);

    State GetState() const { return m_nState; }
    bool IsWorkerRunning() const { return m_worker.joinable(); }

protected:
    void OnConnect(int errorCode) override;
    void OnReceive(int errorCode) override;
    void OnClose(int errorCode) override;

private:
    enum class ChunkResult { Sent, NothingToSend, BatchSent, Stopped, FileError };

    void HandleMessage(const char* data, size_t length);
    bool SendSize();
    void StartTransfer();
    void OnReply();
    // The worker has sent a file whole and waits for the next one.
    void OnFileSent();
    // Opens the file at m_nIndex, passing over empty ones, in one step under the lock so that the
    // worker never sees a half-made switch. With advance, first moves past the current file, and
    // only when it has been sent whole. False when a file could not be opened (reported).
    bool SwitchFile(bool advance);
    void Finish();
    void ReportFileError(const CString& message);
    void SendText(const CString& text);
    CString PathOf(size_t index) const { return m_strDirectory + m_names[index]; }

    void WorkerProc();
    ChunkResult SendChunk();
    bool WriteWhole(const char* data, size_t length);
    void StopWorker();

    State m_nState = Connecting;
    ISendFileWindow* m_pSendWindow = nullptr;
    IFileProgressWindow* m_pProgressWindow = nullptr;
    CString m_strDirectory;
    std::vector<CString> m_names;
    CString m_strDescription;
    std::vector<std::uint32_t> m_sizes;
    std::uint32_t m_nTotal = 0;

    // The file switch on the user-interface thread and a chunk on the worker never overlap. The
    // lock is held for file access and counting only, never across a network wait.
    mutable std::mutex m_lock;
    size_t m_nIndex = 0;
    int m_hFile = -1;
    std::uint32_t m_nFileSent = 0;
    std::uint32_t m_nBatchSent = 0;
    // The worker waits for the next file to be opened.
    bool m_bAwaitingSwitch = false;

    CManualResetEvent m_event;
    std::atomic<bool> m_bStop {false};
    // Wakes a worker that waits for the socket to take more.
    int m_hStopEvent = -1;
    std::thread m_worker;
    // Carries the worker's file errors to the user-interface thread; what is still queued dies
    // with it.
    std::unique_ptr<QObject> m_pMailbox;
    std::shared_ptr<char> m_pAlive = std::make_shared<char>();
};
