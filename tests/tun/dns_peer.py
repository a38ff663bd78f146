#!/usr/bin/python3
"""A small authoritative DNS server for TUN tests, over UDP and TCP on one address.

--record NAME=A.B.C.D answers A queries for NAME (more than one per name allowed);
--aaaa NAME=ADDRESS answers AAAA queries. Other names get NOERROR with no answers. --pad N adds
an N-byte TXT record to every answer for NAME=... given with --big, so UDP answers come back
truncated (TC) past 512 bytes and the client retries over TCP. Prints "listening" once bound.
"""
import argparse
import ipaddress
import socket
import struct
import sys
import threading


def read_name(msg, at):
    labels = []
    while True:
        n = msg[at]
        if n == 0:
            return '.'.join(labels).lower(), at + 1
        labels.append(msg[at + 1:at + 1 + n].decode('ascii', 'replace'))
        at += 1 + n


def answer(query, records, aaaa, big, pad, udp):
    if len(query) < 12:
        return None
    ident, flags, qd = struct.unpack('!HHH', query[:6])
    if qd != 1:
        return None
    name, at = read_name(query, 12)
    qtype, qclass = struct.unpack('!HH', query[at:at + 4])
    question = query[12:at + 4]
    rrs = []
    if qtype == 1:
        for a in records.get(name, []):
            rrs.append(b'\xc0\x0c' + struct.pack('!HHIH', 1, 1, 60, 4) + socket.inet_aton(a))
    elif qtype == 28:
        for a in aaaa.get(name, []):
            rrs.append(b'\xc0\x0c' + struct.pack('!HHIH', 28, 1, 60, 16) + ipaddress.IPv6Address(a).packed)
    if name in big:
        chunk = b'x' * 200
        for _ in range(pad // 200):
            rrs.append(b'\xc0\x0c' + struct.pack('!HHIH', 16, 1, 60, 201) + bytes([200]) + chunk)
    out_flags = 0x8180 | (flags & 0x0100)
    body = b''.join(rrs)
    message = struct.pack('!HHHHHH', ident, out_flags, 1, len(rrs), 0, 0) + question + body
    if udp and len(message) > 512:
        message = struct.pack('!HHHHHH', ident, out_flags | 0x0200, 1, 0, 0, 0) + question
    return message


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--address', required=True)
    p.add_argument('--port', type=int, default=53)
    p.add_argument('--record', action='append', default=[])
    p.add_argument('--aaaa', action='append', default=[])
    p.add_argument('--big', action='append', default=[])
    p.add_argument('--pad', type=int, default=1600)
    a = p.parse_args()
    records, aaaa = {}, {}
    for r in a.record:
        n, v = r.split('=')
        records.setdefault(n.lower(), []).append(v)
    for r in a.aaaa:
        n, v = r.split('=')
        aaaa.setdefault(n.lower(), []).append(v)
    big = set(n.lower() for n in a.big)

    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.bind((a.address, a.port))
    t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    t.bind((a.address, a.port))
    t.listen(16)

    def serve_udp():
        while True:
            q, peer = u.recvfrom(4096)
            r = answer(q, records, aaaa, big, a.pad, True)
            if r:
                u.sendto(r, peer)

    def serve_tcp_client(c):
        with c:
            while True:
                head = c.recv(2, socket.MSG_WAITALL)
                if len(head) < 2:
                    return
                q = c.recv(struct.unpack('!H', head)[0], socket.MSG_WAITALL)
                r = answer(q, records, aaaa, big, a.pad, False)
                if not r:
                    return
                c.sendall(struct.pack('!H', len(r)) + r)

    def serve_tcp():
        while True:
            c, _ = t.accept()
            threading.Thread(target=serve_tcp_client, args=(c,), daemon=True).start()

    threading.Thread(target=serve_udp, daemon=True).start()
    threading.Thread(target=serve_tcp, daemon=True).start()
    print('listening', flush=True)
    threading.Event().wait()


if __name__ == '__main__':
    sys.exit(main())
