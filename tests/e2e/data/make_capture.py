#!/usr/bin/env python3
"""Writes capture.pcap: radiotap 802.11 frames as a monitor interface records them, for the
tests and the demo: probe requests, a beacon, data frames, acknowledgements, a clear-to-send
and a power-save poll, some devices in bursts; data frames from the distribution system and a
four-address frame, whose source address is a wired host behind an access point; and a radio
reporting both a dBm and a relative dB signal.
Needs Debian's python3-scapy (run it with /usr/bin/python3). Usage: make_capture.py [OUT]"""
import struct
import sys

from scapy.layers.dot11 import (Dot11, Dot11Beacon, Dot11Elt, Dot11ProbeReq, Dot11QoS,
                                RadioTap)
from scapy.layers.l2 import LLC, SNAP
from scapy.utils import wrpcap

AP = "3c:22:fb:11:20:01"
PHONE = "a4:83:e7:5d:02:9c"
RANDOM = "da:a1:19:6e:3b:55"
LAPTOP = "f0:18:98:aa:41:07"
CAMERA = "b8:27:eb:04:c2:10"
BOTH = "6c:40:08:9a:7e:21"      # heard by a radio that reports dBm and relative dB
WIRED = "00:0d:b9:4a:10:77"     # wired hosts behind access points: never on the air
WIRED_WDS = "00:0d:b9:4a:10:78"
BROADCAST = "ff:ff:ff:ff:ff:ff"
START = 1700000000.0

# The devices and the tally the daemon must make of them are listed in test_pipeline.py.


def radio(signal, channel=2412):
    return RadioTap(present="Flags+Rate+Channel+dBm_AntSignal+Antenna", Flags=0, Rate=2,
                    ChannelFrequency=channel, ChannelFlags="CCK+2GHz", dBm_AntSignal=signal,
                    Antenna=1)


def probe(source, signal, relative=None):
    frame = (Dot11(type=0, subtype=4, addr1=BROADCAST, addr2=source, addr3=BROADCAST) /
             Dot11ProbeReq() / Dot11Elt(ID=0, info=b"") /
             Dot11Elt(ID=1, info=b"\x82\x84\x8b\x96"))
    if relative is None:
        return radio(signal) / frame
    return RadioTap(radio_with_relative(signal, relative) + bytes(frame))


def radio_with_relative(signal, relative):
    """A radiotap header with a dBm and a relative dB antenna signal, which the radiotap layer
    used here cannot write: flags, rate, channel, dBm signal, antenna, dB signal."""
    present = (1 << 1) | (1 << 2) | (1 << 3) | (1 << 5) | (1 << 11) | (1 << 12)
    fields = struct.pack("<BBHHbBB", 0, 2, 2412, 0x00A0, signal, 1, relative)
    return struct.pack("<BBHI", 0, 0, 8 + len(fields), present) + fields


def beacon(source, signal):
    return (radio(signal) / Dot11(type=0, subtype=8, addr1=BROADCAST, addr2=source, addr3=source) /
            Dot11Beacon(cap="ESS") / Dot11Elt(ID=0, info=b"pelmar-lab"))


def data(source, destination, signal, to_ap=True):
    flags = "to-DS" if to_ap else "from-DS"
    addresses = (dict(addr1=AP, addr2=source, addr3=destination) if to_ap
                 else dict(addr1=destination, addr2=AP, addr3=source))
    return (radio(signal) / Dot11(type=2, subtype=8, FCfield=flags, **addresses) /
            Dot11QoS() / LLC() / SNAP() / (b"\x00" * 20))


def bridged(source, signal):
    """A data frame through two access points: receiver, transmitter, destination, source."""
    return (radio(signal) / Dot11(type=2, subtype=8, FCfield="to-DS+from-DS", addr1=AP,
                                  addr2="3c:22:fb:11:20:02", addr3=PHONE, addr4=source) /
            Dot11QoS() / LLC() / SNAP() / (b"\x00" * 20))


def control(subtype, receiver, signal, transmitter=None):
    frame = Dot11(type=1, subtype=subtype, addr1=receiver)
    if transmitter:
        frame = Dot11(type=1, subtype=subtype, ID=0xc001, addr1=AP, addr2=transmitter)
    return radio(signal) / frame


def frames():
    timeline = [
        (0.00, beacon(AP, -40)),
        (0.10, probe(PHONE, -60)),
        (0.11, control(13, PHONE, -45)),          # ACK to the phone
        (0.60, probe(PHONE, -62)),
        (1.10, probe(PHONE, -61)),
        (1.20, control(12, "02:cc:00:00:00:01", -70)),  # CTS to a station never heard
        (1.50, probe(RANDOM, -81)),
        (1.60, control(10, None, -80, transmitter=RANDOM)),  # PS-Poll from the random one
        (2.00, data(LAPTOP, "00:11:22:33:44:55", -50)),
        (2.10, data(LAPTOP, "00:11:22:33:44:55", -52)),
        (2.11, control(13, LAPTOP, -45)),
        (7.00, data(AP, PHONE, -41, to_ap=False)),
        (7.50, data(WIRED, PHONE, -42, to_ap=False)),   # from the wired host, sent by the AP
        (8.00, bridged(WIRED_WDS, -43)),
        (9.00, probe(BOTH, -67, relative=30)),
        (11.00, data(LAPTOP, "00:11:22:33:44:55", -70)),
    ]
    for i, signal in enumerate([-55, -54, -53, -90, -54, -55, -53, -54]):
        timeline.append((3.00 + i * 0.1, data(CAMERA, "00:11:22:33:44:55", signal)))
    packets = []
    for offset, frame in sorted(timeline, key=lambda item: item[0]):
        frame.time = START + offset
        packets.append(frame)
    return packets


if __name__ == "__main__":
    wrpcap(sys.argv[1] if len(sys.argv) > 1 else "capture.pcap", frames())
