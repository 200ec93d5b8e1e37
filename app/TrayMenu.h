#pragma once

#include "framework/CString.h"

#include <optional>
#include <vector>

// The tray icon's popup menu as data: ids and texts, without widgets. A command id reads as
// 2000 + 10 * position + kind.
constexpr unsigned TRAY_ICON_ID = 100;
constexpr unsigned TRAY_FIRST_COMMAND = 2000;
constexpr unsigned TRAY_LAST_COMMAND = 10000;

enum class TrayCommandKind : unsigned {
    ShowOrHide = 0,
    Announce = 1,
    Message = 2,
    Chat = 3,
    File = 4,
    Close = 5,
};

// The main window takes ids up to 10000 only, so the peer submenus list the peers whose ids it
// takes, positions 0 to 799: an item that did nothing when chosen would be worse than none.
constexpr unsigned TRAY_MAX_PEERS
    = (TRAY_LAST_COMMAND - TRAY_FIRST_COMMAND - static_cast<unsigned>(TrayCommandKind::File)) / 10 + 1;
static_assert(TRAY_MAX_PEERS == 800);

struct TrayMenuItem
{
    enum class Type {
        Command,
        Separator,
        Submenu,
    };
    Type type = Type::Command;
    unsigned id = 0;
    CString text;
    bool enabled = true;
    std::vector<TrayMenuItem> children;
};

// The menu for a main window that is minimised (or not) and the peers in order of arrival, of
// which the first TRAY_MAX_PEERS are listed.
std::vector<TrayMenuItem> BuildTrayMenu(bool minimised, const std::vector<CString>& peerNames);

struct TrayCommand
{
    TrayCommandKind kind;
    unsigned position;
};

// The command an id stands for; none for ids the main window does not take (outside 2000 to
// 10000, or kinds 6 to 9).
std::optional<TrayCommand> DecodeTrayCommand(unsigned id);
