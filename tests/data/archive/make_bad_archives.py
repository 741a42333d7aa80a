# Writes the hand-made hostile archives of this folder (python3 make_bad_archives.py, in this folder).
# Each is a few bytes of header around one fault: a folder without a packed stream, counts that
# the header cannot hold, a small encoded header that decodes to tens of MiB.
import lzma, struct, zlib, sys
def num(v):
    extra = 0
    while extra < 8 and v >= (1 << (7 * (extra + 1))): extra += 1
    if extra == 8: return b'\xff' + struct.pack('<Q', v)
    first = (0xFF00 >> extra) & 0xFF
    first |= (v >> (8 * extra))
    return bytes([first & 0xFF]) + v.to_bytes(8, 'little')[:extra]
def archive(packed, header):
    start = struct.pack('<QQI', len(packed), len(header), zlib.crc32(header))
    return b'7z\xbc\xaf\x27\x1c\x00\x04' + struct.pack('<I', zlib.crc32(start)) + start + packed + header
def encoded(decoded):
    packed = lzma.compress(decoded, format=lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA2, "dict_size": 1 << 20}])
    si = b'\x06' + num(0) + num(1) + b'\x09' + num(len(packed)) + b'\x00'
    si += b'\x07\x0b' + num(1) + b'\x00' + b'\x01\x21\x21\x01\x10' + b'\x0c' + num(len(decoded)) + b'\x00'
    si += b'\x00'
    return archive(packed, b'\x17' + si)
names = lambda *ns: b''.join(n.encode('utf-16-le') + b'\0\0' for n in ns)
def files(*ns):
    nm = names(*ns)
    return b'\x05' + num(len(ns)) + b'\x11' + num(len(nm) + 1) + b'\x00' + nm + b'\x00'
# One folder whose only coder takes no input: no pack stream at all.
h = b'\x01\x04' + b'\x06' + num(0) + num(0) + b'\x09\x00'
h += b'\x07\x0b' + num(1) + b'\x00' + b'\x01\x11\x00' + num(0) + num(1) + b'\x0c' + num(5) + b'\x00\x00'
h += files('b') + b'\x00'
open('bad-no-pack-stream.7z', 'wb').write(archive(b'', h))
# A Copy folder with its pack stream, then a folder without one.
h = b'\x01\x04' + b'\x06' + num(0) + num(1) + b'\x09' + num(3) + b'\x00'
h += b'\x07\x0b' + num(2) + b'\x00' + b'\x01\x01\x00' + b'\x01\x11\x00' + num(0) + num(1) + b'\x0c' + num(3) + num(5) + b'\x00\x00'
h += files('a', 'b') + b'\x00'
open('bad-no-pack-stream-second-folder.7z', 'wb').write(archive(b'abc', h))
# Encoded header: 4 MiB that claim a folder for every 3 bytes, none of them valid.
size = 4 << 20
d = b'\x01\x04\x07\x0b' + num(size // 3 - 10) + b'\x00'
open('bad-huge-count.7z', 'wb').write(encoded(d + bytes(size - len(d))))
# Encoded header of the largest accepted size (64 MiB) that claims 8 files per byte.
size = 64 << 20
d = b'\x01\x05' + num(size * 8 - 100)
open('bad-huge-header.7z', 'wb').write(encoded(d + bytes(size - len(d))))
