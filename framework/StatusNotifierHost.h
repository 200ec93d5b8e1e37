#pragma once

// Whether a panel that draws StatusNotifierItems is registered on the session bus, asked the way
// Qt asks when it makes its first tray icon: a watcher service that says a host is registered.
// Qt then makes a StatusNotifierItem; otherwise an XEmbed icon, and keeps that choice.
bool IsStatusNotifierHostRegistered();
