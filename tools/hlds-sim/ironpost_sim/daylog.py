"""A server's day as HLDS writes it: generated log files for the simulator's long runs.

Each map lasts `map_minutes` (a new log file per map, as the engine starts one at every map
change); rounds of about two minutes; four humans who stay, a fifth who comes and goes every few
rounds under a new user id, and two bots; kills and hits between opponents. Every line is made
here from a seed, in the engine's and the game's formats.
"""

import datetime
import os
import random

MAPS = ("de_iron", "cs_post", "de_anvil", "de_quarry")
HUMANS = (("Ada", "STEAM_0:1:70011", "CT"), ("Bjorn", "STEAM_0:0:80022", "TERRORIST"),
          ("Chen", "STEAM_0:1:90033", "CT"), ("Dara", "STEAM_0:0:60044", "TERRORIST"))
VISITOR = ("Eun", "STEAM_0:1:50055")
BOTS = (("Tank", "TERRORIST"), ("Moss", "CT"))
WEAPONS = {"CT": ("m4a1", "famas", "deagle"), "TERRORIST": ("ak47", "galil", "deagle")}


class _Writer:
    def __init__(self, folder, start):
        self.folder = folder
        self.time = start
        self.handle = None
        self.files = []

    def open(self):
        if self.handle:
            self.handle.close()
        name = "L%s%03d.log" % (self.time.strftime("%m%d"), len(self.files) % 1000)
        path = os.path.join(self.folder, name)
        self.files.append(path)
        self.handle = open(path, "w", encoding="utf-8")
        self.line('Log file started (file "logs/%s") (game "cstrike") (version "48/1.1.2.7/Stdio/6153")' % name)

    def line(self, text):
        self.handle.write("L %s: %s\n" % (self.time.strftime("%m/%d/%Y - %H:%M:%S"), text))

    def wait(self, seconds):
        self.time += datetime.timedelta(seconds=seconds)

    def close(self):
        if self.handle:
            self.line("Log file closed")
            self.handle.close()


def _who(name, user_id, steam_id, team=""):
    return '"%s<%d><%s><%s>"' % (name, user_id, steam_id, team)


def generate(folder, hours=24.0, map_minutes=30, seed=1, start=datetime.datetime(2026, 6, 1, 0, 0, 0)):
    """Writes the day's log files into `folder`; returns their paths and the number of rounds."""
    rng = random.Random(seed)
    out = _Writer(folder, start)
    end = start + datetime.timedelta(hours=hours)
    next_user_id = 1
    humans = []  # [name, user id, steam id, team]
    bots = []
    visitor = None
    rounds = 0
    map_index = 0
    while out.time < end:
        out.open()
        game_map = MAPS[map_index % len(MAPS)]
        map_index += 1
        out.line('Loading map "%s"' % game_map)
        out.line('Server cvar "mp_logdetail" = "3"')
        out.wait(4)
        out.line('Started map "%s" (CRC "%d")' % (game_map, rng.randint(-2 ** 31, 2 ** 31 - 1)))
        # Bots are made again on every map; humans connected before enter again.
        bots = []
        for name, team in BOTS:
            bots.append([name, next_user_id, "BOT", team])
            out.line("%s entered the game" % _who(name, next_user_id, "BOT"))
            out.line('%s joined team "%s"' % (_who(name, next_user_id, "BOT"), team))
            next_user_id += 1
        if not humans:
            for name, steam_id, team in HUMANS:
                out.wait(1)
                humans.append([name, next_user_id, steam_id, team])
                out.line('%s connected, address "192.0.2.%d:27005"' % (_who(name, next_user_id, steam_id),
                                                                       next_user_id))
                out.line("%s STEAM USERID validated" % _who(name, next_user_id, steam_id))
                next_user_id += 1
        for name, user_id, steam_id, team in humans:
            out.wait(1)
            out.line("%s entered the game" % _who(name, user_id, steam_id))
            out.line('%s joined team "%s"' % (_who(name, user_id, steam_id), team))
        map_end = min(end, out.time + datetime.timedelta(minutes=map_minutes))
        while out.time + datetime.timedelta(seconds=130) < map_end:
            rounds += 1
            if visitor is None and rounds % 4 == 0:
                visitor = [VISITOR[0], next_user_id, VISITOR[1], "CT"]
                next_user_id += 1
                out.line('%s connected, address "198.51.100.7:27005"' % _who(*visitor[:3]))
                out.line("%s STEAM USERID validated" % _who(*visitor[:3]))
                out.line("%s entered the game" % _who(*visitor[:3]))
                out.line('%s joined team "CT"' % _who(*visitor[:3]))
                humans.append(visitor)
            out.wait(5)
            out.line('World triggered "Round_Start"')
            players = humans + bots
            for _ in range(rng.randint(6, 14)):
                out.wait(rng.randint(3, 9))
                attacker = rng.choice(players)
                victims = [p for p in players if p[3] != attacker[3]]
                victim = rng.choice(victims)
                weapon = rng.choice(WEAPONS[attacker[3]])
                damage = rng.randint(8, 60)
                out.line('%s attacked %s with "%s" (damage "%d") (damage_armor "%d") (health "%d") (armor "%d")' % (
                    _who(*attacker), _who(*victim), weapon, damage, damage // 8, max(0, 100 - damage), 90))
                if rng.random() < 0.5:
                    out.line('%s killed %s with "%s"' % (_who(*attacker), _who(*victim), weapon))
            out.wait(rng.randint(5, 20))
            winner = rng.choice(("CT", "TERRORIST"))
            out.line('Team "%s" triggered "%s" (CT "0") (T "0")' % (
                winner, "CTs_Win" if winner == "CT" else "Terrorists_Win"))
            out.line('World triggered "Round_End"')
            if visitor is not None and rounds % 4 == 2:
                out.line("%s disconnected" % _who(*visitor))
                humans.remove(visitor)
                visitor = None
        out.time = max(out.time, map_end)
    out.close()
    return out.files, rounds
