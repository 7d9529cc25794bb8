"""Radiotap 802.11 frames built byte by byte, and pcap and pcapng files of them, for the tests
and the benchmark: every radiotap layout and frame kind the daemon must read, hostile ones too."""
import struct

# Radiotap fields: bit -> (alignment, size).
FIELDS = {0: (8, 8), 1: (1, 1), 2: (1, 1), 3: (2, 4), 5: (1, 1), 6: (1, 1), 11: (1, 1),
          12: (1, 1), 14: (2, 2), 18: (4, 8), 19: (1, 3), 20: (4, 8), 21: (2, 12)}
TSFT, FLAGS, RATE, CHANNEL, DBM, NOISE, ANTENNA, DB, RX_FLAGS, XCHANNEL, MCS, AMPDU, VHT = (
    0, 1, 2, 3, 5, 6, 11, 12, 14, 18, 19, 20, 21)
RADIOTAP_NS, VENDOR_NS, EXT = 1 << 29, 1 << 30, 1 << 31
FCS_FLAG, DATAPAD_FLAG = 0x10, 0x20
BROADCAST = "ff:ff:ff:ff:ff:ff"


def field(bit, value=0):
    """The bytes of one radiotap field: a signal as a signed byte, others as zeros or `value`."""
    size = FIELDS[bit][1]
    if bit == DBM:
        return struct.pack("b", value)
    if bit == CHANNEL:
        return struct.pack("<HH", value or 2412, 0x00A0)
    return value.to_bytes(size, "little") if isinstance(value, int) else value


def radiotap(*namespaces, vendor=None):
    """A radiotap header: each namespace a dict {bit: field bytes} (the later ones start with a
    switch to a new radiotap namespace); `vendor` (namespace index, data) puts a vendor
    namespace with that data before the namespace of that index."""
    words, layout = [], []
    for index, fields in enumerate(namespaces):
        if vendor and vendor[0] == index:
            words[-1] |= VENDOR_NS
            words.append(RADIOTAP_NS)
            layout.append(("vendor", vendor[1]))
        words.append(sum(1 << bit for bit in fields))
        layout.append(("fields", fields))
        if index + 1 < len(namespaces) and not (vendor and vendor[0] == index + 1):
            words[-1] |= RADIOTAP_NS
    words = [w | EXT for w in words[:-1]] + words[-1:]
    body = bytearray()
    start = 4 + 4 * len(words)

    def place(align, data):
        while (start + len(body)) % align:
            body.append(0)
        body.extend(data)

    for kind, content in layout:
        if kind == "vendor":  # its header belongs to the word before: OUI, sub-namespace, skip
            place(2, b"\x00\x11\x22\x00" + struct.pack("<H", len(content)))
            body.extend(content)
            continue
        for bit in sorted(content):
            place(FIELDS[bit][0], content[bit])
    length = start + len(body)
    return struct.pack("<BBH", 0, 0, length) + b"".join(struct.pack("<I", w) for w in words) + body


def simple_radio(dbm=None, flags=0, db=None):
    """Flags, rate, channel and the signals given: the usual single-antenna layout."""
    fields = {FLAGS: bytes([flags]), RATE: b"\x02", CHANNEL: field(CHANNEL)}
    if dbm is not None:
        fields[DBM] = field(DBM, dbm)
        fields[ANTENNA] = b"\x01"
    if db is not None:
        fields[DB] = bytes([db])
    return radiotap(fields)


def mac(text):
    return bytes(int(part, 16) for part in text.split(":"))


def header(kind, subtype, *addresses, flags=0):
    control = struct.pack("<BB", (kind << 2) | (subtype << 4), flags)
    return control + b"\x00\x00" + b"".join(mac(a) for a in addresses[:3]) + (
        b"\x10\x00" + b"".join(mac(a) for a in addresses[3:]) if len(addresses) > 2 else b"")


def management(subtype, source, destination=BROADCAST, bssid=BROADCAST, body=b""):
    return header(0, subtype, destination, source, bssid) + body


def probe_request(source, ssid=b""):
    return management(4, source, body=b"\x00" + bytes([len(ssid)]) + ssid +
                      b"\x01\x04\x82\x84\x8b\x96")


def beacon(source, ssid=b"pelmar-lab"):
    body = b"\x00" * 8 + b"\x64\x00\x01\x00" + b"\x00" + bytes([len(ssid)]) + ssid
    return management(8, source, BROADCAST, source, body)


def data(kind, transmitter, receiver, third, fourth=None, qos=False, payload=b"\xaa\xaa\x03"):
    """kind: "nods", "tods", "fromds" or "wds" (four addresses)."""
    flags = {"nods": 0, "tods": 1, "fromds": 2, "wds": 3}[kind]
    subtype = 8 if qos else 0
    addresses = [receiver, transmitter, third] + ([fourth] if kind == "wds" else [])
    return header(2, subtype, *addresses, flags=flags) + (b"\x00\x00" if qos else b"") + payload


def control(subtype, receiver, transmitter=None):
    frame = struct.pack("<BB", (1 << 2) | (subtype << 4), 0) + b"\x00\x00" + mac(receiver)
    return frame + (mac(transmitter) if transmitter else b"")


def pcap(packets, snaplen=65535):
    """A pcap file of (time, radiotap + frame bytes, length on the air or None)."""
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, snaplen, 127)]
    for time, frame, length in packets:
        seconds, micro = int(time), int(round((time % 1) * 1e6))
        out.append(struct.pack("<IIII", seconds, micro, len(frame), length or len(frame)) + frame)
    return b"".join(out)


def pcapng(packets):
    """The same packets as a pcapng file with one interface."""
    def block(kind, body):
        body += b"\x00" * (-len(body) % 4)
        return struct.pack("<II", kind, len(body) + 12) + body + struct.pack("<I", len(body) + 12)
    out = [block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)),
           block(1, struct.pack("<HHI", 127, 0, 65535))]
    for time, frame, length in packets:
        stamp = int(round(time * 1e6))
        out.append(block(6, struct.pack("<IIIII", 0, stamp >> 32, stamp & 0xFFFFFFFF,
                                        len(frame), length or len(frame)) + frame))
    return b"".join(out)
