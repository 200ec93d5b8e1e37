#include "framework/StatusNotifierItem.h"

#include "framework/DBusMenuExporter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QImage>
#include <QtEndian>

#include <unistd.h>

namespace {
const QString WATCHER = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString ITEM_PATH = QStringLiteral("/StatusNotifierItem");
const QString MENU_PATH = QStringLiteral("/MenuBar");
// Several items in one process need names of their own.
int g_nInstances = 0;
} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const DBusImage& image)
{
    argument.beginStructure();
    argument << image.width << image.height << image.pixels;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusImage& image)
{
    argument.beginStructure();
    argument >> image.width >> image.height >> image.pixels;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusToolTip& toolTip)
{
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.image << toolTip.title << toolTip.description;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusToolTip& toolTip)
{
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.image >> toolTip.title >> toolTip.description;
    argument.endStructure();
    return argument;
}

CStatusNotifierItem::CStatusNotifierItem(
    const QIcon& icon, const QString& title, QMenu* menu, QObject* parent)
    : QObject(parent)
    , m_icon(icon)
    , m_pixmaps(ImagesOf(icon))
    , m_strTitle(title)
    , m_strToolTip(title)
    , m_pMenuExporter(new CDBusMenuExporter(menu, this))
{
    // The properties name the list by this name.
    qRegisterMetaType<DBusImageList>("DBusImageList");
    qDBusRegisterMetaType<DBusImage>();
    qDBusRegisterMetaType<DBusImageList>();
    qDBusRegisterMetaType<DBusToolTip>();
}

CStatusNotifierItem::~CStatusNotifierItem()
{
    if (m_bExported) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(ITEM_PATH);
        bus.unregisterObject(MENU_PATH);
        bus.unregisterService(m_strService);
    }
}

QString CStatusNotifierItem::Id() const
{
    return QCoreApplication::applicationName();
}

QDBusObjectPath CStatusNotifierItem::Menu() const
{
    return QDBusObjectPath(MENU_PATH);
}

DBusImageList CStatusNotifierItem::ImagesOf(const QIcon& icon)
{
    DBusImageList images;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        const QImage image
            = icon.pixmap(QSize(size, size), 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull()) {
            continue;
        }
        DBusImage entry {image.width(), image.height(), {}};
        entry.pixels.resize(static_cast<qsizetype>(image.width()) * image.height() * 4);
        auto* out = reinterpret_cast<uchar*>(entry.pixels.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                qToBigEndian(line[x], out);
                out += 4;
            }
        }
        images.push_back(std::move(entry));
    }
    return images;
}

void CStatusNotifierItem::Register()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    if (!m_bExported) {
        m_strService = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(getpid()).arg(++g_nInstances);
        if (!bus.registerObject(ITEM_PATH, this, QDBusConnection::ExportScriptableContents)
            || !bus.registerObject(MENU_PATH, m_pMenuExporter, QDBusConnection::ExportScriptableContents)) {
            bus.unregisterObject(ITEM_PATH);
            return;
        }
        bus.registerService(m_strService);
        m_bExported = true;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(WATCHER, QStringLiteral("/StatusNotifierWatcher"),
        WATCHER, QStringLiteral("RegisterStatusNotifierItem"));
    call << m_strService;
    auto* reply = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(reply, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        if (!finished->isError()) {
            emit registered();
        }
    });
}

void CStatusNotifierItem::SetIcon(const QIcon& icon)
{
    m_icon = icon;
    m_pixmaps = ImagesOf(icon);
    emit NewIcon();
}

void CStatusNotifierItem::SetToolTip(const QString& text)
{
    m_strToolTip = text;
    emit NewToolTip();
}

void CStatusNotifierItem::SetStatus(const QString& status)
{
    m_strStatus = status;
    emit NewStatus(status);
}

void CStatusNotifierItem::Activate(int, int)
{
    emit activated();
}

void CStatusNotifierItem::SecondaryActivate(int, int)
{
    emit secondaryActivated();
}

void CStatusNotifierItem::ContextMenu(int, int)
{
    emit contextMenuRequested();
}

void CStatusNotifierItem::Scroll(int, const QString&)
{
    // Nothing of ours scrolls.
}
