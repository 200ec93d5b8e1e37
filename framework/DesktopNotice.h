#pragma once

#include <QString>

// A line for the desktop's notification server, for what the user must learn although no window
// of ours is in view. The body may be read as markup: give plain text, it is escaped here.
// Waiting makes sure it was handed over before a program that is about to end exits.
enum class NoticeDelivery { Wait, DontWait };
void ShowDesktopNotice(const QString& body, NoticeDelivery delivery);
