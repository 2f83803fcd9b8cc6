// Writes the program's alert clip: about a second of a two-tone alarm, 16-bit PCM mono.
// Usage: make-alert-clip OUTPUT.wav
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {
constexpr uint32_t SampleRate = 22050;        // frames per second
constexpr uint32_t Frames = SampleRate;       // one second
constexpr uint32_t BeepFrames = SampleRate / 8;  // each tone lasts 125 ms
constexpr uint32_t FadeFrames = SampleRate / 200;  // 5 ms ramps, so the tones do not click
constexpr double HighHz = 1318.5;  // E6
constexpr double LowHz = 987.8;    // B5
constexpr double Loudness = 0.8;   // of full scale
constexpr double Pi = 3.14159265358979323846;

void PutLe(std::FILE* file, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) std::fputc(static_cast<int>((value >> (8 * i)) & 0xFF), file);
}

int16_t Sample(uint32_t frame) {
    uint32_t inBeep = frame % BeepFrames;
    double hz = (frame / BeepFrames) % 2 == 0 ? HighHz : LowHz;
    double ramp = 1.0;
    if (inBeep < FadeFrames) ramp = static_cast<double>(inBeep) / FadeFrames;
    if (BeepFrames - inBeep < FadeFrames) ramp = static_cast<double>(BeepFrames - inBeep) / FadeFrames;
    double t = static_cast<double>(frame) / SampleRate;
    // A little of the third harmonic gives the tone the edge of an alarm.
    double wave = std::sin(2 * Pi * hz * t) + 0.3 * std::sin(2 * Pi * 3 * hz * t);
    return static_cast<int16_t>(std::lround(32767.0 * Loudness * ramp * wave / 1.3));
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.wav\n", argv[0]);
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    constexpr uint32_t BytesPerFrame = 2;
    constexpr uint32_t DataBytes = Frames * BytesPerFrame;
    std::fputs("RIFF", file);
    PutLe(file, 36 + DataBytes, 4);
    std::fputs("WAVEfmt ", file);
    PutLe(file, 16, 4);                          // fmt chunk size
    PutLe(file, 1, 2);                           // PCM
    PutLe(file, 1, 2);                           // mono
    PutLe(file, SampleRate, 4);
    PutLe(file, SampleRate * BytesPerFrame, 4);  // bytes per second
    PutLe(file, BytesPerFrame, 2);
    PutLe(file, 16, 2);                          // bits per sample
    std::fputs("data", file);
    PutLe(file, DataBytes, 4);
    for (uint32_t frame = 0; frame < Frames; ++frame) PutLe(file, static_cast<uint16_t>(Sample(frame)), 2);
    if (std::fclose(file) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
