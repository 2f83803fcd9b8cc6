#!/usr/bin/env python3
"""Writes the clip fuzzer's seed corpus: small WAV images of every encoding the player
takes, and the odd shapes that real files come in.

Usage: make_seed_corpus.py [FOLDER]   (default: the corpus/ folder beside this script)
The output is the same on every run, so the committed corpus can be checked against it.
"""
import math
import os
import random
import struct
import sys

RATE_HZ = 8000
FRAMES = 160  # 20 ms at 8 kHz: enough samples to fill a few output buffers' worth of work

PCM = 0x0001
MS_ADPCM = 0x0002
FLOAT = 0x0003
ALAW = 0x0006
MULAW = 0x0007
IMA_ADPCM = 0x0011
EXTENSIBLE = 0xFFFE

# The sub-format GUID's tail shared by all the KSDATAFORMAT_SUBTYPE_* of the plain tags.
GUID_TAIL = bytes.fromhex("000000001000800000aa00389b71")

# The seven predictor pairs every MS ADPCM writer stores.
MS_COEFFICIENTS = [(256, 0), (512, -256), (0, 0), (192, 64), (240, 0), (460, -208), (392, -232)]


def chunk(chunk_id, body, pad=True, claim=None):
    size = len(body) if claim is None else claim
    out = chunk_id + struct.pack("<I", size) + body
    if pad and len(body) % 2 == 1:
        out += b"\0"
    return out


def riff(*chunks, claim=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if claim is None else claim) + body


def fmt_body(tag, channels, block_align, bits, rate=RATE_HZ, extension=None):
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * block_align, block_align, bits)
    if extension is not None:
        body += struct.pack("<H", len(extension)) + extension
    return body


def extensible_fmt(sub_tag, channels, bits, valid_bits, channel_mask):
    block_align = channels * ((bits + 7) // 8)
    extension = struct.pack("<HI", valid_bits, channel_mask) + struct.pack("<H", sub_tag) + GUID_TAIL
    return fmt_body(EXTENSIBLE, channels, block_align, bits, extension=extension)


def wave_values(frames, channels):
    """Samples in -1..1: a tone per channel, each a little apart."""
    return [math.sin(2 * math.pi * (440 + 110 * ch) * i / RATE_HZ) * 0.8
            for i in range(frames) for ch in range(channels)]


def pcm_data(bits, channels, frames=FRAMES):
    out = bytearray()
    for value in wave_values(frames, channels):
        if bits == 8:
            out.append(int(round(value * 127)) + 128)
        else:
            full = (1 << (bits - 1)) - 1
            out += int(round(value * full)).to_bytes(bits // 8, "little", signed=True)
    return bytes(out)


def float_data(bits, channels, frames=FRAMES, extremes=False):
    code = "<f" if bits == 32 else "<d"
    values = wave_values(frames, channels)
    if extremes:
        # Out of range and not-a-number samples, which the player must clamp or silence.
        values[:6] = [float("nan"), float("inf"), -float("inf"), 4.0, -4.0, 1e-310]
    return b"".join(struct.pack(code, v) for v in values)


def g711_data(frames=FRAMES):
    # Every code once, then again: both expansion tables whole.
    return bytes((i * 37) & 0xFF for i in range(max(frames, 256)))


def ms_adpcm_fmt(channels, block_align):
    samples_per_block = 2 + (block_align - 7 * channels) * 2 // channels
    extension = struct.pack("<HH", samples_per_block, len(MS_COEFFICIENTS))
    extension += b"".join(struct.pack("<hh", a, b) for a, b in MS_COEFFICIENTS)
    return fmt_body(MS_ADPCM, channels, block_align, 4, extension=extension), samples_per_block


def ms_adpcm_blocks(channels, block_align, blocks, rng):
    out = bytearray()
    for _ in range(blocks):
        out += bytes(rng.randrange(len(MS_COEFFICIENTS)) for _ in range(channels))
        out += b"".join(struct.pack("<h", rng.randrange(16, 2048)) for _ in range(channels))  # delta
        out += b"".join(struct.pack("<h", rng.randrange(-30000, 30000)) for _ in range(2 * channels))
        out += bytes(rng.randrange(256) for _ in range(block_align - 7 * channels))
    return bytes(out)


def ima_adpcm_fmt(channels, block_align):
    samples_per_block = 1 + (block_align - 4 * channels) * 2 // channels
    return (fmt_body(IMA_ADPCM, channels, block_align, 4, extension=struct.pack("<H", samples_per_block)),
            samples_per_block)


def ima_adpcm_blocks(channels, block_align, blocks, rng):
    out = bytearray()
    for _ in range(blocks):
        for _ in range(channels):
            out += struct.pack("<hBB", rng.randrange(-30000, 30000), rng.randrange(89), 0)
        out += bytes(rng.randrange(256) for _ in range(block_align - 4 * channels))
    return bytes(out)


def fact(frames):
    return chunk(b"fact", struct.pack("<I", frames))


def info_list():
    return chunk(b"LIST", b"INFO" + chunk(b"INAM", b"seed\0") + chunk(b"ISFT", b"generator\0"))


def seeds():
    rng = random.Random(0x5EED)
    s = {}

    s["pcm_u8_mono.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 1, 1, 8)), chunk(b"data", pcm_data(8, 1)))
    s["pcm_s16_stereo.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 2, 4, 16)), chunk(b"data", pcm_data(16, 2)))
    s["pcm_s24_mono.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 1, 3, 24)), chunk(b"data", pcm_data(24, 1)))
    s["pcm_s32_mono.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 1, 4, 32)), chunk(b"data", pcm_data(32, 1)))
    s["pcm_s16_6ch.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 6, 12, 16)),
                                chunk(b"data", pcm_data(16, 6, frames=40)))
    # The edges of what the player takes: 7.1 at its highest rate, mono at its lowest.
    s["pcm_s16_8ch_768k.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 8, 16, 16, rate=768000)),
                                     chunk(b"data", pcm_data(16, 8, frames=24)))
    s["pcm_u8_mono_1k.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 1, 1, 8, rate=1000)),
                                   chunk(b"data", pcm_data(8, 1, frames=64)))

    s["float32_mono.wav"] = riff(chunk(b"fmt ", fmt_body(FLOAT, 1, 4, 32, extension=b"")),
                                 fact(FRAMES), chunk(b"data", float_data(32, 1)))
    s["float64_stereo.wav"] = riff(chunk(b"fmt ", fmt_body(FLOAT, 2, 16, 64, extension=b"")),
                                   fact(FRAMES // 2), chunk(b"data", float_data(64, 2, FRAMES // 2, extremes=True)))

    s["alaw_mono.wav"] = riff(chunk(b"fmt ", fmt_body(ALAW, 1, 1, 8, extension=b"")),
                              fact(256), chunk(b"data", g711_data()))
    s["mulaw_stereo.wav"] = riff(chunk(b"fmt ", fmt_body(MULAW, 2, 2, 8, extension=b"")),
                                 fact(128), chunk(b"data", g711_data()))

    for channels, block_align in ((1, 64), (2, 128)):
        body, per_block = ms_adpcm_fmt(channels, block_align)
        blocks = 3
        s["ms_adpcm_%dch.wav" % channels] = riff(
            chunk(b"fmt ", body), fact(blocks * per_block),
            chunk(b"data", ms_adpcm_blocks(channels, block_align, blocks, rng)))
    for channels, block_align in ((1, 68), (2, 136)):
        body, per_block = ima_adpcm_fmt(channels, block_align)
        blocks = 3
        s["ima_adpcm_%dch.wav" % channels] = riff(
            chunk(b"fmt ", body), fact(blocks * per_block),
            chunk(b"data", ima_adpcm_blocks(channels, block_align, blocks, rng)))

    s["extensible_pcm16_stereo.wav"] = riff(chunk(b"fmt ", extensible_fmt(PCM, 2, 16, 16, 0x3)),
                                            chunk(b"data", pcm_data(16, 2)))
    # 24 valid bits in 32-bit containers, as recorders write them.
    s["extensible_pcm32_valid24.wav"] = riff(chunk(b"fmt ", extensible_fmt(PCM, 1, 32, 24, 0x4)),
                                             chunk(b"data", pcm_data(32, 1, frames=80)))
    s["extensible_float32.wav"] = riff(chunk(b"fmt ", extensible_fmt(FLOAT, 1, 32, 32, 0x4)),
                                       fact(FRAMES), chunk(b"data", float_data(32, 1)))
    s["extensible_mulaw.wav"] = riff(chunk(b"fmt ", extensible_fmt(MULAW, 1, 8, 8, 0x4)),
                                     chunk(b"data", g711_data()))

    fmt16 = chunk(b"fmt ", fmt_body(PCM, 1, 2, 16))
    data16 = pcm_data(16, 1, frames=100)
    # An odd chunk with its pad byte, and one whose writer left the pad out.
    s["odd_chunk_padded.wav"] = riff(chunk(b"junk", b"odd"), fmt16, chunk(b"data", data16))
    s["odd_chunk_unpadded.wav"] = riff(chunk(b"junk", b"odd", pad=False), fmt16, chunk(b"data", data16))
    # An odd-sized 8-bit data chunk, padded, with a chunk after it.
    s["odd_data_padded.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 1, 1, 8)),
                                    chunk(b"data", pcm_data(8, 1, frames=101)), info_list())
    s["list_before_fmt.wav"] = riff(info_list(), fmt16, chunk(b"data", data16))
    s["data_before_fmt.wav"] = riff(chunk(b"data", data16), fmt16)
    # Sizes that claim more than there is: the data chunk's, and the RIFF header's.
    s["data_size_lies.wav"] = riff(fmt16, chunk(b"data", data16, claim=0xFFFFFFF0))
    s["riff_size_lies.wav"] = riff(fmt16, chunk(b"data", data16), claim=0x7FFFFFFF)
    s["riff_size_zero.wav"] = riff(fmt16, chunk(b"data", data16), claim=0)
    # A fmt chunk longer than its 16 common bytes, and a second data chunk (the first counts).
    s["fmt_long_two_data.wav"] = riff(chunk(b"fmt ", fmt_body(PCM, 1, 2, 16) + bytes(6)),
                                      chunk(b"data", data16), chunk(b"data", pcm_data(16, 1, frames=20)))
    full = riff(fmt16, chunk(b"data", data16))
    s["truncated_mid_frame.wav"] = full[:len(full) - 101]
    s["truncated_mid_fmt.wav"] = full[:12 + 8 + 10]
    ms_body, _ = ms_adpcm_fmt(1, 64)
    ms = riff(chunk(b"fmt ", ms_body), chunk(b"data", ms_adpcm_blocks(1, 64, 3, rng)))
    s["truncated_ms_adpcm.wav"] = ms[:len(ms) - 100]
    return s


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, image in sorted(seeds().items()):
        with open(os.path.join(folder, name), "wb") as out:
            out.write(image)
        print("%6d  %s" % (len(image), name))


if __name__ == "__main__":
    main()
