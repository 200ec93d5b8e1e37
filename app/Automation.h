#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QWidget;

// A control socket through which end-to-end tests read and drive the windows of a running copy,
// without a display. Only present when QUORVANE_AUTOMATION names a socket path at start-up.
//
// Requests are single lines; each reply is zero or more lines and then an empty line:
//   windows                      one line per visible window: id, class, title
//   dump ID                      the window's controls: kind, object name, text (escaped)
//   click ID NAME                presses the button with that object name or text, after replying
//   set ID NAME TEXT             puts TEXT (escaped) into the text box with that object name
//   select ID NAME INDEX         selects an entry of a drop-down list, as the user would
//   key ID KEY                   sends Escape, Return or Close (the close box) to the window
//   drop ID URI...               drags text/uri-list onto the window's centre and drops it if the
//                                window accepts: replies accepted or refused
// Texts escape backslash, line feed and carriage return as \\, \n and \r.
class CAutomation : public QObject
{
    Q_OBJECT

public:
    // Starts listening when the environment asks for it; returns null otherwise.
    static CAutomation* StartFromEnvironment(QObject* parent);

    // Tests shorten the listeners' idle time-out and sweep interval with QUORVANE_IDLE_TIMEOUT_MS
    // and QUORVANE_IDLE_SWEEP_MS rather than wait them out.
    static void ApplyTestSettings();

    static QString Escape(const QString& text);
    static QString Unescape(const QString& text);

private:
    CAutomation(const QString& path, QObject* parent);
    void OnConnection();
    void OnReadyRead(QLocalSocket* client);
    QString Execute(const QString& request);
    static QString Drop(QWidget* window, const QStringList& uris);
    QWidget* FindWindow(const QString& id) const;

    QLocalServer* m_pServer = nullptr;
};
