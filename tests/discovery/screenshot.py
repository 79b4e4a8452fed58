#!/usr/bin/env python3
"""The screenshot of "探す" with a found peer: two copies on one display.

    sudo tests/discovery/screenshot.py BUILD_DIR OUT.png

Makes two network namespaces joined by a veth pair (10.201.9.0/24, no default
route), starts Xvfb with openbox, runs the program in each namespace with its
own XDG_CONFIG_HOME (the X socket file in /tmp/.X11-unix works across
namespaces), makes B a server ("サーバー作成"), presses "探す" in A and saves
the screen, cropped to the two copies. The namespaces go at the end, also on
failure. Needs root, iproute2, Xvfb, openbox, xdotool and ImageMagick.
"""

import os
import subprocess
import sys
import tempfile
import time

SCREEN = (1100, 560)


def ip(*args):
    subprocess.run(["ip", *args], check=True)


def free_display():
    for n in range(90, 200):
        if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            return n
    raise SystemExit("no free X display number")


def write_settings(home, user, folder):
    os.makedirs(home, exist_ok=True)
    os.makedirs(folder, exist_ok=True)
    text = f"[Setting]\r\nUserName={user}\r\nPortNo=2010\r\nReceivePath={folder}/\r\n"
    with open(os.path.join(home, "Varnel.ini"), "wb") as f:
        f.write(text.encode("cp932"))


def xdo(env, *args):
    return subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True).stdout.split()


def window_of(env, pid, name, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for wid in xdo(env, "search", "--onlyvisible", "--pid", str(pid)):
            if xdo(env, "getwindowname", wid) == [name] or name in " ".join(
                    xdo(env, "getwindowname", wid)):
                return wid
        time.sleep(0.2)
    raise SystemExit(f"no window {name!r} of process {pid}")


def geometry(env, wid):
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], env=env,
                         capture_output=True, text=True).stdout
    g = dict(line.split("=") for line in out.split())
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    build, out = sys.argv[1], os.path.abspath(sys.argv[2])
    program = os.path.join(os.path.abspath(build), "app", "relvane")
    ns = {side: f"rlvshot{os.getpid()}{side}" for side in "ab"}
    made, procs = [], []
    tmp = tempfile.mkdtemp(prefix="relvane-shot-")
    display = free_display()
    try:
        for name in ns.values():
            ip("netns", "add", name)
            made.append(name)
        ip("-n", ns["a"], "link", "add", "ab", "type", "veth", "peer", "name", "ba", "netns", ns["b"])
        ip("-n", ns["a"], "addr", "add", "10.201.9.1/24", "brd", "+", "dev", "ab")
        ip("-n", ns["b"], "addr", "add", "10.201.9.2/24", "brd", "+", "dev", "ba")
        for name, dev in ((ns["a"], "ab"), (ns["b"], "ba")):
            ip("-n", name, "link", "set", dev, "up")
            ip("-n", name, "link", "set", "lo", "up")

        env = dict(os.environ, DISPLAY=f":{display}")
        env.pop("QT_QPA_PLATFORM", None)
        env.pop("RELVANE_DISCOVERY_TARGETS", None)
        procs.append(subprocess.Popen(["Xvfb", f":{display}", "-screen", "0",
                                       f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp"],
                                      stderr=subprocess.DEVNULL))
        deadline = time.time() + 10
        while not os.path.exists(f"/tmp/.X11-unix/X{display}"):
            if time.time() > deadline:
                raise SystemExit("Xvfb did not start")
            time.sleep(0.1)
        procs.append(subprocess.Popen(["openbox"], env=env, stderr=subprocess.DEVNULL))
        time.sleep(1)

        copies = {}
        for side, user, x in (("b", "山田", 580), ("a", "佐藤", 40)):
            home = os.path.join(tmp, side)
            write_settings(home, user, os.path.join(tmp, side + "-in"))
            runtime = os.path.join(tmp, side + "-run")
            os.makedirs(runtime, mode=0o700)
            copy_env = dict(env, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=runtime)
            p = subprocess.Popen(["ip", "netns", "exec", ns[side], program], env=copy_env,
                                 stderr=subprocess.DEVNULL)
            procs.append(p)
            wid = window_of(env, p.pid, "TCP/IP Relvane")
            subprocess.run(["xdotool", "windowmove", "--sync", wid, str(x), "40"], env=env)
            copies[side] = (p, wid)

        # B waits as a server: ファイル(&F) → サーバー作成(&S).
        p, wid = copies["b"]
        subprocess.run(["xdotool", "windowactivate", "--sync", wid], env=env)
        time.sleep(0.5)
        subprocess.run(["xdotool", "key", "alt+f"], env=env)
        time.sleep(0.5)
        subprocess.run(["xdotool", "key", "s"], env=env)
        wait = window_of(env, p.pid, "しばらくお待ちください")

        # A presses "探す" (Alt+L) inside its namespace and collects for 2 s.
        p, wid = copies["a"]
        subprocess.run(["xdotool", "windowactivate", "--sync", wid], env=env)
        time.sleep(0.5)
        subprocess.run(["xdotool", "key", "alt+l"], env=env)
        time.sleep(3)

        full = os.path.join(tmp, "full.png")
        subprocess.run(["import", "-window", "root", full], env=env, check=True)
        boxes = [geometry(env, w) for w in (copies["a"][1], copies["b"][1], wait)]
        left = max(0, min(b[0] for b in boxes) - 30)
        top = max(0, min(b[1] for b in boxes) - 40)
        right = min(SCREEN[0], max(b[0] + b[2] for b in boxes) + 30)
        bottom = min(SCREEN[1], max(b[1] + b[3] for b in boxes) + 30)
        subprocess.run(["convert", full, "-crop", f"{right - left}x{bottom - top}+{left}+{top}",
                        "+repage", out], check=True)
        print(out)
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
        for name in made:
            subprocess.run(["ip", "netns", "del", name])


if __name__ == "__main__":
    main()
