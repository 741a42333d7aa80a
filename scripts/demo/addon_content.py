# File contents that look like World of Warcraft add-ons: Lua modules, frame XML, .toc files,
# localisation tables, textures and sounds, from one seeded random source (same seed, same bytes).
"""Add-on-like file contents for the demo update server and the benchmarks."""
import random

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
