#!/usr/bin/python3
"""A stand-in for the local resolver service (org.freedesktop.resolve1) on a private message bus.

Starts its own dbus-daemon from a private configuration, listening on a socket in --dir (never the
machine's system bus), and serves the parts of the published Manager and Link interfaces that a
network manager uses: SetLinkDNS, SetLinkDomains, SetLinkDefaultRoute, RevertLink, FlushCaches,
GetLink, and the DNS properties. Prints "ready <bus address>" when it serves.

Every call is appended to <dir>/calls.log, one line each (e.g. "SetLinkDNS 7 2:172.19.77.53");
the links' settings are rewritten to <dir>/links.state after every change
("link 7 dns=172.19.77.53 domains=~. default_route=yes").

A call whose arguments do not have the published signature is refused with InvalidArgs, like a
link the service does not know (NoSuchLink). Misbehaviour on demand:
  --hang METHOD=SECONDS   block (the whole service, as a single-threaded one would) before
                          applying and answering METHOD
  --fail METHOD           refuse METHOD with AccessDenied
  --activation ok|fail|none
                          do not own the name; the bus starts the service on the first call
                          (ok: this script with --serve; fail: a program that exits at once;
                          none: the bus runs without the service)
"""

import argparse
import ctypes
import os
import signal
import socket
import subprocess
import sys
import time

import dbus
import dbus.exceptions
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

SERVICE = "org.freedesktop.resolve1"
MANAGER_PATH = "/org/freedesktop/resolve1"
MANAGER = "org.freedesktop.resolve1.Manager"
LINK = "org.freedesktop.resolve1.Link"
PROPERTIES = "org.freedesktop.DBus.Properties"
AF_INET = 2


def parse_args(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--dir", required=True)
    p.add_argument("--links", default="",
                   help="comma-separated interface indexes the service knows, or 'any': every interface "
                        "of its network namespace")
    p.add_argument("--link-dns", action="append", default=[], help="INDEX=ADDRESS, in order")
    p.add_argument("--global-dns", action="append", default=[], help="ADDRESS, in order")
    p.add_argument("--hang", action="append", default=[], help="METHOD=SECONDS")
    p.add_argument("--fail", action="append", default=[], help="METHOD")
    p.add_argument("--activation", choices=["ok", "fail", "none"])
    p.add_argument("--serve", action="store_true", help="serve on the bus that started us")
    return p.parse_args(argv)


def path_for_link(index):
    # The bus path encoding: a label may not start with a digit, so each character is escaped.
    return MANAGER_PATH + "/link/" + "".join("_%02x" % ord(c) for c in str(index))


def dotted(raw):
    return ".".join(str(b) for b in raw)


def packed(text):
    return [int(x) for x in text.split(".")]


def invalid(message):
    return dbus.exceptions.DBusException(message, name="org.freedesktop.DBus.Error.InvalidArgs")


class State:
    def __init__(self, args):
        self.dir = args.dir
        self.hang = {k: float(v) for k, v in (h.split("=") for h in args.hang)}
        self.fail = set(args.fail)
        self.globals = [packed(a) for a in args.global_dns]
        self.links = {}
        self.any_link = args.links == "any"
        for index in filter(None, args.links.split(",") if not self.any_link else []):
            self.links[int(index)] = {"dns": [], "domains": [], "default_route": None}
        for entry in args.link_dns:
            index, address = entry.split("=")
            self.links.setdefault(int(index), {"dns": [], "domains": [], "default_route": None})
            self.links[int(index)]["dns"].append(packed(address))
        self.save()

    def record(self, line):
        with open(os.path.join(self.dir, "calls.log"), "a") as f:
            f.write(line + "\n")

    def save(self):
        lines = []
        for index in sorted(self.links):
            link = self.links[index]
            route = {None: "unset", True: "yes", False: "no"}[link["default_route"]]
            domains = ",".join(("~" if r else "") + d for d, r in link["domains"])
            lines.append("link %d dns=%s domains=%s default_route=%s\n"
                         % (index, ",".join(dotted(a) for a in link["dns"]), domains, route))
        temporary = os.path.join(self.dir, "links.state.new")
        with open(temporary, "w") as f:
            f.writelines(lines)
        os.replace(temporary, os.path.join(self.dir, "links.state"))

    # Every method passes here first: signature, misbehaviour, known link. The method records
    # itself once it has done its work.
    def enter(self, method, message, signature, index=None):
        got = message.get_signature() or ""
        if got != signature:
            self.record("%s bad-signature:%s" % (method, got))
            raise invalid("%s expects arguments (%s), got (%s)" % (method, signature, got))
        if method in self.hang:
            time.sleep(self.hang[method])
        if method in self.fail:
            self.record("%s refused" % method)
            raise dbus.exceptions.DBusException("refused on purpose",
                                                name="org.freedesktop.DBus.Error.AccessDenied")
        if index is not None and int(index) not in self.links and self.any_link:
            try:
                socket.if_indextoname(int(index))
                self.links[int(index)] = {"dns": [], "domains": [], "default_route": None}
            except OSError:
                pass
        if index is not None and int(index) not in self.links:
            self.record("%s %d unknown-link" % (method, index))
            raise dbus.exceptions.DBusException("Link %d not known" % index,
                                                name="org.freedesktop.resolve1.NoSuchLink")


def link_properties(link):
    return {
        "DNS": dbus.Array([dbus.Struct((dbus.Int32(AF_INET), dbus.Array(a, signature="y")), signature=None)
                           for a in link["dns"]], signature="(iay)"),
        "Domains": dbus.Array([dbus.Struct((d, dbus.Boolean(r))) for d, r in link["domains"]], signature="(sb)"),
        "DefaultRoute": dbus.Boolean(bool(link["default_route"])),
    }


class Manager(dbus.service.Object):
    def __init__(self, bus, state):
        super().__init__(bus, MANAGER_PATH)
        self.state = state

    def _log(self, line):
        self.state.record(line)

    @dbus.service.method(MANAGER, in_signature="ia(iay)", out_signature="", message_keyword="message")
    def SetLinkDNS(self, index, addresses, message=None):
        self.state.enter("SetLinkDNS", message, "ia(iay)", index)
        servers = []
        for family, raw in addresses:
            if family != AF_INET or len(raw) != 4:
                raise invalid("only IPv4 servers are served here")
            servers.append([int(b) for b in raw])
        self._log("SetLinkDNS %d %s" % (index, ",".join("2:" + dotted(s) for s in servers)))
        self.state.links[int(index)]["dns"] = servers
        self.state.save()

    @dbus.service.method(MANAGER, in_signature="ia(sb)", out_signature="", message_keyword="message")
    def SetLinkDomains(self, index, domains, message=None):
        self.state.enter("SetLinkDomains", message, "ia(sb)", index)
        entries = [(str(d), bool(r)) for d, r in domains]
        self._log("SetLinkDomains %d %s" % (index, ",".join("%s:%s" % (d, str(r).lower()) for d, r in entries)))
        self.state.links[int(index)]["domains"] = entries
        self.state.save()

    @dbus.service.method(MANAGER, in_signature="ib", out_signature="", message_keyword="message")
    def SetLinkDefaultRoute(self, index, enable, message=None):
        self.state.enter("SetLinkDefaultRoute", message, "ib", index)
        self._log("SetLinkDefaultRoute %d %s" % (index, str(bool(enable)).lower()))
        self.state.links[int(index)]["default_route"] = bool(enable)
        self.state.save()

    @dbus.service.method(MANAGER, in_signature="i", out_signature="", message_keyword="message")
    def RevertLink(self, index, message=None):
        self.state.enter("RevertLink", message, "i", index)
        self._log("RevertLink %d" % index)
        self.state.links[int(index)] = {"dns": [], "domains": [], "default_route": None}
        self.state.save()

    @dbus.service.method(MANAGER, in_signature="", out_signature="", message_keyword="message")
    def FlushCaches(self, message=None):
        self.state.enter("FlushCaches", message, "")
        self._log("FlushCaches")

    @dbus.service.method(MANAGER, in_signature="i", out_signature="o", message_keyword="message")
    def GetLink(self, index, message=None):
        self.state.enter("GetLink", message, "i", index)
        self._log("GetLink %d" % index)
        return dbus.ObjectPath(path_for_link(index))

    def properties(self):
        servers = [dbus.Struct((dbus.Int32(0), dbus.Int32(AF_INET), dbus.Array(a, signature="y")))
                   for a in self.state.globals]
        # Like the real service, the manager lists the links' servers too, under their index.
        for index in sorted(self.state.links):
            servers += [dbus.Struct((dbus.Int32(index), dbus.Int32(AF_INET), dbus.Array(a, signature="y")))
                        for a in self.state.links[index]["dns"]]
        return {"DNS": dbus.Array(servers, signature="(iiay)")}

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v", message_keyword="message")
    def Get(self, interface, name, message=None):
        self.state.enter("Get", message, "ss")
        self._log("Get manager %s %s" % (interface, name))
        if interface != MANAGER or name not in self.properties():
            raise invalid("no property %s.%s" % (interface, name))
        return self.properties()[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}", message_keyword="message")
    def GetAll(self, interface, message=None):
        self.state.enter("GetAll", message, "s")
        return self.properties() if interface == MANAGER else {}


class Link(dbus.service.Object):
    def __init__(self, bus, state, index):
        super().__init__(bus, path_for_link(index))
        self.state = state
        self.index = index

    @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v", message_keyword="message")
    def Get(self, interface, name, message=None):
        self.state.enter("Get", message, "ss")
        self.state.record("Get link %d %s %s" % (self.index, interface, name))
        values = link_properties(self.state.links[self.index])
        if interface != LINK or name not in values:
            raise invalid("no property %s.%s" % (interface, name))
        return values[name]

    @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}", message_keyword="message")
    def GetAll(self, interface, message=None):
        self.state.enter("GetAll", message, "s")
        return link_properties(self.state.links[self.index]) if interface == LINK else {}


def serve(args, address):
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    state = State(args)
    objects = [Manager(bus, state)] + [Link(bus, state, i) for i in sorted(state.links)]
    # Requested directly: a name object would try to give the name back after the bus has gone.
    if bus.request_name(SERVICE, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        sys.exit("cannot own " + SERVICE)
    loop = GLib.MainLoop()
    bus.call_on_disconnection(lambda _: loop.quit())
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    print("ready " + address, flush=True)
    loop.run()
    del objects


def bus_config(directory):
    return """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%s/bus.socket</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%s/services</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""" % (directory, directory)


def main():
    args = parse_args(sys.argv[1:])
    if args.serve:
        serve(args, os.environ["DBUS_STARTER_ADDRESS"])
        return
    directory = os.path.abspath(args.dir)
    os.makedirs(os.path.join(directory, "services"), exist_ok=True)
    if args.activation in ("ok", "fail"):
        # The started service gets every option but this one.
        forwarded, skip = [], False
        for a in sys.argv[1:]:
            if skip or a.startswith("--activation"):
                skip = a == "--activation"
                continue
            forwarded.append(a)
        exec_line = "/bin/false" if args.activation == "fail" else " ".join(
            [sys.executable, os.path.abspath(__file__), "--serve"] + forwarded)
        with open(os.path.join(directory, "services", SERVICE + ".service"), "w") as f:
            f.write("[D-BUS Service]\nName=%s\nExec=%s\n" % (SERVICE, exec_line))
    config = os.path.join(directory, "bus.conf")
    with open(config, "w") as f:
        f.write(bus_config(directory))
    # The daemon ends with us, however we end.
    libc = ctypes.CDLL(None, use_errno=True)
    daemon = subprocess.Popen(["dbus-daemon", "--config-file=" + config, "--nofork", "--print-address"],
                              stdout=subprocess.PIPE, text=True,
                              preexec_fn=lambda: libc.prctl(1, signal.SIGTERM))  # PR_SET_PDEATHSIG
    try:
        address = daemon.stdout.readline().strip()
        if not address:
            sys.exit("dbus-daemon did not start")
        if args.activation:
            print("ready " + address, flush=True)
            signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
            daemon.wait()
        else:
            serve(args, address)
    finally:
        daemon.terminate()
        daemon.wait(timeout=5)


if __name__ == "__main__":
    main()
