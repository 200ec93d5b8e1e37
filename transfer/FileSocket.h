#pragma once

#include "net/AsyncSocket.h"
#include "transfer/FileProtocol.h"
#include "transfer/ReportQueue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

class IFileProgressWindow;
class ISendFileWindow;

// The sending end of one file transmission: conducts the header on the user-interface thread,
// then hands the whole data phase to a worker thread of its own. The worker sends a chunk, waits
// for the receiver's reply (or the pacing interval) in a blocking read of the socket itself, and
// reports to the user-interface thread through a queue, so that no reply has to pass through the
// event loop. It reads each file ahead in large blocks, so that an exchange costs one send and one
// receive.
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

    // The batch: the files' full paths, of which only the bare names go on the wire, and the
    // description as it goes on the wire (CR LF included).
    void SetRequest(ISendFileWindow* window, std::vector<CString> paths, const CString& description);
    void SetProgressWindow(IFileProgressWindow* window) { m_pProgressWindow = window; }
    // Creates the socket and connects to the receiver's file port; nothing is reported when the
    // attempt fails.
    // A connect that fails, at once or later, is a decline without a reason.
    void ConnectTo(const CString& address, unsigned port = filewire::PORT);

    State GetState() const { return m_nState; }
    bool IsWorkerRunning() const { return m_worker.joinable(); }

protected:
    void OnConnect(int errorCode) override;
    void OnReceive(int errorCode) override;
    void OnClose(int errorCode) override;

private:
    // What the worker tells the user-interface thread, in the order it happened. Progress and
    // Finished count the bytes answered; Closed: the receiver left. Total is not used here.
    using Report = CReportQueue::Report;
    // Ended: stopped, or the end (failure, close) has been reported already.
    enum class ChunkResult { Sent, BatchSent, Ended };
    enum class WaitResult { Reply, TimedOut, Closed, Stopped };

    void HandleMessage(const char* data, size_t length);
    bool SendSize();
    void StartTransfer();
    // Closes the file that is open and opens the one at m_nIndex, passing over empty ones; each
    // file opened is reported. False when a file could not be opened (reported as a failure).
    bool OpenCurrentFile();
    void Finish();
    void ReportFileError(const CString& message);
    // The connection is gone: judged by the state it leaves the transfer in.
    void JudgeClose();
    void SendText(const CString& text);
    const CString& PathOf(size_t index) const { return m_paths[index]; }

    // Worker thread, and the user-interface thread before the worker starts.
    void Post(Report report) { m_reports.Post(std::move(report)); }
    void WorkerProc();
    ChunkResult SendChunk();
    bool WriteWhole(const char* data, size_t length);
    // Makes the next bytes of the current file ready in the read-ahead block; false once reported.
    bool ReadAhead();
    WaitResult AwaitReply(int timeoutMs);
    // The socket's receive time limit, set only when it changes; zero waits without limit.
    void SetReceiveTimeout(std::chrono::microseconds timeout);
    void StopWorker();
    // User-interface thread: hands what the worker reported to the windows, in order.
    void DeliverReports();

    State m_nState = Connecting;
    ISendFileWindow* m_pSendWindow = nullptr;
    IFileProgressWindow* m_pProgressWindow = nullptr;
    std::vector<CString> m_paths;
    // Bare names, in the order of the paths.
    // As shown here, and as sent to the receiver.
    std::vector<CString> m_names;
    std::vector<CString> m_wireNames;
    // Each file as it was when its size went out.
    std::vector<FileStamp> m_stamps;
    CString m_strDescription;
    CString m_strWireDescription;
    CString m_strAddress;
    std::vector<std::uint32_t> m_sizes;
    std::uint32_t m_nTotal = 0;

    // Header: the next name or size to send. Data phase: the current file. From the start of the
    // data phase the file and the counts belong to the worker alone.
    size_t m_nIndex = 0;
    int m_hFile = -1;
    std::uint32_t m_nFileSent = 0;
    std::uint32_t m_nBatchSent = 0;
    // The current file read ahead: the block holds its bytes from m_nFileSent on, up to m_nAhead.
    std::unique_ptr<char[]> m_pAhead;
    size_t m_nAheadAt = 0;
    size_t m_nAhead = 0;
    std::chrono::microseconds m_receiveTimeout {0};

    std::atomic<bool> m_bStop {false};
    // The stop shuts the socket down, which ends the worker's blocking send or receive at once.
    std::thread m_worker;

    // Progress is passed on at most every interval; what is held back goes out before any other
    // report, or when its interval is over. Joining the worker before it goes leaves nobody to
    // post.
    CReportQueue m_reports;
    std::shared_ptr<char> m_pAlive = std::make_shared<char>();
};
