#include "framework/Alert.h"

#include <utility>

namespace {
std::function<void()>& AlertSound()
{
    static std::function<void()> sound;
    return sound;
}
} // namespace

void MessageBeep()
{
    if (AlertSound()) {
        AlertSound()();
    }
}

void SetAlertSound(std::function<void()> sound)
{
    AlertSound() = std::move(sound);
}
