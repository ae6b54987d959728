#!/usr/bin/env python3
"""Checks a demo run's output directory.

The listener's recording must follow, channel by channel over 100 ms
windows, the gains and pans that the host measured on the plug-in's blocks
(the levels the plot shows); those must be values the falloff server sent
shortly before; and the run must show what the demo is for: voices that
move and fade, a user the game does not know kept silent, and silence while
the falloff link is down until the plug-in reconnects.
"""
import array
import csv
import math
import re
import sys
import wave

WINDOW_S = 0.1
TOLERANCE_DB = 1.5


def read_rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def number(text):
    return float(text) if text != "" else None


def main(out):
    failures = []

    def check(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    roles = {}
    with open(f"{out}/cast.txt") as f:
        for line in f:
            parts = line.split()
            if parts and not parts[0].startswith("#"):
                roles[parts[1]] = parts[0]
    levels = read_rows(f"{out}/levels.csv")
    paths = read_rows(f"{out}/paths.csv")

    # ---- the recording against the applied levels -------------------------------
    with wave.open(f"{out}/listener.wav") as w:
        assert w.getnchannels() == 2 and w.getsampwidth() == 2 and w.getframerate() == 48000
        pcm = array.array("h", w.readframes(w.getnframes()))
    if sys.byteorder == "big":
        pcm.byteswap()
    per_window = int(48000 * WINDOW_S)
    windows = len(pcm) // 2 // per_window
    # A block's level is read where its ramp has ended; across the block the
    # plug-in ramps linearly from the speaker's previous block's level, whose
    # mean square is (a*a + a*b + b*b) / 3.
    predicted = [[0.0, 0.0] for _ in range(windows)]
    previous = {}
    for r in levels:
        k = int(float(r["t"]) / WINDOW_S + 1e-6)
        if r["left"] == "":
            previous.pop(r["session"], None)
            continue
        end = (float(r["left"]), float(r["right"]))
        start = previous.get(r["session"], end)
        previous[r["session"]] = end
        if k < windows:
            e = float(r["energy"])
            for ch in (0, 1):
                a, b = start[ch], end[ch]
                predicted[k][ch] += (a * a + a * b + b * b) / 3 * e
    compared = within = silent = silent_ok = 0
    worst = 0.0
    for k in range(windows):
        for ch in (0, 1):
            chunk = pcm[2 * k * per_window + ch : 2 * (k + 1) * per_window : 2]
            measured = math.sqrt(sum((s / 32767.0) ** 2 for s in chunk) / per_window)
            expected = math.sqrt(predicted[k][ch] / per_window)
            if expected > 0.003:
                compared += 1
                err = abs(20 * math.log10(max(measured, 1e-9) / expected))
                worst = max(worst, err)
                within += err <= TOLERANCE_DB
            elif expected < 1e-4:
                silent += 1
                silent_ok += measured < 3e-4
    check(compared > 50 and within >= 0.95 * compared,
          f"recording follows the applied levels: {within}/{compared} channel-windows within "
          f"{TOLERANCE_DB} dB (worst {worst:.1f} dB)")
    check(silent > 0 and silent_ok == silent, f"silent where nothing was let through: {silent_ok}/{silent} channel-windows")

    # ---- the server's gains against the curve the demo configures ----
    # The demo's configuration: the linear curve from near_m 8 to the normal
    # range, 40 m.
    def documented_gain(d, near=8.0, far=40.0):
        if d <= near:
            return 1.0
        if d >= far:
            return 0.0
        return 1 - (d - near) / (far - near)
    off_curve = [p for p in paths if abs(documented_gain(math.hypot(float(p["x"]), float(p["y"]))) - float(p["gain"])) > 1e-3]
    check(paths and not off_curve, f"the server's gains follow the documented curve ({len(off_curve)} of {len(paths)} off)")

    # ---- the applied levels against what the server sent -----------------------------
    # Between two of the server's samples gain and pan each glide in a
    # straight line, so an applied value lies between values the server
    # sent shortly before (0 for the gain where a tick did not list the
    # creature or did not reach the plug-in: it fades in or out from there).
    ticks = {}
    for p in paths:
        listed = p["sent"] == "1"
        ticks.setdefault(p["name"], []).append(
            (float(p["t"]), float(p["gain"]) if listed else 0.0, float(p["pan"]) if listed else None))
    audible = [r for r in levels if r["gain"] != "" and float(r["gain"]) > 0.01]
    matched = 0
    for r in audible:
        t, g, pan = float(r["t"]), float(r["gain"]), number(r["pan"])
        recent = [k for k in ticks.get(r["name"], []) if t - 1.0 <= k[0] <= t + 0.05]
        gains = [k[1] for k in recent]
        pans = [k[2] for k in recent if k[2] is not None]
        matched += bool(gains and pans and min(gains) - 0.003 <= g <= max(gains) + 0.003
                        and min(pans) - 0.01 <= pan <= max(pans) + 0.01)
    check(len(audible) > 100 and matched >= 0.98 * len(audible),
          f"applied gain and pan lie between values the server sent just before: {matched}/{len(audible)} blocks")
    # And they glide: the gain moves between the server's samples, not only at them.
    moving = 0
    for name in roles:
        own = [r for r in audible if r["name"] == name]
        moving += sum(1 for a, b in zip(own, own[1:]) if float(b["t"]) - float(a["t"]) < 0.015 and a["gain"] != b["gain"])
    check(moving > len(audible) // 4, f"the gain glides between the server's samples: it moved in {moving} blocks")

    # ---- what the demo shows ------------------------------------------------------------
    for name, role in roles.items():
        gains = [float(r["gain"]) for r in levels if r["name"] == name and r["gain"] != ""]
        if role == "bystander":
            check(gains and max(gains) < 1e-3, f"{name}, not in the game, is never heard ({len(gains)} blocks)")
        elif role == "creature":
            check(gains and max(gains) > 0.5, f"{name} is heard up close (peak gain {max(gains or [0]):.2f})")
    faded = any(
        max(g) > 0.9 and min(g) < 0.1
        for g in ([float(r["gain"]) for r in levels if r["name"] == n and r["gain"] != ""]
                  for n, role in roles.items() if role == "creature") if g)
    check(faded, "a creature's voice fades from full to nearly nothing")
    pans = [float(r["pan"]) for r in audible if r["pan"] != ""]
    check(pans and min(pans) < -0.5 and max(pans) > 0.5, "voices come from both sides")

    server_log = open(f"{out}/server.log").read()
    host_log = open(f"{out}/host.log").read()
    drop = re.search(r"t=([0-9.]+)s dropped", server_log)
    connects = [float(m) for m in re.findall(r"^\[ *([-0-9.]+)s\] log window: \[quorra_link\] connected to falloff",
                                             host_log, re.M)]
    check(drop is not None and len(connects) >= 2, f"the plug-in reconnected after the drop ({len(connects)} connections)")
    if drop and len(connects) >= 2:
        # The server closes within a few of its 50 ms read slices; allow for that.
        # ... and a fade-out over the gain's glide: 0.8 of the demo's 0.5 s between updates.
        down = [r for r in levels if float(drop.group(1)) + 0.9 <= float(r["t"]) < connects[1] and r["gain"] != ""]
        check(down and all(float(r["gain"]) == 0 for r in down),
              f"everyone is silent while the link is down ({len(down)} blocks)")

    # Every update is counted, also those the plug-in's log told in summary
    # ("... (x15)"); a few sent as the link went down may never arrive, and
    # the game side reads the server's count a post late.
    game_log = open(f"{out}/game.log").read()
    check(re.search(r"the listener typed !verify [0-9a-f]{8}: linked", game_log) is not None,
          "the game side typed the banner's code and the listener was linked")
    sent_n = re.search(r"simulation over, (\d+) updates sent", game_log)
    got_n = re.search(r"updates received by the plug-in: (\d+)", host_log)
    sent_n, got_n = (int(sent_n.group(1)) if sent_n else -1), (int(got_n.group(1)) if got_n else -1)
    check(sent_n > 0 and sent_n - 3 <= got_n <= sent_n + 3, f"the plug-in counted the updates sent: {got_n} of {sent_n}")

    print(f"{len(failures) == 0 and 'all' or len(failures)} {'checks passed' if not failures else 'checks failed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
