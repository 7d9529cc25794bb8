"""Reading and writing pcap files of radiotap 802.11 frames, for the counting evaluation and the
probe-request benchmark: every length read from a file is checked, nothing is guessed."""
import os
import struct
from dataclasses import dataclass

RADIOTAP = 127
# Magic -> (byte order, time units per second).
MAGICS = {0xA1B2C3D4: 1_000_000, 0xA1B23C4D: 1_000_000_000}
# Radiotap fields before the channel (bit 3): bit -> (alignment, size).
BEFORE_CHANNEL = {0: (8, 8), 1: (1, 1), 2: (1, 1)}
CHANNEL_BIT = 3


@dataclass
class Packet:
    time: int        # microseconds since the epoch
    data: bytes      # as captured
    length: int      # on the air


def read_pcap(path):
    """(link type, packets, bytes of a cut last record) of a pcap file; ValueError if not pcap."""
    with open(path, "rb") as f:
        raw = f.read()
    if len(raw) < 24:
        raise ValueError(f"{path}: too short for a pcap header")
    for order in "<>":
        units = MAGICS.get(struct.unpack_from(order + "I", raw)[0])
        if units:
            break
    else:
        raise ValueError(f"{path}: not a pcap file (pcapng is not read here)")
    link = struct.unpack_from(order + "I", raw, 20)[0] & 0x0FFFFFFF
    packets, offset = [], 24
    while offset + 16 <= len(raw):
        seconds, fraction, captured, length = struct.unpack_from(order + "IIII", raw, offset)
        if offset + 16 + captured > len(raw):
            break
        time = seconds * 1_000_000 + fraction * 1_000_000 // units
        packets.append(Packet(time, raw[offset + 16:offset + 16 + captured], length))
        offset += 16 + captured
    return link, packets, len(raw) - offset


def write_pcap(path, packets, link=RADIOTAP, snaplen=65535):
    """Little-endian, microseconds."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, snaplen, link))
        for p in packets:
            f.write(struct.pack("<IIII", p.time // 1_000_000, p.time % 1_000_000, len(p.data),
                                max(p.length, len(p.data))))
            f.write(p.data)


def radiotap_length(data):
    """Length of the radiotap header, or None if it does not fit what was captured."""
    if len(data) < 8 or data[0] != 0:
        return None
    length = struct.unpack_from("<H", data, 2)[0]
    return length if 8 <= length <= len(data) else None


def channel_frequency(data):
    """The radiotap channel field's frequency (MHz), or None: no such field, or cut short."""
    length = radiotap_length(data)
    if length is None:
        return None
    present = struct.unpack_from("<I", data, 4)[0]
    if not present & (1 << CHANNEL_BIT):
        return None
    offset = 8
    while struct.unpack_from("<I", data, offset - 4)[0] & (1 << 31):  # extended presence words
        offset += 4
        if offset > length:
            return None
    for bit, (align, size) in BEFORE_CHANNEL.items():
        if present & (1 << bit):
            offset += -offset % align + size
    offset += -offset % 2
    if offset + 4 > length:
        return None
    return struct.unpack_from("<H", data, offset)[0]


def channel_number(frequency):
    if frequency == 2484:
        return 14
    if 2412 <= frequency < 2484:
        return (frequency - 2407) // 5
    if 5000 <= frequency < 6000:
        return (frequency - 5000) // 5
    return None


def dot11(data):
    """The 802.11 frame after the radiotap header (empty if there is none)."""
    length = radiotap_length(data)
    return data[length:] if length is not None else b""


def is_probe_request(data):
    frame = dot11(data)
    return len(frame) >= 2 and frame[0] & 0x0C == 0 and frame[0] >> 4 == 4


def transmitter(data):
    """Address 2 (bytes), or None when the frame is too short to have one."""
    length = radiotap_length(data)
    if length is None or len(data) < length + 16:
        return None
    return data[length + 10:length + 16]


def with_transmitter(data, address):
    """The same frame with address 2 replaced (frames without one unchanged)."""
    length = radiotap_length(data)
    if length is None or len(data) < length + 16:
        return data
    return data[:length + 10] + address + data[length + 16:]


def local_unicast(address):
    """The address as a phone sends a random one: locally administered, not a group."""
    return bytes([(address[0] | 0x02) & ~0x01 & 0xFF]) + address[1:]


def mac_text(address):
    return ":".join(f"{b:02x}" for b in address)


def labelled_files(directory):
    """{label: [paths]} of the pcap files in directory; the label is the stem before its first _."""
    files = {}
    for name in sorted(os.listdir(directory)):
        if name.endswith(".pcap"):
            files.setdefault(name[:-5].split("_")[0], []).append(os.path.join(directory, name))
    return files


def phone_timeline(packets, start, longest_pause, pause):
    """The packets in time order, moved to begin at `start`, pauses over `longest_pause` cut to
    `pause` (all microseconds); returns (packets, the time of the last)."""
    moved, clock, previous = [], start, None
    for p in sorted(packets, key=lambda p: p.time):
        if previous is not None:
            gap = p.time - previous
            clock += pause if gap > longest_pause else gap
        previous = p.time
        moved.append(Packet(clock, p.data, p.length))
    return moved, clock


HEADER = 24  # a management frame's header: control, duration, three addresses, sequence
FLAGS_BIT, FCS_FLAG = 1, 0x10


def radiotap_flags(data):
    """The radiotap flags byte, or 0 when there is none (or it is cut short)."""
    length = radiotap_length(data)
    if length is None:
        return 0
    present = struct.unpack_from("<I", data, 4)[0]
    if not present & (1 << FLAGS_BIT):
        return 0
    offset = 8
    while struct.unpack_from("<I", data, offset - 4)[0] & (1 << 31):
        offset += 4
        if offset > length:
            return 0
    if present & 1:  # TSFT, eight bytes aligned to eight
        offset += -offset % 8 + 8
    return data[offset] if offset < length else 0


def sequence(data):
    """The frame's sequence number (0-4095), or None when it is too short to have one."""
    length = radiotap_length(data)
    if length is None or len(data) < length + HEADER:
        return None
    return struct.unpack_from("<H", data, length + 22)[0] >> 4


def with_sequence(data, number):
    """The same frame with its sequence number replaced (fragment number kept)."""
    length = radiotap_length(data)
    if length is None or len(data) < length + HEADER:
        return data
    control = struct.unpack_from("<H", data, length + 22)[0] & 0x000F | (number % 4096) << 4
    return data[:length + 22] + struct.pack("<H", control) + data[length + 24:]


def elements(data):
    """(start, end) of a probe request's information elements in `data` (the checksum left
    out), or None when it is not a probe request or is cut short."""
    length = radiotap_length(data)
    if not is_probe_request(data):
        return None
    end = len(data) - (4 if radiotap_flags(data) & FCS_FLAG else 0)
    return (length + HEADER, end) if length + HEADER <= end else None


def walk(data):
    """(id, body start, body length) of each whole element of a probe request, in order; the
    walk ends at the first element cut short."""
    found = elements(data)
    if found is None:
        return
    at, end = found
    while at + 2 <= end:
        size = data[at + 1]
        if at + 2 + size > end:
            return
        yield data[at], at + 2, size
        at += 2 + size


def element_body(data, element):
    """Where the body of the first `element` begins, when it has at least one byte; else None."""
    for number, body, size in walk(data):
        if number == element and size >= 1:
            return body
    return None
