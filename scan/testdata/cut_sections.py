#!/usr/bin/env python3
"""Cuts the PSI/SI sections the channel scan reads out of real captures.

For each capture, every section on the PAT, NIT, SDT and VCT PIDs and on the PMT PIDs that a
PAT names is reassembled from the packets; sections with table id 0x00, 0x02, 0x40, 0x42 or
0xC8 that pass their CRC are kept, the first appearance of each (PID, table id, extension,
section number) only, in the order they complete. The output file is the sections as
transmitted, back to back, each preceded by its PID as two bytes (big-endian).

    cut_sections.py CORPUS_TS_DIR OUT_DIR [capture.ts ...]
    cut_sections.py --seeds SECTIONS_DIR SEED_DIR

The second form writes each cut section to a file of its own, with the two header words in
the order the section source hands them to the parser: seeds for the parse_section fuzzer.
"""
import os
import struct
import sys

WANTED_TIDS = {0x00, 0x02, 0x40, 0x42, 0xC8}
FIXED_PIDS = {0x0000, 0x0010, 0x0011, 0x1FFB}
DEFAULT_CAPTURES = [
    "dvbt_au_nit_two_networks.ts",
    "dvbt_cz_ct_mux1_730MHz.ts",
    "dvbt_gr_ert_474MHz_rx_errors.ts",
    "dvbt_it_rai_muxA_498MHz.ts",
    "dvbt_tw_cts_593MHz.ts",
    "atsc_us_wnet_psip.ts",
    "atsc_us_kulx_tvct_pmt.ts",
]


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else (crc << 1)
            crc &= 0xFFFFFFFF
    return crc


def sections(data):
    """Yields (pid, section) for every whole section on the PIDs of interest."""
    pids = set(FIXED_PIDS)
    buf = {}
    last_cc = {}
    for off in range(0, len(data) - 187, 188):
        pkt = data[off:off + 188]
        if pkt[0] != 0x47:
            continue
        pid = ((pkt[1] & 0x1F) << 8) | pkt[2]
        if pid not in pids:
            continue
        if pkt[1] & 0x80:
            buf.pop(pid, None)
            last_cc.pop(pid, None)
            continue
        afc = (pkt[3] >> 4) & 3
        cc = pkt[3] & 0x0F
        if not afc & 1:
            continue
        if pid in last_cc and cc == last_cc[pid]:
            continue
        if pid in last_cc and cc != (last_cc[pid] + 1) & 0x0F:
            buf.pop(pid, None)
        last_cc[pid] = cc
        pos = 5 + pkt[4] if afc & 2 else 4
        if pos >= 188:
            continue
        payload = pkt[pos:]
        done = []
        if pkt[1] & 0x40:
            ptr = payload[0]
            if pid in buf:
                buf[pid] += payload[1:1 + ptr]
                done += take_whole(buf, pid)
            buf.pop(pid, None)
            rest = payload[1 + ptr:]
            while rest and rest[0] != 0xFF:
                buf[pid] = bytearray(rest)
                got = take_whole(buf, pid)
                if not got:
                    break
                done += got
                rest = rest[len(got[0]):]
                buf.pop(pid, None)
        elif pid in buf:
            buf[pid] += payload
            done += take_whole(buf, pid)
        for sec in done:
            if sec[0] == 0x00 and len(sec) >= 12 and crc32_mpeg(sec) == 0:
                for i in range(8, len(sec) - 4, 4):
                    if (sec[i] << 8) | sec[i + 1]:
                        pids.add(((sec[i + 2] & 0x1F) << 8) | sec[i + 3])
            yield pid, sec


def take_whole(buf, pid):
    """The section in buf[pid] when it is whole (and removes it), else nothing."""
    pending = buf[pid]
    if len(pending) < 3:
        return []
    total = 3 + (((pending[1] & 0x0F) << 8) | pending[2])
    if len(pending) < total:
        return []
    del buf[pid]
    return [bytes(pending[:total])]


def cut(path):
    data = open(path, "rb").read()
    seen = set()
    out = bytearray()
    count = 0
    for pid, sec in sections(data):
        if len(sec) < 12 or not sec[1] & 0x80 or crc32_mpeg(sec) != 0:
            continue
        tid = sec[0]
        if tid not in WANTED_TIDS:
            continue
        key = (pid, tid, (sec[3] << 8) | sec[4], sec[6])
        if key in seen:
            continue
        seen.add(key)
        out += struct.pack(">H", pid) + sec
        count += 1
    return bytes(out), count


def write_seeds(src, dst):
    os.makedirs(dst, exist_ok=True)
    n = 0
    for name in sorted(os.listdir(src)):
        if not name.endswith(".sections"):
            continue
        d = open(os.path.join(src, name), "rb").read()
        i = 0
        while len(d) - i >= 5:
            total = 3 + (((d[i + 3] & 0x0F) << 8) | d[i + 4])
            sec = bytearray(d[i + 2:i + 2 + total])
            sec[1], sec[2] = sec[2], sec[1]
            sec[3], sec[4] = sec[4], sec[3]
            with open(os.path.join(dst, "%s-%03d" % (name[:-9], n)), "wb") as f:
                f.write(sec)
            n += 1
            i += 2 + total
    print("%d seeds" % n)
    return 0


def main(argv):
    if len(argv) == 4 and argv[1] == "--seeds":
        return write_seeds(argv[2], argv[3])
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    src, dst = argv[1], argv[2]
    names = argv[3:] or DEFAULT_CAPTURES
    os.makedirs(dst, exist_ok=True)
    for name in names:
        blob, count = cut(os.path.join(src, name))
        stem = os.path.splitext(name)[0]
        with open(os.path.join(dst, stem + ".sections"), "wb") as f:
            f.write(blob)
        print("%s: %d sections, %d bytes" % (stem, count, len(blob)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
