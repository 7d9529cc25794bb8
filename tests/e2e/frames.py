"""Radiotap 802.11 frames built byte by byte, and pcap and pcapng files of them, for the tests
and the benchmark."""
import struct

# Radiotap fields: bit -> (alignment, size).
FIELDS = {0: (8, 8), 1: (1, 1), 2: (1, 1), 3: (2, 4), 5: (1, 1), 11: (1, 1), 12: (1, 1),
          14: (2, 2), 18: (4, 8), 19: (1, 3), 20: (4, 8), 21: (2, 12)}
TSFT, FLAGS, RATE, CHANNEL, DBM, ANTENNA, DB, RX_FLAGS, XCHANNEL, MCS, AMPDU, VHT = FIELDS
RADIOTAP_NS, VENDOR_NS, EXT = 1 << 29, 1 << 30, 1 << 31
FCS_FLAG, DATAPAD_FLAG, BAD_FCS_FLAG = 0x10, 0x20, 0x40
BROADCAST = "ff:ff:ff:ff:ff:ff"


def radiotap(*namespaces, vendor=None):
    """A radiotap header: each namespace a dict {bit: value} (an int, written little-endian in
    the field's size; signals as signed bytes), the later ones after a switch to a new radiotap
    namespace; `vendor` (index, data) puts a vendor namespace before the namespace `index`."""
    words, parts = [], []
    for index, fields in enumerate(namespaces):
        if index:
            words[-1] |= VENDOR_NS if vendor and vendor[0] == index else RADIOTAP_NS
        if vendor and vendor[0] == index:
            words.append(RADIOTAP_NS)
            parts.append((2, b"\x00\x11\x22\x00" + struct.pack("<H", len(vendor[1]))))
            parts.append((1, vendor[1]))
        words.append(sum(1 << bit for bit in fields))
        for bit in sorted(fields):
            align, size = FIELDS[bit]
            parts.append((align, (fields[bit] & 0xFF if bit == DBM else fields[bit])
                          .to_bytes(size, "little")))
    body, start = bytearray(), 4 + 4 * len(words)
    for align, data in parts:
        body += bytes(-(start + len(body)) % align) + data
    words = [w | EXT for w in words[:-1]] + words[-1:]
    return (struct.pack("<BBH", 0, 0, start + len(body)) +
            b"".join(struct.pack("<I", w) for w in words) + body)


def simple_radio(dbm=None, flags=0, db=None):
    """Flags, rate, channel and the signals given: the usual single-antenna layout."""
    fields = {FLAGS: flags, RATE: 2, CHANNEL: 0x00A0096C}
    if dbm is not None:
        fields.update({DBM: dbm, ANTENNA: 1})
    if db is not None:
        fields[DB] = db
    return radiotap(fields)


def mac(text):
    return bytes.fromhex(text.replace(":", ""))


def header(kind, subtype, *addresses, flags=0):
    """Frame control, duration, then the addresses (the fourth after the sequence number)."""
    raw = [mac(a) for a in addresses]
    return (struct.pack("<BBH", kind << 2 | subtype << 4, flags, 0) + b"".join(raw[:3]) +
            (b"\x10\x00" + b"".join(raw[3:]) if len(raw) > 2 else b""))


def management(subtype, source, destination=BROADCAST, bssid=BROADCAST, body=b""):
    return header(0, subtype, destination, source, bssid) + body


def probe_request(source, ssid=b""):
    return management(4, source, body=b"\x00" + bytes([len(ssid)]) + ssid + b"\x01\x02\x82\x84")


def beacon(source, ssid=b"pelmar-lab"):
    return management(8, source, BROADCAST, source,
                      bytes(8) + b"\x64\x00\x01\x00\x00" + bytes([len(ssid)]) + ssid)


def data(kind, transmitter, receiver, third, fourth=None, qos=False):
    """kind: "nods", "tods", "fromds" or "wds" (four addresses)."""
    flags = ["nods", "tods", "fromds", "wds"].index(kind)
    addresses = [receiver, transmitter, third] + ([fourth] if fourth else [])
    return (header(2, 8 if qos else 0, *addresses, flags=flags) + (b"\0\0" if qos else b"") +
            b"\xaa\xaa\x03")


def control(subtype, receiver, transmitter=None):
    return header(1, subtype, receiver, *([transmitter] if transmitter else []))


def pcap(packets, snaplen=65535):
    """A pcap file of (time, radiotap + frame bytes, length on the air or None)."""
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, snaplen, 127)]
    for time, frame, length in packets:
        out.append(struct.pack("<IIII", int(time), round(time % 1 * 1e6), len(frame),
                               length or len(frame)) + frame)
    return b"".join(out)


def pcapng(packets, offset=None):
    """The same packets as a pcapng file with one interface; `offset` seconds (if_tsoffset) are
    added to every time."""
    def block(kind, body):
        body += bytes(-len(body) % 4)
        return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)
    out = [block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)),
           block(1, struct.pack("<HHI", 127, 0, 65535) +
                 (struct.pack("<HHq", 14, 8, offset) + bytes(4) if offset is not None else b""))]
    for time, frame, length in packets:
        stamp = round(time * 1e6)
        out.append(block(6, struct.pack("<IIIII", 0, stamp >> 32, stamp & 0xFFFFFFFF,
                                        len(frame), length or len(frame)) + frame))
    return b"".join(out)
