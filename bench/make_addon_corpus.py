#!/usr/bin/env python3
"""Builds a deterministic add-on-like corpus for the decoder benchmarks: generated Lua sources,
frame XML, .toc files and localisation tables, plus real text, XML and binary files of this machine.

usage: make_addon_corpus.py OUTDIR [MEGABYTES]   (default 40)
"""
import os
import random
import sys

out = sys.argv[1]
target = int(sys.argv[2] if len(sys.argv) > 2 else 40) * 1024 * 1024
rng = random.Random(20260)
WORDS = ("frame unit player target party raid spell aura buff debuff cooldown health power mana "
         "rage energy cast bar button icon texture font string anchor point width height scale alpha "
         "show hide update event handler tooltip inventory bag item quest map zone combat threat "
         "damage heal absorb timer option profile config db settings module enable disable").split()
API = ("UnitHealth UnitHealthMax UnitPower UnitName GetTime CreateFrame GetSpellInfo C_Timer.After "
       "InCombatLockdown GetItemInfo UnitAura IsInRaid IsInGroup GetNumGroupMembers tinsert tremove "
       "string.format math.floor pairs ipairs select type tostring").split()
CN = "法术 冷却 生命 法力 目标 队伍 团队 设置 启用 禁用 显示 隐藏 框体 提示 背包 物品 任务".split()


def ident():
    return "".join(w.capitalize() if i else w for i, w in enumerate(rng.sample(WORDS, rng.randint(1, 3))))


def lua_file(name, size):
    parts = [f"-- {name}: generated add-on module\nlocal addonName, ns = ...\nlocal L = ns.L\n"]
    n = 0
    while n < size:
        fn = ident()
        body = []
        for _ in range(rng.randint(3, 14)):
            k = rng.random()
            if k < 0.3:
                body.append(f"  local {ident()} = {rng.choice(API)}(\"{rng.choice(WORDS)}\")")
            elif k < 0.5:
                body.append(f"  if {ident()} and {ident()} > {rng.randint(0, 100)} then\n"
                            f"    self.{ident()}:SetPoint(\"{rng.choice(['TOPLEFT','CENTER','BOTTOM'])}\", "
                            f"{rng.randint(-50, 50)}, {rng.randint(-50, 50)})\n  end")
            elif k < 0.7:
                body.append(f"  for i, v in ipairs(self.{ident()}) do\n    v:{rng.choice(['Show','Hide','SetAlpha'])}("
                            f"{rng.random():.2f})\n  end")
            else:
                body.append(f"  self.db.profile.{ident()} = {rng.choice(['true','false','nil', str(rng.randint(0, 999))])}")
        chunk = f"\nfunction ns:{fn}({ident()}, ...)\n" + "\n".join(body) + "\nend\n"
        parts.append(chunk)
        n += len(chunk)
    return "".join(parts)


def xml_file(size):
    parts = ['<Ui xmlns="http://www.blizzard.com/wow/ui/">\n']
    n = 0
    while n < size:
        c = (f'  <Frame name="$parent{ident()}" parentKey="{ident()}" hidden="{rng.choice(["true","false"])}">\n'
             f'    <Size x="{rng.randint(8, 400)}" y="{rng.randint(8, 200)}"/>\n'
             f'    <Anchors><Anchor point="TOPLEFT" x="{rng.randint(0, 20)}" y="-{rng.randint(0, 20)}"/></Anchors>\n'
             f'    <Layers><Layer level="ARTWORK"><Texture parentKey="{ident()}" file="Interface\\AddOns\\{ident()}\\Media\\{ident()}"/></Layer></Layers>\n'
             f'    <Scripts><OnLoad>self:RegisterEvent("{rng.choice(WORDS).upper()}_UPDATE")</OnLoad></Scripts>\n'
             f'  </Frame>\n')
        parts.append(c)
        n += len(c)
    parts.append("</Ui>\n")
    return "".join(parts)


def locale_file(size):
    parts = ["local L = LibStub(\"AceLocale-3.0\"):NewLocale(\"Addon\", \"zhCN\")\n"]
    n = 0
    while n < size:
        c = f'L["{ident()}"] = "{"".join(rng.sample(CN, rng.randint(1, 4)))}{rng.randint(0, 99)}"\n'
        parts.append(c)
        n += len(c.encode())
    return "".join(parts)


def texture(size):
    # An uncompressed 32-bit image with gradients and noise, like an add-on's .tga.
    w = 256
    h = max(1, size // (4 * w))
    px = bytearray(18 + w * h * 4)
    px[2] = 2
    px[12:14] = w.to_bytes(2, "little")
    px[14:16] = h.to_bytes(2, "little")
    px[16] = 32
    i = 18
    for y in range(h):
        for x in range(w):
            px[i:i + 4] = bytes(((x + rng.randint(0, 3)) & 255, (y * 2) & 255, (x ^ y) & 255, 255))
            i += 4
    return bytes(px)


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
    name = f"Addon{addon:03d}_{ident()}"
    put(f"{name}/{name}.toc", f"## Interface: 100200\n## Title: {name}\n## SavedVariables: {name}DB\nCore.lua\nFrames.xml\n")
    for j in range(rng.randint(2, 8)):
        put(f"{name}/Modules/{ident()}{j}.lua", lua_file(name, rng.randint(2000, 60000)))
    put(f"{name}/Frames.xml", xml_file(rng.randint(3000, 40000)))
    put(f"{name}/Locales/zhCN.lua", locale_file(rng.randint(2000, 20000)))
    if addon % 3 == 0:
        put(f"{name}/Media/{ident()}.tga", texture(rng.randint(30000, 300000)))
    for _ in range(6):
        if real:
            p = real.pop()
            with open(p, "rb") as f:
                data = f.read(400000)
            put(f"{name}/Libs/{addon}_{os.path.basename(p)}", data)
    addon += 1
print(f"{written} bytes in {addon} add-ons under {out}")
