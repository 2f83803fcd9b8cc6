#include "fall_detection.h"

#include "alert_sound.h"
#include "console_keys.h"
#include "fall_rules.h"
#include "wii_remote.h"

FallRule ActiveFallRule = FallRule::FreeFall;

// Waits for the next report, looking at the keyboard between waits so that ESC is noticed
// while the remote is silent. Returns false when a key came first: that wait was no pass.
static bool AwaitReport() {
    while (!ReadInputReport(KeyCheckMs))
        if (KeyPressWaiting()) return false;
    return true;
}

// The pass's verdict under the rule in force, on the readings the last report left.
static bool FallHeard(int32_t& RunLength, int32_t& Cooldown) {
    if (ActiveFallRule == FallRule::Worn) {
        // The worn rule counts its windows in accelerometer reports: others are no sample.
        if (InputReport[0] != ButtonsAccelReport) return false;
        return WornPass(ReadingInG(AccelX, ZeroGX, OneGX), ReadingInG(AccelY, ZeroGY, OneGY),
                        ReadingInG(AccelZ, ZeroGZ, OneGZ));
    }
    const uint8_t accel[3] = {AccelX, AccelY, AccelZ};
    const uint8_t zeroG[3] = {ZeroGX, ZeroGY, ZeroGZ};
    return FreeFallPass(RunLength, Cooldown, accel, zeroG);
}

void RunFallDetection() {
    int32_t RunLength = 0;
    int32_t Cooldown = 0;
    ResetWornRule();
    BeginConsoleKeys();
    for (;;) {
        if (KeyPressWaiting() && TakeKeyCode() == EscKeyCode) break;
        if (!AwaitReport()) continue;
        if (ButtonByte2 == QuitButtons) break;
        if (FallHeard(RunLength, Cooldown)) PlayAlertSound();
    }
    EndConsoleKeys();
}
