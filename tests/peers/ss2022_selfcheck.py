#!/usr/bin/python3
"""Checks ss2022_server.py with a minimal Shadowsocks 2022 client of its own.

Starts the server (single-user and multi-user) in front of an echo origin on 127.0.0.1 and checks
that good requests relay both ways and that replayed salts, stale timestamps, damaged tags and
unknown users are refused. Exit status 0 when every check passes.
"""

import base64
import os
import socket
import struct
import subprocess
import sys
import threading
import time

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

HERE = os.path.dirname(os.path.abspath(__file__))
USER = bytes(range(16))
OTHER_USER = bytes(range(16, 32))
IDENTITY = bytes(range(32, 48))


def b3(args, data):
    return subprocess.run(["b3sum", "--no-names", "--raw"] + args, input=data,
                          capture_output=True, check=True).stdout[:32]


def subkey(context, psk, salt):
    return b3(["--derive-key", "shadowsocks 2022 %s subkey" % context], psk + salt)[:16]


class sealer:
    def __init__(self, key):
        self.aead, self.n = AESGCM(key), 0

    def __call__(self, data, opening=False):
        nonce = self.n.to_bytes(12, "little")
        self.n += 1
        op = self.aead.decrypt if opening else self.aead.encrypt
        return op(nonce, data, None)


def build_request(user, host, port, payload, identity=None, timestamp=None, salt=None,
                  damage=False):
    salt = salt or os.urandom(16)
    out = salt
    if identity is not None:
        enc = Cipher(algorithms.AES(subkey("identity", identity, salt)), modes.ECB()).encryptor()
        out += enc.update(b3([], user)[:16]) + enc.finalize()
    seal = sealer(subkey("session", user, salt))
    host = host.encode()
    variable = bytes([3, len(host)]) + host + struct.pack(">HH", port, 0) + payload
    ts = int(time.time()) if timestamp is None else timestamp
    fixed = seal(struct.pack(">BQH", 0, ts, len(variable)))
    if damage:
        fixed = fixed[:-1] + bytes([fixed[-1] ^ 1])
    return out + fixed + seal(variable), salt, seal


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        part = sock.recv(n - len(data))
        if not part:
            return None
        data += part
    return data


def exchange(server_port, request, user, salt, seal, more=b"", want=0):
    """Sends the request (plus one chunk), returns all decrypted bytes the server sends back."""
    sock = socket.create_connection(("127.0.0.1", server_port), timeout=5)
    try:
        if more:
            request += seal(struct.pack(">H", len(more))) + seal(more)
        sock.sendall(request)
        server_salt = recv_exact(sock, 16)
        if server_salt is None:
            return None
        opener = sealer(subkey("session", user, server_salt))
        header = opener(recv_exact(sock, 43), True)
        kind, ts, echo, length = struct.unpack(">BQ16sH", header)
        assert kind == 1 and echo == salt and abs(ts - time.time()) <= 30
        received = opener(recv_exact(sock, length + 16), True)  # sealed even when empty
        while len(received) < want:
            length = struct.unpack(">H", opener(recv_exact(sock, 18), True))[0]
            received += opener(recv_exact(sock, length + 16), True)
        return received
    except (socket.timeout, ConnectionError):
        return None
    finally:
        sock.close()


def echo_origin():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def serve(conn):
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)

    def accept():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def start_server(args):
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "ss2022_server.py"), "--port",
                             "0", "--map", "origin.test=127.0.0.1", "--drain-seconds", "0.5"]
                            + args, stdout=subprocess.PIPE, text=True)
    first = proc.stdout.readline().split()
    assert first[0] == "listening", first
    return proc, int(first[1])


def main():
    origin = echo_origin()
    b64 = lambda k: base64.b64encode(k).decode()
    failures = []

    def check(name, ok):
        print(("ok   " if ok else "FAIL ") + name)
        if not ok:
            failures.append(name)

    single, single_port = start_server(["--psk", b64(USER)])
    multi, multi_port = start_server(["--ipsk", b64(IDENTITY), "--user", b64(OTHER_USER),
                                      "--user", b64(USER)])
    try:
        big = os.urandom(40000)
        req, salt, seal = build_request(USER, "origin.test", origin, b"hello ")
        check("single user relays", exchange(single_port, req, USER, salt, seal, big,
                                             6 + len(big)) == b"hello " + big)
        check("replayed salt refused", exchange(single_port, req, USER, salt, seal) is None)

        req, salt, seal = build_request(USER, "origin.test", origin, b"multi", IDENTITY)
        check("multi user relays", exchange(multi_port, req, USER, salt, seal, b"!", 6) ==
              b"multi!")
        stranger = bytes(16)
        req, salt, seal = build_request(stranger, "origin.test", origin, b"x", IDENTITY)
        check("unknown user refused", exchange(multi_port, req, stranger, salt, seal) is None)

        # A stamp in the past only ages before the server reads it; one in the future gets
        # closer, so it keeps a few seconds of margin against a clock tick in between.
        for offset in (-31, 35):
            req, salt, seal = build_request(USER, "origin.test", origin, b"x",
                                            timestamp=int(time.time()) + offset)
            check("timestamp %+d refused" % offset,
                  exchange(single_port, req, USER, salt, seal) is None)
        req, salt, seal = build_request(USER, "origin.test", origin, b"x", damage=True)
        check("damaged tag refused", exchange(single_port, req, USER, salt, seal) is None)
        req, salt, seal = build_request(USER, "elsewhere.test", origin, b"x")
        check("unmapped host refused", exchange(single_port, req, USER, salt, seal) is None)
    finally:
        for proc in (single, multi):
            proc.terminate()
            check("server exits on SIGTERM", proc.wait(timeout=5) == 0)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
