#!/usr/bin/env python3
"""Writes the seed corpora of the identify, inquiry and options fuzz targets.

The seeds are the real answers captured in tests/data/*.hex and the worked examples the unit
tests use, laid out as each target reads its input:

  identify  512 bytes of IDENTIFY data, 512 bytes of the dotted answer, 512 bytes of the
            plain answer (shorter inputs are zero-padded by the target)
  inquiry   96 bytes of standard INQUIRY data, 96 bytes of the unit serial number page, one
            control byte (length of a second, shorter serial buffer), then optional
            full model (41 bytes) and full firmware (47 bytes) texts
  options   the arguments after the program name, separated by NUL bytes

Run from anywhere: python3 tests/fuzz/make_seeds.py. The output is committed; running the
script again rewrites the same files.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")
CORPUS = os.path.join(HERE, "corpus")

ID_LEN = 512
INQ_LEN = 96


def load_data(name):
    """The data-in bytes of a capture: the hex words after its "data:" line."""
    out = bytearray()
    in_data = False
    with open(os.path.join(DATA, name), encoding="ascii") as f:
        for line in f:
            if line.startswith("data:"):
                in_data = True
            elif in_data and not line.startswith("#"):
                out.extend(int(word, 16) for word in line.split())
    return bytes(out)


def padded(data, size):
    return bytes(data[:size]) + bytes(size - min(len(data), size))


def swapped_pairs(text):
    """An ATA string as it lies in IDENTIFY data: each pair of characters swapped."""
    raw = bytearray(text)
    for i in range(0, len(raw) - 1, 2):
        raw[i], raw[i + 1] = raw[i + 1], raw[i]
    return bytes(raw)


def identify_with(model=b"", fw=b"", dotted=False, word0=b"\x40\x00"):
    area = bytearray(ID_LEN)
    area[0:2] = word0
    area[46:54] = padded(swapped_pairs(padded(fw, 8)), 8)
    area[54:94] = padded(swapped_pairs(padded(model + b" " * 40, 40)), 40)
    if dotted:
        area[275] = 0x50
    return bytes(area)


def dotted_answer(text, suffix):
    area = bytearray(ID_LEN)
    area[0 : len(text)] = text
    area[464:468] = padded(suffix, 4)
    return bytes(area)


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def identify_seeds():
    ident = load_data("identify_ckcond_sg0.hex")
    dotted = load_data("fwreq_dotted_sg0.hex")
    plain = load_data("fwreq_plain_sg0.hex")
    zeros = load_data("identify_on_scsi_sg1.hex")
    assert len(ident) == len(dotted) == len(plain) == len(zeros) == ID_LEN
    write("identify", "capture_sata", ident + dotted + plain)
    ident_p = bytearray(ident)
    ident_p[275] = 0x50
    write("identify", "capture_sata_dotted_flag", bytes(ident_p) + dotted + plain)
    write("identify", "capture_scsi_zeros", zeros * 3)
    write("identify", "model_x1", identify_with(model=b"MODEL X1") + bytes(ID_LEN) * 2)
    write("identify", "model_blanks_both_ends",
          identify_with(model=b"  \t TWO WORDS\r\v") + bytes(ID_LEN) * 2)
    write("identify", "dotted_five_fields",
          identify_with(dotted=True) + dotted_answer(b"1.2.3.4.5", b"AB  ") + bytes(ID_LEN))
    write("identify", "dotted_blank_suffix",
          identify_with(dotted=True) + dotted_answer(b"1.2.3", b"    ") + bytes(ID_LEN))
    write("identify", "dotted_full_text",
          identify_with(dotted=True) + dotted_answer(b"A" * 40, b"\x00WXY") + bytes(ID_LEN))
    id_plain = identify_with(fw=b"A1B2C3  ")
    write("identify", "plain_ignored", id_plain + bytes(ID_LEN) + id_plain)
    write("identify", "plain_answered",
          id_plain + bytes(ID_LEN) + dotted_answer(b"QA12 B07 \t.7\nZ" + b"x" * 30, b""))
    write("identify", "short_input", ident[:300])


def serial_page(page_len, field):
    page = bytearray(INQ_LEN)
    page[1] = 0x80
    page[3] = page_len
    page[4 : 4 + len(field)] = field[: INQ_LEN - 4]
    return bytes(page)


def inquiry_seeds():
    std = [load_data("inquiry_std_sg%d.hex" % i) for i in range(3)]
    vpd = [load_data("inquiry_vpd80_sg%d.hex" % i) for i in range(3)]
    for i in range(3):
        assert len(std[i]) == len(vpd[i]) == INQ_LEN
        write("inquiry", "capture_sg%d" % i, std[i] + vpd[i] + bytes([INQ_LEN]))
    model = padded(b"QSTOR ACME-7200 SATA HYBRID", 41)
    fw = padded(b"QA12.B07", 47)
    write("inquiry", "capture_sg0_full", std[0] + vpd[0] + bytes([12]) + model + fw)
    write("inquiry", "serial_after_blanks",
          std[1] + serial_page(16, b"    ABC123456789") + bytes([10]))
    write("inquiry", "serial_control_bytes",
          std[2] + serial_page(8, b"A\x01B\x1fC\x7fD\tE") + bytes([96]))
    write("inquiry", "serial_claims_255",
          std[0] + serial_page(255, b" " * 92) + bytes([90]))
    write("inquiry", "serial_blanks_to_end",
          std[0] + serial_page(255, b" " * 88 + b"WXYZ") + bytes([93]))
    write("inquiry", "product_with_blank",
          padded(bytes(8) + b"ATA     " + padded(b"AB CD", 16) + b"R1\tZ", INQ_LEN) +
          serial_page(0, b"IGNORED") + bytes([4]))
    write("inquiry", "product_with_tab",
          padded(bytes(8) + b"ATAPI   " + padded(b"XY\tZ W", 16) + b"\x1b[2J", INQ_LEN) +
          serial_page(3, b"\x1b[m") + bytes([7]))


def options_seeds():
    cases = {
        "fw_to_device": ["-s", "64", "-f", "test.lod", "-d", "/dev/sg0"],
        "missing_fw_value": ["-f", "-d"],
        "missing_tmc_value": ["--tmc", "--enum"],
        "fw_named_like_long": ["-f", "--foo", "-d", "/dev/sg0"],
        "value_colon": ["-f", "-:"],
        "segment_minus_one": ["-s", "-1", "-f", "a", "-d", "/dev/sg0"],
        "operand_left": ["-d", "/dev/sg0", "extra"],
        "model_alone": ["-m", "abc"],
        "model_and_cfs": ["-m", "abc", "-c", "x.cfs"],
        "fw_and_cfs": ["-f", "a.bin", "-c", "b.cfs", "-d", "/dev/sg0"],
        "fw_twice_cfs": ["-f", "a", "-f", "b", "-c", "x"],
        "fw_no_target": ["-f", "a", "-i"],
        "two_modes": ["-w", "-p", "-f", "a", "-d", "/dev/sg0"],
        "segments_repeated": ["-s", "64", "-s", "300", "-i", "-d", "/dev/sg1"],
        "model_upper": ["-m", "ab1c", "-f", "x"],
        "unknown_then_version": ["-x", "-v"],
        "version_then_unknown": ["-v", "-x"],
        "listings": ["--debug", "-i", "--enum", "--enump", "--tmc", "31847", "-d", "/dev/sg0"],
        "joined_values": ["-s64", "--tmc=7", "-mabc", "-fimg", "-ipw"],
        "abbreviated_long": ["--enu", "--tm", "5", "--deb"],
        "end_of_options": ["-i", "--", "-d", "/dev/sg0"],
        "missing_at_end": ["-i", "-s"],
        "lone_dashes": ["-d", "-", "-c", "--", "-i"],
        "tmc_repeated": ["--tmc", "1", "--tmc", "-2147483649", "-c", "x", "-d", "y"],
        "operand_with_cfs_and_fw": ["-f\xd0\xd0", "a", "-f", "b", "-c", "x"],
        "settle_bounds": ["-i", "--settle", "3600", "--se", "0060", "--settle", "3601"],
        "settle_not_whole": ["-f", "x", "-d", "y", "--settle=1.5", "--s", "1"],
        "only_idle_abbreviated": ["--only-i", "-f", "x", "-d", "y", "--only-idle"],
    }
    for name, args in cases.items():
        write("options", name, b"\x00".join(a.encode("latin-1") for a in args))


def main():
    identify_seeds()
    inquiry_seeds()
    options_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
