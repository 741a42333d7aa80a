#!/usr/bin/env python3
# Writes a seed corpus for archive_fuzz into DIR: the archive fixtures of tests/data/archive,
# hand-made archives of several folders (Copy, LZMA, LZMA2, several files each) and archives whose
# packed data ends near the 16 KiB read piece (hand-made and by bsdtar).
#   python3 tests/fuzz/make_archive_seeds.py DIR
#   nice -n 19 build-fuzz/tests/fuzz/archive_fuzz -max_total_time=1800 -rss_limit_mb=2048 \
#       -malloc_limit_mb=512 -max_len=20000 -timeout=30 DIR
import glob, lzma, os, random, shutil, struct, subprocess, sys, tempfile, zlib

here = os.path.dirname(os.path.abspath(__file__))
data_dir = os.path.join(here, '..', 'data', 'archive')
out = sys.argv[1]
os.makedirs(out, exist_ok=True)
for f in glob.glob(os.path.join(data_dir, '*.7z')):
    shutil.copy(f, out)

def num(v):
    extra = 0
    while extra < 8 and v >= (1 << (7 * (extra + 1))): extra += 1
    if extra == 8: return b'\xff' + struct.pack('<Q', v)
    return bytes([((0xFF00 >> extra) & 0xFF) | (v >> (8 * extra))]) + v.to_bytes(8, 'little')[:extra]

def archive(packed, header):
    start = struct.pack('<QQI', len(packed), len(header), zlib.crc32(header))
    return b'7z\xbc\xaf\x27\x1c\x00\x04' + struct.pack('<I', zlib.crc32(start)) + start + packed + header

def names(*ns):
    nm = b''.join(n.encode('utf-16-le') + b'\0\0' for n in ns)
    return b'\x05' + num(len(ns)) + b'\x11' + num(len(nm) + 1) + b'\x00' + nm + b'\x00'

def raw2(d):
    return lzma.compress(d, format=lzma.FORMAT_RAW, filters=[{"id": lzma.FILTER_LZMA2, "dict_size": 1 << 16}])

def raw1(d):
    a = lzma.compress(d, format=lzma.FORMAT_ALONE, filters=[{"id": lzma.FILTER_LZMA1, "dict_size": 1 << 16}])
    return a[:5], a[13:]

# One folder per part: (method, [file contents]); files are named FOLDER/INDEX, with CRCs.
def multi(parts, name):
    packed, packsizes, coders, unpack, counts, sizes, crcs, fnames = b'', [], b'', b'', b'', b'', [], []
    for k, (method, contents) in enumerate(parts):
        whole = b''.join(contents)
        if method == 'copy':
            p, coder = whole, b'\x01\x01\x00'
        elif method == 'lzma2':
            p, coder = raw2(whole), b'\x01\x21\x21\x01\x10'
        else:
            props, p = raw1(whole)
            coder = b'\x01\x23\x03\x01\x01\x05' + props
        packed += p
        packsizes.append(len(p))
        coders += coder
        unpack += num(len(whole))
        counts += num(len(contents))
        sizes += b''.join(num(len(f)) for f in contents[:-1])
        for i, f in enumerate(contents):
            crcs.append(zlib.crc32(f))
            fnames.append(f'{k}/{i}')
    h = b'\x01\x04\x06' + num(0) + num(len(parts)) + b'\x09' + b''.join(num(x) for x in packsizes) + b'\x00'
    h += b'\x07\x0b' + num(len(parts)) + b'\x00' + coders + b'\x0c' + unpack + b'\x00'
    h += b'\x08\x0d' + counts + b'\x09' + sizes + b'\x0a\x01' + b''.join(struct.pack('<I', c) for c in crcs)
    h += b'\x00\x00' + names(*fnames) + b'\x00'
    with open(os.path.join(out, name), 'wb') as f:
        f.write(archive(packed, h))

rnd = random.Random(5)
txt = lambda n: bytes(rnd.choice(b'local function end return frame ') for _ in range(n))
noise = lambda n: bytes(rnd.getrandbits(8) for _ in range(n))
multi([('copy', [b'abc', b'defgh']), ('lzma2', [txt(300), txt(40)]), ('lzma', [txt(200)])], 'multi-3.7z')
multi([('lzma2', [txt(100)]), ('lzma2', [b'', txt(50), b'x'])], 'multi-2.7z')
multi([('lzma', [txt(1000), txt(10)]), ('copy', [b'z' * 20])], 'multi-lzma-copy.7z')
for n in (16380, 16381, 16382):
    multi([('lzma2', [noise(n)])], f'near16k-lzma2-{n}.7z')
    multi([('copy', [noise(n - 20), b'tail'])], f'near16k-copy-{n}.7z')
with tempfile.TemporaryDirectory() as tmp:
    for n in (16300, 16381, 16385):
        with open(os.path.join(tmp, 'r.bin'), 'wb') as f:
            f.write(noise(n))
        for m in ('lzma1', 'lzma2'):
            subprocess.run(['bsdtar', '--format', '7zip', '--options', '7zip:compression=' + m, '-cf',
                            os.path.join(out, f'bsdtar-{m}-{n}.7z'), '-C', tmp, 'r.bin'], check=True)
