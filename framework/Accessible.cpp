#include "framework/Accessible.h"

#include "framework/Dialog.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAbstractItemView>
#include <QComboBox>

namespace {
// On Linux Qt names a drop-down list after its current entry, so the peer list would be named
// after whichever peer is selected; its own name comes first here, and the entry is its value.
class CNamedComboBoxAccessible : public QAccessibleWidget
{
public:
    explicit CNamedComboBoxAccessible(QComboBox* combo)
        : QAccessibleWidget(combo, QAccessible::ComboBox)
    {
        addControllingSignal(QStringLiteral("activated(int)"));
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value) {
            return Combo()->currentText();
        }
        return QAccessibleWidget::text(t);
    }

    // The entries, as Qt's own description of a drop-down list shows them.
    int childCount() const override { return 1; }
    QAccessibleInterface* child(int index) const override
    {
        return index == 0 ? QAccessible::queryAccessibleInterface(Combo()->view()) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return child && child->object() == Combo()->view() ? 0 : -1;
    }

    QStringList actionNames() const override
    {
        return QStringList{showMenuAction()} + QAccessibleWidget::actionNames();
    }
    void doAction(const QString& actionName) override
    {
        if (actionName == showMenuAction() || actionName == pressAction()) {
            Combo()->showPopup();
        } else {
            QAccessibleWidget::doAction(actionName);
        }
    }

private:
    QComboBox* Combo() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* Describe(const QString&, QObject* object)
{
    if (auto* combo = qobject_cast<QComboBox*>(object); combo && !combo->isEditable()
        && !combo->accessibleName().isEmpty()) {
        return new CNamedComboBoxAccessible(combo);
    }
    // Qt's AT-SPI bridge passes on no alert events: the role is what makes a screen reader
    // announce a window that a peer opened.
    if (auto* dialog = qobject_cast<CDialog*>(object); dialog && dialog->IsOpenedByPeer()) {
        return new QAccessibleWidget(dialog, QAccessible::AlertMessage);
    }
    return nullptr;
}
} // namespace

void InstallAccessibleRoles()
{
    QAccessible::installFactory(Describe);
}
