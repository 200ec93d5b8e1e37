#pragma once

#include <QIcon>

// The program's icons by name ("quorvane", "message", "chat", "file"): drawn pixel by pixel for
// 16 and 32 pixels, where a scaled drawing would blur, and drawn from the SVG for larger sizes.
QIcon LoadIcon(const char* name);
