#include "framework/Dialog.h"

#include "framework/Accessible.h"
#include "framework/QtText.h"

#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <set>
#include <utility>

// Icons and layouts live in a static library, whose resources are registered by hand.
static void InitResources()
{
    Q_INIT_RESOURCE(quorvane);
}

namespace {
// The most room a label takes, however long its text.
constexpr int MAX_LABEL_WIDTH = 480;
constexpr int MAX_LABEL_LINES = 4;
// Modeless windows that are open; the application destroys the rest when its run ends.
std::set<CDialog*>& OpenWindows()
{
    static std::set<CDialog*> windows;
    return windows;
}
} // namespace

CDialog::CDialog(QWidget* parent, Opener opener)
    : QDialog(parent)
    , m_eOpener(opener)
{
    static const bool registered = (InitResources(), InstallAccessibleRoles(), true);
    Q_UNUSED(registered);
    // It must not take the keys the user is typing into another window.
    if (opener == Opener::Peer) {
        setAttribute(Qt::WA_ShowWithoutActivating);
    }
}

CDialog::~CDialog()
{
    OpenWindows().erase(this);
}

int CDialog::DoModal()
{
    Initialise();
    // Modal to its owner only, as a window run this way disables just its owner: the main
    // window's run must leave every other window usable. A local loop rather than exec(),
    // because hiding the window (to the tray) must not end the run.
    setWindowModality(parentWidget() ? Qt::WindowModal : Qt::NonModal);
    QEventLoop loop;
    m_pRunLoop = &loop;
    m_nResult = IDCANCEL;
    show();
    loop.exec(QEventLoop::DialogExec);
    m_pRunLoop = nullptr;
    hide();
    if (!m_bDestroyed) {
        m_bDestroyed = true;
        OnDestroy();
    }
    return m_nResult;
}

bool CDialog::Create()
{
    m_bModeless = true;
    OpenWindows().insert(this);
    Initialise();
    show();
    return true;
}

void CDialog::DestroyWindow()
{
    if (m_bDestroyed) {
        return;
    }
    m_bDestroyed = true;
    hide();
    m_windowSlot.Release();
    OnDestroy();
    if (m_bModeless) {
        OpenWindows().erase(this);
        if (m_nNestedRuns > 0) {
            m_bReleasePending = true;
        } else {
            deleteLater();
        }
    }
}

CDialog::NestedRun::NestedRun(QWidget* owner)
    : m_pDialog(qobject_cast<CDialog*>(owner))
{
    if (m_pDialog) {
        ++m_pDialog->m_nNestedRuns;
    }
}

CDialog::NestedRun::~NestedRun()
{
    if (m_pDialog && --m_pDialog->m_nNestedRuns == 0 && std::exchange(m_pDialog->m_bReleasePending, false)) {
        // Posted from the loop that runs the handler, so the release waits until it returns.
        m_pDialog->deleteLater();
    }
}

void CDialog::EndDialog(int result)
{
    if (m_bModeless) {
        DestroyWindow();
        return;
    }
    m_nResult = result;
    if (m_pRunLoop) {
        m_pRunLoop->quit();
    }
}

bool CDialog::UpdateData(bool bSaveAndValidate)
{
    DoDataExchange(bSaveAndValidate);
    return true;
}

int CDialog::MessageBox(const CString& text, const CString& caption, unsigned style)
{
    MessageBoxRequest request;
    request.text = text;
    request.caption = caption;
    request.style = style;
    request.owner = this;
    const NestedRun run(this);
    return ShowMessageBox(std::move(request));
}

void CDialog::MessageBoxThen(const CString& text, std::function<void()> then, Opener opener)
{
    MessageBoxRequest request;
    request.text = text;
    request.owner = this;
    request.byPeer = opener == Opener::Peer;
    ShowMessageBoxAsync(std::move(request), [then = std::move(then)](int) {
        if (then) {
            then();
        }
    });
}

void CDialog::DestroyAllWindows()
{
    while (!OpenWindows().empty()) {
        CDialog* window = *OpenWindows().begin();
        OpenWindows().erase(OpenWindows().begin());
        window->m_bDestroyed = true;
        window->OnDestroy();
        delete window;
    }
}

bool CDialog::OnInitDialog()
{
    UpdateData(false);
    return true;
}

void CDialog::OnOK()
{
    UpdateData(true);
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void CDialog::OnDestroy() { }

void CDialog::DoDataExchange(bool) { }

void CDialog::reject()
{
    OnCancel();
}

void CDialog::accept()
{
    OnOK();
}

void CDialog::Initialise()
{
    GuardLabels();
    MakeReadOnlyTextsReadable();
    OnInitDialog();
}

void CDialog::MakeReadOnlyTextsReadable()
{
    // What the user can only read must still be reachable with Tab and walked with the arrow
    // keys, or a screen reader never gets to it: read-only boxes, and the values their captions
    // name.
    const Qt::TextInteractionFlags readable = Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard;
    for (QPlainTextEdit* edit : findChildren<QPlainTextEdit*>()) {
        if (edit->isReadOnly()) {
            edit->setTextInteractionFlags(readable);
            edit->setFocusPolicy(Qt::StrongFocus);
        }
    }
    for (QLabel* caption : findChildren<QLabel*>()) {
        if (auto* value = qobject_cast<QLabel*>(caption->buddy())) {
            value->setTextInteractionFlags(readable);
            value->setFocusPolicy(Qt::StrongFocus);
        }
    }
}

void CDialog::GuardLabels()
{
    // Labels may show names and texts from the network: never let them render markup, nor let a
    // long one stretch a window of fixed size off the screen (what does not fit is cut off).
    for (QLabel* label : findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        label->setMaximumSize(MAX_LABEL_WIDTH, MAX_LABEL_LINES * label->fontMetrics().lineSpacing());
    }
}

void ApplyWindowFrame(QDialog* window)
{
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
        | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

void DDX_Text(bool bSave, QLabel* control, CString& value)
{
    if (bSave) {
        value = FromQString(control->text());
    } else {
        control->setText(ToQString(value));
    }
}

void DDX_Text(bool bSave, QLineEdit* control, CString& value)
{
    if (bSave) {
        value = FromQString(control->text());
    } else {
        control->setText(ToQString(value));
    }
}

void DDX_Text(bool bSave, QPlainTextEdit* control, CString& value)
{
    // Line breaks travel as CR LF; the widget keeps them as LF.
    if (bSave) {
        value = FromQString(control->toPlainText().replace(QLatin1Char('\n'), QLatin1String("\r\n")));
    } else {
        control->setPlainText(ToQString(value).replace(QLatin1String("\r\n"), QLatin1String("\n")));
    }
}

void DDX_CBString(bool bSave, QComboBox* control, CString& value)
{
    if (bSave) {
        // An entry's bytes, where it carries them, are the value: shown text does not always turn
        // back into the bytes it was made from.
        const QVariant bytes = control->currentData();
        if (control->currentIndex() < 0) {
            value.clear();
        } else if (bytes.typeId() == QMetaType::QByteArray) {
            const QByteArray data = bytes.toByteArray();
            value.assign(data.constData(), static_cast<size_t>(data.size()));
        } else {
            value = FromQString(control->currentText());
        }
        return;
    }
    // An entry's bytes find it; shown text may read differently from them.
    int index = control->findData(QByteArray(value.data(), static_cast<qsizetype>(value.size())));
    if (index < 0) {
        index = control->findText(ToQString(value), Qt::MatchStartsWith);
    }
    if (index >= 0) {
        control->setCurrentIndex(index);
    }
}
