#pragma once

#include "framework/CString.h"
#include "framework/MessageBox.h"
#include "net/WindowQuota.h"

#include <QDialog>

#include <functional>
#include <utility>

class QComboBox;
class QEventLoop;
class QLabel;
class QLineEdit;
class QPlainTextEdit;

// A window laid out from a res/*.ui form, run modally (DoModal) or created modeless (Create).
// A modeless window releases its object once it is destroyed; windows still open when the
// program ends are destroyed with it (DestroyAllWindows).
class CDialog : public QDialog
{
    Q_OBJECT

public:
    // Who opens the window: the user, or a peer over the network while the user may be typing
    // elsewhere.
    enum class Opener {
        User,
        Peer,
    };

    explicit CDialog(QWidget* parent = nullptr, Opener opener = Opener::User);
    ~CDialog() override;

    // Runs the window until EndDialog; OnInitDialog runs first and OnDestroy after. Returns the
    // code given to EndDialog.
    int DoModal();
    // Creates the window modeless, without an owner, and shows it.
    bool Create();
    // Closes the window; a modeless window's object is released once control returns to the
    // event loop, so this is safe inside the object's own handlers, and never while a box or
    // file dialog the window waits for is still running (see NestedRun).
    void DestroyWindow();
    void EndDialog(int result);
    bool IsModeless() const { return m_bModeless; }
    bool IsOpenedByPeer() const { return m_eOpener == Opener::Peer; }

    // Moves the controls' contents into the members (true) or the members into the controls.
    bool UpdateData(bool bSaveAndValidate = true);

    // A message box owned by this window, waiting for the answer: for questions.
    int MessageBox(const CString& text, const CString& caption = {}, unsigned style = MB_OK);
    // An OK box owned by this window, shown without waiting; then runs once the user has
    // dismissed it (never if the window is destroyed first). A box a peer's doing opens leaves
    // the focus where it is.
    void MessageBoxThen(const CString& text, std::function<void()> then = {}, Opener opener = Opener::User);

    // The window counts among those the network opened (CWindowQuota) until it closes.
    void HoldWindowSlot(CWindowQuota::CSlot slot) { m_windowSlot = std::move(slot); }

    // Destroys every modeless window still open; the application calls it when its run ends.
    static void DestroyAllWindows();

    // Held while a message box or file dialog owned by a window runs its own event loop: the
    // window may be destroyed meanwhile (its peer left), but its object stays until the run is
    // over, so the handler that waited can still look at it. Null owners are allowed.
    class NestedRun
    {
    public:
        explicit NestedRun(QWidget* owner);
        ~NestedRun();
        NestedRun(const NestedRun&) = delete;
        NestedRun& operator=(const NestedRun&) = delete;

    private:
        CDialog* m_pDialog;
    };

protected:
    virtual bool OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    // Called once the window is gone, before the object is released.
    virtual void OnDestroy();
    virtual void DoDataExchange(bool bSaveAndValidate);

    // Escape and the close box reach OnCancel, Enter on the default button OnOK.
    void reject() override;
    void accept() override;

private:
    void Initialise();
    void GuardLabels();
    void MakeReadOnlyTextsReadable();

    const Opener m_eOpener;
    bool m_bModeless = false;
    bool m_bDestroyed = false;
    int m_nNestedRuns = 0;
    bool m_bReleasePending = false;
    QEventLoop* m_pRunLoop = nullptr;
    int m_nResult = IDCANCEL;
    CWindowQuota::CSlot m_windowSlot;
};

// Every window of the program is a top-level window of its own with a minimise and a close box,
// at its laid-out size.
void ApplyWindowFrame(QDialog* window);

// Data exchange between a control and a member, in the direction UpdateData asks for.
void DDX_Text(bool bSave, QLabel* control, CString& value);
void DDX_Text(bool bSave, QLineEdit* control, CString& value);
void DDX_Text(bool bSave, QPlainTextEdit* control, CString& value);
// The drop-down list's shown text, or the bytes its entry carries as data (a QByteArray); to the
// control it selects the first entry that begins with the value (letter case ignored) and leaves
// the control as it is when none does.
void DDX_CBString(bool bSave, QComboBox* control, CString& value);
