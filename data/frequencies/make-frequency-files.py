#!/usr/bin/env python3
"""Writes the scan's frequency files from the channel plans they follow (see README.md).

    data/frequencies/make-frequency-files.py [OUTPUT_DIR]

One medium string per line, as the scan tunes it: frequency in kHz/bandwidth in MHz/-1/-1/-1
for DVB-T, physical channel/-1/-1 for ATSC. Run it after changing a plan and commit the result.
"""
import os
import sys


def dvbt(centre_khz, bandwidth):
    return "%d/%d/-1/-1/-1" % (centre_khz, bandwidth)


# UHF, 8 MHz, channels 21-69: centre = 306 + 8 * channel MHz (474-858 MHz).
UHF_8MHZ = [dvbt(306000 + 8000 * ch, 8) for ch in range(21, 70)]
# VHF band III, 7 MHz, channels 5-12: centre = 142.5 + 7 * channel MHz (177.5-226.5 MHz).
VHF_7MHZ = [dvbt(142500 + 7000 * ch, 7) for ch in range(5, 13)]
# Australia: VHF 6, 7, 8, 9, 9A, 10, 11, 12 at 7 MHz steps from 177.5 MHz; UHF 28-51 after the
# restack (centre = 333.5 + 7 * channel MHz, 529.5-690.5 MHz).
AU_VHF = [dvbt(177500 + 7000 * k, 7) for k in range(8)]
AU_UHF = [dvbt(333500 + 7000 * ch, 7) for ch in range(28, 52)]
# Taiwan: UHF, 6 MHz, channels 14-51: centre = 389 + 6 * channel MHz (473-695 MHz).
TW_UHF = [dvbt(389000 + 6000 * ch, 6) for ch in range(14, 52)]
# ATSC: the physical channels left to television after the US repack, 2-36.
ATSC = ["%d/-1/-1" % ch for ch in range(2, 37)]


def union(*plans):
    seen = {}
    for plan in plans:
        for line in plan:
            seen.setdefault(line, None)
    return sorted(seen, key=lambda l: tuple(int(x) for x in l.split("/")[:2]))


FILES = {
    "DVBTfrequencies_B8.txt": UHF_8MHZ,
    "DVBTfrequencies_B7-8.txt": VHF_7MHZ + UHF_8MHZ,
    "DVBTfrequencies_B7.txt": AU_VHF + AU_UHF,
    "DVBTfrequencies_B6.txt": TW_UHF,
    "ATSCfrequencies.txt": ATSC,
}
FILES["DVBTfrequencies_Universal.txt"] = union(*(v for k, v in FILES.items() if k.startswith("DVBT")))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, lines in FILES.items():
        with open(os.path.join(out, name), "w", newline="\n") as f:
            f.write("\n".join(lines) + "\n")
        print("%-32s %3d lines" % (name, len(lines)))


if __name__ == "__main__":
    main()
