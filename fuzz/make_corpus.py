#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses (deterministic).

    python3 fuzz/make_corpus.py            # (re)writes fuzz/corpus/<harness>/seed-*

Inputs are laid out as the harnesses read them with FuzzedDataProvider: raw
stream bytes from the front, choices from the back (the last byte is the first
choice). Regression inputs (crash-*, regress-*) in the same directories are
kept; only seed-* files are rewritten.
"""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# (class, commands) exactly as the library's command table lists them.
COMMAND_TABLE = [
    (0, [1, 2]),
    (1, [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13]),
    (2, [1, 2, 3, 4, 5, 6, 7, 10, 8, 11, 9, 16, 17, 18, 19, 20, 21]),
    (3, [1, 2, 3, 4, 5, 6]),
    (4, [1, 2, 3, 4]),
    (5, [1, 2, 3, 4]),
    (6, [1, 2, 3, 4, 5, 6, 8, 10, 11, 12]),
    (7, [1, 2, 3, 4]),
]

EVENT_IDS = (
    [0x0104, 0x0106, 0x0107, 0x0108, 0x0109]
    + list(range(0x0111, 0x0118))
    + list(range(0x0121, 0x0129))
    + [0x0131, 0x0132, 0x0141, 0x0142]
    + list(range(0x0201, 0x021F))
    + [0x0301, 0x0401, 0x0402, 0x0501, 0x0502, 0x0503]
    + list(range(0x0601, 0x060B))
    + [0x0701, 0x0801, 0x0802, 0x0803, 0x0804, 0x0900, 0x0901, 0x0902, 0x0903, 0x0904, 0x0002]
    + [0x0100, 0x0000, 0xFFFF]  # ids the table lacks
)


class Seed:
    """Builds a FuzzedDataProvider input: front bytes, and back choices in the
    order the harness consumes them."""

    def __init__(self):
        self.front = bytearray()
        self.back = []

    def choose(self, lo, hi, value):
        rng, v = hi - lo, value - lo
        assert 0 <= v <= rng
        n = 0
        while n < 8 and (rng >> (8 * n)) > 0:
            n += 1
        self.back.extend(v.to_bytes(n, "big"))
        return self

    def u8(self, v):
        return self.choose(0, 255, v)

    def data(self, b):
        self.front += b
        return self

    def build(self):
        return bytes(self.front) + bytes(reversed(self.back))


def frame(version, cls, cmd, dst, src, kind, seq, body=b"", min_len=64):
    length = max(min_len, 20 + len(body))
    f = bytearray(length)
    struct.pack_into("<BBHHHHHII", f, 0, version, 0xFF, cls, cmd, dst, src, kind, seq, length - 64)
    f[20:20 + len(body)] = body
    return bytes(f)


def pending_order():
    """(class, command, address) of the harness's pending packets, sequence = index + 1."""
    out = []
    for cls, cmds in COMMAND_TABLE:
        for cmd in cmds:
            for addr in (3, 2):
                out.append((cls, cmd, addr))
    return out


def write(harness, name, blob):
    d = os.path.join(HERE, "corpus", harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(blob)


def receive_seeds(rng):
    # Layout read by fuzz_receive: flags, version index, [awaited], then per
    # chunk: op byte, chunk length (0..806), chunk bytes from the front.
    def stream(frames, flags, version_index=0, chunking=None, drain_every=True, awaited=0):
        s = Seed().u8(flags).choose(0, 5, version_index)
        if flags & 2:
            s.u8(awaited)
        for f in frames:
            pieces = [f] if chunking is None else [f[i:i + chunking] for i in range(0, len(f), chunking)]
            for p in pieces:
                s.u8(0x80 if drain_every else 0x00)
                s.choose(0, 742 + 64, len(p))
                s.data(p)
        return s.build()

    order = pending_order()
    # Answers to every pending request, class by class: acknowledgement then
    # response with bodies of every size.
    for cls, _ in COMMAND_TABLE:
        frames = []
        for i, (c, cmd, addr) in enumerate(order):
            if c != cls:
                continue
            size = rng.choice([1, 3, 6, 23, 45, 130, 440, 722])
            body = bytes([0]) + bytes([rng.choice([1, 2, 5, 7, 10, 100, 255])]) + rng.randbytes(size)
            frames.append(frame(0x30, cls, cmd, 1, addr, 2, i + 1, b"\x00"))
            frames.append(frame(0x30, cls, cmd, 1, addr, 3, i + 1, body[:722]))
        write("receive", "seed-answers-class%d" % cls, stream(frames, 1 | 2 | 8 | 16, awaited=rng.randrange(256)))
    # Responses to requests already accepted, with failure statuses among them.
    frames = [frame(0x30, c, cmd, 1, a, 3, i + 1, bytes([rng.choice([0, 0, 1])]) + rng.randbytes(40))
              for i, (c, cmd, a) in enumerate(order)][:40]
    write("receive", "seed-accepted", stream(frames, 1 | 2 | 4 | 8))
    # Every notification with short and with full-size data.
    for full in (False, True):
        frames = []
        for ev in EVENT_IDS:
            n = 722 if full and ev in (0x0106, 0x0201, 0x0202, 0x0002) else rng.choice([0, 1, 2, 44, 130, 160])
            frames.append(frame(0x30, 16, ev, 1, 2, 0, 0, rng.randbytes(n)))
        write("receive", "seed-notifications-%s" % ("full" if full else "short"),
              stream(frames[:45], 1 | 8 | (16 if full else 0)))
        write("receive", "seed-notifications2-%s" % ("full" if full else "short"),
              stream(frames[45:], 1 | 8 | (16 if full else 0), drain_every=False))
    # Notifications while the device is unavailable.
    frames = [frame(0x30, 16, ev, 1, 2, 0, 0, rng.randbytes(8)) for ev in EVENT_IDS[:20]]
    write("receive", "seed-unavailable", stream(frames, 8))
    # Frames cut into small chunks and left undrained until the ring fills.
    frames = [frame(0x30, 16, 0x0106, 1, 2, 0, 0, rng.randbytes(721)) for _ in range(6)]
    write("receive", "seed-split", stream(frames, 1 | 8, chunking=37, drain_every=False))
    # Headers every check refuses, each followed by a good frame.
    bad = [
        frame(0x31, 16, 0x0104, 1, 2, 0, 0),  # version above the library's
        frame(0x30, 16, 0x0104, 2, 1, 1, 0),  # host-to-device header
        frame(0x30, 16, 0x0104, 1, 2, 4, 0),  # unknown kind
        bytes(frame(0x30, 16, 0x0104, 1, 2, 0, 0)[:16]) + struct.pack("<I", 679) + bytes(44),
    ]
    frames = []
    for b in bad:
        frames += [b, frame(0x30, 16, 0x0107, 1, 2, 0, 0, b"\x02")]
    write("receive", "seed-bad-headers", stream(frames, 1 | 8))
    # An older library version: frames of 0x30 are refused, 0x12 accepted.
    frames = [frame(v, 16, 0x0108, 1, 2, 0, 0, b"\x05") for v in (0x30, 0x12, 0x10)]
    write("receive", "seed-old-version", stream(frames, 1 | 8, version_index=3))


def host_request(cls, cmd, seq, body=b"", dst=3, version=0x30, kind=1):
    return frame(version, cls, cmd, dst, 1, kind, seq, body)


def sim_seeds(rng):
    # Layout read by fuzz_sim_parser: version index, contactCount, recordCount,
    # tableCount, status, displayMode, flags, number of rules (0 here), then
    # per chunk: length (0..800) and the bytes from the front.
    def stream(frames, version_index=0, chunking=None):
        s = Seed().choose(0, 5, version_index).u8(5).choose(0, 100, 3).choose(0, 16, 3).u8(2)
        s.choose(0, 2, 0).u8(7).choose(0, 3, 0)
        for f in frames:
            pieces = [f] if chunking is None else [f[i:i + chunking] for i in range(0, len(f), chunking)]
            for p in pieces:
                s.choose(0, 800, len(p))
                s.data(p)
        return s.build()

    seq = 1
    start = []
    for cls, cmd, body in [(1, 9, b""), (1, 3, b"")] + [(1, 8, bytes([i])) for i in range(3)] + \
            [(1, 4, bytes([i])) for i in range(1, 8)] + [(3, 2, struct.pack("<H", i)) for i in (1, 2, 82, 109)] + \
            [(1, 12, b""), (3, 6, b""), (4, 1, b""), (4, 2, b"\x01"), (2, 16, b""), (2, 18, b""), (6, 10, b""),
             (1, 7, b"")]:
        start.append(host_request(cls, cmd, seq, body, dst=2))
        seq += 1
    write("sim_parser", "seed-startup", stream(start))
    requests = [
        (1, 6, b"\x00\x31"), (1, 2, b""), (1, 13, b""), (1, 10, b""), (1, 5, b""), (1, 11, b""),
        (2, 1, b"\x00\x00" + b"5551234".ljust(129, b"\x00")), (2, 3, b""), (2, 21, b"\x00"), (2, 4, b""),
        (2, 5, b""), (2, 2, b"\x01"), (2, 6, b""), (2, 7, b"\x01"), (2, 8, b"\x02"), (2, 9, b"\x01"),
        (2, 10, b""), (2, 11, b""), (2, 17, b"\x03"), (2, 19, b"\x05"), (2, 20, b"\x01"),
        (3, 1, struct.pack("<H", 1) + b"\x01"), (3, 1, struct.pack("<H", 82) + rng.randbytes(128)),
        (3, 1, struct.pack("<H", 131)), (3, 3, b""), (3, 4, rng.randbytes(47)), (3, 5, b""),
        (4, 3, rng.randbytes(164)), (4, 4, b"\x01"), (4, 4, b"\xff"),
        (5, 1, b""), (5, 2, b"\x01"), (5, 3, b"\x02"), (5, 4, b""),
        (6, 1, b""), (6, 2, b""), (6, 3, b"\x01"), (6, 5, b""), (6, 6, b"\x00\x00\x00\x00"), (6, 8, b""),
        (6, 4, b""), (6, 11, b"\x04"), (6, 12, b""),
        (7, 1, struct.pack("<H", 1) + rng.randbytes(84)), (7, 2, struct.pack("<H", 1)),
        (7, 3, b"\x01\x00\x00\x00\x00\x00\x01"), (7, 4, b""), (0, 2, rng.randbytes(128)),
    ]
    frames = []
    for cls, cmd, body in requests:
        frames.append(host_request(cls, cmd, seq, body))
        seq += 1
    write("sim_parser", "seed-requests", stream(frames))
    write("sim_parser", "seed-requests-split", stream(frames[:12], chunking=29))
    keep_alive = host_request(0, 1, seq, dst=2, kind=0)
    write("sim_parser", "seed-keepalive-garbage", stream([rng.randbytes(50), keep_alive, rng.randbytes(19),
                                                          frames[0], b"\x01" * 30, frames[6]]))
    # Frames above an older device's version.
    write("sim_parser", "seed-old-device", stream(frames[:8] + [host_request(1, 9, 999, version=0x10)],
                                                  version_index=5))


def exports_seeds(rng):
    # fuzz_exports reads every choice from the back: an op kind (below 160:
    # an export, then its index 0..44 and its arguments), so each seed starts
    # one export and lets random bytes supply the rest.
    for index in range(45):
        s = Seed().u8(0).choose(0, 44, index)
        for _ in range(60):
            s.u8(rng.randrange(12, 256))  # seldom a null pointer
        write("exports", "seed-export-%02d" % index, s.build())
    for n in range(8):
        write("exports", "seed-mixed-%d" % n, rng.randbytes(200 + 50 * n))


def main():
    rng = random.Random(20240607)
    receive_seeds(rng)
    sim_seeds(rng)
    exports_seeds(rng)


if __name__ == "__main__":
    main()
