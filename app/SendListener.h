#pragma once

#include "app/SendRequestParser.h"
#include "framework/CString.h"

#include <QLocalServer>
#include <QObject>

#include <functional>
#include <map>
#include <vector>

class QLocalSocket;

// The running copy's end of `quorvane --send`: a local socket, for this user only, that takes
// requests of paths and hands each complete one to the main window. One copy per user listens;
// the others run without it.
class CSendListener : public QObject
{
    Q_OBJECT

public:
    // Connections beyond are closed at once; each gets this long for its request.
    static constexpr std::size_t MAX_CONNECTIONS = 16;
    static constexpr int REQUEST_TIME_LIMIT_MS = 10000;

    using FilesHandler = std::function<void(std::vector<CString> paths)>;
    // A second start of the program asks for the main window, with the launcher's startup id.
    using ShowHandler = std::function<void(const CString& startupId)>;
    explicit CSendListener(FilesHandler onFiles, ShowHandler onShow = {}, QObject* parent = nullptr);
    ~CSendListener() override;
    CSendListener(const CSendListener&) = delete;
    CSendListener& operator=(const CSendListener&) = delete;

    // $XDG_RUNTIME_DIR/quorvane.sock, or empty, and what is wrong, without a usable
    // XDG_RUNTIME_DIR: unset, not absolute, or not a directory of this user's alone. Nobody else
    // may put a socket in the way there, or listen in the copy's place and learn the paths.
    static CString DefaultSocketPath(CString* problem = nullptr);

    // Whether a copy answers at path (a quick look, under no lock).
    static bool IsCopyListening(const CString& path);

    // Start at the default path; when there is none, says so on stderr.
    bool StartForThisUser();

    // Listens at path unless a copy answers there already; a socket left by a copy that ended
    // without removing it is replaced, anything else in the way is left alone. Failing otherwise
    // is no reason to stop the run: it costs only the hand-over, and says so on stderr. The probe
    // and the listening happen under one lock, so of two copies starting at once one listens
    // and the other finds it.
    bool Start(const CString& path);
    bool IsListening() const { return m_server.isListening(); }
    // The last Start found a copy listening already.
    bool FoundRunningCopy() const { return m_bFoundRunningCopy; }
    const CString& GetPath() const { return m_strPath; }
    // Stops listening and removes the socket file (only a listening copy has one to remove);
    // requests not complete by then are dropped unanswered.
    void Close();
    std::size_t GetConnectionCount() const { return m_connections.size(); }

private:
    void OnNewConnection();
    void OnReadyRead(QLocalSocket* socket);
    void Drop(QLocalSocket* socket);

    FilesHandler m_onFiles;
    ShowHandler m_onShow;
    CString m_strPath;
    bool m_bFoundRunningCopy = false;
    QLocalServer m_server;
    // Every connection accepted and not yet dropped; the listener owns the sockets.
    std::map<QLocalSocket*, CSendRequestParser> m_connections;
};
