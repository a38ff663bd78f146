#!/usr/bin/python3
"""An HTTP(S) server for subscription-fetch tests, written on raw sockets so that it can break
the protocol on purpose. Listens on 127.0.0.1; the first line on stdout is "listening PORT".

Paths (the query is ignored unless stated):
  /ok                 200, a short body
  / and /echo...      200, the body is "target=" and the request target as received
  /status/N           status N with an empty body
  /empty              200 with Content-Length: 0
  /size/N             200 with a body of exactly N bytes
  /file               200 with the file given by --file
  /chunked-endless    200, chunked, never ends (64 KiB chunks as fast as the client reads)
  /truncated          Content-Length: 100, sends 50 bytes, closes
  /chunked-truncated  chunked, one chunk, closes without the last chunk
  /stall              sends a 200 head with Content-Length: 10, then nothing for 60 s
  /stall-head         reads the request, answers nothing for 60 s
  /trickle            Content-Length: 1000, one byte every 2 s
  /redirect-once      302 to /ok
  /redirect-loop      302 to itself
  /redirect?to=URL    302 to URL
  /garbage            a line that is no HTTP status line
--delay-ms waits that long before answering any request. --tls CERT KEY serves HTTPS.
--banner TEXT sends TEXT to every client as soon as it connects, then closes (no HTTP at all).
"""

import argparse
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse


def reply(conn, status, body=b"", headers=()):
    reasons = {200: "OK", 204: "No Content", 302: "Found", 404: "Not Found"}
    head = "HTTP/1.1 %d %s\r\n" % (status, reasons.get(status, "Status"))
    for h in headers:
        head += h + "\r\n"
    if status not in (204, 304) and not any(h.lower().startswith("content-length") for h in headers):
        head += "Content-Length: %d\r\n" % len(body)
    head += "Connection: close\r\n\r\n"
    conn.sendall(head.encode() + body)


def read_head(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        part = conn.recv(4096)
        if not part:
            return None
        data += part
    return data.split(b"\r\n", 1)[0].decode("latin-1")


def serve(conn, args):
    request_line = read_head(conn)
    if request_line is None:
        return
    parts = request_line.split(" ")
    target = parts[1] if len(parts) > 1 else ""
    url = urllib.parse.urlsplit(target)
    path = url.path
    sys.stdout.write("request %s\n" % target)
    sys.stdout.flush()
    if args.delay_ms:
        time.sleep(args.delay_ms / 1000.0)
    if path == "/ok":
        reply(conn, 200, b"hello subscription\n")
    elif path == "/" or path.startswith("/echo"):
        reply(conn, 200, ("target=" + target).encode())
    elif path.startswith("/status/"):
        reply(conn, int(path.split("/")[2]))
    elif path == "/empty":
        reply(conn, 200, b"")
    elif path.startswith("/size/"):
        reply(conn, 200, b"x" * int(path.split("/")[2]))
    elif path == "/file":
        with open(args.file, "rb") as f:
            reply(conn, 200, f.read())
    elif path == "/chunked-endless":
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
        chunk = b"%x\r\n" % 65536 + b"y" * 65536 + b"\r\n"
        while True:
            conn.sendall(chunk)
    elif path == "/truncated":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n" + b"z" * 50)
    elif path == "/chunked-truncated":
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n")
    elif path == "/stall":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n")
        time.sleep(60)
    elif path == "/stall-head":
        time.sleep(60)
    elif path == "/trickle":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n")
        for _ in range(1000):
            conn.sendall(b"t")
            time.sleep(2)
    elif path == "/redirect-once":
        reply(conn, 302, headers=("Location: /ok",))
    elif path == "/redirect-loop":
        reply(conn, 302, headers=("Location: /redirect-loop",))
    elif path == "/redirect":
        to = urllib.parse.parse_qs(url.query).get("to", ["/ok"])[0]
        reply(conn, 302, headers=("Location: " + to,))
    elif path == "/garbage":
        conn.sendall(b"GARBAGE AHEAD\r\n\r\n")
    else:
        reply(conn, 404)


def handle(conn, args, context):
    try:
        if args.banner is not None:
            conn.sendall(args.banner.encode() + b"\r\n")
            return
        if context is not None:
            conn = context.wrap_socket(conn, server_side=True)
        serve(conn, args)
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            conn.close()
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--file")
    parser.add_argument("--delay-ms", type=int, default=0)
    parser.add_argument("--banner", help="send this line to every client at once and close")
    args = parser.parse_args()
    context = None
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(args.tls[0], args.tls[1])
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(64)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("listening", listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handle, args=(conn, args, context), daemon=True).start()


if __name__ == "__main__":
    main()
