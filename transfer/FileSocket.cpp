#include "transfer/FileSocket.h"

#include "framework/MainWindowLink.h"
#include "transfer/FileWindows.h"

#include <QObject>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// How long a worker waiting for the socket sleeps before it looks at the stop request again;
// the stop event normally wakes it sooner.
constexpr int WRITE_POLL_MS = 100;

CString TooLargeMessage(const CString& path)
{
    return path + " is 4 GB or larger; files of that size cannot be sent.";
}
} // namespace

CFileSocket::CFileSocket()
    : m_hStopEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_pMailbox(std::make_unique<QObject>())
{
}

CFileSocket::~CFileSocket()
{
    StopWorker();
    if (m_nState == Finished && m_hSocket != INVALID_SOCKET) {
        // Replies left unread would turn the close into a reset, which can cut off the last
        // chunk on its way to the receiver.
        char buffer[filewire::READ_SIZE];
        while (Receive(buffer, sizeof buffer) > 0) { }
    }
    if (m_hFile >= 0) {
        ::close(m_hFile);
    }
    if (m_hStopEvent >= 0) {
        ::close(m_hStopEvent);
    }
}

void CFileSocket::SetRequest(
    ISendFileWindow* window, const CString& directory, std::vector<CString> names, const CString& description)
{
    m_pSendWindow = window;
    m_strDirectory = directory;
    m_names = std::move(names);
    m_strDescription = description;
}

void CFileSocket::ConnectTo(const CString& address, unsigned port)
{
    Create(0, SOCK_STREAM, FD_ALL_EVENTS);
    const int on = 1;
    // Lock-step chunks must not wait for a delayed acknowledgement.
    SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP);
    Connect(address, port);
}

void CFileSocket::OnConnect(int)
{
    const IMainWindow* mainWindow = AfxGetMainWnd();
    SendText(mainWindow ? mainWindow->GetLocalName() : CString());
    m_nState = AwaitIdentityReply;
    m_sizes.assign(m_names.size(), 0);
}

void CFileSocket::OnReceive(int)
{
    char buffer[filewire::READ_SIZE] = {};
    const int received = Receive(buffer, sizeof buffer);
    if (received < 0) {
        return;
    }
    HandleMessage(buffer, static_cast<size_t>(received));
}

void CFileSocket::OnClose(int)
{
    // Replies still waiting are handled first: the last one may finish the batch.
    const std::weak_ptr<char> alive = m_pAlive;
    for (;;) {
        char buffer[filewire::READ_SIZE] = {};
        const int received = Receive(buffer, sizeof buffer);
        if (received <= 0) {
            break;
        }
        HandleMessage(buffer, static_cast<size_t>(received));
        if (alive.expired()) {
            return;
        }
    }

    switch (m_nState) {
    case Transferring:
        // Also when every byte went out: the receiver left before acknowledging the last one.
        if (m_pProgressWindow) {
            m_pProgressWindow->OnTerminated();
        }
        return;
    case Finished:
        return;
    default:
        // A request whose connection is gone must not leave its window waiting.
        if (m_pSendWindow) {
            m_pSendWindow->OnDeclinedWithoutReason();
        }
        return;
    }
}

void CFileSocket::HandleMessage(const char* data, size_t length)
{
    const bool ok = filewire::IsReplyOk(data, length);
    switch (m_nState) {
    case Connecting:
    case Finished:
        return;
    case AwaitIdentityReply:
        if (ok) {
            SendText(filewire::EncodeNumber(static_cast<std::uint32_t>(m_names.size())));
            m_nIndex = 0;
            m_nState = SendingNames;
        }
        return;
    case SendingNames:
        if (ok) {
            SendText(m_names[m_nIndex]);
            if (++m_nIndex == m_names.size()) {
                m_nIndex = 0;
                m_nState = SendingSizes;
            }
        }
        return;
    case SendingSizes:
        if (ok && SendSize() && ++m_nIndex == m_names.size()) {
            m_nIndex = 0;
            m_nState = AwaitLastSizeReply;
        }
        return;
    case AwaitLastSizeReply:
        if (ok) {
            SendText(m_strDescription);
            m_nState = AwaitDecision;
        }
        return;
    case AwaitDecision:
        if (ok) {
            StartTransfer();
        } else {
            m_nState = Declined;
        }
        return;
    case Declined:
        if (m_pSendWindow) {
            m_pSendWindow->OnDeclineReason(filewire::MessageText(data, length));
        }
        return;
    case Transferring:
        OnReply();
        return;
    }
}

bool CFileSocket::SendSize()
{
    const CString path = PathOf(m_nIndex);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status
    {
    };
    const bool measured = fd >= 0 && fstat(fd, &status) == 0;
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    CString message;
    std::uint32_t size = 0;
    if (!measured) {
        message = DescribeFileError(path, error);
    } else if (status.st_size > static_cast<off_t>(UINT32_MAX)) {
        message = TooLargeMessage(path);
    } else {
        size = static_cast<std::uint32_t>(status.st_size);
        if (!filewire::AddToTotal(m_nTotal, size)) {
            message = "The selected files come to 4 GB or more; a batch of that size cannot be sent.";
        }
    }
    if (!message.empty()) {
        // The step is abandoned; the window ends the request.
        m_nState = Finished;
        if (m_pSendWindow) {
            m_pSendWindow->OnFileError(message);
        }
        return false;
    }
    m_sizes[m_nIndex] = size;
    SendText(filewire::EncodeNumber(size));
    return true;
}

void CFileSocket::StartTransfer()
{
    m_nState = Transferring;
    const std::weak_ptr<char> alive = m_pAlive;
    if (m_pSendWindow) {
        // The progress window takes this connection over.
        m_pSendWindow->OnTransferAccepted();
        if (alive.expired()) {
            return;
        }
        m_pSendWindow = nullptr;
    }
    {
        std::lock_guard lock(m_lock);
        m_nIndex = 0;
    }
    if (!SwitchFile(false)) {
        return;
    }
    if (m_pProgressWindow) {
        m_pProgressWindow->SetBatchTotal(m_nTotal);
    }
    if (m_nTotal == 0) {
        Finish();
        return;
    }
    m_worker = std::thread([this] { WorkerProc(); });
}

void CFileSocket::OnReply()
{
    std::uint32_t fileSent = 0;
    std::uint32_t batchSent = 0;
    {
        std::lock_guard lock(m_lock);
        fileSent = m_nFileSent;
        batchSent = m_nBatchSent;
    }
    if (m_pProgressWindow) {
        m_pProgressWindow->ShowProgress(fileSent, batchSent);
    }
    if (batchSent == m_nTotal) {
        Finish();
        return;
    }
    if (!SwitchFile(true)) {
        return;
    }
    {
        std::lock_guard lock(m_lock);
        m_bAwaitingSwitch = false;
    }
    m_event.Set();
}

void CFileSocket::OnFileSent()
{
    if (m_nState != Transferring || !SwitchFile(true)) {
        return;
    }
    bool wake = false;
    {
        std::lock_guard lock(m_lock);
        wake = std::exchange(m_bAwaitingSwitch, false);
    }
    if (wake) {
        m_event.Set();
    }
}

bool CFileSocket::SwitchFile(bool advance)
{
    std::vector<std::pair<CString, std::uint32_t>> opened;
    CString failedPath;
    int error = 0;
    {
        std::lock_guard lock(m_lock);
        if (advance) {
            if (m_nIndex >= m_sizes.size() || m_nFileSent != m_sizes[m_nIndex]) {
                return true;
            }
            ++m_nIndex;
        }
        for (;;) {
            if (m_hFile >= 0) {
                ::close(m_hFile);
                m_hFile = -1;
            }
            m_nFileSent = 0;
            if (m_nIndex >= m_names.size()) {
                break;
            }
            m_hFile = ::open(PathOf(m_nIndex).c_str(), O_RDONLY | O_CLOEXEC);
            if (m_hFile < 0) {
                error = errno;
                failedPath = PathOf(m_nIndex);
                break;
            }
            opened.emplace_back(m_names[m_nIndex], m_sizes[m_nIndex]);
            if (m_sizes[m_nIndex] > 0) {
                break;
            }
            // An empty file is passed over at once: no reply would ever move past it.
            ++m_nIndex;
        }
    }
    if (m_pProgressWindow) {
        for (const auto& [name, size] : opened) {
            m_pProgressWindow->ShowFile(name, size);
        }
    }
    if (error != 0) {
        ReportFileError(DescribeFileError(failedPath, error));
        return false;
    }
    return true;
}

void CFileSocket::Finish()
{
    m_nState = Finished;
    if (m_pProgressWindow) {
        m_pProgressWindow->OnFinished();
    }
}

void CFileSocket::ReportFileError(const CString& message)
{
    if (m_nState != Transferring) {
        return;
    }
    m_nState = Finished;
    m_bStop = true;
    if (m_pProgressWindow) {
        m_pProgressWindow->OnTransferFailed(message);
    }
}

void CFileSocket::SendText(const CString& text)
{
    Send(text.data(), static_cast<int>(text.size()));
}

void CFileSocket::WorkerProc()
{
    for (;;) {
        const ChunkResult result = SendChunk();
        if (result == ChunkResult::BatchSent || result == ChunkResult::Stopped
            || result == ChunkResult::FileError) {
            return;
        }
        // The reply wakes it; without one, the next chunk follows after the pacing interval.
        m_event.Wait(filewire::PACING_MS);
    }
}

CFileSocket::ChunkResult CFileSocket::SendChunk()
{
    m_event.Reset();
    char chunk[filewire::CHUNK_SIZE];
    size_t length = 0;
    {
        std::lock_guard lock(m_lock);
        if (m_bStop) {
            return ChunkResult::Stopped;
        }
        if (m_nBatchSent == m_nTotal) {
            return ChunkResult::BatchSent;
        }
        if (m_nIndex >= m_sizes.size() || m_hFile < 0) {
            m_bAwaitingSwitch = true;
            return ChunkResult::NothingToSend;
        }
        // A file that grew since its size went out is sent only up to that size.
        const size_t wanted = std::min<size_t>(sizeof chunk, m_sizes[m_nIndex] - m_nFileSent);
        if (wanted == 0) {
            // Sent whole, yet no reply has come within the pacing interval to move past it.
            m_bAwaitingSwitch = true;
            QMetaObject::invokeMethod(
                m_pMailbox.get(), [this] { OnFileSent(); }, Qt::QueuedConnection);
            return ChunkResult::NothingToSend;
        }
        const ssize_t got = ::pread(m_hFile, chunk, wanted, m_nFileSent);
        if (got <= 0) {
            // Unreadable, or shorter than announced: padding would send bytes that are not the file.
            const CString path = PathOf(m_nIndex);
            const CString message = got < 0
                ? DescribeFileError(path, errno)
                : path + " has become shorter since it was offered; the transfer was stopped.";
            QMetaObject::invokeMethod(
                m_pMailbox.get(), [this, message] { ReportFileError(message); }, Qt::QueuedConnection);
            return ChunkResult::FileError;
        }
        length = static_cast<size_t>(got);
    }
    if (!WriteWhole(chunk, length)) {
        // What the socket refused is not counted; the close notification ends the transfer.
        return ChunkResult::Stopped;
    }
    std::lock_guard lock(m_lock);
    return m_nBatchSent == m_nTotal ? ChunkResult::BatchSent : ChunkResult::Sent;
}

bool CFileSocket::WriteWhole(const char* data, size_t length)
{
    while (length > 0) {
        if (m_bStop) {
            return false;
        }
        int sent = 0;
        {
            // Counted in the same step as the socket takes it: a reply to these bytes can never be
            // handled while they are still uncounted.
            std::lock_guard lock(m_lock);
            sent = Send(data, static_cast<int>(length));
            if (sent > 0) {
                m_nFileSent += static_cast<std::uint32_t>(sent);
                m_nBatchSent += static_cast<std::uint32_t>(sent);
            }
        }
        if (sent > 0) {
            data += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        if (sent == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            pollfd watched[2] = {{m_hSocket, POLLOUT, 0}, {m_hStopEvent, POLLIN, 0}};
            ::poll(watched, 2, WRITE_POLL_MS);
            continue;
        }
        return false;
    }
    return true;
}

void CFileSocket::StopWorker()
{
    m_bStop = true;
    if (m_hStopEvent >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_hStopEvent, &one, sizeof one);
    }
    m_event.Set();
    if (m_worker.joinable()) {
        m_worker.join();
    }
}
