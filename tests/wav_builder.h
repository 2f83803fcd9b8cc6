// WAV images laid out byte by byte as a writer would, and copies of them that end right
// before an unreadable page, so that a read past the bytes at hand faults.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "wav_image.h"

using Bytes = std::vector<uint8_t>;

inline void PutLe(Bytes* to, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) to->push_back(uint8_t(value >> (8 * i)));
}

// Bytes 1, 8, 15, ...: a body that is neither silence nor a run of one value.
inline Bytes Samples(size_t count) {
    Bytes samples(count);
    for (size_t i = 0; i < count; ++i) samples[i] = uint8_t(i * 7 + 1);
    return samples;
}

// A fmt body; `extension` is what follows its common 16 bytes.
inline Bytes Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits,
                 const Bytes& extension = {}) {
    Bytes body;
    for (uint32_t field : {uint32_t(tag), uint32_t(channels)}) PutLe(&body, field, 2);
    for (uint32_t field : {rate, rate * blockAlign}) PutLe(&body, field, 4);
    for (uint32_t field : {uint32_t(blockAlign), uint32_t(bits)}) PutLe(&body, field, 2);
    body.insert(body.end(), extension.begin(), extension.end());
    return body;
}

// What WAVE_FORMAT_EXTENSIBLE adds: cbSize, valid bits, channel mask, sub-format GUID.
inline Bytes Extensible(uint16_t subFormat, uint16_t bits) {
    return {22, 0, uint8_t(bits), uint8_t(bits >> 8), 3, 0, 0, 0, uint8_t(subFormat), uint8_t(subFormat >> 8),
            0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
}

// A chunk whose header claims `claimed` bytes (by default its body's); odd bodies are padded.
inline Bytes Chunk(const char* id, const Bytes& body, int64_t claimed = -1, bool pad = true) {
    Bytes chunk(id, id + 4);
    PutLe(&chunk, claimed < 0 ? body.size() : uint64_t(claimed), 4);
    chunk.insert(chunk.end(), body.begin(), body.end());
    if (pad && body.size() % 2 == 1) chunk.push_back(0);
    return chunk;
}

inline Bytes Riff(const std::vector<Bytes>& chunks, const char* form = "WAVE") {
    Bytes body(form, form + 4);
    for (const Bytes& chunk : chunks) body.insert(body.end(), chunk.begin(), chunk.end());
    return Chunk("RIFF", body, -1, false);
}

// A fmt chunk, then a data chunk claiming `dataClaim` bytes, then the `after` chunks.
inline Bytes Wav(const Bytes& fmt, const Bytes& data, int64_t dataClaim = -1, const Bytes& after = {}) {
    return Riff({Chunk("fmt ", fmt), Chunk("data", data, dataClaim), after});
}

// A copy of an image whose last byte is the last before an unreadable page, or null when the
// pages cannot be had; they are unmapped with the last copy of the pointer.
inline std::shared_ptr<const uint8_t> Guarded(const Bytes& image) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE)), bytes = (image.size() / page + 2) * page;
    void* const map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    uint8_t* const guard = static_cast<uint8_t*>(map) + bytes - page;
    const auto unmap = [map, bytes](const uint8_t*) { munmap(map, bytes); };
    std::shared_ptr<const uint8_t> copy(guard - image.size(), unmap);
    if (mprotect(guard, page, PROT_NONE) != 0) return nullptr;
    std::copy(image.begin(), image.end(), guard - image.size());
    return copy;
}
