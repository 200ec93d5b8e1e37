#pragma once

#include "chat/ChatWindow.h"
#include "framework/Dialog.h"
#include "net/AsyncSocket.h"
#include "ui_ChatDialog.h"

#include <cstdint>
#include <deque>
#include <memory>

// "Chat": one two-person conversation after its request was accepted. Works with either end of
// the chat connection, which it owns and closes when the chat ends on this side.
class CChatDialog : public CDialog, public IChatWindow
{
    Q_OBJECT

public:
    // The transcript keeps the last lines only, so a long chat cannot fill the memory.
    static constexpr int TRANSCRIPT_MAX_LINES = 10000;

    // Opened by the peer when it accepts our request, by the user when we accept its.
    explicit CChatDialog(Opener opener = Opener::User);
    ~CChatDialog() override;

    // Takes ownership of the chat's connection; the caller points the connection at this window.
    void SetConnection(std::unique_ptr<CAsyncSocket> connection);
    bool HasConnection() const { return m_pSocket != nullptr; }

    void ShowReceived(const CString& text) override;
    void OnPeerLeft() override;

    CString m_strPeer;
    CString m_strTranscript;
    CString m_strHeader;
    CString m_strInput;

protected:
    void DoDataExchange(bool bSaveAndValidate) override;
    bool OnInitDialog() override;
    void OnCancel() override;
    void OnSendLine();
    void OnCloseChat();

private:
    void AppendText(const CString& text);
    void EndChat();
    // Tells the user the chat is over; opener says whose doing the box is.
    void ReportPeerLeft(Opener opener);
    // The connection broke: the lines the peer's computer never acknowledged are marked.
    void MarkUndeliveredLines();
    void MarkLine(std::uint64_t line);

    std::unique_ptr<CAsyncSocket> m_pSocket;
    // Lines written to the transcript since the chat began; the transcript drops the oldest.
    std::uint64_t m_nLinesWritten = 0;
    struct SentLine
    {
        std::uint64_t line;
        std::size_t bytes;
    };
    // The latest lines sent, newest last, as far as they may still be unacknowledged.
    std::deque<SentLine> m_sentLines;
    Ui::ChatDialog ui;
};
