#include "fall_detection.h"

#include <climits>

#include "alert_sound.h"
#include "console_keys.h"
#include "event_delivery.h"
#include "help_button.h"
#include "wii_remote.h"

static bool InWindow(uint8_t reading, uint8_t zeroG) {
    return reading >= zeroG - WindowHalfWidth && reading <= zeroG + WindowHalfWidth;
}

// Waits for the next report, looking at the keyboard between waits so that ESC is noticed
// while the remote is silent. Returns false when a key came first: that wait was no pass.
static bool AwaitReport() {
    while (!ReadInputReport(KeyCheckMs))
        if (KeyPressWaiting()) return false;
    return true;
}

void RunFallDetection() {
    int32_t RunLength = 0;
    int32_t Cooldown = 0;
    BeginConsoleKeys();
    for (;;) {
        if (KeyPressWaiting() && TakeKeyCode() == EscKeyCode) break;
        if (!AwaitReport()) continue;
        if (ButtonByte2 == QuitButtons) break;
        WatchHelpButton();

        if (InWindow(AccelX, ZeroGX) && InWindow(AccelY, ZeroGY) && InWindow(AccelZ, ZeroGZ)) {
            // Held at its largest, a long run can never come round to RunToAlert again.
            if (RunLength < INT32_MAX) ++RunLength;
            if (RunLength == RunToAlert && Cooldown == 0) {
                PlayAlertSound();
                AlarmSounded(FallEvent);
                Cooldown = 1;
            }
        } else {
            RunLength = 0;
        }
        if (Cooldown > 0 && ++Cooldown > CooldownLimit) Cooldown = 0;
    }
    EndConsoleKeys();
}
