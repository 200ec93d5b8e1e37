#include "app/Automation.h"

#include "net/IdleSweep.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>

#include <memory>

CAutomation* CAutomation::StartFromEnvironment(QObject* parent)
{
    const QString path = qEnvironmentVariable("QUORVANE_AUTOMATION");
    return path.isEmpty() ? nullptr : new CAutomation(path, parent);
}

CAutomation::CAutomation(const QString& path, QObject* parent)
    : QObject(parent)
    , m_pServer(new QLocalServer(this))
{
    QLocalServer::removeServer(path);
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    m_pServer->listen(path);
    connect(m_pServer, &QLocalServer::newConnection, this, &CAutomation::OnConnection);
}

void CAutomation::ApplyTestSettings()
{
    IdleLimits limits = GetIdleLimits();
    bool ok = false;
    if (const int timeout = qEnvironmentVariableIntValue("QUORVANE_IDLE_TIMEOUT_MS", &ok);
        ok && timeout > 0) {
        limits.timeout = std::chrono::milliseconds(timeout);
    }
    if (const int sweep = qEnvironmentVariableIntValue("QUORVANE_IDLE_SWEEP_MS", &ok); ok && sweep > 0) {
        limits.sweepInterval = std::chrono::milliseconds(sweep);
    }
    SetIdleLimits(limits);
}

QString CAutomation::Escape(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    escaped.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return escaped;
}

QString CAutomation::Unescape(const QString& text)
{
    QString plain;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\\') && i + 1 < text.size()) {
            const QChar next = text[++i];
            plain += next == QLatin1Char('n') ? QChar('\n') : next == QLatin1Char('r') ? QChar('\r') : next;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

void CAutomation::OnConnection()
{
    while (QLocalSocket* client = m_pServer->nextPendingConnection()) {
        connect(client, &QLocalSocket::readyRead, this, [this, client] { OnReadyRead(client); });
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    }
}

void CAutomation::OnReadyRead(QLocalSocket* client)
{
    while (client->canReadLine()) {
        const QString request = QString::fromUtf8(client->readLine()).chopped(1);
        client->write((Execute(request) + QLatin1Char('\n')).toUtf8());
    }
}

QWidget* CAutomation::FindWindow(const QString& id) const
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && QString::number(reinterpret_cast<quintptr>(window), 16) == id) {
            return window;
        }
    }
    return nullptr;
}

namespace {
QString ButtonText(const QAbstractButton* button)
{
    return button->text().remove(QLatin1Char('&'));
}

QAbstractButton* FindButton(QWidget* window, const QString& name)
{
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
        if (button->objectName() == name || ButtonText(button) == name) {
            return button;
        }
    }
    return nullptr;
}

QString Dump(QWidget* window)
{
    QStringList lines;
    if (auto* box = qobject_cast<QMessageBox*>(window)) {
        lines << QStringLiteral("message\t\t%1").arg(CAutomation::Escape(box->text()));
    }
    for (QWidget* child : window->findChildren<QWidget*>()) {
        const QString name = child->objectName();
        if (auto* label = qobject_cast<QLabel*>(child); label && !label->text().isEmpty()) {
            lines << QStringLiteral("label\t%1\t%2").arg(name, CAutomation::Escape(label->text()));
        } else if (auto* edit = qobject_cast<QPlainTextEdit*>(child)) {
            lines << QStringLiteral("edit\t%1\t%2").arg(name, CAutomation::Escape(edit->toPlainText()));
        } else if (auto* line = qobject_cast<QLineEdit*>(child);
                   line && !qobject_cast<QComboBox*>(child->parent())) {
            lines << QStringLiteral("edit\t%1\t%2").arg(name, CAutomation::Escape(line->text()));
        } else if (auto* combo = qobject_cast<QComboBox*>(child)) {
            QStringList items;
            for (int i = 0; i < combo->count(); ++i) {
                items << CAutomation::Escape(combo->itemText(i));
            }
            lines << QStringLiteral("list\t%1\t%2\t%3")
                         .arg(name)
                         .arg(combo->currentIndex())
                         .arg(items.join('\t'));
        } else if (auto* button = qobject_cast<QAbstractButton*>(child); button && button->isVisible()) {
            lines << QStringLiteral("button\t%1\t%2\t%3")
                         .arg(name, ButtonText(button), button->isEnabled() ? "enabled" : "disabled");
        } else if (auto* bar = qobject_cast<QProgressBar*>(child)) {
            lines << QStringLiteral("progress\t%1\t%2\t%3").arg(name).arg(bar->value()).arg(bar->maximum());
        }
    }
    return lines.join('\n');
}
} // namespace

QString CAutomation::Drop(QWidget* window, const QStringList& uris)
{
    // What a file manager offers: the addresses, and the same as text.
    auto data = std::make_shared<QMimeData>();
    data->setData(QStringLiteral("text/uri-list"),
        (uris.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
    data->setText(uris.join('\n'));
    const QPointF centre = QRectF(window->rect()).center();
    QDragEnterEvent enter(centre.toPoint(), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &enter);
    QDragMoveEvent move(centre.toPoint(), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted()) {
        QApplication::sendEvent(window, &move);
    }
    if (!enter.isAccepted() || !move.isAccepted()) {
        QDragLeaveEvent leave;
        QApplication::sendEvent(window, &leave);
        return QStringLiteral("refused\n");
    }
    // After the reply, as a click: the drop may open windows and questions.
    QTimer::singleShot(0, window, [window, data, centre] {
        QDropEvent drop(centre, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &drop);
    });
    return QStringLiteral("accepted\n");
}

QString CAutomation::Execute(const QString& request)
{
    const QStringList words = request.split(QLatin1Char(' '));
    const QString command = words.value(0);
    if (command == QLatin1String("windows")) {
        QStringList lines;
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window->isVisible() && window->isWindow() && !window->windowFlags().testFlag(Qt::Popup)) {
                lines << QStringLiteral("%1\t%2\t%3")
                             .arg(QString::number(reinterpret_cast<quintptr>(window), 16),
                                 QString::fromLatin1(window->metaObject()->className()),
                                 Escape(window->windowTitle()));
            }
        }
        return lines.isEmpty() ? QString() : lines.join('\n') + QLatin1Char('\n');
    }
    QWidget* window = FindWindow(words.value(1));
    if (!window) {
        return QStringLiteral("error no such window\n");
    }
    if (command == QLatin1String("dump")) {
        const QString dump = Dump(window);
        return dump.isEmpty() ? QString() : dump + QLatin1Char('\n');
    }
    const QString name = words.value(2);
    if (command == QLatin1String("click")) {
        QAbstractButton* button = FindButton(window, words.mid(2).join(' '));
        if (!button || !button->isEnabled()) {
            return QStringLiteral("error no such button\n");
        }
        // After the reply: the click may open a modal loop of its own.
        QTimer::singleShot(0, button, &QAbstractButton::click);
        return {};
    }
    if (command == QLatin1String("set")) {
        const QString text = Unescape(words.mid(3).join(' '));
        if (auto* edit = window->findChild<QPlainTextEdit*>(name)) {
            edit->setFocus();
            edit->selectAll();
            edit->insertPlainText(text);
            return {};
        }
        if (auto* line = window->findChild<QLineEdit*>(name)) {
            line->setFocus();
            line->selectAll();
            line->insert(text);
            return {};
        }
        return QStringLiteral("error no such text box\n");
    }
    if (command == QLatin1String("select")) {
        auto* combo = window->findChild<QComboBox*>(name);
        const int index = words.value(3).toInt();
        if (!combo || index < -1 || index >= combo->count()) {
            return QStringLiteral("error no such entry\n");
        }
        combo->setCurrentIndex(index);
        emit combo->activated(index);
        return {};
    }
    if (command == QLatin1String("drop")) {
        return Drop(window, words.mid(2));
    }
    if (command == QLatin1String("key")) {
        const QString key = words.value(2);
        QTimer::singleShot(0, window, [window, key] {
            if (key == QLatin1String("Close")) {
                window->close();
                return;
            }
            QKeyEvent press(QEvent::KeyPress,
                key == QLatin1String("Escape") ? Qt::Key_Escape : Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(window, &press);
        });
        return {};
    }
    return QStringLiteral("error unknown command\n");
}
