"""Scenes for the counting evaluation, built from a labelled set (one phone per file): the scene
every phone starting together ("today"), and stress scenes that break rules tuned on it, each
with a fixed seed per scene, channel and phone. Frames are rewritten in their pcap bytes
(transmitter address, sequence number, one capability bit); every length is checked and a frame
too short for a change is left as it was."""
import random

import pcaps

EPOCH = 1_700_000_000 * 1_000_000  # every phone's first frame in today's scene, microseconds
FILE_GAP = PAUSE = 60 * 1_000_000
LONGEST_PAUSE = 1000 * 1_000_000
SECOND = 1_000_000
MINUTE = 60 * SECOND

HT_CAPABILITIES = 45
EXTENDED_CAPABILITIES = 127
# Bit flipped in an element body's first byte for a state change: in HT capabilities the upper
# bit of SM power save (disabled <-> dynamic, what a phone switches with its power state), in
# extended capabilities 20/40 coexistence management.
STATE_BITS = {HT_CAPABILITIES: 0x08, EXTENDED_CAPABILITIES: 0x01}


def on_channel(packets, channel):
    return [p for p in packets
            if pcaps.channel_number(pcaps.channel_frequency(p.data)) == channel]


def timelines(phones, channel, set_local):
    """{label: packets in time order}: what a router on `channel` hears of each phone in today's
    scene (every phone starting at EPOCH, its files 60 s apart, pauses over 1,000 s cut to 60 s)."""
    heard = {}
    for label, files in phones.items():
        start, frames = EPOCH, []
        for packets in files:
            moved, last = pcaps.phone_timeline(on_channel(packets, channel), start,
                                               LONGEST_PAUSE, PAUSE)
            for p in moved:
                if set_local and pcaps.transmitter(p.data) is not None:
                    p.data = pcaps.with_transmitter(p.data,
                                                    pcaps.local_unicast(pcaps.transmitter(p.data)))
            frames += moved
            if moved:
                start = last + FILE_GAP
        heard[label] = frames
    return heard


def shifted(p, by, data=None):
    return pcaps.Packet(p.time + by, p.data if data is None else data, p.length)


def today(frames, rng):
    return frames


def staggered(frames, rng):
    """The phone starts 0-240 s late."""
    late = rng.randint(0, 240 * SECOND)
    return [shifted(p, late) for p in frames]


def pauses(frames, rng):
    """A pause of 60-300 s after every 5-15 minutes of the phone's time; after each, its
    sequence counter restarts at a random number."""
    out, delay, step = [], 0, 0
    due = frames[0].time + rng.randint(5 * MINUTE, 15 * MINUTE) if frames else 0
    for p in frames:
        if p.time >= due:
            delay += rng.randint(MINUTE, 5 * MINUTE)
            number = pcaps.sequence(p.data)
            step = (rng.randrange(4096) - number) % 4096 if number is not None else 0
            due = p.time + rng.randint(5 * MINUTE, 15 * MINUTE)
        number = pcaps.sequence(p.data)
        data = p.data if number is None else pcaps.with_sequence(p.data, (number + step) % 4096)
        out.append(shifted(p, delay, data))
    return out


def reuse(frames, rng, share=0.3):
    """30 % of the phone's new addresses replaced by one of its own last heard 1-9 minutes
    before the new one's first frame."""
    first, last = {}, {}
    for p in frames:
        address = pcaps.transmitter(p.data)
        if address is not None:
            first.setdefault(address, p.time)
            last[address] = p.time
    heard, instead = {}, {}  # address as sent -> its last frame; replaced -> replacement
    for address in sorted(first, key=first.get):
        start = first[address]
        earlier = [a for a, t in heard.items() if MINUTE <= start - t <= 9 * MINUTE]
        if earlier and rng.random() < share:
            instead[address] = rng.choice(sorted(earlier))
        sent = instead.get(address, address)
        heard[sent] = max(heard.get(sent, 0), last[address])
    out = []
    for p in frames:
        address = pcaps.transmitter(p.data)
        if address in instead:
            p = shifted(p, 0, pcaps.with_transmitter(p.data, instead[address]))
        out.append(p)
    return out


def state(frames, rng, changes=2):
    """Twice, for 60-300 s, one capability bit flipped in every frame that carries it: once in
    each of `changes` equal parts of the phone's time."""
    if not frames:
        return frames
    begin, end = frames[0].time, frames[-1].time
    part = (end - begin) // changes
    spans = []
    for i in range(changes):
        length = rng.randint(MINUTE, 5 * MINUTE)
        start = begin + i * part + rng.randint(0, max(0, part - length))
        spans.append((start, start + length))
    return [shifted(p, 0, flipped(p.data)) if any(a <= p.time < b for a, b in spans) else p
            for p in frames]


def flipped(data):
    """The frame with its state bit flipped: in HT capabilities, else extended capabilities."""
    for element, bit in STATE_BITS.items():
        at = pcaps.element_body(data, element)
        if at is not None:
            return data[:at] + bytes([data[at] ^ bit]) + data[at + 1:]
    return data


SCENES = {"today": today, "staggered": staggered, "pauses": pauses, "reuse": reuse,
          "state": state}


def build(phones, channel, name, set_local, seed=2024):
    """The merged frames one router on `channel` hears in scene `name`, as (time, label,
    packet) in time order."""
    heard = []
    for label, frames in timelines(phones, channel, set_local).items():
        rng = random.Random(f"{seed}/{name}/{channel}/{label}")
        heard += [(p.time, label, p) for p in SCENES[name](frames, rng)]
    heard.sort(key=lambda h: h[0])
    return heard
