#!/usr/bin/env python3
"""Prints the pseudonym that pelmar reports for a device's address, for operators who need to
find a known device in the uploads (mac_privacy = 1).
Usage: pseudonym.py SECRET ADDRESS [YYYY-MM-DD]
Give the UTC date of the document when mac_rotation = daily; leave it out for a fixed secret.
The address is taken as the capture tool prints it (17 characters, same letter case)."""
import hashlib
import hmac
import sys


def pseudonym(secret, address, day=None):
    key = secret.encode()
    if day:
        key = hmac.new(key, day.encode(), hashlib.sha256).digest()
    digest = hmac.new(key, address.encode()[:17], hashlib.sha256).digest()
    octets = bytes([(digest[0] & ~0x01) | 0x02]) + digest[1:6]
    return ":".join("%02x" % b for b in octets)


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    print(pseudonym(*sys.argv[1:]))
