#!/usr/bin/env python3
"""Tray stand-in: chats with the technician's viewer from a terminal.

Connects to the engine's tray chat socket, prints what the technician writes
and sends every line typed on standard input to the viewer.

    tools/tray/tray.py --session-id ID        # the socket the engine serves for ID
    tools/tray/tray.py --socket PATH          # an explicit socket path
    tools/tray/tray.py ... --raw              # print the records as JSON lines

The socket lives in the engine's private pipe directory: $KELVANDRUM_PIPE_DIR,
else $XDG_RUNTIME_DIR/kelvandrum, else /tmp/kelvandrum-<uid>; its name is
kelvandrum-chat-<session id with anything outside [A-Za-z0-9._-] as '_'>.sock.
Run it as the engine's user (the directory is private to that user).
"""
import argparse
import json
import os
import re
import socket
import sys
import threading


def pipe_directory():
    d = os.environ.get("KELVANDRUM_PIPE_DIR")
    if d:
        return d
    x = os.environ.get("XDG_RUNTIME_DIR")
    if x and x.startswith("/"):
        return os.path.join(x, "kelvandrum")
    return f"/tmp/kelvandrum-{os.geteuid()}"


def fnv1a(data):
    h = 2166136261
    for b in data:
        h ^= b
        h = (h * 16777619) & 0xFFFFFFFF
    return h


def chat_socket_path(session_id):
    sid = re.sub(r"[^A-Za-z0-9._-]", "_", session_id)
    if sid in ("", ".", ".."):
        sid = "_" * max(len(sid), 1)
    if len(sid) > 64:
        sid = sid[:48] + "-%08x" % fnv1a(session_id.encode("utf-8"))
    return os.path.join(pipe_directory(), f"kelvandrum-chat-{sid}.sock")


def reader(sock, raw, done):
    buf = b""
    try:
        while True:
            data = sock.recv(65536)
            if not data:
                break
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                text = line.decode("utf-8", "replace")
                if raw:
                    print(text, flush=True)
                    continue
                try:
                    rec = json.loads(text)
                except ValueError:
                    continue
                kind = rec.get("type")
                if kind == "hello":
                    print(f"* connected to session {rec.get('sessionId')}, "
                          f"technician {rec.get('technician')}", flush=True)
                elif kind == "in":
                    print(f"{rec.get('text', '')}", flush=True)
                elif kind == "busy":
                    print(f"* refused: {rec.get('reason')}", file=sys.stderr, flush=True)
                    done.busy = True
    except OSError:
        pass
    if not raw:
        print("* the engine closed the chat", file=sys.stderr, flush=True)
    done.set()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    g = ap.add_mutually_exclusive_group(required=True)
    g.add_argument("--session-id")
    g.add_argument("--socket")
    ap.add_argument("--raw", action="store_true", help="print received records verbatim")
    args = ap.parse_args()
    path = args.socket or chat_socket_path(args.session_id)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        sock.connect(path)
    except OSError as e:
        print(f"cannot connect to {path}: {e}", file=sys.stderr)
        return 1
    done = threading.Event()
    done.busy = False
    threading.Thread(target=reader, args=(sock, args.raw, done), daemon=True).start()
    try:
        for line in sys.stdin:
            if done.is_set():
                break
            text = line.rstrip("\n")
            if not text:
                continue
            sock.sendall((json.dumps({"type": "out", "text": text}) + "\n").encode("utf-8"))
    except (OSError, KeyboardInterrupt):
        pass
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    done.wait(1.0)
    return 2 if done.busy else 0


if __name__ == "__main__":
    sys.exit(main())
