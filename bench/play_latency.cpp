// Times PlayAlertSound calls, and the delay from a call to the clip's first samples in SDL's
// disk output, on the real player.
// Usage: bench_play FOLDER CALLS TRIALS
//        bench_play FOLDER --stamps TRIALS
//        bench_play FOLDER --on-input TRIALS
// In FOLDER it writes its own others_05.wav, in the alert clip's format (22050 Hz, mono,
// 16-bit) but a short constant tone that silence cannot be taken for, and a FIFO that SDL's
// disk driver writes its output into; a reader thread stamps the time of every chunk that
// comes out of it. Prints its figures as name=value lines.
// With --stamps it plays into whatever output the player chooses (a sound server) and prints,
// for each of TRIALS plays at spread phases, each on an output that has gone to sleep since the
// last, the steady clock's time of the call as play_ns=NANOSECONDS and how long the call took
// as call_ns=NANOSECONDS; whoever records the server's output tells when the tone came out.
// With --on-input it plays likewise whenever a line comes on standard input, TRIALS times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "alert_sound.h"
#include "clip_player.h"

namespace {
using Clock = std::chrono::steady_clock;

constexpr uint32_t ClipRateHz = 22050;
constexpr uint32_t ClipFrames = ClipRateHz / 10;  // 100 ms of tone
constexpr uint16_t ToneSample = 0x2000;
constexpr const char* OutputFifo = "disk-output.fifo";

constexpr uint32_t MaxCalls = 1000000;
constexpr uint32_t MaxTrials = 1000;
constexpr uint32_t MaxChunks = 100000;
// Silence that must come out after the last tone before a trial starts: more than SDL's
// stdio buffer and a few device buffers, so nothing of the last play is still on its way.
constexpr int64_t QuietBytesBeforeTrial = 16384;
constexpr int64_t QuietWaitLimitMs = 5000;
constexpr int64_t HeardWaitLimitMs = 2000;
// Trials start spread over this span, so that they meet the output's buffer period at every phase.
constexpr int64_t TrialSpreadUs = 50000;
constexpr auto PollPeriod = std::chrono::microseconds(200);
// Between stamped plays: the tone and more than the output takes to go to sleep after it (the
// PulseAudio client corks its stream 1 s after the server has played the clip out, SDL closes
// its device after 1 to 1.5 s of quiet), so that each play wakes a sleeping output.
constexpr auto StampedPlayGap = std::chrono::milliseconds(2500);
// After the last: its tone (100 ms) at the sink many times over, before the player closes.
constexpr auto AfterLastPlay = std::chrono::milliseconds(1000);
}  // namespace

static int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

static int64_t CallNs[MaxCalls];
static int64_t EmptyNs[MaxCalls];
static int64_t LatencyNs[MaxTrials];

// The reader's own until it is joined.
static int64_t ChunkBytes[MaxChunks];
static int64_t ChunkGapNs[MaxChunks];
static uint32_t Chunks;
static int64_t FirstChunkNs;
static int64_t LastChunkNs;
static uint64_t OutputBytes;

static std::atomic<int64_t> OutputOpened{0};  // 1 once SDL has opened the FIFO
static std::atomic<int64_t> ArmedNs{0};  // when the trial's PlayAlertSound was called; 0: none running
static std::atomic<int64_t> HeardNs{0};  // when the first tone of that trial came out
static std::atomic<int64_t> QuietBytes{0};  // silence since the last tone

static void PutLe(uint8_t* at, uint32_t value, uint32_t bytes) {
    for (uint32_t i = 0; i < bytes; ++i) at[i] = uint8_t(value >> (8 * i));
}

static bool WriteToneClip() {
    uint8_t header[44];
    constexpr uint32_t FrameBytes = 2;
    constexpr uint32_t DataBytes = ClipFrames * FrameBytes;
    std::memcpy(header, "RIFF", 4);
    PutLe(header + 4, 36 + DataBytes, 4);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    PutLe(header + 16, 16, 4);  // fmt body
    PutLe(header + 20, 1, 2);   // PCM
    PutLe(header + 22, 1, 2);   // mono
    PutLe(header + 24, ClipRateHz, 4);
    PutLe(header + 28, ClipRateHz * FrameBytes, 4);
    PutLe(header + 32, FrameBytes, 2);
    PutLe(header + 34, 16, 2);
    std::memcpy(header + 36, "data", 4);
    PutLe(header + 40, DataBytes, 4);
    std::FILE* file = std::fopen(AlertClipFile, "wb");
    if (file == nullptr) return false;
    bool written = std::fwrite(header, 1, sizeof header, file) == sizeof header;
    const uint8_t sample[FrameBytes] = {uint8_t(ToneSample), uint8_t(ToneSample >> 8)};
    for (uint32_t frame = 0; frame < ClipFrames && written; ++frame) written = std::fwrite(sample, 1, FrameBytes, file) == FrameBytes;
    return std::fclose(file) == 0 && written;
}

static void ReadOutput() {
    // Blocks until SDL opens the FIFO for writing (or main gives up and opens it itself).
    int fifo = open(OutputFifo, O_RDONLY);
    if (fifo < 0) return;
    OutputOpened = 1;
    static uint8_t chunk[65536];
    for (;;) {
        ssize_t got = read(fifo, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const int64_t now = NowNs();
        if (Chunks == 0) FirstChunkNs = now;
        if (Chunks < MaxChunks) {
            ChunkBytes[Chunks] = got;
            ChunkGapNs[Chunks] = Chunks == 0 ? 0 : now - LastChunkNs;
        }
        ++Chunks;
        LastChunkNs = now;
        OutputBytes += uint64_t(got);
        // Every tone sample has a non-zero byte; the output's silence is all zero bytes.
        ssize_t lastTone = -1;
        for (ssize_t i = 0; i < got; ++i)
            if (chunk[i] != 0) lastTone = i;
        if (lastTone < 0) {
            QuietBytes += got;
            continue;
        }
        QuietBytes = got - 1 - lastTone;
        int64_t expected = 0;
        if (ArmedNs.load() != 0) HeardNs.compare_exchange_strong(expected, now);
    }
    close(fifo);
}

// Whether value reached least within limitMs.
static bool WaitForAtLeast(const std::atomic<int64_t>& value, int64_t least, int64_t limitMs) {
    const int64_t until = NowNs() + limitMs * 1000000;
    while (value.load() < least) {
        if (NowNs() > until) return false;
        std::this_thread::sleep_for(PollPeriod);
    }
    return true;
}

static int64_t Percentile(int64_t* values, uint32_t count, uint32_t percent) {
    std::sort(values, values + count);
    return values[uint64_t(count - 1) * percent / 100];
}

static void PrintFigure(const char* name, double value) {
    std::printf("%s=%.6g\n", name, value);
}

static void TimeCalls(uint32_t calls) {
    for (uint32_t i = 0; i < calls; ++i) {
        const Clock::time_point before = Clock::now();
        const Clock::time_point after = Clock::now();
        EmptyNs[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count();
    }
    for (uint32_t i = 0; i < calls; ++i) {
        const Clock::time_point before = Clock::now();
        PlayAlertSound();
        const Clock::time_point after = Clock::now();
        CallNs[i] = std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count();
    }
    PrintFigure("calls", calls);
    PrintFigure("clock_pair_median_ns", double(Percentile(EmptyNs, calls, 50)));
    PrintFigure("call_median_ns", double(Percentile(CallNs, calls, 50)));
    PrintFigure("call_p99_ns", double(Percentile(CallNs, calls, 99)));
    PrintFigure("call_max_ns", double(Percentile(CallNs, calls, 100)));
}

// Returns the trials that heard their tone.
static uint32_t TimeFirstSamples(uint32_t trials) {
    uint32_t heard = 0;
    for (uint32_t trial = 0; trial < trials; ++trial) {
        if (!WaitForAtLeast(QuietBytes, QuietBytesBeforeTrial, QuietWaitLimitMs)) break;
        std::this_thread::sleep_for(std::chrono::microseconds(TrialSpreadUs * trial / trials));
        HeardNs = 0;
        const int64_t armed = NowNs();
        ArmedNs = armed;
        PlayAlertSound();
        const bool came = WaitForAtLeast(HeardNs, 1, HeardWaitLimitMs);
        ArmedNs = 0;
        if (!came) break;
        LatencyNs[heard++] = HeardNs.load() - armed;
    }
    PrintFigure("trials", heard);
    if (heard == 0) return 0;
    PrintFigure("first_samples_min_ms", double(Percentile(LatencyNs, heard, 0)) / 1e6);
    PrintFigure("first_samples_median_ms", double(Percentile(LatencyNs, heard, 50)) / 1e6);
    PrintFigure("first_samples_max_ms", double(Percentile(LatencyNs, heard, 100)) / 1e6);
    return heard;
}

static void PrintOutputRhythm() {
    const uint32_t kept = Chunks < MaxChunks ? Chunks : MaxChunks;
    if (kept < 3) return;
    PrintFigure("disk_chunk_median_bytes", double(Percentile(ChunkBytes, kept, 50)));
    // The first gap is no gap.
    PrintFigure("disk_chunk_gap_median_ms", double(Percentile(ChunkGapNs + 1, kept - 1, 50)) / 1e6);
    const double seconds = double(LastChunkNs - FirstChunkNs) / 1e9;
    if (seconds > 0) PrintFigure("disk_bytes_per_second", double(OutputBytes) / seconds);
}

// Plays and prints when the call came and how long it took.
static void PlayStamped() {
    const int64_t now = NowNs();
    PlayAlertSound();
    const int64_t took = NowNs() - now;
    std::printf("play_ns=%lld\ncall_ns=%lld\n", static_cast<long long>(now), static_cast<long long>(took));
    std::fflush(stdout);
}

static int StampPlays(uint32_t trials, bool onInput) {
    if (LoadAlertSound() != 0) {
        std::fprintf(stderr, "%s did not load\n", AlertClipFile);
        return 1;
    }
    char line[64];
    for (uint32_t trial = 0; trial < trials; ++trial) {
        if (onInput) {
            if (std::fgets(line, sizeof line, stdin) == nullptr) break;
        } else {
            std::this_thread::sleep_for(StampedPlayGap + std::chrono::microseconds(TrialSpreadUs * trial / trials));
        }
        PlayStamped();
    }
    std::this_thread::sleep_for(AfterLastPlay);
    CloseClipPlayer();
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FOLDER CALLS TRIALS | FOLDER --stamps|--on-input TRIALS\n", argv[0]);
        return 2;
    }
    const uint32_t trials = uint32_t(std::strtoul(argv[3], nullptr, 10));
    const bool onInput = std::strcmp(argv[2], "--on-input") == 0;
    if (onInput || std::strcmp(argv[2], "--stamps") == 0) {
        if (trials == 0 || trials > MaxTrials || chdir(argv[1]) != 0 || !WriteToneClip()) {
            std::fprintf(stderr, "TRIALS in 1..%u, and a folder to write the clip in\n", MaxTrials);
            return 2;
        }
        return StampPlays(trials, onInput);
    }
    const uint32_t calls = uint32_t(std::strtoul(argv[2], nullptr, 10));
    if (calls == 0 || calls > MaxCalls || trials == 0 || trials > MaxTrials) {
        std::fprintf(stderr, "CALLS in 1..%u, TRIALS in 1..%u\n", MaxCalls, MaxTrials);
        return 2;
    }
    if (chdir(argv[1]) != 0 || !WriteToneClip()) {
        std::perror(argv[1]);
        return 1;
    }
    unlink(OutputFifo);
    if (mkfifo(OutputFifo, 0600) != 0) {
        std::perror(OutputFifo);
        return 1;
    }
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", OutputFifo, 1);

    std::thread reader(ReadOutput);
    const bool loaded = LoadAlertSound() == 0;
    // SDL opens the FIFO within LoadAlertSound; if it did not, this open frees the reader.
    const bool opened = WaitForAtLeast(OutputOpened, 1, 1000);
    if (!opened) {
        int fifo = open(OutputFifo, O_WRONLY | O_NONBLOCK);
        if (fifo >= 0) close(fifo);
    }
    const bool ran = loaded && opened;
    uint32_t heard = 0;
    if (ran) {
        TimeCalls(calls);
        heard = TimeFirstSamples(trials);
    }
    CloseClipPlayer();
    reader.join();
    PrintOutputRhythm();
    unlink(OutputFifo);
    if (!ran) {
        std::fprintf(stderr, "SDL's disk output did not open\n");
        return 1;
    }
    if (heard == 0) {
        std::fprintf(stderr, "no start came out in the disk output\n");
        return 1;
    }
    return 0;
}
