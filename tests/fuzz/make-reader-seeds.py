#!/usr/bin/env python3
"""Writes the seed corpora of the reader harnesses (WaveReader, AiffReader,
FlacReader): small well-formed files of each kind and hand-damaged ones.
The compressed seeds are encoded with the flac tool. Run from anywhere;
the seeds go to tests/fuzz/corpus/<Name>/ beside this script. Crash inputs
found later are added there by hand and are not made by this script."""
import math
import os
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def put(name, folder, data):
    path = os.path.join(HERE, "corpus", folder, name)
    with open(path, "wb") as f:
        f.write(data)


def pcm(frames, channels, bits, signed=True, big=False):
    out = bytearray()
    width = bits // 8
    for i in range(frames):
        for c in range(channels):
            v = int(0.8 * math.sin(2 * math.pi * (i + 7 * c) / 16) * (2 ** (bits - 1) - 1))
            if not signed:
                v += 128
            out += v.to_bytes(width, "big" if big else "little", signed=signed)
    return bytes(out)


# ---- WAVE ----

def chunk_le(cid, body, pad=True):
    out = cid + struct.pack("<i", len(body)) + body
    if pad and len(body) % 2:
        out += b"\0"
    return out


def fmt(channels, bits, tag=1, extra=b""):
    block = channels * bits // 8
    return struct.pack("<HHIIHH", tag, channels, 8000, 8000 * block, block, bits) + extra


def riff(chunks, size=None, ids=(b"RIFF", b"WAVE")):
    body = ids[1] + b"".join(chunks)
    return ids[0] + struct.pack("<i", len(body) if size is None else size) + body


def smpl(loops, loop_type=0, start=3, end=20, cut=None):
    body = struct.pack("<9i", 0, 0, 0, 60, 0, 0, 0, loops, 0)
    body += struct.pack("<6i", 0, loop_type, start, end, 0, 0)
    return chunk_le(b"smpl", body[:cut] if cut else body)


def wave_seeds():
    w = "WaveReader"
    put("pcm16-stereo", w, riff([chunk_le(b"fmt ", fmt(2, 16)), chunk_le(b"data", pcm(40, 2, 16))]))
    put("pcm8-mono", w, riff([chunk_le(b"fmt ", fmt(1, 8)), chunk_le(b"data", pcm(60, 1, 8, signed=False))]))
    put("pcm24-stereo", w, riff([chunk_le(b"fmt ", fmt(2, 24)), chunk_le(b"data", pcm(30, 2, 24))]))
    put("pcm32-mono", w, riff([chunk_le(b"fmt ", fmt(1, 32)), chunk_le(b"data", pcm(30, 1, 32))]))
    put("pcm64-mono", w, riff([chunk_le(b"fmt ", fmt(1, 64)), chunk_le(b"data", b"\1" * 64)]))
    put("four-channels", w, riff([chunk_le(b"fmt ", fmt(4, 16)), chunk_le(b"data", pcm(20, 4, 16))]))
    put("loop-and-tuning", w, riff([chunk_le(b"fmt ", fmt(1, 16)), smpl(1), chunk_le(b"inst", bytes([64, 10, 0, 0, 127, 0, 127])),
                                  chunk_le(b"data", pcm(40, 1, 16))]))
    put("smpl-too-short", w, riff([chunk_le(b"fmt ", fmt(1, 16)), smpl(1, cut=40), chunk_le(b"data", pcm(20, 1, 16))]))
    put("odd-data-then-chunk", w, riff([chunk_le(b"fmt ", fmt(2, 16)), chunk_le(b"data", pcm(25, 2, 16) + b"\7"),
                                       chunk_le(b"LIST", b"INFOabc")]))
    put("data-before-fmt", w, riff([chunk_le(b"data", pcm(20, 1, 16)), chunk_le(b"fmt ", fmt(1, 16))]))
    put("fmt-18-lowercase", w, riff([chunk_le(b"fmt ", fmt(1, 16, extra=b"\0\0")), chunk_le(b"data", pcm(20, 1, 16))],
                                   ids=(b"riff", b"wave")))
    put("extensible", w, riff([chunk_le(b"fmt ", fmt(2, 16, tag=0xFFFE, extra=b"\x16\0" + b"\0" * 22)),
                              chunk_le(b"data", pcm(10, 2, 16))]))
    put("bits-12", w, riff([chunk_le(b"fmt ", fmt(1, 12)), chunk_le(b"data", pcm(10, 1, 16))]))
    put("zero-channels", w, riff([chunk_le(b"fmt ", fmt(0, 16)), chunk_le(b"data", pcm(10, 1, 16))]))
    lying = chunk_le(b"fmt ", fmt(2, 16)) + b"data" + struct.pack("<i", 0x7FFFFFF0) + pcm(10, 2, 16)
    put("data-size-lies", w, riff([lying]))
    good = riff([chunk_le(b"fmt ", fmt(2, 16)), chunk_le(b"data", pcm(40, 2, 16))])
    put("cut-in-data", w, good[: len(good) - 37])
    put("cut-in-header", w, good[:30])
    put("negative-chunk", w, riff([chunk_le(b"fmt ", fmt(1, 16)), b"junk" + struct.pack("<i", -8), chunk_le(b"data", pcm(5, 1, 16))]))
    put("riff-size-short", w, riff([chunk_le(b"fmt ", fmt(1, 16)), chunk_le(b"data", pcm(10, 1, 16))], size=20))
    put("aiff-named-wave", w, aiff([comm(1, 16, 10), ssnd(pcm(10, 1, 16, big=True))]))


# ---- AIFF / AIFC ----

def chunk_be(cid, body, pad=False):
    out = cid + struct.pack(">i", len(body)) + body
    if pad and len(body) % 2:
        out += b"\0"
    return out


RATE_8000 = bytes([0x40, 0x0B, 0xFA, 0, 0, 0, 0, 0, 0, 0])


def comm(channels, bits, frames, compression=None):
    body = struct.pack(">hIh", channels, frames, bits) + RATE_8000
    if compression is not None:
        body += compression + b"\x0bnot encoded"
    return chunk_be(b"COMM", body, pad=True)


def ssnd(samples, size=None):
    body = struct.pack(">II", 0, 0) + samples
    if size is None:
        return chunk_be(b"SSND", body)
    return b"SSND" + struct.pack(">i", size) + body


def mark(markers, claimed=None):
    body = struct.pack(">H", len(markers) if claimed is None else claimed)
    for mid, pos, name in markers:
        body += struct.pack(">hI", mid, pos) + bytes([len(name)]) + name
        if (1 + len(name)) % 2:
            body += b"\0"
    return chunk_be(b"MARK", body)


def inst(begin=1, end=2, mode=1, detune=-20):
    body = struct.pack(">bbbbbbh", 60, detune, 0, 127, 0, 127, 0) + struct.pack(">hhh", mode, begin, end) + b"\0" * 6
    return chunk_be(b"INST", body)


def aiff(chunks, form=b"AIFF"):
    body = form + b"".join(chunks)
    return b"FORM" + struct.pack(">i", len(body)) + body


def aiff_seeds():
    a = "AiffReader"
    put("pcm16-stereo-loop", a, aiff([comm(2, 16, 30), mark([(1, 3, b"a"), (2, 20, b"end")]), inst(),
                                       ssnd(pcm(30, 2, 16, big=True))]))
    put("inst-before-mark", a, aiff([comm(1, 16, 20), inst(), mark([(1, 3, b"ab"), (2, 9, b"")]),
                                      ssnd(pcm(20, 1, 16, big=True))]))
    put("pcm8-mono", a, aiff([comm(1, 8, 40), ssnd(pcm(40, 1, 8, big=True))]))
    put("pcm24-stereo", a, aiff([comm(2, 24, 20), ssnd(pcm(20, 2, 24, big=True))]))
    put("pcm32-mono", a, aiff([comm(1, 32, 20), ssnd(pcm(20, 1, 32, big=True))]))
    put("aifc-none", a, aiff([chunk_be(b"FVER", struct.pack(">I", 0xA2805140)), comm(1, 16, 20, b"NONE"),
                                ssnd(pcm(20, 1, 16, big=True))], form=b"AIFC"))
    put("aifc-sowt", a, aiff([comm(1, 16, 20, b"sowt"), ssnd(pcm(20, 1, 16))], form=b"AIFC"))
    put("comm-22-in-aiff", a, aiff([comm(1, 16, 20, b"NONE"), ssnd(pcm(20, 1, 16, big=True))]))
    put("lowercase-ids", a, aiff([comm(1, 16, 10).replace(b"COMM", b"comm"), ssnd(pcm(10, 1, 16, big=True)).replace(b"SSND", b"ssnd")]))
    put("odd-unknown-chunk", a, aiff([comm(1, 16, 10), chunk_be(b"NAME", b"seven!!", pad=True), ssnd(pcm(10, 1, 16, big=True))]))
    put("mark-claims-more", a, aiff([comm(1, 16, 10), mark([(1, 2, b"x")], claimed=400), inst(),
                                      ssnd(pcm(10, 1, 16, big=True))]))
    put("ssnd-size-zero", a, aiff([comm(1, 16, 10), ssnd(pcm(10, 1, 16, big=True), size=0)]))
    put("frames-lie", a, aiff([comm(2, 16, 0x7FFFFFFF), ssnd(pcm(10, 2, 16, big=True))]))
    put("no-ssnd", a, aiff([comm(1, 16, 10)]))
    put("bits-12", a, aiff([comm(1, 12, 10), ssnd(pcm(10, 1, 16, big=True))]))
    good = aiff([comm(2, 16, 30), ssnd(pcm(30, 2, 16, big=True))])
    put("cut-in-ssnd", a, good[: len(good) - 41])
    put("cut-in-comm", a, good[:25])
    put("flac-named-aiff", a, b"fLaC" + b"\0" * 40)


# ---- FLAC ----

def flac_seeds():
    f = "FlacReader"
    with tempfile.TemporaryDirectory() as tmp:
        def encode(name, samples, channels, bits, *options):
            raw = os.path.join(tmp, name + ".raw")
            out = os.path.join(tmp, name + ".flac")
            with open(raw, "wb") as r:
                r.write(samples)
            subprocess.run(["flac", "-s", "-f", "--force-raw-format", "--endian=little", "--sign=signed",
                            "--channels=%d" % channels, "--bps=%d" % bits, "--sample-rate=8000",
                            "--blocksize=192", "--no-padding", *options, "-o", out, raw], check=True)
            with open(out, "rb") as e:
                return e.read()

        stereo = encode("s16", pcm(500, 2, 16), 2, 16)
        put("pcm16-stereo", f, stereo)
        put("pcm24-mono", f, encode("m24", pcm(400, 1, 24), 1, 24))
        put("pcm8-mono", f, encode("m8", pcm(300, 1, 8), 1, 8))
        put("stinfo-seektable", f, encode("st", pcm(600, 1, 16), 1, 16, "-T", "STINFO=1 10 400 0", "-S", "100x"))
        put("qvca-tagged", f, b"QvCA" + stereo[4:])
        put("cut-in-frames", f, stereo[: len(stereo) * 2 // 3])
        put("cut-in-metadata", f, stereo[:30])
        # STREAMINFO's total samples (36 bits from byte 21 of the block's
        # body on) claiming far more than the frames hold.
        huge = bytearray(stereo)
        huge[8 + 13] = (huge[8 + 13] & 0xF0) | 0x0F
        huge[8 + 14:8 + 18] = b"\xff\xff\xff\xff"
        put("total-samples-too-many", f, bytes(huge))
        huge[8 + 13] &= 0xF0
        huge[8 + 14:8 + 18] = b"\x7f\xff\xff\xff"
        put("total-samples-lies", f, bytes(huge))
        flipped = bytearray(stereo)
        flipped[len(flipped) // 2] ^= 0x5A
        put("bad-frame-crc", f, bytes(flipped))
        put("silence-many-frames", f, encode("z", b"\0" * 4000 * 2, 1, 16))
        put("marker-only", f, b"fLaC")


if __name__ == "__main__":
    wave_seeds()
    aiff_seeds()
    flac_seeds()
