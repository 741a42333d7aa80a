#!/usr/bin/env python3
# Writes a deterministic add-on set for the demo update server and the update benchmark: the
# source files, one 7z archive per file (made by bsdtar), the update manifest and the add-on list.
"""usage: make_addon_set.py OUTDIR [--size demo|bench] [--base-url URL] [--seed N]

OUTDIR/source/<folder>/<path>               the add-on files as they must end up installed
OUTDIR/www/wowplugin/AddonsUpdater.json     the update manifest
OUTDIR/www/wowplugin/AddonsList.json        the add-on list ("Crc32": folders and their files)
OUTDIR/www/wowplugin/addons/<folder>/<path>.7z   one archive per file, holding that file alone
OUTDIR/plan.tsv                             per file: escaped archive URL, then the relative
                                            archive path under Interface/AddOns

The same arguments always give the same bytes (file dates are fixed). The demo size is a few
add-ons with nested folders, a file name with a space and one texture of a few MB; the bench size
is about 1500 files and 60 MB, mostly Lua and XML with some textures and sounds.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

from addon_content import Writer

FIXED_TIME = 1700000000  # file dates inside the archives, so that archives are reproducible


def demo_addons(w):
    """A handful of add-ons as a player would install them. Returns [(folder, [(path, bytes)])]."""
    addons = []
    for name in ("RaidAlerts", "BagSorter", "QuestTracker"):
        files = [("Core.lua", w.lua(name, w.rng.randint(6000, 30000))),
                 ("Frames.xml", w.xml(w.rng.randint(3000, 12000))),
                 ("Locales/zhCN.lua", w.locale(name, w.rng.randint(2000, 8000))),
                 ("Locales/enUS.lua", w.lua(name + " enUS", 1500)),
                 ("Modules/Options/Config.lua", w.lua(name + " options", w.rng.randint(3000, 9000)))]
        addons.append((name, files))
    media = [("Media/Textures/Status Bar.blp", w.texture(3 * 1024 * 1024 + 123)),
             ("Media/Textures/Border.blp", w.texture(64 * 1024)),
             ("Media/Sounds/Alert.ogg", w.sound(40 * 1024)),
             ("SharedMedia.lua", w.lua("SharedMedia", 4000))]
    addons.append(("SharedMediaPack", media))
    libs = [("Libs/LibStubby/LibStubby.lua", w.lua("LibStubby", 2500)),
            ("Libs/CallbackKit/CallbackKit.lua", w.lua("CallbackKit", 7000))]
    addons.append(("CommonLibs", libs))
    for name, files in addons:
        files.insert(0, (f"{name}.toc", w.toc(name, [p for p, _ in files])))
    return [(n, [(p, d.encode() if isinstance(d, str) else d) for p, d in files]) for n, files in addons]


def bench_addons(w):
    """About 1500 files and 60 MB over 40 add-ons."""
    r = w.rng
    addons = []
    for i in range(40):
        name = f"Addon{i:02d}{w.ident().capitalize()}"
        files = []
        for j in range(r.randint(25, 35)):
            files.append((f"Modules/{w.ident().capitalize()}{j}.lua", w.lua(name, r.randint(4000, 56000))))
        for j in range(r.randint(2, 5)):
            files.append((f"Frames/{w.ident().capitalize()}{j}.xml", w.xml(r.randint(3000, 40000))))
        files.append(("Locales/zhCN.lua", w.locale(name, r.randint(3000, 30000))))
        files.append(("Locales/enUS.lua", w.lua(name + " enUS", r.randint(2000, 20000))))
        for j in range(r.randint(1, 3)):
            files.append((f"Media/{w.ident().capitalize()} {j}.blp", w.texture(r.randint(60000, 500000))))
        if i % 4 == 0:
            files.append(("Media/Sounds/Warning.ogg", w.sound(r.randint(20000, 120000))))
        files.insert(0, (f"{name}.toc", w.toc(name, [p for p, _ in files])))
        addons.append((name, [(p, d.encode() if isinstance(d, str) else d) for p, d in files]))
    return addons


def compression_for(index):
    """The archive method of the index-th file: most LZMA, some LZMA2, some stored, as makers vary."""
    if index % 11 == 5:
        return "store"
    if index % 3 == 1:
        return "lzma2"
    return "lzma1"


def mtree_escape(text):
    """A name or path as an mtree description writes it: unusual bytes as backslash and octal."""
    return "".join(chr(b) if 0x21 <= b <= 0x7E and b not in b"\\#=" else f"\\{b:03o}"
                   for b in text.encode("utf-8"))


def pack(source_file, archive, method):
    """One archive holding the file alone, under its own name, made by bsdtar. The entry is
    described in mtree form, so the archive holds only the fixed modification date and the same
    input always gives the same archive."""
    os.makedirs(os.path.dirname(archive), exist_ok=True)
    description = (f"#mtree\n{mtree_escape(os.path.basename(source_file))} type=file mode=0644 "
            f"time={FIXED_TIME}.0 contents={mtree_escape(source_file)}\n")
    subprocess.run(["bsdtar", "--format", "7zip", "--options", f"7zip:compression={method}",
                    "-cf", archive, "@-"], input=description.encode(), check=True)
    os.utime(archive, (FIXED_TIME, FIXED_TIME))


def main():
    parser = argparse.ArgumentParser(description="Writes an add-on set for the demo update server.")
    parser.add_argument("outdir")
    parser.add_argument("--size", choices=("demo", "bench"), default="demo")
    parser.add_argument("--base-url", default="http://127.0.0.1:18080/")
    parser.add_argument("--seed", type=int, default=20240)
    args = parser.parse_args()
    base = args.base_url if args.base_url.endswith("/") else args.base_url + "/"

    out = os.path.abspath(args.outdir)
    for sub in ("source", "www", "plan.tsv"):
        path = os.path.join(out, sub)
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)
    source = os.path.join(out, "source")
    archives = os.path.join(out, "www", "wowplugin", "addons")

    w = Writer(args.seed)
    addons = demo_addons(w) if args.size == "demo" else bench_addons(w)

    jobs = []
    listing = []
    plan = []
    total = 0
    for folder, files in addons:
        entries = []
        for path, data in files:
            src = os.path.join(source, folder, path)
            os.makedirs(os.path.dirname(src), exist_ok=True)
            with open(src, "wb") as f:
                f.write(data)
            os.utime(src, (FIXED_TIME, FIXED_TIME))
            total += len(data)
            # The list names nested files with backslashes, as the add-on makers' tools write them.
            entries.append({"file": path.replace("/", "\\")})
            rel = f"{folder}/{path}.7z"
            jobs.append((src, os.path.join(archives, rel), compression_for(len(jobs))))
            plan.append((base + "wowplugin/addons/" + urllib.parse.quote(rel, safe="/"), rel))
        listing.append({"folder": folder, "files": entries})

    with ThreadPoolExecutor(max_workers=max(1, min(4, os.cpu_count() or 1))) as pool:
        for _ in pool.map(lambda job: pack(*job), jobs):
            pass

    manifest = {"plughttpaddr": base + "wowplugin/addons/",
                "plugjsonaddr": base + "wowplugin/AddonsList.json",
                "comment": "demo update server"}
    www = os.path.join(out, "www", "wowplugin")
    with open(os.path.join(www, "AddonsUpdater.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2)
    with open(os.path.join(www, "AddonsList.json"), "w", encoding="utf-8") as f:
        json.dump({"Crc32": listing}, f, indent=2, ensure_ascii=False)
    with open(os.path.join(out, "plan.tsv"), "w", encoding="utf-8") as f:
        for url, rel in plan:
            f.write(f"{url}\t{rel}\n")
    print(f"{len(jobs)} files, {total} bytes, {len(addons)} add-ons under {out}")


if __name__ == "__main__":
    sys.exit(main())
