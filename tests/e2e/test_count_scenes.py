"""The counting evaluation's stress scenes (bench/scenes.py: frames rewritten in their bytes) and
its baseline linker (bench/count_baseline.py), on frames made here."""
import os
import random
import sys
import unittest

from frames import FLAGS, management, radiotap

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import count_baseline  # noqa: E402
import pcaps  # noqa: E402
import scenes  # noqa: E402

S = 1_000_000
HT = bytes([45, 2, 0x0C, 0x00])
EXT_CAPS = bytes([127, 1, 0x04])
RATES = bytes([1, 2, 0x82, 0x84])


def probe(source, elements=RATES + HT, number=0, fcs=False):
    frame = management(4, source, body=elements) + (b"\xde\xad\xbe\xef" if fcs else b"")
    return pcaps.with_sequence(radiotap({FLAGS: 0x10 if fcs else 0}) + frame, number)


def phone(*frames):
    """(seconds, address, sequence number) -> a phone's packets."""
    return [pcaps.Packet(int(t * S), probe(mac, number=n), 0) for t, mac, n in frames]


class Rewriting(unittest.TestCase):
    def test_sequence_numbers(self):
        frame = probe("02:00:00:00:00:01", number=4095)
        at = len(frame) - len(RATES + HT) - 2  # the sequence control's first byte
        fragment = frame[:at] + b"\x07" + frame[at + 1:]
        cases = [(frame, 5, 5), (fragment, 4097, 1), (frame[:30], 9, None)]  # cut: untouched
        for data, number, read in cases:
            with self.subTest(number=number, length=len(data)):
                made = pcaps.with_sequence(data, number)
                self.assertEqual(pcaps.sequence(made), read)
                self.assertEqual(len(made), len(data))
                if read is not None:  # the fragment number stays
                    self.assertEqual(made[at] & 0x0F, data[at] & 0x0F)

    def test_state_bit(self):
        cut_ht = RATES + bytes([45, 9, 0x0C])  # says 9 bytes, has 1
        cases = [(RATES + HT, False, RATES + bytes([45, 2, 0x04, 0x00])),
                 (RATES + EXT_CAPS, False, RATES + bytes([127, 1, 0x05])),
                 (EXT_CAPS + HT, False, EXT_CAPS + bytes([45, 2, 0x04, 0x00])),  # HT first
                 (RATES + bytes([45, 0]) + EXT_CAPS, False, RATES + bytes([45, 0, 127, 1, 0x05])),
                 (RATES, False, RATES), (cut_ht, False, cut_ht),
                 # The checksum is not an element: HT would have to reach into it.
                 (RATES + bytes([45, 5, 0x0C]), True, RATES + bytes([45, 5, 0x0C]))]
        for elements, fcs, expected in cases:
            with self.subTest(elements=elements.hex(), fcs=fcs):
                data = probe("02:00:00:00:00:01", elements, fcs=fcs)
                made = scenes.flipped(data)
                self.assertEqual(len(made), len(data))
                end = len(made) - (4 if fcs else 0)
                self.assertEqual(made[end - len(expected):end], expected)


class Scenes(unittest.TestCase):
    def test_pauses_restart_the_counter(self):
        frames = phone(*[(t, "02:00:00:00:00:01", t % 4096) for t in range(0, 3600, 10)])
        out = scenes.pauses(frames, random.Random(1))
        gaps = [(b.time - a.time) // S for a, b in zip(out, out[1:])]
        pauses = [i for i, g in enumerate(gaps) if g != 10]
        self.assertTrue(3 <= len(pauses) <= 12, gaps)
        for i in pauses:
            self.assertTrue(70 <= gaps[i] <= 310, gaps[i])
        steps = [(pcaps.sequence(b.data) - pcaps.sequence(a.data)) % 4096
                 for a, b in zip(out, out[1:])]
        # The counter steps on by 10 between pauses and starts anew after each.
        self.assertEqual([i for i, step in enumerate(steps) if step != 10], pauses)
        self.assertEqual(len(out), len(frames))

    def test_reused_addresses_are_the_phones_own_and_minutes_old(self):
        frames = phone(*[(t, f"02:00:00:00:{t // 256:02x}:{t % 256:02x}", 0)
                         for t in range(0, 3600, 20)])
        out = scenes.reuse(frames, random.Random(3))
        last = {}
        replaced = 0
        for before, after in zip(frames, out):
            sent, own = pcaps.transmitter(after.data), pcaps.transmitter(before.data)
            if sent != own:
                replaced += 1
                self.assertIn(sent, last)
                self.assertTrue(60 * S <= before.time - last[sent] <= 540 * S)
            last[sent] = before.time
        self.assertTrue(0.2 * len(frames) <= replaced <= 0.4 * len(frames), replaced)

    def test_state_changes_twice_for_a_minute_or_more(self):
        frames = phone(*[(t, "02:00:00:00:00:01", 0) for t in range(0, 3600)])
        out = scenes.state(frames, random.Random(5))
        flips = [f.time // S for f, o in zip(frames, out) if f.data != o.data]
        runs = [[flips[0]]]
        for t in flips[1:]:
            runs[-1].append(t) if t == runs[-1][-1] + 1 else runs.append([t])
        self.assertEqual(len(runs), 2)
        for half, run in enumerate(runs):
            self.assertTrue(60 <= len(run) <= 300, len(run))
            self.assertTrue(half * 1800 <= run[0] and run[-1] < (half + 1) * 1800, run)


VENDOR_WPS = bytes([221, 6, 0x00, 0x50, 0xF2, 0x08, 0x00, 0x10])
FILS = bytes([255, 3, 2, 0xAA, 0xBB])
HE = bytes([255, 3, 35, 0x01, 0x02])
OTHER = bytes([70, 2, 0x01, 0x02])  # RM capabilities: its id only


class Fingerprint(unittest.TestCase):
    def test_what_counts(self):
        base = RATES + HT + VENDOR_WPS + FILS + HE + OTHER
        cases = [  # elements, same fingerprint as base?
            (bytes([0, 3]) + b"abc" + bytes([3, 1, 6]) + base, True),  # SSID, channel left out
            (RATES + HT + VENDOR_WPS[:-1] + b"\x99" + FILS[:-1] + b"\x99" + HE + OTHER, True),
            (RATES + HT + VENDOR_WPS + FILS + HE + OTHER[:-1] + b"\x99", True),
            (RATES + HT + VENDOR_WPS + FILS + HE[:-1] + b"\x99" + OTHER, False),
            (RATES + bytes([45, 2, 0x0D, 0]) + VENDOR_WPS + FILS + HE + OTHER, False),
            (HT + RATES + VENDOR_WPS + FILS + HE + OTHER, False),  # order
            (RATES + HT + VENDOR_WPS + bytes([255, 3, 2, 0xAA]) + HE + OTHER, False),  # length
            (base + bytes([50, 7, 1]), True),  # cut short: the walk ends there
        ]
        for elements, same in cases:
            with self.subTest(elements=elements.hex()):
                self.assertEqual(count_baseline.fingerprint(probe("02:00:00:00:00:01", elements))
                                 == count_baseline.fingerprint(probe("02:00:00:00:00:01", base)),
                                 same)


A_PRINT, B_PRINT = RATES + HT, RATES + EXT_CAPS


def scene(*frames):
    """(seconds, label, address, sequence number, elements) -> heard."""
    return [(int(t * S), label, pcaps.Packet(int(t * S), probe(mac, e, n), 0))
            for t, label, mac, n, e in frames]


def burst(t, label, mac, first, elements=A_PRINT, count=5):
    return [(t + i * 0.01, label, mac, first + i, elements) for i in range(count)]


class Baseline(unittest.TestCase):
    def groups(self, heard):
        docs = count_baseline.documents(heard, 10 ** 6)
        named = {r["mac"]: r["device"] for r in docs[-1]["data"]}
        return [named[pcaps.mac_text(pcaps.transmitter(p.data))] for _, _, p in heard], docs

    def test_links(self):
        x, y, z = "02:00:00:00:00:0a", "02:00:00:00:00:0b", "02:00:00:00:00:0c"
        cases = [  # frames, the address of each burst's first frame -> group, counted
            ("sequence continues within 5 s", burst(0, "P", x, 100) + burst(4, "P", y, 110),
             "aa", 1),
            ("silence over 5 s: latest of its kind", burst(0, "P", x, 100) + burst(60, "P", y, 900),
             "aa", 1),
            ("another fingerprint", burst(0, "P", x, 100) + burst(1, "Q", y, 105, B_PRINT),
             "ab", 2),
            ("a phone continuing its counter, a new address that does not: another phone",
             burst(0, "P", x, 100) + burst(2, "P", y, 106) + burst(3, "Q", z, 2000), "aab", 2),
            ("after the link's 5 s, the latest of its kind again",
             burst(0, "P", x, 100) + burst(2, "P", y, 106) + burst(8, "P", z, 2000), "aaa", 1),
            ("idle an hour: forgotten", burst(0, "P", x, 100) + burst(3602, "P", y, 3000), "ab", 2),
            ("a global address is its own", burst(0, "P", x, 100) +
             burst(1, "Q", "00:11:22:33:44:55", 106), "ab", 2),
            ("four frames do not count", burst(0, "P", x, 100) + burst(1, "Q", y, 0, B_PRINT, 4),
             "ab", 1),
        ]
        for name, frames, expected, counted in cases:
            with self.subTest(name):
                heard = scene(*frames)
                groups, docs = self.groups(heard)
                starts = [groups[i] for i in range(0, len(groups), 5)]
                letters = {g: chr(ord("a") + n) for n, g in enumerate(dict.fromkeys(starts))}
                self.assertEqual("".join(letters[g] for g in starts), expected)
                self.assertEqual(docs[0]["devices"], counted)

    def test_windows_count_groups_from_their_fifth_frame(self):
        heard = scene(*[(t, "P", "02:00:00:00:00:0a", t, A_PRINT) for t in (0, 3, 6, 9, 12, 25)])
        self.assertEqual([d["devices"] for d in count_baseline.documents(heard, 10)], [0, 1, 1])


if __name__ == "__main__":
    unittest.main()
