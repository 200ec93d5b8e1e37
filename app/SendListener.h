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
    explicit CSendListener(FilesHandler onFiles, QObject* parent = nullptr);
    ~CSendListener() override;
    CSendListener(const CSendListener&) = delete;
    CSendListener& operator=(const CSendListener&) = delete;

    // $XDG_RUNTIME_DIR/quorvane.sock, or empty, and what is wrong, without a usable
    // XDG_RUNTIME_DIR: unset, not absolute, or not a directory of this user's alone. Nobody else
    // may put a socket in the way there, or listen in the copy's place and learn the paths.
    static CString DefaultSocketPath(CString* problem = nullptr);

    // Start at the default path; when there is none, says so on stderr.
    bool StartForThisUser();

    // Listens at path unless a copy answers there already; a socket left by a copy that ended
    // without removing it is replaced, anything else in the way is left alone. Failing is no
    // reason to stop the run: it costs only the hand-over, and says so on stderr.
    bool Start(const CString& path);
    bool IsListening() const { return m_server.isListening(); }
    // Stops listening and removes the socket file (only a listening copy has one to remove);
    // requests not complete by then are dropped unanswered.
    void Close();
    std::size_t GetConnectionCount() const { return m_connections.size(); }

private:
    void OnNewConnection();
    void OnReadyRead(QLocalSocket* socket);
    void Drop(QLocalSocket* socket);

    FilesHandler m_onFiles;
    CString m_strPath;
    QLocalServer m_server;
    // Every connection accepted and not yet dropped; the listener owns the sockets.
    std::map<QLocalSocket*, CSendRequestParser> m_connections;
};
