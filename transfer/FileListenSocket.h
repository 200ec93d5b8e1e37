#pragma once

#include "net/AsyncSocket.h"
#include "net/WaitingPool.h"
#include "net/WindowQuota.h"
#include "transfer/FileProtocol.h"
#include "transfer/FileReceiveWorker.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class IDeclineWindow;
class IFileProgressWindow;
class IFileRequestWindow;

constexpr unsigned FILE_PORT = filewire::PORT;

// The receiving end of file transmissions. The main window's instance listens on TCP port 102;
// every connection it accepts is a further instance that collects one request's header, opens
// the File Request window, and after the user's acceptance writes the batch into the chosen
// directory, a worker thread of its own taking the data phase over (CFileReceiveWorker) so that
// no file is written on the user-interface thread. Until its header brings a window, a connection
// waits in the listener's pool (limit, idle time-out, and the window quota once the description
// has come: see CWaitingPool).
class CFileListenSocket : public CAsyncSocket
{
public:
    enum State {
        AwaitIdentity,
        AwaitCount,
        AwaitNames,
        AwaitSizes,
        AwaitDescription,
        DecisionPending,
        Receiving,
        Declined,
        Finished,
    };

    CFileListenSocket();
    ~CFileListenSocket() override;

    bool CreateListener(unsigned port = FILE_PORT);

    State GetState() const { return m_nState; }
    const CString& GetPeer() const { return m_strPeer; }
    const std::vector<CString>& GetNames() const { return m_names; }
    const std::vector<std::uint32_t>& GetSizes() const { return m_sizes; }
    std::uint32_t GetTotal() const { return m_nTotal; }
    const CString& GetDescription() const { return m_strDescription; }
    // Accepted connections that have no window yet (listener only).
    size_t GetPendingCount() const { return m_pool.GetCount(); }
    // The sender's address, as the connection was accepted from it.
    const CString& GetPeerAddress() const { return m_strAddress; }
    // The window slot of a complete request; the File Request window holds it from then on.
    CWindowQuota::CSlot TakeWindowSlot() { return std::move(m_windowSlot); }

    // The window that serves the connection; each hand-over points the connection at the next.
    void SetRequestWindow(IFileRequestWindow* window) { m_pRequestWindow = window; }
    void SetProgressWindow(IFileProgressWindow* window) { m_pProgressWindow = window; }
    void SetDeclineWindow(IDeclineWindow* window) { m_pDeclineWindow = window; }

    // The user chose a directory: replies "OK" and hands the connection to the worker, which
    // creates the files and reports to the progress window (which must be set) from the event
    // loop on.
    void AcceptFiles(const CString& directory);
    // Sends "NO WAY"; the decline window takes over.
    void DeclineFiles();

protected:
    void OnAccept(int errorCode) override;
    void OnReceive(int errorCode) override;
    void OnClose(int errorCode) override;

private:
    void HandleMessage(const char* data, size_t length);
    void HandleHeader(const char* data, size_t length);
    void OpenRequestWindow();
    // Hands what the worker reported to the progress window, in order.
    void DeliverReports();
    void Reply(const char* text);
    // Drops a connection whose header never completed, or was invalid.
    void Discard();

    State m_nState = AwaitIdentity;
    uint32_t m_nCount = 0;
    CString m_strPeer;
    std::vector<CString> m_names;
    std::uint32_t m_nTotal = 0;
    std::vector<std::uint32_t> m_sizes;
    CString m_strDescription;
    CString m_strDirectory;
    uint32_t m_nIndex = 0;
    std::uint32_t m_nBatchReceived = 0;
    // The data phase; it holds the socket and the file from the acceptance on.
    std::shared_ptr<CFileReceiveWorker> m_pWorker;

    IFileRequestWindow* m_pRequestWindow = nullptr;
    IFileProgressWindow* m_pProgressWindow = nullptr;
    IDeclineWindow* m_pDeclineWindow = nullptr;

    // Until its request window exists, a connection belongs to the listener that accepted it.
    CFileListenSocket* m_pListener = nullptr;
    CString m_strAddress;
    CWindowQuota::CSlot m_windowSlot;
    // Listener only: connections whose header is still coming. Each header message counts as
    // heard, so only a connection silent for the idle time-out is swept, however long a genuine
    // header of many files takes.
    CWaitingPool m_pool;
};
