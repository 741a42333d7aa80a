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
import random
import shutil
import subprocess
import sys
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

FIXED_TIME = 1700000000  # file dates inside the archives, so that archives are reproducible

WORDS = ("frame unit player target focus party raid spell aura buff debuff cooldown health power "
         "mana rage energy cast bar button icon texture font anchor point width height scale alpha "
         "show hide update event handler tooltip bag item quest map zone combat threat damage heal "
         "absorb timer option profile config db module enable disable sort filter slot count").split()
API = ("UnitHealth UnitHealthMax UnitPower UnitPowerMax UnitName UnitClass GetTime CreateFrame "
       "GetSpellInfo C_Timer.After InCombatLockdown GetItemInfo IsInRaid IsInGroup "
       "GetNumGroupMembers tinsert tremove string.format math.floor math.max pairs ipairs select "
       "type tostring").split()
EVENTS = ("PLAYER_LOGIN PLAYER_ENTERING_WORLD UNIT_HEALTH UNIT_POWER_UPDATE UNIT_AURA BAG_UPDATE "
          "QUEST_LOG_UPDATE ZONE_CHANGED_NEW_AREA PLAYER_REGEN_DISABLED PLAYER_REGEN_ENABLED "
          "GROUP_ROSTER_UPDATE SPELL_UPDATE_COOLDOWN").split()
CN = "法术 冷却 生命 法力 目标 队伍 团队 设置 启用 禁用 显示 隐藏 框体 提示 背包 物品 任务 地图 坐标".split()


class Writer:
    """Generates file contents from one seeded random source."""

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def ident(self):
        words = self.rng.sample(WORDS, self.rng.randint(1, 3))
        return words[0] + "".join(w.capitalize() for w in words[1:])

    def toc(self, name, files):
        lines = ["## Interface: 100207", f"## Title: {name}", "## Author: Demo Guild",
                 f"## Version: 2.{self.rng.randint(0, 9)}.{self.rng.randint(0, 40)}",
                 f"## SavedVariables: {name}DB", ""]
        lines += [f.replace("/", "\\") for f in files if f.endswith((".lua", ".xml"))]
        return "\n".join(lines) + "\n"

    def lua(self, name, size):
        r = self.rng
        out = [f"-- {name}\nlocal addonName, ns = ...\nlocal L = ns.L\nlocal db\n\n"
               f"local frame = CreateFrame(\"Frame\", \"{name}EventFrame\", UIParent)\n"]
        n = len(out[0])
        while n < size:
            lines = [f"\nfunction ns:{self.ident().capitalize()}({self.ident()}, ...)"]
            for _ in range(r.randint(3, 12)):
                k = r.random()
                if k < 0.3:
                    lines.append(f"  local {self.ident()} = {r.choice(API)}(\"{r.choice(WORDS)}\")")
                elif k < 0.5:
                    lines.append(f"  if {self.ident()} and {self.ident()} > {r.randint(0, 100)} then\n"
                                 f"    self.{self.ident()}:SetPoint(\"{r.choice(['TOPLEFT', 'CENTER', 'BOTTOM'])}\", "
                                 f"{r.randint(-50, 50)}, {r.randint(-50, 50)})\n  end")
                elif k < 0.65:
                    lines.append(f"  for i, v in ipairs(self.{self.ident()}) do\n"
                                 f"    v:{r.choice(['Show', 'Hide', 'SetAlpha'])}({r.random():.2f})\n  end")
                elif k < 0.8:
                    lines.append(f"  frame:RegisterEvent(\"{r.choice(EVENTS)}\")")
                else:
                    lines.append(f"  db.profile.{self.ident()} = "
                                 f"{r.choice(['true', 'false', 'nil', str(r.randint(0, 999))])}")
            lines.append("end\n")
            chunk = "\n".join(lines)
            out.append(chunk)
            n += len(chunk)
        return "".join(out)

    def xml(self, size):
        r = self.rng
        out = ['<Ui xmlns="http://www.blizzard.com/wow/ui/">\n']
        n = len(out[0])
        while n < size:
            c = (f'  <Frame name="$parent{self.ident()}" parentKey="{self.ident()}" '
                 f'hidden="{r.choice(["true", "false"])}">\n'
                 f'    <Size x="{r.randint(8, 400)}" y="{r.randint(8, 200)}"/>\n'
                 f'    <Anchors><Anchor point="TOPLEFT" x="{r.randint(0, 20)}" y="-{r.randint(0, 20)}"/></Anchors>\n'
                 f'    <Layers><Layer level="ARTWORK"><Texture parentKey="{self.ident()}" '
                 f'file="Interface\\AddOns\\Media\\{self.ident()}"/></Layer></Layers>\n'
                 f'    <Scripts><OnLoad>self:RegisterEvent("{r.choice(EVENTS)}")</OnLoad></Scripts>\n'
                 f'  </Frame>\n')
            out.append(c)
            n += len(c)
        out.append("</Ui>\n")
        return "".join(out)

    def locale(self, name, size):
        r = self.rng
        out = [f'local L = LibStub("AceLocale-3.0"):NewLocale("{name}", "zhCN")\nif not L then return end\n']
        n = len(out[0].encode())
        while n < size:
            c = f'L["{self.ident()}"] = "{"".join(r.sample(CN, r.randint(1, 4)))}{r.randint(0, 99)}"\n'
            out.append(c)
            n += len(c.encode())
        return "".join(out)

    def texture(self, size):
        """A BLP-like image: a small header, then rows of gradient pixels with noise in the low
        bits, so that it compresses about as poorly as a real block-compressed texture."""
        r = self.rng
        width = 512
        row_len = 4 * width
        header = b"BLP2" + (1).to_bytes(4, "little") + bytes([2, 8, 7, 1]) + \
            width.to_bytes(4, "little") + (max(1, size // row_len)).to_bytes(4, "little")
        mask = int.from_bytes(b"\x3f\x1f\x0f\x00" * width, "big")
        rows = [header]
        total = len(header)
        y = 0
        while total < size:
            gradient = int.from_bytes(bytes(((x // 4 + y) & 0xFF) for x in range(row_len)), "big")
            noise = int.from_bytes(r.randbytes(row_len), "big") & mask
            rows.append((gradient ^ noise).to_bytes(row_len, "big"))
            total += row_len
            y += 1
        return b"".join(rows)[:size]

    def sound(self, size):
        """An OGG-like blob: a page header, then data that barely compresses."""
        return (b"OggS\x00\x02" + self.rng.randbytes(size))[:size]


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
