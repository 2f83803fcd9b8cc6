// libFuzzer target: arbitrary bytes as the alert clip. Each input is written to the clip's
// file in a private folder and goes the program's way: LoadAlertSound (the buffer rules, the
// RIFF walk, the player's preparation and SDL's ADPCM decoding), PlayAlertSound, the clip
// played through to its end when an output opened, and CloseClipPlayer, so that the next
// input starts afresh.
//
// SDL's audio device is doubled here: a real one, even SDL's dummy driver, waits two buffer
// periods (62 ms or more with the player's buffers) for its thread at every close, which
// would hold the fuzzer to some 15 inputs a second. The double runs the player's callback on
// this thread, as often as the clip needs, into a buffer of exactly the device's size.
#include "alert_sound.h"
#include "clip_player.h"

#include <SDL.h>
#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <sanitizer/asan_interface.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What may be allocated while a clip loads and plays: SDL's copy of the data chunk is at most
// the bytes loaded, its ADPCM decoding at most four times them (a 4-bit code becomes a 16-bit
// sample); besides those, only fixed ones: the clip file's stdio buffer (4 KiB) and SDL's
// small structures.
constexpr size_t DecodingGrowth = 4;
constexpr size_t FixedBytes = 16 * 1024;

char WorkDir[256];
char ClipPath[sizeof WorkDir + 32];
int HomeDir = -1;  // the folder the fuzzer was started in, where its corpus and artifacts are

uint32_t ExposedBytes;  // of SoundClip, not poisoned: those of the last load

std::atomic<bool> Watching{false};
std::atomic<size_t> AllocationLimit{0};

struct OutputDouble {
    bool open;
    bool paused;
    SDL_AudioSpec spec;
    std::vector<uint8_t> buffer;  // one callback's worth
} Output;

constexpr SDL_AudioDeviceID DeviceId = 2;  // as SDL numbers the first device it opens

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "clip_fuzzer: %s\n", what);
    std::abort();
}

void RemoveWorkDir() {
    unlink(ClipPath);
    rmdir(WorkDir);
}

void WatchAllocation(const volatile void*, size_t bytes) {
    if (!Watching.load(std::memory_order_relaxed) || bytes <= AllocationLimit.load(std::memory_order_relaxed)) return;
    Watching = false;
    std::fprintf(stderr, "clip_fuzzer: an allocation of %zu bytes, beyond the %zu that the clip can need\n", bytes,
                 AllocationLimit.load());
    std::abort();  // libFuzzer then shows where it was made, and keeps the input
}

void IgnoreFree(const volatile void*) {}

// The player and the header walk may read the bytes that were read, and no others: the rest
// of SoundClip is zero, so that a read there would pass unnoticed were it not poisoned.
void ExposeOnly(uint32_t bytes) {
    ASAN_POISON_MEMORY_REGION(SoundClip, ExposedBytes);
    ASAN_UNPOISON_MEMORY_REGION(SoundClip, bytes);
    ExposedBytes = bytes;
}

void WriteClip(const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(ClipPath, "wb");
    if (file == nullptr) Fail("cannot create the clip's file");
    if (std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) Fail("cannot write the clip's file");
}

// One period of the audio thread; true when what the player gave was silence throughout.
bool FillOnce() {
    Output.spec.callback(Output.spec.userdata, Output.buffer.data(), int(Output.buffer.size()));
    const uint8_t silence = Output.spec.format == AUDIO_U8 ? 0x80 : 0x00;
    return std::all_of(Output.buffer.begin(), Output.buffer.end(), [silence](uint8_t b) { return b == silence; });
}

// Plays the clip through as the audio thread would: silence until a start, a restart while
// it sounds, and silence again once the last sample has gone out.
void PlayThrough(size_t clipBytes) {
    if (Output.paused) Fail("the player opened an output and never started it");
    if (!FillOnce()) Fail("the output sounded before the clip was started");
    PlayAlertSound();
    FillOnce();
    PlayAlertSound();
    // No conversion or decoding makes more than four output bytes of one clip byte.
    const size_t outputBytes = DecodingGrowth * clipBytes + Output.buffer.size();
    for (size_t played = 0; played < outputBytes; played += Output.buffer.size()) FillOnce();
    if (!FillOnce()) Fail("the output still sounds after the whole clip has played");
}

// A crash inside LoadAlertSound comes while the private folder is the working one, and
// libFuzzer would write the crashing input there: its artifact paths are made absolute,
// from the folder the fuzzer was started in, before libFuzzer reads its flags.
std::vector<std::string> Arguments;
std::vector<char*> ArgumentPointers;

void AnchorArtifacts(int* argc, char*** argv) {
    char home[4096];
    if (getcwd(home, sizeof home) == nullptr) Fail("cannot tell the working folder");
    const std::string prefixFlag = "-artifact_prefix=";
    const std::string pathFlag = "-exact_artifact_path=";
    bool prefixGiven = false;
    for (int i = 0; i < *argc; ++i) {
        std::string argument = (*argv)[i];
        for (const std::string& flag : {prefixFlag, pathFlag}) {
            if (argument.compare(0, flag.size(), flag) != 0) continue;
            if (flag == prefixFlag) prefixGiven = true;
            if (argument.size() == flag.size() || argument[flag.size()] != '/') {
                argument.insert(flag.size(), std::string(home) + "/");
            }
        }
        Arguments.push_back(argument);
    }
    if (!prefixGiven) Arguments.push_back(prefixFlag + home + "/");
    for (std::string& argument : Arguments) ArgumentPointers.push_back(argument.data());
    ArgumentPointers.push_back(nullptr);
    *argc = int(Arguments.size());
    *argv = ArgumentPointers.data();
}

}  // namespace

extern "C" SDL_AudioDeviceID SDL_OpenAudioDevice(const char*, int, const SDL_AudioSpec* desired,
                                                SDL_AudioSpec* obtained, int) {
    if (Output.open) Fail("a second output opened while one is open");
    Output.spec = *desired;
    // As SDL sizes it: the buffer the callback fills at each period.
    const size_t bytes = size_t(SDL_AUDIO_BITSIZE(desired->format) / 8) * desired->channels * desired->samples;
    const bool watching = Watching.exchange(false);
    Output.buffer = std::vector<uint8_t>(bytes);  // a fresh block, so that ASan sees its end
    Watching = watching;
    Output.spec.size = Uint32(bytes);
    if (obtained != nullptr) *obtained = Output.spec;
    Output.open = true;
    Output.paused = true;
    return DeviceId;
}

extern "C" void SDL_PauseAudioDevice(SDL_AudioDeviceID id, int pauseOn) {
    if (!Output.open || id != DeviceId) Fail("pausing an output that is not open");
    Output.paused = pauseOn != 0;
}

extern "C" void SDL_CloseAudioDevice(SDL_AudioDeviceID id) {
    if (!Output.open || id != DeviceId) Fail("closing an output that is not open");
    Output.open = false;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    AnchorArtifacts(argc, argv);
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || access(base, W_OK) != 0) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(WorkDir, sizeof WorkDir, "%s/clip_fuzzer.XXXXXX", base);
    if (mkdtemp(WorkDir) == nullptr) Fail("cannot make a private folder");
    std::snprintf(ClipPath, sizeof ClipPath, "%s/%s", WorkDir, AlertClipFile);
    std::atexit(RemoveWorkDir);
    HomeDir = open(".", O_RDONLY | O_DIRECTORY);
    if (HomeDir < 0) Fail("cannot open the working folder");
    // The audio subsystem starts as it would with a sound card; only the device is doubled.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    ASAN_POISON_MEMORY_REGION(SoundClip, SoundClipBytes);
    if (__sanitizer_install_malloc_and_free_hooks(WatchAllocation, IgnoreFree) == 0) Fail("cannot watch allocations");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    WriteClip(data, size);
    // As at the program's start: nothing loaded, the whole buffer zero.
    std::memset(SoundClip, 0, SoundClipLoaded);
    SoundClipLoaded = 0;
    const uint32_t loadable = size < SoundClipMaxLoad ? uint32_t(size) : SoundClipMaxLoad;
    ExposeOnly(loadable);
    AllocationLimit = DecodingGrowth * loadable + FixedBytes;
    Watching = true;

    // The program loads from the folder it runs in.
    if (chdir(WorkDir) != 0) Fail("cannot enter the private folder");
    const int32_t loaded = LoadAlertSound();
    if (fchdir(HomeDir) != 0) Fail("cannot return to the working folder");
    if (loaded != 0) Fail("LoadAlertSound did not open a clip that is there");
    if (SoundClipLoaded != loadable) Fail("LoadAlertSound did not read the whole clip, up to its limit");

    if (Output.open) {
        PlayThrough(loadable);
    } else {
        PlayAlertSound();
    }
    CloseClipPlayer();
    Watching = false;
    if (Output.open) Fail("CloseClipPlayer left the output open");
    return 0;
}
