#include "clip_player_sdl.h"

#include <SDL.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "clip_player.h"
#include "process.h"

// How the audio callback turns the clip's frames into the output's.
enum ClipConversion : uint8_t { CopyFrames, Pcm24ToS32, Float64ToF32, ALawToS16, MuLawToS16 };

// Output buffers of 1/64 to 1/32 s (512 frames at the alert clip's 22050 Hz). A start waits
// for the next buffer and a sound server queues about one more, so through a server a fall
// is heard some 25 ms after it is seen, against 55 ms with buffers twice as long; those cost
// the audio thread, which wakes for every buffer also while silent, about 40 % less CPU.
constexpr uint32_t BuffersPerSecond = 32;
// Into a sound server the device is closed once the output has been this long without the
// clip: SDL feeds a paused device silence all the same, and a stream that runs keeps the
// server busy and its sink from suspending. A start opens it again, on the closer's thread.
constexpr uint32_t QuietSecondsBeforeClose = 1;
constexpr auto QuietCheckPeriod = std::chrono::milliseconds(500);  // while the device is open

static bool AudioInitialised;
static SDL_AudioDeviceID Device;  // 0: none; the closer's own while it runs
static uint8_t* DecodedClip;      // SDL's decoding of an ADPCM clip, else null
static SDL_AudioSpec Wanted;      // the device as opened, to open it again

// Set while no device is open; the callback only reads them.
static const uint8_t* PlaySource;
static uint32_t PlaySourceBytes;  // whole source frames
static uint32_t SourceFrameBytes;
static uint32_t OutputFrameBytes;
static uint32_t PlayChannels;
static uint8_t OutputSilence;
static ClipConversion Conversion;

// The callback's own, besides their setting before a device opens.
static uint32_t PlayPosition;  // source bytes played; PlaySourceBytes when silent
static uint32_t StartsSeen;

static std::atomic<uint32_t> StartRequests;
static std::atomic<uint32_t> QuietBuffers;  // written by the callback: buffers in a row without the clip

static bool CloseWhenQuiet;  // a sound server behind SDL
static std::thread Closer;
static std::mutex CloserLock;
static std::condition_variable CloserWake;
static bool CloserQuit;  // under CloserLock
static uint32_t QuietBuffersBeforeClose;
static std::atomic<bool> DeviceOpens{false};  // whether the device opened when last asked to

static void PutLe16(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
}

static void PutLe32(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
    at[2] = uint8_t(value >> 16);
    at[3] = uint8_t(value >> 24);
}

static void PutFloat(uint8_t* at, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutLe32(at, bits);
}

// ITU-T G.711 expansion to 16-bit linear.
static int32_t ALawSample(uint8_t code) {
    code ^= 0x55;  // even bits are sent inverted
    const int32_t segment = (code & 0x70) >> 4;
    int32_t value = (code & 0x0F) << 4;
    if (segment == 0) {
        value += 8;
    } else {
        value += 0x108;
        value <<= segment - 1;
    }
    return (code & 0x80) != 0 ? value : -value;
}

static int32_t MuLawSample(uint8_t code) {
    code = uint8_t(~code);  // sent inverted
    constexpr int32_t Bias = 0x84;
    const int32_t value = (((code & 0x0F) << 3) + Bias) << ((code & 0x70) >> 4);
    return (code & 0x80) != 0 ? Bias - value : value - Bias;
}

static float Float64Sample(const uint8_t* at) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | at[i];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (value != value) return 0.0f;  // NaN
    if (value < -1.0) return -1.0f;
    return value < 1.0 ? float(value) : 1.0f;
}

static void ConvertFrames(uint8_t* out, const uint8_t* from, uint32_t frames) {
    const uint32_t samples = frames * PlayChannels;
    switch (Conversion) {
    case CopyFrames:
        std::memcpy(out, from, size_t(frames) * SourceFrameBytes);
        break;
    case Pcm24ToS32:
        for (uint32_t i = 0; i < samples; ++i, from += 3, out += 4) {
            out[0] = 0;
            out[1] = from[0];
            out[2] = from[1];
            out[3] = from[2];
        }
        break;
    case Float64ToF32:
        for (uint32_t i = 0; i < samples; ++i, from += 8, out += 4) PutFloat(out, Float64Sample(from));
        break;
    case ALawToS16:
        for (uint32_t i = 0; i < samples; ++i, ++from, out += 2) PutLe16(out, uint32_t(ALawSample(*from)));
        break;
    case MuLawToS16:
        for (uint32_t i = 0; i < samples; ++i, ++from, out += 2) PutLe16(out, uint32_t(MuLawSample(*from)));
        break;
    }
}

// Runs on SDL's audio thread.
static void SDLCALL FillOutput(void*, Uint8* out, int outBytes) {
    const uint32_t starts = StartRequests.load(std::memory_order_relaxed);
    if (starts != StartsSeen) {
        StartsSeen = starts;
        PlayPosition = 0;
    }
    uint32_t frames = uint32_t(outBytes) / OutputFrameBytes;
    const uint32_t framesLeft = (PlaySourceBytes - PlayPosition) / SourceFrameBytes;
    if (frames > framesLeft) frames = framesLeft;
    ConvertFrames(out, PlaySource + PlayPosition, frames);
    PlayPosition += frames * SourceFrameBytes;
    const uint32_t written = frames * OutputFrameBytes;
    std::memset(out + written, OutputSilence, uint32_t(outBytes) - written);
    QuietBuffers.store(frames == 0 ? QuietBuffers.load(std::memory_order_relaxed) + 1 : 0, std::memory_order_relaxed);
}

// SDL's WAV loader allocates what a data chunk claims: it reads a header of our own, with
// the lengths clamped to the bytes at hand, followed by the clip's data where it lies.
constexpr uint32_t FmtCopyMaxBytes = 1046;  // SDL reads no more of a fmt (MS ADPCM coefficients)
static uint8_t DecodeHeader[12 + 8 + FmtCopyMaxBytes + 1 + 8];
static uint32_t DecodeHeaderBytes;
static const uint8_t* DecodeData;
static uint32_t DecodeDataBytes;
static int64_t DecodeAt;

static Sint64 SDLCALL DecodeStreamSize(SDL_RWops*) {
    return int64_t(DecodeHeaderBytes) + DecodeDataBytes;
}

static Sint64 SDLCALL DecodeStreamSeek(SDL_RWops* stream, Sint64 offset, int whence) {
    const int64_t size = DecodeStreamSize(stream);
    const int64_t base = whence == RW_SEEK_SET ? 0 : whence == RW_SEEK_CUR ? DecodeAt : size;
    // Past the end is allowed as in a file, but kept far from overflowing.
    if (offset < -base || offset > 2 * size - base) return -1;
    DecodeAt = base + offset;
    return DecodeAt;
}

static size_t SDLCALL DecodeStreamRead(SDL_RWops* stream, void* to, size_t size, size_t count) {
    const int64_t end = DecodeStreamSize(stream);
    if (size == 0 || DecodeAt >= end) return 0;
    const uint64_t whole = uint64_t(end - DecodeAt) / size;
    if (count > whole) count = size_t(whole);
    uint8_t* out = static_cast<uint8_t*>(to);
    uint64_t bytes = uint64_t(count) * size;
    if (DecodeAt < DecodeHeaderBytes) {
        uint64_t part = DecodeHeaderBytes - uint64_t(DecodeAt);
        if (part > bytes) part = bytes;
        std::memcpy(out, DecodeHeader + DecodeAt, part);
        out += part;
        bytes -= part;
        DecodeAt += int64_t(part);
    }
    std::memcpy(out, DecodeData + (DecodeAt - DecodeHeaderBytes), bytes);
    DecodeAt += int64_t(bytes);
    return count;
}

static size_t SDLCALL DecodeStreamWrite(SDL_RWops*, const void*, size_t, size_t) {
    return 0;
}

static int SDLCALL DecodeStreamClose(SDL_RWops*) {
    return 0;
}

static void PutId(uint8_t* at, const char* id) {
    std::memcpy(at, id, 4);
}

// Decodes an ADPCM clip once into DecodedClip; false when SDL cannot.
static bool DecodeClip(const WavClip& clip, SDL_AudioSpec* decoded) {
    const uint32_t fmtBytes = clip.fmtBytes < FmtCopyMaxBytes ? clip.fmtBytes : FmtCopyMaxBytes;
    const uint32_t fmtPadded = fmtBytes + (fmtBytes & 1);
    uint8_t* at = DecodeHeader;
    PutId(at, "RIFF");
    PutLe32(at + 4, 4 + 8 + fmtPadded + 8 + clip.dataBytes);
    PutId(at + 8, "WAVE");
    PutId(at + 12, "fmt ");
    PutLe32(at + 16, fmtBytes);
    std::memcpy(at + 20, clip.image + clip.fmtOffset, fmtBytes);
    at += 20 + fmtBytes;
    if (fmtPadded != fmtBytes) *at++ = 0;
    PutId(at, "data");
    PutLe32(at + 4, clip.dataBytes);
    DecodeHeaderBytes = uint32_t(at + 8 - DecodeHeader);
    DecodeData = clip.image + clip.dataOffset;
    DecodeDataBytes = clip.dataBytes;
    DecodeAt = 0;

    SDL_RWops stream{};
    stream.size = DecodeStreamSize;
    stream.seek = DecodeStreamSeek;
    stream.read = DecodeStreamRead;
    stream.write = DecodeStreamWrite;
    stream.close = DecodeStreamClose;
    stream.type = SDL_RWOPS_UNKNOWN;
    Uint32 decodedBytes = 0;
    if (SDL_LoadWAV_RW(&stream, 0, decoded, &DecodedClip, &decodedBytes) == nullptr) {
        DecodedClip = nullptr;
        return false;
    }
    PlaySource = DecodedClip;
    PlaySourceBytes = decodedBytes;
    return true;
}

// Chooses the output format and conversion for the clip; false when it cannot be played.
static bool ChooseOutput(const WavClip& clip, SDL_AudioSpec* want) {
    if (clip.channels == 0 || clip.channels > MaxChannels) return false;
    if (clip.sampleRate < MinRateHz || clip.sampleRate > MaxRateHz) return false;
    const uint32_t sampleBytes = (clip.bitsPerSample + 7u) / 8u;
    const bool packed = clip.blockAlign == clip.channels * sampleBytes;
    Conversion = CopyFrames;
    switch (clip.encoding) {
    case WavPcm:
        if (!packed) return false;
        if (sampleBytes == 1) {
            want->format = AUDIO_U8;
        } else if (sampleBytes == 2) {
            want->format = AUDIO_S16LSB;
        } else if (sampleBytes == 3) {
            want->format = AUDIO_S32LSB;
            Conversion = Pcm24ToS32;
        } else if (sampleBytes == 4) {
            want->format = AUDIO_S32LSB;
        } else {
            return false;
        }
        break;
    case WavFloat:
        if (!packed || (sampleBytes != 4 && sampleBytes != 8)) return false;
        want->format = AUDIO_F32LSB;
        if (sampleBytes == 8) Conversion = Float64ToF32;
        break;
    case WavALaw:
    case WavMuLaw:
        if (!packed || sampleBytes != 1) return false;
        want->format = AUDIO_S16LSB;
        Conversion = clip.encoding == WavALaw ? ALawToS16 : MuLawToS16;
        break;
    case WavMsAdpcm:
    case WavImaAdpcm:
        want->format = AUDIO_S16SYS;
        break;
    default:
        return false;
    }
    want->freq = int(clip.sampleRate);
    want->channels = Uint8(clip.channels);
    PlayChannels = clip.channels;
    PlaySource = clip.image + clip.dataOffset;
    PlaySourceBytes = clip.dataBytes;
    SourceFrameBytes = clip.blockAlign;
    OutputFrameBytes = clip.channels * (SDL_AUDIO_BITSIZE(want->format) / 8u);
    if (Conversion == CopyFrames) SourceFrameBytes = OutputFrameBytes;
    uint32_t frames = 1;
    while (frames * 2 <= clip.sampleRate / BuffersPerSecond) frames *= 2;
    want->samples = Uint16(frames);
    return true;
}

static void ForgetDecodedClip() {
    if (DecodedClip != nullptr) SDL_FreeWAV(DecodedClip);
    DecodedClip = nullptr;
}

static void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}

// ALSA prints its own errors on stderr, e.g. on every open when there is no sound card; it
// is handed a handler that says nothing. The library stays loaded so that the handler stays.
static void QuietenAlsa() {
    static void* alsa = SDL_LoadObject("libasound.so.2");
    if (alsa == nullptr) return;
    using ErrorHandler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetErrorHandler = int (*)(ErrorHandler);
    auto setHandler = reinterpret_cast<SetErrorHandler>(SDL_LoadFunction(alsa, "snd_lib_error_set_handler"));
    if (setHandler != nullptr) setHandler(QuietAlsaError);
}

static bool OpenDevice() {
    QuietBuffers = 0;
    Device = SDL_OpenAudioDevice(nullptr, 0, &Wanted, nullptr, 0);
    if (Device != 0) SDL_PauseAudioDevice(Device, 0);
    return Device != 0;
}

// Closes the device once it has been quiet long enough, and opens it for a start that finds
// it closed. It waits without a time limit while the device is closed.
static void RunCloser() {
    std::unique_lock<std::mutex> hold(CloserLock);
    while (!CloserQuit) {
        if (Device == 0) {
            // The callback has stopped: what it saw is settled, and a start it missed is due.
            if (StartRequests.load() == StartsSeen) {
                CloserWake.wait(hold);
                continue;
            }
            hold.unlock();
            DeviceOpens = OpenDevice();  // the threads SDL starts take this one's signal mask
            hold.lock();
            if (!DeviceOpens) StartsSeen = StartRequests.load();  // the next start tries again
        } else if (QuietBuffers.load() >= QuietBuffersBeforeClose) {
            hold.unlock();
            SDL_CloseAudioDevice(Device);
            Device = 0;
            hold.lock();
        } else {
            CloserWake.wait_for(hold, QuietCheckPeriod);
        }
    }
}

int32_t OpenSdlClipPlayer(const WavClip& clip) {
    CloseSdlClipPlayer();
    Wanted = SDL_AudioSpec{};
    if (!ChooseOutput(clip, &Wanted)) return 0;
    // SDL must leave Ctrl-C to the program.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_APP_NAME, MixerAppName);
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, MixerStreamName);
    QuietenAlsa();
    // SDL starts its audio threads inside these calls: they leave signals to the main thread.
    BeginStartingThreads();
    const int initialised = SDL_InitSubSystem(SDL_INIT_AUDIO);
    EndStartingThreads();
    if (initialised != 0) return 0;
    AudioInitialised = true;
    // With no sound server SDL falls back to ALSA, whose device watcher sleeps 100 ms at a
    // time and is waited for when audio is shut down: after a failure here that is left to
    // CloseSdlClipPlayer, at the end of the run, rather than held against the start.
    if (clip.encoding == WavMsAdpcm || clip.encoding == WavImaAdpcm) {
        SDL_AudioSpec decoded{};
        if (!DecodeClip(clip, &decoded) || decoded.format != AUDIO_S16SYS ||
            decoded.channels != Wanted.channels) {
            ForgetDecodedClip();
            return 0;
        }
    }
    PlaySourceBytes -= PlaySourceBytes % SourceFrameBytes;
    PlayPosition = PlaySourceBytes;
    OutputSilence = Wanted.format == AUDIO_U8 ? 0x80 : 0;
    StartsSeen = StartRequests.load(std::memory_order_relaxed);
    Wanted.callback = FillOutput;
    // No changes allowed: SDL converts to what the hardware takes.
    BeginStartingThreads();
    DeviceOpens = OpenDevice();
    if (DeviceOpens) {
        const char* driver = SDL_GetCurrentAudioDriver();
        CloseWhenQuiet = std::strcmp(driver, "pulseaudio") == 0 || std::strcmp(driver, "pipewire") == 0;
        QuietBuffersBeforeClose = QuietSecondsBeforeClose * clip.sampleRate / Wanted.samples + 1;
        if (CloseWhenQuiet) Closer = std::thread(RunCloser);
    }
    EndStartingThreads();
    if (!DeviceOpens) {
        ForgetDecodedClip();
        return 0;
    }
    return 1;
}

int32_t StartSdlClipPlayer() {
    if (!CloseWhenQuiet) {
        if (Device != 0) StartRequests.fetch_add(1, std::memory_order_relaxed);
        return Device != 0 ? 1 : 0;
    }
    StartRequests.fetch_add(1);
    { std::lock_guard<std::mutex> hold(CloserLock); }  // the closer waits, or sees the start yet
    CloserWake.notify_one();
    return DeviceOpens ? 1 : 0;
}

void CloseSdlClipPlayer() {
    if (Closer.joinable()) {
        {
            std::lock_guard<std::mutex> hold(CloserLock);
            CloserQuit = true;
        }
        CloserWake.notify_one();
        Closer.join();
        CloserQuit = false;
    }
    CloseWhenQuiet = false;
    if (Device != 0) SDL_CloseAudioDevice(Device);
    Device = 0;
    ForgetDecodedClip();
    if (AudioInitialised) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    AudioInitialised = false;
}
