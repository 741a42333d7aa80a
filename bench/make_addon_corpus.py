#!/usr/bin/env python3
"""Builds a deterministic add-on-like corpus for the decoder benchmarks: generated Lua sources,
frame XML, .toc files, localisation tables and textures (the demo set's own generator), plus real
text, XML and binary files of this machine.

usage: make_addon_corpus.py OUTDIR [MEGABYTES]   (default 40)
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts", "demo"))
from addon_content import Writer  # noqa: E402

out = sys.argv[1]
target = int(sys.argv[2] if len(sys.argv) > 2 else 40) * 1024 * 1024
w = Writer(20260)
rng = w.rng
written = 0


def put(rel, data):
    global written
    path = os.path.join(out, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(path, "wb") as f:
        f.write(data)
    written += len(data)


real = []
for root in ("/usr/include/c++", "/usr/share/xml", "/usr/share/doc", "/usr/share/fonts", "/usr/share/icons/hicolor"):
    for d, _, files in sorted(os.walk(root)):
        for f in sorted(files):
            p = os.path.join(d, f)
            if os.path.isfile(p) and not os.path.islink(p) and not f.endswith(".gz"):
                real.append(p)
rng.shuffle(real)

addon = 0
while written < target:
    name = f"Addon{addon:03d}_{w.ident()}"
    modules = [f"Modules/{w.ident()}{j}.lua" for j in range(rng.randint(2, 8))]
    put(f"{name}/{name}.toc", w.toc(name, modules + ["Frames.xml"]))
    for module in modules:
        put(f"{name}/{module}", w.lua(name, rng.randint(2000, 60000)))
    put(f"{name}/Frames.xml", w.xml(rng.randint(3000, 40000)))
    put(f"{name}/Locales/zhCN.lua", w.locale(name, rng.randint(2000, 20000)))
    if addon % 3 == 0:
        put(f"{name}/Media/{w.ident()}.blp", w.texture(rng.randint(30000, 300000)))
    for _ in range(6):
        if real:
            p = real.pop()
            with open(p, "rb") as f:
                data = f.read(400000)
            put(f"{name}/Libs/{addon}_{os.path.basename(p)}", data)
    addon += 1
print(f"{written} bytes in {addon} add-ons under {out}")
