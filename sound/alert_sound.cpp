#include "alert_sound.h"

#include <cstring>

#include "clip_file.h"
#include "clip_player.h"
#include "message_box.h"
#include "wav_image.h"

uint8_t SoundClip[SoundClipBytes];
uint32_t SoundClipLoaded;

static bool PlayerOpened;
static bool MuteNoticeShown;  // since the last start that found an output
static int32_t LastPlayWent = PlaySounded;

int32_t LoadAlertSound() {
    const int32_t file = OpenClipFile(AlertClipFile);
    if (file == NoClipFile) return 1;
    // The player reads SoundClip on its own thread: a second load must not write under it.
    if (PlayerOpened) {
        CloseClipPlayer();
        PlayerOpened = false;
    }
    // Reading up to the limit takes the whole file when it is shorter, and works as well
    // for a file whose length cannot be told.
    const uint32_t previous = SoundClipLoaded;
    SoundClipLoaded = ReadClipFile(file, SoundClip, SoundClipMaxLoad);
    CloseClipFile(file);
    // A second, shorter load leaves nothing of the first behind.
    if (previous > SoundClipLoaded) {
        std::memset(SoundClip + SoundClipLoaded, 0, previous - SoundClipLoaded);
    }

    WavClip clip;
    if (ReadWavImage(SoundClip, SoundClipLoaded, &clip)) PlayerOpened = OpenClipPlayer(clip) != 0;
    MuteNoticeShown = false;
    return 0;
}

int32_t AlertSoundPlayable() {
    return PlayerOpened ? 1 : 0;
}

void PlayAlertSound() {
    LastPlayWent = PlayMute;
    if (StartClipPlayer() != 0) {
        MuteNoticeShown = false;
        LastPlayWent = PlaySounded;
    } else if (PlayerOpened && !MuteNoticeShown) {
        // The output was there at start-up and has gone since, as a sound server that ended.
        ShowNotice(MuteNotice);
        MuteNoticeShown = true;
        LastPlayWent = PlayMuteSaid;
    }
}

int32_t LastPlay() {
    return LastPlayWent;
}
