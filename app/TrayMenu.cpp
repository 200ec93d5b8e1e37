#include "app/TrayMenu.h"

#include <algorithm>

namespace {
TrayMenuItem Command(unsigned id, const CString& text, bool enabled = true)
{
    TrayMenuItem item;
    item.id = id;
    item.text = text;
    item.enabled = enabled;
    return item;
}

TrayMenuItem Separator()
{
    TrayMenuItem item;
    item.type = TrayMenuItem::Type::Separator;
    return item;
}

TrayMenuItem PeerSubmenu(const CString& text, TrayCommandKind kind, const std::vector<CString>& peerNames)
{
    TrayMenuItem submenu;
    submenu.type = TrayMenuItem::Type::Submenu;
    submenu.text = text;
    const unsigned base = TRAY_FIRST_COMMAND + static_cast<unsigned>(kind);
    if (peerNames.empty()) {
        submenu.children.push_back(Command(base, "None", false));
    }
    const size_t listed = std::min<size_t>(peerNames.size(), TRAY_MAX_PEERS);
    for (unsigned position = 0; position < listed; ++position) {
        submenu.children.push_back(Command(base + 10 * position, peerNames[position]));
    }
    return submenu;
}
} // namespace

std::vector<TrayMenuItem> BuildTrayMenu(bool minimised, const std::vector<CString>& peerNames)
{
    return {
        Command(TRAY_FIRST_COMMAND, minimised ? "Open Quorvane" : "Hide Quorvane"),
        Separator(),
        Command(TRAY_FIRST_COMMAND + 1, "Announce", !peerNames.empty()),
        PeerSubmenu("Message", TrayCommandKind::Message, peerNames),
        PeerSubmenu("Chat", TrayCommandKind::Chat, peerNames),
        PeerSubmenu("File", TrayCommandKind::File, peerNames),
        Separator(),
        Command(TRAY_FIRST_COMMAND + 5, "Close"),
    };
}

std::optional<TrayCommand> DecodeTrayCommand(unsigned id)
{
    if (id < TRAY_FIRST_COMMAND || id > TRAY_LAST_COMMAND) {
        return std::nullopt;
    }
    const unsigned kind = (id - TRAY_FIRST_COMMAND) % 10;
    if (kind > static_cast<unsigned>(TrayCommandKind::Close)) {
        return std::nullopt;
    }
    return TrayCommand {static_cast<TrayCommandKind>(kind), (id - TRAY_FIRST_COMMAND) / 10};
}
