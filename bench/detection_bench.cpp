// The detection rules on recordings of real falls and daily activities: how many of each
// activity sound under the free-fall rule and under the worn rule, and what a report costs each.
// Usage: bench_detection [FOLDER]   (FOLDER of CODE_SUBJECT_TRIAL.acc recordings, 3 bytes a
// report at 100 a second, centred calibration; ../shared/falls/sisfall when there is one)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fall_rules.h"

namespace {
namespace fs = std::filesystem;
constexpr uint8_t CentredZeroG = 128;  // the recordings' calibration: zero-g at 128, 1 g at 154
constexpr uint8_t CentredOneG = 154;
constexpr int DesignSubjectsUpTo = 12;  // SA01..SA12 the rule was designed on; the rest held out

struct Tally {
    int recordings = 0, freeFall = 0, worn = 0;
};
struct Cost {
    double seconds = 0;
    long reports = 0;
};

std::vector<uint8_t> Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool FreeFallSounds(const std::vector<uint8_t>& data, Cost& cost) {
    const uint8_t zeroG[3] = {CentredZeroG, CentredZeroG, CentredZeroG};
    int32_t runLength = 0, cooldown = 0;
    bool sounded = false;
    auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at + 3 <= data.size(); at += 3) sounded |= FreeFallPass(runLength, cooldown, &data[at], zeroG);
    cost.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.reports += static_cast<long>(data.size() / 3);
    return sounded;
}

bool WornSounds(const std::vector<uint8_t>& data, Cost& cost) {
    ResetWornRule();
    bool sounded = false;
    auto start = std::chrono::steady_clock::now();
    for (size_t at = 0; at + 3 <= data.size(); at += 3)
        sounded |= WornPass(ReadingInG(data[at], CentredZeroG, CentredOneG), ReadingInG(data[at + 1], CentredZeroG, CentredOneG),
                            ReadingInG(data[at + 2], CentredZeroG, CentredOneG));
    cost.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.reports += static_cast<long>(data.size() / 3);
    return sounded;
}

double Percent(int part, int whole) { return whole ? 100.0 * part / whole : 0; }

void PrintTotals(const char* label, const Tally& falls, const Tally& daily) {
    std::printf("| %s | %d of %d (%.1f %%) | %d of %d (%.1f %%) | %d of %d (%.1f %%) | %d of %d (%.1f %%) |\n", label,
                falls.freeFall, falls.recordings, Percent(falls.freeFall, falls.recordings), daily.freeFall,
                daily.recordings, Percent(daily.freeFall, daily.recordings), falls.worn, falls.recordings,
                Percent(falls.worn, falls.recordings), daily.worn, daily.recordings, Percent(daily.worn, daily.recordings));
}
}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = argc > 1 ? argv[1] : "../shared/falls/sisfall";
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error || argc > 2) {
        std::fprintf(stderr, "usage: bench_detection [FOLDER of .acc recordings]: %s cannot be read\n", folder.c_str());
        return 2;
    }
    std::map<std::string, Tally> byCode;
    Tally falls[3], daily[3];  // all, design subjects, held-out subjects
    Cost freeFallCost, wornCost;
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".acc" || name.size() < 8) continue;
        const std::vector<uint8_t> data = Read(entry.path());
        const std::string code = name.substr(0, 3), subject = name.substr(4, 4);
        const bool design = subject.compare(0, 2, "SA") == 0 && std::stoi(subject.substr(2)) <= DesignSubjectsUpTo;
        const bool freeFall = FreeFallSounds(data, freeFallCost), worn = WornSounds(data, wornCost);
        for (Tally* tally : {&byCode[code], &(code[0] == 'F' ? falls : daily)[0], &(code[0] == 'F' ? falls : daily)[design ? 1 : 2]}) {
            ++tally->recordings;
            tally->freeFall += freeFall;
            tally->worn += worn;
        }
    }
    if (falls[0].recordings + daily[0].recordings == 0) {
        std::fprintf(stderr, "bench_detection: no .acc recordings in %s\n", folder.c_str());
        return 2;
    }
    std::printf("Recordings in %s: an alarm on a fall (F) is heard, on a daily activity (D) a false alarm.\n\n",
                folder.c_str());
    std::printf("| code | recordings | free fall sounded | worn sounded |\n|---|---|---|---|\n");
    for (const auto& [code, tally] : byCode)
        std::printf("| %s | %d | %d (%.0f %%) | %d (%.0f %%) |\n", code.c_str(), tally.recordings, tally.freeFall,
                    Percent(tally.freeFall, tally.recordings), tally.worn, Percent(tally.worn, tally.recordings));
    std::printf("\n| subjects | falls heard, free fall | daily activities sounded, free fall | falls heard, worn | "
                "daily activities sounded, worn |\n|---|---|---|---|---|\n");
    PrintTotals("all", falls[0], daily[0]);
    PrintTotals("SA01..SA12 (designed on)", falls[1], daily[1]);
    PrintTotals("the others (held out)", falls[2], daily[2]);
    std::printf("\nPer report: free fall %.1f ns, worn %.1f ns (%ld reports each)\n",
                1e9 * freeFallCost.seconds / freeFallCost.reports, 1e9 * wornCost.seconds / wornCost.reports,
                wornCost.reports);
    return 0;
}
