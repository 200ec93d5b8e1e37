#pragma once

// Lets accepted chat connections open the real request windows; the main window calls it once.
void RegisterChatWindows();
