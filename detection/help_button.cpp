#include "help_button.h"

#include "alert_sound.h"
#include "event_delivery.h"
#include "remote_clock.h"
#include "wii_remote.h"

static int32_t HeldReports;  // in a row, up to HelpHoldReports
static bool AllClearOpen;    // since the last alarm, until its ok
static int64_t AlarmMs;

void TellOfPlay() {
    const int32_t went = LastPlay();
    if (went == PlayMuteSaid) RaiseEvent(NoSoundEvent);
    if (went == PlaySounded) TroubleOver(NoSoundEvent);
}

void AlarmSounded(const char* event) {
    TellOfPlay();
    RaiseEvent(event);
    AlarmMs = RemoteClockMs();
    AllClearOpen = true;
}

void WatchHelpButton() {
    if ((ButtonByte2 & AButton) != 0) {
        if (HeldReports < HelpHoldReports && ++HeldReports == HelpHoldReports) {
            PlayAlertSound();  // so that the person knows they were heard
            AlarmSounded(HelpEvent);
        }
        return;
    }
    const bool shortPress = HeldReports > 0 && HeldReports < HelpHoldReports;
    if (shortPress && AllClearOpen && RemoteClockMs() - AlarmMs <= AllClearMs) {
        AllClearOpen = false;
        RaiseEvent(OkEvent);
    }
    HeldReports = 0;
}
