#!/usr/bin/env python3
"""alter_signed_pe.py INPUT OUTPUT: copies a signed PE file with one byte flipped halfway to
its signature, so that the signature stays in place but no longer matches the content."""
import struct
import sys

image = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", image, 0x3C)[0]
assert image[:2] == b"MZ" and image[pe:pe + 4] == b"PE\0\0", "not a PE file"
optional = pe + 24
directories = optional + (112 if struct.unpack_from("<H", image, optional)[0] == 0x20B else 96)
cert_offset, cert_size = struct.unpack_from("<II", image, directories + 8 * 4)  # the certificate table
assert cert_size > 0, "the file carries no signature"
image[cert_offset // 2] ^= 0xFF  # past the headers, in the signed content
open(sys.argv[2], "wb").write(image)
