"""The published online baseline for counting phones through address randomisation, run beside
the daemon on the same frames, its groups written as the daemon's documents are, to be scored
alike: a fingerprint with contents; a new address joins the group of its fingerprint whose
sequence number it continues (within 5 s, 1 to 16 steps forward), else the group of that
fingerprint heard most recently that is not itself linked by sequence numbers, else founds a
group; groups idle an hour are forgotten; a group counts once it has 5 frames; a global (not
locally administered) address, or a sender of anything but probe requests, is its own device.

A group is linked by sequence numbers while its latest address joined it so and it was heard
within the link's 5 s: its phone is then seen continuing its counter, so a new address that
did not continue it is another phone. Once that has passed, the group is a candidate again (a
phone that keeps its counter misses the link at every pause, and would otherwise found a new
group each time)."""
import pcaps

VENDOR, EXTENSION = 221, 255
PER_ADDRESS_VENDOR = bytes([0x00, 0x50, 0xF2, 0x08])
FILS_REQUEST_PARAMETERS = 2
HE_CAPABILITIES = 35  # an extension element's own number
# Elements whose contents describe the phone: rates, extended rates, HT, interworking,
# extended capabilities, VHT; vendor elements and HE (an extension) are added below.
WHOLE = {1, 50, 45, 107, 127, 191}
SSID, DS_PARAMETERS = 0, 3
SEQUENCE_SECONDS = 5
SEQUENCE_STEPS = range(1, 17)
IDLE = 3600 * 1_000_000  # microseconds
COUNTS_FROM = 5


def fingerprint(data):
    """What of a probe request's elements stays across a phone's address changes: the ordered
    element ids, a vendor element's OUI and type, an extension's id, and the contents of the
    elements that describe the phone; the SSID and the channel left out, and of vendor element
    00:50:f2 type 8 and the FILS request parameters only presence and length."""
    parts = []
    for number, at, size in pcaps.walk(data):
        body = data[at:at + size]
        if number in (SSID, DS_PARAMETERS):
            continue
        if number == VENDOR and body[:4] == PER_ADDRESS_VENDOR:
            parts.append((number, size, body[:4]))
        elif number == EXTENSION and body[:1] == bytes([FILS_REQUEST_PARAMETERS]):
            parts.append((number, size, body[:1]))
        elif number in WHOLE or number == VENDOR or (number == EXTENSION and
                                                       body[:1] == bytes([HE_CAPABILITIES])):
            parts.append((number, body))
        elif number == EXTENSION:
            parts.append((number, body[:1]))
        else:
            parts.append((number,))
    return tuple(parts)


class Group:
    def __init__(self, serial, kind, own):
        self.name = f"group{serial}"
        self.fingerprint = kind
        self.own = own
        self.last = 0
        self.sequence = None
        self.frames = 0
        self.by_sequence = False  # its latest address joined it by continuing the numbers


class Baseline:
    def __init__(self):
        self.groups = []        # alive, in founding order
        self.of_address = {}    # address -> its group
        self.named = {}         # address -> the name of its latest group, forgotten or not
        self.serial = 0

    def forget_idle(self, time):
        if any(time - g.last > IDLE for g in self.groups):
            self.groups = [g for g in self.groups if time - g.last <= IDLE]
            alive = set(map(id, self.groups))
            self.of_address = {a: g for a, g in self.of_address.items() if id(g) in alive}

    def found(self, kind, own):
        self.serial += 1
        group = Group(self.serial, kind, own)
        self.groups.append(group)
        return group

    def join(self, kind, time, number):
        """The group a new random address joins, or None."""
        kin = [g for g in self.groups if not g.own and g.fingerprint == kind]
        if number is not None:
            follows = [g for g in kin if g.sequence is not None
                       and time - g.last <= SEQUENCE_SECONDS * 1_000_000
                       and (number - g.sequence) % 4096 in SEQUENCE_STEPS]
            if follows:
                chosen = max(follows, key=lambda g: g.last)
                chosen.by_sequence = True
                return chosen
        others = [g for g in kin
                  if not (g.by_sequence and time - g.last <= SEQUENCE_SECONDS * 1_000_000)]
        chosen = max(others, key=lambda g: g.last) if others else None
        if chosen:
            chosen.by_sequence = False
        return chosen

    def hear(self, time, data):
        """Links one frame; returns (address, its group) or None for a frame without sender."""
        address = pcaps.transmitter(data)
        if address is None:
            return None
        self.forget_idle(time)
        group = self.of_address.get(address)
        if group is None:
            own = not address[0] & 0x02 or not pcaps.is_probe_request(data)
            kind = None if own else fingerprint(data)
            group = None if own else self.join(kind, time, pcaps.sequence(data))
            group = group or self.found(kind, own)
            self.of_address[address] = group
        group.last = time
        group.sequence = pcaps.sequence(data)
        group.frames += 1
        self.named[address] = group.name
        return address, group


def documents(heard, report_time):
    """The baseline's documents for windows of report_time seconds from the first frame's
    second: each with "devices" (groups heard in it that count) and, in the last, every
    address with its group."""
    if not heard:
        return []
    first = heard[0][0] // 1_000_000
    windows = [set() for _ in range((heard[-1][0] // 1_000_000 - first) // report_time + 1)]
    baseline = Baseline()
    for time, _, packet in heard:
        linked = baseline.hear(time, packet.data)
        if linked and linked[1].frames >= COUNTS_FROM:
            windows[(time // 1_000_000 - first) // report_time].add(linked[1].name)
    docs = [{"devices": len(w), "data": []} for w in windows]
    docs[-1]["data"] = [{"mac": pcaps.mac_text(a), "device": name}
                        for a, name in baseline.named.items()]
    return docs
