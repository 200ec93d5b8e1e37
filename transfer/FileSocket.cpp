#include "transfer/FileSocket.h"

#include "framework/MainWindowLink.h"
#include "net/Keepalive.h"
#include "transfer/FileWindows.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// The worker reads its file ahead in blocks of this size: one read for some thirty chunks, and
// small enough to stay in the processor's cache until they are sent (from a 1 MiB block, every
// chunk came out of memory a second time).
constexpr size_t READ_AHEAD_SIZE = 64 * 1024;

void SetBlocking(int fd, bool blocking)
{
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

} // namespace

CFileSocket::CFileSocket()
    : m_reports([this] { DeliverReports(); })
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
}

void CFileSocket::SetRequest(ISendFileWindow* window, std::vector<CString> paths, const CString& description)
{
    m_pSendWindow = window;
    m_paths = std::move(paths);
    m_names.clear();
    for (const CString& path : m_paths) {
        m_names.push_back(ShownFileName(path));
    }
    m_strDescription = description;
}

void CFileSocket::ConnectTo(const CString& address, unsigned port)
{
    Create(0, SOCK_STREAM, FD_ALL_EVENTS);
    const int on = 1;
    // Lock-step chunks must not wait for a delayed acknowledgement.
    SetSockOpt(TCP_NODELAY, &on, sizeof on, IPPROTO_TCP);
    WatchForVanishedPeer(*this);
    if (!Connect(address, port) && WSAGetLastError() != WSAEWOULDBLOCK) {
        OnConnect(WSAGetLastError());
    }
}

void CFileSocket::OnConnect(int errorCode)
{
    // Refused, unreachable, or a host that is gone: the request cannot be made.
    if (errorCode != 0) {
        if (m_pSendWindow) {
            m_pSendWindow->OnDeclinedWithoutReason();
        }
        return;
    }
    const IMainWindow* mainWindow = AfxGetMainWnd();
    // Names and description go as the receiver reads them; the window checked the names so.
    unsigned port = 0;
    GetPeerName(m_strAddress, port);
    const WireSpeech speech = PeerSpeech(m_strAddress);
    m_wireNames.clear();
    for (const CString& path : m_paths) {
        m_wireNames.push_back(WireFileName(path, speech));
    }
    m_strWireDescription = EncodeWireText(m_strDescription, speech);
    SendText(mainWindow ? mainWindow->GetLocalName() : CString());
    m_nState = AwaitIdentityReply;
    m_sizes.assign(m_names.size(), 0);
    m_stamps.assign(m_names.size(), {});
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
    // Replies still waiting are handled first: the last one may decide the request.
    if (ReceiveRemaining(
            filewire::READ_SIZE, [this](const char* data, size_t length) { HandleMessage(data, length); })) {
        JudgeClose();
    }
}

void CFileSocket::JudgeClose()
{
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
            SendText(m_wireNames[m_nIndex]);
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
            SendText(m_strWireDescription);
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
            m_pSendWindow->OnDeclineReason(ReadFromPeer(m_strAddress, filewire::MessageText(data, length)));
        }
        return;
    case Transferring:
        // The worker reads the replies of the data phase.
        return;
    }
}

bool CFileSocket::SendSize()
{
    CString message;
    const auto size = MeasureFileToSend(PathOf(m_nIndex), message, &m_stamps[m_nIndex]);
    if (size && !filewire::AddToTotal(m_nTotal, *size)) {
        message = BATCH_TOO_LARGE_MESSAGE;
    }
    if (!message.empty()) {
        // The step is abandoned; the window ends the request.
        m_nState = Finished;
        if (m_pSendWindow) {
            m_pSendWindow->OnFileError(message);
        }
        return false;
    }
    m_sizes[m_nIndex] = *size;
    SendText(filewire::EncodeNumber(*size));
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
    // From here on the worker alone reads this connection.
    AsyncSelect(0);
    m_nIndex = 0;
    const bool opened = OpenCurrentFile();
    DeliverReports();
    if (alive.expired() || !opened) {
        return;
    }
    if (m_pProgressWindow) {
        m_pProgressWindow->SetBatchTotal(m_nTotal);
    }
    if (m_nTotal == 0) {
        Finish();
        return;
    }
    // The worker waits in blocking calls, which the stop ends by shutting the socket down.
    SetBlocking(m_hSocket, true);
    m_worker = std::thread([this] { WorkerProc(); });
}

bool CFileSocket::OpenCurrentFile()
{
    for (;;) {
        if (m_hFile >= 0) {
            ::close(m_hFile);
            m_hFile = -1;
        }
        m_nFileSent = 0;
        m_nAheadAt = 0;
        m_nAhead = 0;
        if (m_nIndex >= m_names.size()) {
            return true;
        }
        // Never waits on a pipe put at the name since its size went out; reading it then fails.
        m_hFile = ::open(PathOf(m_nIndex).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_hFile < 0) {
            const int error = errno;
            Post({Report::Failed, 0, 0, DescribeFileError(PathOf(m_nIndex), error)});
            return false;
        }
        struct stat status
        {
        };
        if (fstat(m_hFile, &status) != 0 || !IsFileAsOffered(m_stamps[m_nIndex], StampOf(status))) {
            const bool shorter = static_cast<std::uint64_t>(status.st_size) < m_stamps[m_nIndex].size;
            Post({Report::Failed, 0, 0, DescribeChangedFile(PathOf(m_nIndex), shorter)});
            return false;
        }
        Post({Report::File, m_sizes[m_nIndex], 0, m_names[m_nIndex]});
        if (m_sizes[m_nIndex] > 0) {
            return true;
        }
        // An empty file is passed over at once: no reply would ever move past it.
        ++m_nIndex;
    }
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

void CFileSocket::DeliverReports()
{
    const std::vector<Report> reports = m_reports.Take();
    const std::weak_ptr<char> alive = m_pAlive;
    for (const Report& report : reports) {
        switch (report.kind) {
        case Report::Progress:
        case Report::Finished:
            if (m_pProgressWindow) {
                m_pProgressWindow->ShowProgress(report.file, report.batch);
            }
            if (report.kind == Report::Finished) {
                Finish();
            }
            break;
        case Report::File:
            if (m_pProgressWindow) {
                m_pProgressWindow->ShowFile(report.text, report.file);
            }
            break;
        case Report::Closed:
            JudgeClose();
            break;
        case Report::Failed:
            ReportFileError(report.text);
            break;
        case Report::Total:
            break;
        }
        // Every end destroys this object through its window.
        if (alive.expired() || m_nState != Transferring) {
            return;
        }
    }
}

void CFileSocket::WorkerProc()
{
    m_pAhead.reset(new char[READ_AHEAD_SIZE]);
    for (;;) {
        const ChunkResult result = SendChunk();
        if (result == ChunkResult::Ended) {
            return;
        }
        // The reply normally ends the wait; without one, the next chunk follows after the pacing
        // interval. Once the whole batch is out, only the last reply or the close can end it.
        switch (AwaitReply(result == ChunkResult::BatchSent ? -1 : filewire::PACING_MS)) {
        case WaitResult::Reply:
            if (m_nBatchSent == m_nTotal) {
                Post({Report::Finished, m_nFileSent, m_nBatchSent, {}});
                return;
            }
            Post({Report::Progress, m_nFileSent, m_nBatchSent, {}});
            break;
        case WaitResult::TimedOut:
            break;
        case WaitResult::Closed:
            Post({Report::Closed, 0, 0, {}});
            return;
        case WaitResult::Stopped:
            return;
        }
    }
}

CFileSocket::ChunkResult CFileSocket::SendChunk()
{
    if (m_bStop) {
        return ChunkResult::Ended;
    }
    if (m_nBatchSent == m_nTotal) {
        return ChunkResult::BatchSent;
    }
    if (m_nFileSent == m_sizes[m_nIndex]) {
        // The file is out whole: the next chunk comes from the next file, never from both.
        ++m_nIndex;
        if (!OpenCurrentFile()) {
            return ChunkResult::Ended;
        }
    }
    if (!ReadAhead()) {
        return ChunkResult::Ended;
    }
    const size_t length
        = std::min<size_t>({filewire::CHUNK_SIZE, m_nAhead - m_nAheadAt, m_sizes[m_nIndex] - m_nFileSent});
    const char* chunk = m_pAhead.get() + m_nAheadAt;
    m_nAheadAt += length;
    if (!WriteWhole(chunk, length)) {
        if (!m_bStop) {
            // What the socket refused is not counted; the connection is gone.
            Post({Report::Closed, 0, 0, {}});
        }
        return ChunkResult::Ended;
    }
    return m_nBatchSent == m_nTotal ? ChunkResult::BatchSent : ChunkResult::Sent;
}

bool CFileSocket::ReadAhead()
{
    const size_t left = m_sizes[m_nIndex] - m_nFileSent;
    const size_t wanted = std::min<size_t>(filewire::CHUNK_SIZE, left);
    if (m_nAhead - m_nAheadAt >= wanted) {
        return true;
    }
    // What is left of the block moves to its front, so that a chunk never ends at a block's end
    // rather than at the file's.
    const size_t kept = m_nAhead - m_nAheadAt;
    std::memmove(m_pAhead.get(), m_pAhead.get() + m_nAheadAt, kept);
    m_nAheadAt = 0;
    m_nAhead = kept;
    // A file that grew since its size went out is read only up to that size.
    const size_t room = std::min(READ_AHEAD_SIZE - kept, left - kept);
    const ssize_t got = ::pread(m_hFile, m_pAhead.get() + kept, room, static_cast<off_t>(m_nFileSent + kept));
    const int error = errno;
    if (got > 0) {
        m_nAhead += static_cast<size_t>(got);
    }
    if (got < 0 || m_nAhead == 0) {
        // Unreadable, or shorter than announced: padding would send bytes that are not the file.
        const CString path = PathOf(m_nIndex);
        Post({Report::Failed, 0, 0,
            got < 0 ? DescribeFileError(path, error) : DescribeChangedFile(path, true)});
        return false;
    }
    return true;
}

bool CFileSocket::WriteWhole(const char* data, size_t length)
{
    while (length > 0) {
        if (m_bStop) {
            return false;
        }
        // Blocks while the socket's buffer is full; the stop's shutdown ends the wait.
        const ssize_t sent = ::send(m_hSocket, data, length, MSG_NOSIGNAL);
        if (sent > 0) {
            m_nFileSent += static_cast<std::uint32_t>(sent);
            m_nBatchSent += static_cast<std::uint32_t>(sent);
            data += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
    return true;
}

CFileSocket::WaitResult CFileSocket::AwaitReply(int timeoutMs)
{
    using namespace std::chrono;
    std::optional<steady_clock::time_point> deadline;
    if (timeoutMs >= 0) {
        deadline = steady_clock::now() + milliseconds(timeoutMs);
    }
    for (;;) {
        // A blocking read, so that an exchange costs one call. Its time limit stays at the progress
        // interval while the pacing leaves more, so that it is rarely set again: held progress
        // goes out when that interval is over, replies or not.
        microseconds wait {0};
        if (deadline || m_reports.HasHeldProgress()) {
            wait = CReportQueue::PROGRESS_INTERVAL;
        }
        if (deadline) {
            const auto left = ceil<microseconds>(*deadline - steady_clock::now());
            if (left <= microseconds::zero()) {
                return WaitResult::TimedOut;
            }
            wait = std::min(wait, left);
        }
        SetReceiveTimeout(wait);
        // One read is one reply, whatever it holds: the receiver answers each of its reads.
        char reply[filewire::READ_SIZE];
        const ssize_t received = ::recv(m_hSocket, reply, sizeof reply, 0);
        const int error = errno;
        if (m_bStop) {
            return WaitResult::Stopped;
        }
        if (received > 0) {
            return WaitResult::Reply;
        }
        if (received < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            if (m_reports.HasHeldProgress() && steady_clock::now() >= m_reports.NextProgress()) {
                m_reports.FlushHeldProgress();
            }
            continue;
        }
        if (received < 0 && error == EINTR) {
            continue;
        }
        return WaitResult::Closed;
    }
}

void CFileSocket::SetReceiveTimeout(std::chrono::microseconds timeout)
{
    if (timeout == m_receiveTimeout) {
        return;
    }
    timeval limit {};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000000);
    limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000000);
    setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    m_receiveTimeout = timeout;
}

void CFileSocket::StopWorker()
{
    m_bStop = true;
    if (m_worker.joinable()) {
        // Ends the worker's blocking send or receive at once; the receiver sees the end now.
        ::shutdown(m_hSocket, SHUT_RDWR);
        m_worker.join();
        SetBlocking(m_hSocket, false);
    }
}
