#include "transfer/FileListenSocket.h"

#include "chat/DeclineWindow.h"
#include "framework/Alert.h"
#include "transfer/FileWindows.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
IFileWindowFactory* g_pFactory = nullptr;

bool WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}
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
    // Pending connections die with their listener's pool; the socket layer closes this one
    // afterwards.
    CloseFile();
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
        if (m_nBatchReceived < m_nTotal && m_pProgressWindow) {
            m_pProgressWindow->OnTerminated();
        }
        return;
    case Finished:
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
    case Receiving:
        Reply(filewire::REPLY_OK);
        Store(data, length);
        return;
    case DecisionPending:
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
        m_strPeer = filewire::MessageText(data, length);
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
    case AwaitNames:
        if (!filewire::IsSafeFileName(data, length)) {
            Discard();
            return;
        }
        Reply(filewire::REPLY_OK);
        m_names.emplace_back(data, length);
        if (++m_nIndex == m_nCount) {
            m_nIndex = 0;
            m_nState = AwaitSizes;
        }
        return;
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
        m_strDescription = filewire::MessageText(data, length);
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
    m_nIndex = 0;
    if (!OpenFromCurrent()) {
        return;
    }
    if (m_pProgressWindow) {
        m_pProgressWindow->SetBatchTotal(m_nTotal);
    }
    if (m_nTotal == 0) {
        Finish();
    }
}

void CFileListenSocket::DeclineFiles()
{
    Reply(filewire::DECLINE);
    m_nState = Declined;
}

bool CFileListenSocket::Store(const char* data, size_t length)
{
    while (length > 0 && m_nIndex < m_nCount) {
        const size_t piece = std::min<size_t>(length, m_sizes[m_nIndex] - m_nFileReceived);
        if (!WriteAll(m_hFile, data, piece)) {
            Fail(errno);
            return false;
        }
        data += piece;
        length -= piece;
        m_nFileReceived += static_cast<std::uint32_t>(piece);
        m_nBatchReceived += static_cast<std::uint32_t>(piece);
        if (m_pProgressWindow) {
            m_pProgressWindow->ShowProgress(m_nFileReceived, m_nBatchReceived);
        }
        if (m_nFileReceived == m_sizes[m_nIndex]) {
            CloseFile();
            ++m_nIndex;
            // Empty files that follow are created here, also after the last bytes of the batch.
            if (!OpenFromCurrent()) {
                return false;
            }
        }
        if (m_nBatchReceived == m_nTotal) {
            Finish();
            return false;
        }
    }
    // Bytes beyond the batch have no file to go to.
    return true;
}

bool CFileListenSocket::OpenFromCurrent()
{
    while (m_nIndex < m_nCount) {
        if (!OpenCurrentFile()) {
            return false;
        }
        if (m_sizes[m_nIndex] > 0) {
            return true;
        }
        CloseFile();
        ++m_nIndex;
    }
    return true;
}

bool CFileListenSocket::OpenCurrentFile()
{
    CloseFile();
    const CString path = m_strDirectory + m_names[m_nIndex];
    // A symbolic link standing at the name is not followed, and a pipe or device is refused.
    const int fd
        = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        Fail(errno);
        return false;
    }
    struct stat status
    {
    };
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        Fail(EINVAL);
        return false;
    }
    m_hFile = fd;
    m_nFileReceived = 0;
    if (m_pProgressWindow) {
        m_pProgressWindow->ShowFile(m_names[m_nIndex], m_sizes[m_nIndex]);
    }
    return true;
}

void CFileListenSocket::CloseFile()
{
    if (m_hFile >= 0) {
        ::close(m_hFile);
        m_hFile = -1;
    }
}

void CFileListenSocket::Fail(int errnoValue)
{
    // Nothing more is written, and no reply goes out: the window closes the connection first.
    CloseFile();
    m_nState = Finished;
    const CString message = DescribeFileError(m_strDirectory + m_names[m_nIndex], errnoValue);
    if (m_pProgressWindow) {
        m_pProgressWindow->OnTransferFailed(message);
    } else {
        Close();
    }
}

void CFileListenSocket::Finish()
{
    CloseFile();
    m_nState = Finished;
    if (m_pProgressWindow) {
        m_pProgressWindow->OnFinished();
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
