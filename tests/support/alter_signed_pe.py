#!/usr/bin/env python3
"""Copies a signed PE file and flips one byte in the middle of its first code section, so
that the signature stays in place but no longer matches the content.

    alter_signed_pe.py INPUT OUTPUT
"""
import struct
import sys

IMAGE_SCN_CNT_CODE = 0x00000020
SECURITY_DIRECTORY = 4  # the certificate table: where the signature itself lives


def code_byte_offset(image: bytes) -> int:
    if image[:2] != b"MZ":
        raise ValueError("not a PE file (no MZ header)")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file (no PE signature)")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    cert_offset, cert_size = struct.unpack_from("<II", image, directories + 8 * SECURITY_DIRECTORY)
    if cert_size == 0:
        raise ValueError("the file carries no signature")
    table = optional + optional_size
    for index in range(sections):
        header = table + 40 * index
        raw_size, raw_offset = struct.unpack_from("<II", image, header + 16)
        characteristics = struct.unpack_from("<I", image, header + 36)[0]
        if characteristics & IMAGE_SCN_CNT_CODE and raw_size > 0:
            offset = raw_offset + raw_size // 2
            if cert_offset <= offset < cert_offset + cert_size:
                raise ValueError("the code section overlaps the signature")
            return offset
    raise ValueError("no code section")


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as source:
        image = bytearray(source.read())
    offset = code_byte_offset(bytes(image))
    image[offset] ^= 0xFF
    with open(sys.argv[2], "wb") as target:
        target.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
