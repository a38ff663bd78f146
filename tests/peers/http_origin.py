#!/usr/bin/env python3
"""A static-file HTTP origin for proxy tests.

Serves the files of a directory on 127.0.0.1. Unlike a plain file server it also accepts the
absolute request target that a forwarding proxy passes on unchanged ("GET http://host:port/path"),
and it prints "listening PORT" as its first line so a test can start it on port 0.
"""
import argparse
import functools
import http.server
import signal
import socket
import sys
import urllib.parse


class handler(http.server.SimpleHTTPRequestHandler):
    def parse_request(self):
        if not super().parse_request():
            return False
        if '://' in self.path:
            parts = urllib.parse.urlsplit(self.path)
            self.path = urllib.parse.urlunsplit(('', '', parts.path or '/', parts.query, ''))
        return True

    def log_message(self, format, *args):
        sys.stderr.write('origin: ' + (format % args) + '\n')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--directory', required=True)
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--bind', default='127.0.0.1', help='127.0.0.1 (default) or ::1')
    parser.add_argument('--keep-alive', action='store_true',
                        help='speak HTTP/1.1 and keep connections open between requests')
    args = parser.parse_args()
    if args.keep_alive:
        handler.protocol_version = 'HTTP/1.1'

    server_class = http.server.ThreadingHTTPServer
    if ':' in args.bind:
        server_class = type('v6_server', (http.server.ThreadingHTTPServer,),
                            {'address_family': socket.AF_INET6})
    server = server_class((args.bind, args.port), functools.partial(handler, directory=args.directory))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print('listening', server.server_address[1], flush=True)
    try:
        server.serve_forever()
    finally:
        server.server_close()


if __name__ == '__main__':
    main()
