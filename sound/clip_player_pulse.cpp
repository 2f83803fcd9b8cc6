// The clip player as built: through a PulseAudio server (PulseAudio itself, or PipeWire's
// pipewire-pulse) the clip plays from a stream that stays corked while no clip sounds, so
// that the server idles and its sink may suspend; whatever that server cannot take, or where
// none answers, plays through SDL (clip_player_sdl.h).
#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "clip_player.h"
#include "clip_player_sdl.h"
#include "process.h"

// The server is handed the clip ahead, up to this much at a time, and plays it on its own:
// a loaded machine cannot make it run dry mid-clip, as it did SDL's stream of one 23 ms buffer.
constexpr uint32_t QueueSeconds = 2;
constexpr uint32_t QueueMaxBytes = 1u << 20;  // a restart may queue as much again: within the server's 4 MiB
// The server asks for more in pieces this long (20 ms), and asks its sink for no more latency:
// a start is heard that much after the server has it.
constexpr uint32_t RequestsPerSecond = 50;
// Once the server has played the last of the clip, its sink still sounds what it rendered
// ahead; corking before that would cut it off.
constexpr pa_usec_t CorkDelayUs = 1000000;
constexpr pa_usec_t ConnectLimitUs = 5000000;  // for a server to answer at start-up

static bool UsingPulse;  // else SDL plays
static pa_mainloop* Loop;
static int WakeFd = -1;  // an eventfd that wakes the loop's thread for a start, or to quit
static std::thread LoopThread;

static pa_sample_spec Spec;
static pa_channel_map Channels;
static const uint8_t* ClipData;
static uint32_t ClipBytes;  // whole frames
static uint32_t QueueBytes;

// The loop thread's own while it runs.
static pa_context* Context;
static pa_stream* Stream;
static pa_time_event* CorkTimer;
static uint32_t Written;  // bytes of the clip handed to the server since its start
static bool Playing;      // uncorked for the clip
static bool Broken;       // the server has gone, or refused the stream: tried again at a start
static uint32_t StartsSeen;

static std::atomic<uint32_t> StartRequests;
static std::atomic<bool> Ready{false};  // a stream is there to play into
static std::atomic<bool> Quit{false};

static void Forget(pa_operation* operation) {
    if (operation != nullptr) pa_operation_unref(operation);
}

// The driver asked for with SDL_AUDIODRIVER, as SDL reads it: another one is SDL's to open.
static bool PulseWanted() {
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    return driver == nullptr || *driver == '\0' || std::strcmp(driver, "pulseaudio") == 0;
}

// The server's own formats, which it takes as the clip holds them; false for the others
// (float64 and ADPCM, which SDL converts).
static bool ChooseFormat(const WavClip& clip) {
    const uint32_t sampleBytes = (clip.bitsPerSample + 7u) / 8u;
    if (clip.blockAlign != clip.channels * sampleBytes || clip.channels > MaxChannels) return false;
    if (clip.sampleRate < MinRateHz || clip.sampleRate > MaxRateHz) return false;
    Spec.format = PA_SAMPLE_INVALID;
    if (clip.encoding == WavPcm && sampleBytes == 1) Spec.format = PA_SAMPLE_U8;
    if (clip.encoding == WavPcm && sampleBytes == 2) Spec.format = PA_SAMPLE_S16LE;
    if (clip.encoding == WavPcm && sampleBytes == 3) Spec.format = PA_SAMPLE_S24LE;
    if (clip.encoding == WavPcm && sampleBytes == 4) Spec.format = PA_SAMPLE_S32LE;
    if (clip.encoding == WavFloat && sampleBytes == 4) Spec.format = PA_SAMPLE_FLOAT32LE;
    if (clip.encoding == WavALaw && sampleBytes == 1) Spec.format = PA_SAMPLE_ALAW;
    if (clip.encoding == WavMuLaw && sampleBytes == 1) Spec.format = PA_SAMPLE_ULAW;
    Spec.rate = clip.sampleRate;
    Spec.channels = uint8_t(clip.channels);
    pa_channel_map_init_extend(&Channels, Spec.channels, PA_CHANNEL_MAP_WAVEEX);
    return pa_sample_spec_valid(&Spec) != 0;
}

static void WriteClip(size_t wanted) {
    const size_t frameBytes = pa_frame_size(&Spec);
    size_t bytes = ClipBytes - Written;
    if (bytes > wanted) bytes = wanted - wanted % frameBytes;
    if (bytes == 0) return;
    // A start's first piece goes where the server reads next, in place of anything left there.
    const pa_seek_mode_t at = Written == 0 ? PA_SEEK_RELATIVE_ON_READ : PA_SEEK_RELATIVE;
    if (pa_stream_write(Stream, ClipData + Written, bytes, nullptr, 0, at) == 0) Written += uint32_t(bytes);
}

static void PlayFromStart() {
    StartsSeen = StartRequests.load();
    Forget(pa_stream_flush(Stream, nullptr, nullptr));
    Written = 0;
    WriteClip(QueueBytes);
    if (!Playing) Forget(pa_stream_cork(Stream, 0, nullptr, nullptr));
    Playing = true;
    pa_context_rttime_restart(Context, CorkTimer, PA_USEC_INVALID);
}

static void OnMoreWanted(pa_stream*, size_t bytes, void*) {
    if (Playing) WriteClip(bytes);
}

static void OnRanDry(pa_stream*, void*) {
    if (Playing && Written == ClipBytes) pa_context_rttime_restart(Context, CorkTimer, pa_rtclock_now() + CorkDelayUs);
}

// Corks the stream if it has run dry at the end of the clip: a report of running dry that
// crossed a restart on its way is no end. (pipewire-pulse leaves its read index a few frames
// short of the end, so it is no sign.)
static void OnPlayedSoFar(pa_stream* stream, int known, void*) {
    const pa_timing_info* played = pa_stream_get_timing_info(stream);
    if (!Playing) return;
    if (known && played != nullptr && Written == ClipBytes && !played->playing) {
        Forget(pa_stream_cork(stream, 1, nullptr, nullptr));
        Playing = false;
    } else {
        pa_context_rttime_restart(Context, CorkTimer, pa_rtclock_now() + CorkDelayUs);
    }
}

static void OnCorkTime(pa_mainloop_api*, pa_time_event*, const struct timeval*, void*) {
    if (Playing) Forget(pa_stream_update_timing_info(Stream, OnPlayedSoFar, nullptr));
}

static void OnStreamState(pa_stream* stream, void*) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        Ready = true;
        if (StartRequests.load() != StartsSeen) PlayFromStart();  // asked for while it connected
    } else if (!PA_STREAM_IS_GOOD(state)) {
        Ready = false;
        Broken = true;
        Playing = false;
    }
}

// Created corked: the server asks for data at once, but neither plays nor keeps its sink up.
static bool OpenStream() {
    Stream = pa_stream_new(Context, MixerStreamName, &Spec, &Channels);
    if (Stream == nullptr) return false;
    pa_stream_set_state_callback(Stream, OnStreamState, nullptr);
    pa_stream_set_write_callback(Stream, OnMoreWanted, nullptr);
    pa_stream_set_underflow_callback(Stream, OnRanDry, nullptr);
    pa_buffer_attr queue;
    queue.maxlength = uint32_t(-1);  // the server's own
    queue.tlength = QueueBytes;
    queue.prebuf = uint32_t(pa_frame_size(&Spec));  // plays from the first frame there
    queue.minreq = uint32_t(pa_usec_to_bytes(PA_USEC_PER_SEC / RequestsPerSecond, &Spec));
    queue.fragsize = uint32_t(-1);
    const auto flags = pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_EARLY_REQUESTS);
    return pa_stream_connect_playback(Stream, nullptr, &queue, flags, nullptr, nullptr) == 0;
}

static void OnContextState(pa_context* context, void*) {
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        if (!OpenStream()) Broken = true;
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
        Ready = false;
        Broken = true;
        Playing = false;
    }
}

// Starts connecting; the stream follows once the server answers.
static void Connect() {
    Broken = false;
    Context = pa_context_new(pa_mainloop_get_api(Loop), MixerAppName);
    if (Context == nullptr) {
        Broken = true;
        return;
    }
    pa_context_set_state_callback(Context, OnContextState, nullptr);
    if (pa_context_connect(Context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) Broken = true;
}

static void Disconnect() {
    Ready = false;
    Playing = false;
    if (Stream != nullptr) {
        pa_stream_set_state_callback(Stream, nullptr, nullptr);
        pa_stream_disconnect(Stream);
        pa_stream_unref(Stream);
        Stream = nullptr;
    }
    if (Context != nullptr) {
        pa_context_set_state_callback(Context, nullptr, nullptr);
        pa_context_disconnect(Context);
        pa_context_unref(Context);
        Context = nullptr;
    }
}

static void OnWake(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void*) {
    eventfd_t count;
    eventfd_read(WakeFd, &count);
    if (Quit) {
        pa_mainloop_quit(Loop, 0);
        return;
    }
    if (StartRequests.load() == StartsSeen) return;
    if (Ready) {
        PlayFromStart();
    } else if (Broken) {  // tried again: the stream plays the clip once it is there
        Disconnect();
        Connect();
    }
}

// Runs the loop until the stream is ready or the connection has failed, within the limit.
static bool AwaitStream() {
    const pa_usec_t until = pa_rtclock_now() + ConnectLimitUs;
    while (!Ready && !Broken) {
        const pa_usec_t now = pa_rtclock_now();
        if (now >= until || pa_mainloop_prepare(Loop, int(until - now)) < 0 || pa_mainloop_poll(Loop) < 0 ||
            pa_mainloop_dispatch(Loop) < 0)
            return false;
    }
    return Ready;
}

static void FreeLoop() {
    Disconnect();
    if (Loop != nullptr) pa_mainloop_free(Loop);  // and its events
    Loop = nullptr;
    CorkTimer = nullptr;
    if (WakeFd >= 0) close(WakeFd);
    WakeFd = -1;
}

int32_t OpenClipPlayer(const WavClip& clip) {
    CloseClipPlayer();
    if (!PulseWanted() || !ChooseFormat(clip)) return OpenSdlClipPlayer(clip);
    ClipData = clip.image + clip.dataOffset;
    ClipBytes = clip.dataBytes;
    const size_t frameBytes = pa_frame_size(&Spec);
    size_t queue = pa_bytes_per_second(&Spec) * QueueSeconds;
    if (queue > QueueMaxBytes) queue = QueueMaxBytes;
    if (queue > ClipBytes) queue = ClipBytes;
    QueueBytes = uint32_t(queue > frameBytes ? queue - queue % frameBytes : frameBytes);
    Loop = pa_mainloop_new();
    WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    StartsSeen = StartRequests.load();
    if (Loop != nullptr) Connect();
    if (Loop == nullptr || WakeFd < 0 || !AwaitStream()) {
        FreeLoop();
        return OpenSdlClipPlayer(clip);  // ALSA, where no server answers
    }
    pa_mainloop_api* api = pa_mainloop_get_api(Loop);
    api->io_new(api, WakeFd, PA_IO_EVENT_INPUT, OnWake, nullptr);
    CorkTimer = api->time_new(api, nullptr, OnCorkTime, nullptr);
    BeginStartingThreads();
    LoopThread = std::thread([] { pa_mainloop_run(Loop, nullptr); });
    EndStartingThreads();
    UsingPulse = true;
    return 1;
}

int32_t StartClipPlayer() {
    if (!UsingPulse) return StartSdlClipPlayer();
    StartRequests.fetch_add(1);
    eventfd_write(WakeFd, 1);
    return Ready ? 1 : 0;
}

void CloseClipPlayer() {
    if (!UsingPulse) {
        CloseSdlClipPlayer();
        return;
    }
    Quit = true;
    eventfd_write(WakeFd, 1);
    LoopThread.join();
    Quit = false;
    FreeLoop();
    UsingPulse = false;
}
