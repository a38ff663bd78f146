#!/usr/bin/env python3
"""An origin for proxy protocol tests: greets each connection, then echoes.

Listens on 127.0.0.1 and ::1 at the same port. Each connection first receives "origin NAME\\n",
then every byte it sends comes back. A connection whose data ends with "QUIT\\n" is closed after
that data was echoed, so tests can watch the server side end a stream. Prints "listening PORT".
"""
import argparse
import socket
import sys
import threading


def serve(conn, banner):
    try:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn.sendall(banner)
        tail = b''
        while True:
            data = conn.recv(262144)
            if not data:
                break
            conn.sendall(data)
            tail = (tail + data)[-5:]
            if tail == b'QUIT\n':
                break
    except OSError:
        pass
    finally:
        conn.close()


def listen(family, address, port):
    s = socket.socket(family, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s.bind((address, port))
    s.listen(64)
    return s


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--name', default='main')
    args = parser.parse_args()
    banner = ('origin %s\n' % args.name).encode()
    for _ in range(20):
        v4 = listen(socket.AF_INET, '127.0.0.1', 0)
        port = v4.getsockname()[1]
        try:
            v6 = listen(socket.AF_INET6, '::1', port)
            break
        except OSError:
            v4.close()
    else:
        sys.exit('echo_origin: no port free on both loopback addresses')

    def accept_loop(s):
        while True:
            conn, _ = s.accept()
            threading.Thread(target=serve, args=(conn, banner), daemon=True).start()

    threading.Thread(target=accept_loop, args=(v6,), daemon=True).start()
    print('listening %d' % port, flush=True)
    accept_loop(v4)


if __name__ == '__main__':
    main()
