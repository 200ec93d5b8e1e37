#include "transfer/FileListenSocket.h"

#include "chat/DeclineWindow.h"
#include "framework/Alert.h"
#include "framework/MainWindowLink.h"
#include "net/Keepalive.h"
#include "transfer/FileWindows.h"

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace {
IFileWindowFactory* g_pFactory = nullptr;
} // namespace

IFileWindowFactory* GetFileWindowFactory()
{
    return g_pFactory;
}

void SetFileWindowFactory(IFileWindowFactory* factory)
{
    g_pFactory = factory;
}

CFileListenSocket::CFileListenSocket() = default;

CFileListenSocket::~CFileListenSocket()
{
    // The worker finishes its current write on its own and then closes the file and the socket.
    if (m_pWorker) {
        m_pWorker->Stop();
    }
    // Pending connections die with their listener's pool; the socket layer closes this one
    // afterwards.
}

bool CFileListenSocket::CreateListener(unsigned port)
{
    return Create(port, SOCK_STREAM, FD_ALL_EVENTS);
}

void CFileListenSocket::OnAccept(int)
{
    auto connection = std::make_unique<CFileListenSocket>();
    if (!Accept(*connection)) {
        return;
    }
    const int on = 1;
    connection->SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP);
    WatchForVanishedPeer(*connection);
    unsigned port = 0;
    connection->GetPeerName(connection->m_strAddress, port);
    connection->m_pListener = this;
    // A newcomer is never turned away: a genuine request arriving during a flood of silent
    // connections still gets in.
    m_pool.Add(std::move(connection));
}

void CFileListenSocket::OnReceive(int)
{
    char buffer[filewire::READ_SIZE] = {};
    const int received = Receive(buffer, sizeof buffer);
    if (received <= 0) {
        return;
    }
    HandleMessage(buffer, static_cast<size_t>(received));
}

void CFileListenSocket::OnClose(int)
{
    // Whatever is still waiting belongs to the batch and is stored before the close is judged.
    if (!ReceiveRemaining(
            filewire::READ_SIZE, [this](const char* data, size_t length) { HandleMessage(data, length); })) {
        return;
    }

    switch (m_nState) {
    case AwaitIdentity:
    case AwaitCount:
    case AwaitNames:
    case AwaitSizes:
    case AwaitDescription:
        Discard();
        return;
    case DecisionPending:
        if (m_pRequestWindow) {
            m_pRequestWindow->OnRequestCancelled();
        }
        return;
    case Declined:
        if (m_pDeclineWindow) {
            m_pDeclineWindow->OnRequestCancelled();
        }
        return;
    case Receiving:
    case Finished:
        // The worker judges a close in the data phase.
        return;
    }
}

void CFileListenSocket::HandleMessage(const char* data, size_t length)
{
    switch (m_nState) {
    case AwaitIdentity:
    case AwaitCount:
    case AwaitNames:
    case AwaitSizes:
    case AwaitDescription:
        HandleHeader(data, length);
        return;
    case DecisionPending:
    case Receiving:
    case Declined:
    case Finished:
        return;
    }
}

void CFileListenSocket::HandleHeader(const char* data, size_t length)
{
    if (m_pListener) {
        m_pListener->m_pool.Touch(this);
    }
    switch (m_nState) {
    case AwaitIdentity:
        Reply(filewire::REPLY_OK);
        m_strPeer = ReadFromPeer(m_strAddress, filewire::MessageText(data, length));
        m_nState = AwaitCount;
        return;
    case AwaitCount: {
        const std::uint32_t count = filewire::DecodeNumber(data, length);
        if (!filewire::IsValidFileCount(count)) {
            Discard();
            return;
        }
        Reply(filewire::REPLY_OK);
        m_nCount = count;
        // Names and sizes grow as they arrive: a count alone, from a peer that then goes
        // quiet, must not reserve memory for a hundred thousand entries.
        m_names.clear();
        m_sizes.clear();
        m_nIndex = 0;
        m_nState = AwaitNames;
        return;
    }
    case AwaitNames: {
        // Checked as the name reads: in the double-byte code pages a second byte may be a backslash.
        CString name = ReadFromPeer(m_strAddress, std::string_view(data, length));
        if (!filewire::IsSafeFileName(name.data(), name.size())) {
            Discard();
            return;
        }
        Reply(filewire::REPLY_OK);
        m_names.push_back(std::move(name));
        if (++m_nIndex == m_nCount) {
            m_nIndex = 0;
            m_nState = AwaitSizes;
        }
        return;
    }
    case AwaitSizes: {
        const std::uint32_t size = filewire::DecodeNumber(data, length);
        if (!filewire::AddToTotal(m_nTotal, size)) {
            Discard();
            return;
        }
        Reply(filewire::REPLY_OK);
        m_sizes.push_back(size);
        if (++m_nIndex == m_nCount) {
            m_nIndex = 0;
            m_nState = AwaitDescription;
        }
        return;
    }
    case AwaitDescription:
        m_strDescription = ReadFromPeer(m_strAddress, filewire::MessageText(data, length));
        OpenRequestWindow();
        return;
    default:
        return;
    }
}

void CFileListenSocket::OpenRequestWindow()
{
    m_nState = DecisionPending;
    CFileListenSocket* listener = std::exchange(m_pListener, nullptr);
    if (!listener) {
        return;
    }
    auto claimed = listener->m_pool.Claim(this, m_strAddress);
    if (!claimed.entry) {
        return; // too many windows from there: this connection is gone
    }
    std::unique_ptr<CFileListenSocket> self = std::move(claimed.entry);
    m_windowSlot = std::move(claimed.slot);
    IFileWindowFactory* factory = GetFileWindowFactory();
    if (!factory) {
        return; // nobody can answer: the connection closes
    }
    MessageBeep();
    // The request window owns the connection from here on.
    factory->OpenFileRequest(std::move(self));
}

void CFileListenSocket::AcceptFiles(const CString& directory)
{
    Reply(filewire::REPLY_OK);
    m_strDirectory = directory;
    if (m_strDirectory.empty() || m_strDirectory.back() != '/') {
        m_strDirectory += '/';
    }
    m_nState = Receiving;
    // From here on the worker alone reads, answers and closes the socket.
    const int socket = Detach();
    m_pWorker = CFileReceiveWorker::Start(
        socket, {m_strDirectory, m_names, m_sizes, m_nTotal}, [this] { DeliverReports(); });
}

void CFileListenSocket::DeclineFiles()
{
    Reply(filewire::DECLINE);
    m_nState = Declined;
}

void CFileListenSocket::DeliverReports()
{
    for (const CFileReceiveWorker::Report& report : m_pWorker->TakeReports()) {
        using Report = CFileReceiveWorker::Report;
        switch (report.kind) {
        case Report::File:
            if (m_pProgressWindow) {
                m_pProgressWindow->ShowFile(report.text, report.file);
            }
            break;
        case Report::Total:
            if (m_pProgressWindow) {
                m_pProgressWindow->SetBatchTotal(report.batch);
            }
            break;
        case Report::Progress:
            m_nBatchReceived = report.batch;
            if (m_pProgressWindow) {
                m_pProgressWindow->ShowProgress(report.file, report.batch);
            }
            break;
        // Each end is the worker's last report, and the window destroys this connection.
        case Report::Finished:
            m_nState = Finished;
            if (m_pProgressWindow) {
                m_pProgressWindow->OnFinished();
            }
            return;
        case Report::Closed:
            m_nState = Finished;
            if (m_pProgressWindow) {
                m_pProgressWindow->OnTerminated();
            }
            return;
        case Report::Failed:
            m_nState = Finished;
            if (m_pProgressWindow) {
                m_pProgressWindow->OnTransferFailed(report.text);
            }
            return;
        }
    }
}

void CFileListenSocket::Reply(const char* text)
{
    Send(text, static_cast<int>(std::char_traits<char>::length(text)));
}

void CFileListenSocket::Discard()
{
    if (m_pListener) {
        // Destroys this connection.
        m_pListener->m_pool.Remove(this);
    } else {
        Close();
    }
}
