#pragma once

#include <functional>

// The platform's default alert sound. The windows library installs the real sound at start-up;
// tests install a counter.
void MessageBeep();
void SetAlertSound(std::function<void()> sound);
