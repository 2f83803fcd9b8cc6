// The program's run, once, in a fixed order: the command line, the clip, the remote, the probe,
// the greeting, the detection loop, and the exit status.
#include <cstdio>

#include "alert_sound.h"
#include "clip_player.h"
#include "command_line.h"
#include "connection_probe.h"
#include "fall_detection.h"
#include "hid_access.h"
#include "message_box.h"
#include "process.h"
#include "wii_remote.h"

constexpr uint8_t ReportOnChange = 0x00;  // reporting flags: rumble off, reports when data change
constexpr uint8_t Led1 = 0x10;

static void WriteBanner() {
    std::printf("###########################################\n");
    std::printf("#                                         #\n");
    std::printf("#   Quillbramble-sentry Test version 0.1  #\n");
    std::printf("#                  build 2006.12.13       #\n");
    std::printf("#                                         #\n");
    std::printf("###########################################\n");
    std::printf("\n");
    std::printf("Usage:\n");
    std::printf("   Home button  ... Quit\n");
    std::printf("\n");
    // Seen before the loop begins, also when standard output is a pipe or a file.
    std::fflush(stdout);
}

static void ProbeAndDetect() {
    SetReportingMode(ReportOnChange, ButtonsAccelReport);
    if (ProbeConnection()) {
        PlayAlertSound();  // the clip doubles as the sign that the remote is ready
        WriteBanner();
        StopReaderThread();  // the probe's reader has read its last before the loop reads
        SetLeds(Led1);
        BeginWatching();
        RunFallDetection();
    } else {
        ShowMessage("Wii-Remote cannot open.");
        StopReaderThread();
    }
}

int main(int argc, char** argv, char**) {
    SetUpProcess();
    const int32_t early = ReadCommandLine(argc, argv);
    if (early != KeepRunning) return early;
    if (LoadAlertSound() != 0) {
        ShowMessage("Wav files are not found.");
        return 1;
    }
    // A fall alarm that cannot sound says so before it greets; the run goes on as it would.
    if (!AlertSoundPlayable()) ShowNotice(MuteNotice);
    int32_t status = 0;
    DeviceHandle = OpenHidHandle(WiiRemoteVendorId, WiiRemoteProductId);
    if (DeviceHandle == NoHidHandle) {
        ShowMessage("Wii-Remote not found.");
        status = 1;
    } else {
        ProbeAndDetect();
        CloseHidHandle(DeviceHandle);
    }
    CloseClipPlayer();
    return status;
}
