#!/usr/bin/env python3
"""Screenshots of a real transfer between two main windows on one X display.

    tests/app/screenshots.py BUILD_DIR OUTDIR

Starts Xvfb with openbox, runs two relvane_testpeer processes (the program's
main window, driven through JSON lines) that connect on 127.0.0.1, chat, and
send a list of four files, one of them large and partly received before, so
that both lamps are lit. While the large file moves it saves:
  status-send.png     the sender's "送信状況表示"
  status-receive.png  the receiver's "受信状況表示"
  chat.png            the receiver's chat window, opened by the first line
  desktop.png         the whole screen
Needs Xvfb, openbox, xdotool and ImageMagick (import, convert).
"""

import json
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

SCREEN = (1600, 1000)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_display():
    for n in range(90, 200):
        if not os.path.exists(f"/tmp/.X{n}-lock") and not os.path.exists(f"/tmp/.X11-unix/X{n}"):
            return n
    raise SystemExit("no free X display number")


def write_settings(path, user, port, folder):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    text = f"[Setting]\r\nUserName={user}\r\nPortNo={port}\r\nReceivePath={folder}\r\n"
    with open(path, "wb") as f:
        f.write(text.encode("cp932"))


def write_random(path, size):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            chunk = min(left, 1 << 22)
            f.write(os.urandom(chunk))
            left -= chunk


def write_text(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        for i in range(lines):
            f.write(f"{i:06d} 打ち合わせの記録です。次回は金曜日の午後に行います。\r\n".encode("cp932"))


class Peer:
    """One main window in its own process."""

    def __init__(self, exe, settings, env):
        self.proc = subprocess.Popen([exe, settings], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=env, bufsize=0)
        self.events = queue.Queue()
        self.states = {}
        self.last = {}
        self.next_id = 0
        self.lock = threading.Lock()
        threading.Thread(target=self._read, daemon=True).start()
        self.wait_event(lambda e: e.get("ev") == "ready", 20)

    def _read(self):
        for line in self.proc.stdout:
            e = json.loads(line)
            with self.lock:
                if e.get("ev") == "state":
                    self.states[e["id"]] = e
                if e.get("ev") == "status":
                    self.last[e["window"]] = e
            if e.get("ev") == "msg":
                print("message:", e.get("text"), file=sys.stderr)
            self.events.put(e)

    def command(self, **cmd):
        self.proc.stdin.write((json.dumps(cmd, ensure_ascii=False) + "\n").encode())

    def wait_event(self, pred, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                e = self.events.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            if pred(e):
                return e
        raise SystemExit("timed out waiting for the peer")

    def state(self):
        self.next_id += 1
        ident = self.next_id
        self.command(cmd="state", id=ident)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with self.lock:
                if ident in self.states:
                    return self.states.pop(ident)
            time.sleep(0.01)
        raise SystemExit("the peer gave no state")

    def wait_state(self, pred, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s = self.state()
            if pred(s):
                return s
            time.sleep(0.05)
        raise SystemExit("timed out waiting for the peer's state")

    def status(self, window):
        with self.lock:
            return self.last.get(window, {})

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def move_window(env, pid, title_part, x, y):
    """Moves the process's visible window whose title contains title_part."""
    ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], env=env,
                         capture_output=True, text=True).stdout.split()
    for wid in ids:
        name = subprocess.run(["xdotool", "getwindowname", wid], env=env, capture_output=True,
                              text=True).stdout
        if title_part in name:
            subprocess.run(["xdotool", "windowmove", wid, str(x), str(y)], env=env)
            return
    print(f"no window '{title_part}' of {pid}", file=sys.stderr)


def crop(env, shot, frame, out):
    x, y, w, h = frame
    subprocess.run(["convert", shot, "-crop", f"{w}x{h}+{x}+{y}", "+repage", out], env=env, check=True)


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    exe = os.path.join(os.path.abspath(sys.argv[1]), "tests/app/relvane_testpeer")
    out = os.path.abspath(sys.argv[2])
    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="relvane-shots-")
    display = free_display()
    env = dict(os.environ, DISPLAY=f":{display}", QT_QPA_PLATFORM="xcb", LANG="ja_JP.UTF-8")
    xvfb = subprocess.Popen(["Xvfb", f":{display}", "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24", "-nolisten", "tcp"],
                            stderr=subprocess.DEVNULL)
    wm = None
    peers = []
    cleanup = [work]
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(f"/tmp/.X11-unix/X{display}"):
            if time.monotonic() > deadline:
                raise SystemExit("Xvfb did not start")
            time.sleep(0.05)
        wm = subprocess.Popen(["openbox"], env=env, stderr=subprocess.DEVNULL)
        time.sleep(1)

        port = free_port()
        # The sender's files under a short, plain path: the send window shows it.
        home = "/tmp/taro"
        if os.path.exists(home):
            home = tempfile.mkdtemp(prefix="taro-")
        else:
            os.makedirs(home)
        cleanup.append(home)
        recv = os.path.join(work, "hanako", "受信")
        os.makedirs(recv)
        files = [os.path.join(home, "資料", "見積書.xls"), os.path.join(home, "資料", "打ち合わせメモ.txt"),
                 os.path.join(home, "写真", "旅行2024.zip"), os.path.join(home, "readme.txt")]
        write_random(files[0], 180_000)
        write_text(files[1], 2000)
        big = 640 * 1024 * 1024
        write_random(files[2], big)
        write_text(files[3], 40)
        # An earlier attempt left part of the large file: this one resumes.
        with open(files[2], "rb") as src, open(os.path.join(recv, "旅行2024.zip.Recv"), "wb") as dst:
            dst.write(src.read(40 * 1024 * 1024))

        settings_a = os.path.join(work, "a", "Varnel.ini")
        settings_b = os.path.join(work, "b", "Varnel.ini")
        write_settings(settings_a, "太郎", port, os.path.join(work, "taro-in"))
        write_settings(settings_b, "花子", port, recv)
        os.makedirs(os.path.join(work, "taro-in"))

        a = Peer(exe, settings_a, env)
        peers.append(a)
        b = Peer(exe, settings_b, env)
        peers.append(b)
        time.sleep(0.5)
        move_window(env, a.proc.pid, "TCP/IP Relvane", 20, 20)
        move_window(env, b.proc.pid, "TCP/IP Relvane", 20, 740)

        a.command(cmd="server")
        a.wait_state(lambda s: s["listening"] and s["waiting"])
        b.command(cmd="connect", addr="127.0.0.1")
        a.wait_state(lambda s: s["connected"])
        b.wait_state(lambda s: s["connected"])

        a.command(cmd="chat", text="資料と写真を送ります。写真は大きいので少し時間がかかります")
        b.wait_state(lambda s: s["chat"]["visible"])
        time.sleep(0.3)
        move_window(env, b.proc.pid, "チャット画面", 1120, 600)
        b.command(cmd="chat", text="了解です。受信フォルダに入れておきます")
        a.wait_state(lambda s: s["chat"]["visible"])
        time.sleep(0.3)
        move_window(env, a.proc.pid, "チャット画面", 1120, 60)

        a.command(cmd="send", files=files)
        # Well into the large file, with the speed already shown.
        deadline = time.monotonic() + 60
        while True:
            s, r = a.status("send"), b.status("recv")
            if (s.get("current") == 2 and s.get("filePos", 0) > 300 * 1024 * 1024 and s.get("resume")
                    and r.get("visible") and r.get("current") == 2):
                break
            if time.monotonic() > deadline:
                print(json.dumps(s, ensure_ascii=False), json.dumps(r, ensure_ascii=False), file=sys.stderr)
                raise SystemExit("the transfer did not get far enough")
            time.sleep(0.05)
        b.command(cmd="chat", text="いま旅行2024.zipを受信中です。続きから受け取れています")
        a.wait_state(lambda s: len(s["chat"]["lines"]) == 3)
        time.sleep(0.6)

        shot = os.path.join(work, "screen.png")
        subprocess.run(["import", "-window", "root", shot], env=env, check=True)
        sa, sb = a.state(), b.state()
        crop(env, shot, sa["send"]["frame"], os.path.join(out, "status-send.png"))
        crop(env, shot, sb["recv"]["frame"], os.path.join(out, "status-receive.png"))
        crop(env, shot, sb["chat"]["frame"], os.path.join(out, "chat.png"))
        shutil.copy(shot, os.path.join(out, "desktop.png"))
        print("send window:", json.dumps(sa["send"], ensure_ascii=False))
        print("receive window:", json.dumps(sb["recv"], ensure_ascii=False))
    finally:
        for p in peers:
            p.close()
        if wm:
            wm.terminate()
            wm.wait()
        xvfb.terminate()
        xvfb.wait()
        for path in cleanup:
            shutil.rmtree(path, ignore_errors=True)


if __name__ == "__main__":
    main()
