# Junk everywhere. An options file of 5 MB of junk is reported line by line, left as it is, and leaves the
# defaults (no backup). Malformed datagrams and thousands of junk datagrams from every side leave the hub running,
# holding its port, quiet once they stop, no bigger, relaying, and ending cleanly on SIGTERM.
import random, signal, time
import harness as h
from harness import check, require

LARGEST = 65507  # the largest UDP payload over IPv4


def junk_options():
    # The options text, and the lines without "=" whose reports must reach the LAN.
    binary = "".join(chr(c) for c in range(2, 256) if chr(c) not in "\n\r= ")
    reported = ["this line has no equal sign", "[General", binary, "last line without equal sign or line end"]
    text = f"[General]\r\n{reported[0]}\r\n  [General  \r\n{binary}\r\n{'L' * (1 << 20)}\r\nHuge={'v' * (2 << 20)}\r\n"
    text += random.Random(7).randbytes(1 << 20).decode("latin-1") + "\r\n[General]\r\n"
    return text + "".join(f"Key{i}=x\r\n" for i in range(80000)) + reported[-1], reported


def bad_datagrams(n, rnd):
    # Round n of malformed datagrams; texts with room for it carry n, so that rounds do not repeat each other.
    uid, app = f"FF{n % 10000:04}00", f"acme.probe{n}.host"
    header = f"xap-header\n{{\nv=12\nhop=1\nuid={uid}\nclass=test.bad\nsource={app}\n}}\nbody\n{{\nitem="
    beats = [h.beat(app, uid, port) for port in ("0", "3639", "32768", "-1", "99999999999999999999")]
    return [*beats, "", "x" * LARGEST, "\n" * LARGEST, header + "y" * (LARGEST - len(header) - 3) + "\n}\n",
            "\0" * 16, f"xap-header\n{{\nv=12\0\nhop=1\nuid=FF12\0{n}\n}}\nbody\n{{\n\0=\0\n}}\n",
            h.beat(app, uid, "40000", "60", "\r\n"), h.beat(app, uid, "", ""),
            h.beat(app, uid, "40001", "-99999999999"), h.beat(app, uid, "45001", "99999999999"),
            h.beat("", "", "40002"), h.xap(f"nodot{n}", "junk.nodot", "body", [f"n={n}"]),
            f"xap-hbeat{{v=12hop=1uid={uid}class=xap-hbeat.alivesource=a.b.c{n}port=40000}}",
            "}\n}\n{\n{\n{\n", "xap-header\n{\n", "xap-header\n{\n=\n==\n=x\n}\nb\n{\n=\n}\n",
            "".join(map(chr, range(128, 256))), rnd.randbytes(rnd.randint(1, 1400)).decode("latin-1")]


def main():
    s = h.Stage()
    options, reported = junk_options()
    s.hub.write("Config/Velmar.ini", options)
    s.start_primary()
    for line in reported:
        check(s.other.wait_for(h.hub_event("IniTool", " Equal sign not found on line " + line), 10),
              f"no report of the options line {line[:60]!r}")
    require(s.other.wait_for(h.hub_event("Tessaly", "Using xAP port 32768"), 10), "no start-up event")
    time.sleep(1)
    check(len(s.hub.hubs()) == 1, "a backup started, though the options do not ask for one")
    with open(f"{s.hub.app}/Config/Velmar.ini", "rb") as f:
        check(f.read().decode("latin-1") == options, "the hub changed the options file")

    s.add_clients(3)
    s.register()
    lo, rnd, sent = h.Sniffer(s.lan.hub), random.Random(20240611), 0
    loopback, local_lan = h.Udp(s.lan.hub, "127.0.0.1"), h.Udp(s.lan.hub, h.HUB_ADDR, broadcast=True)
    routes = ((s.peer, h.HUB_ADDR), (s.peer, h.BCAST), (loopback, "127.0.0.1"), (local_lan, h.HUB_ADDR),
              (local_lan, h.BCAST))

    def junk_then_quiet(rounds):
        # Rounds of bad datagrams, each round one way, pausing now and then so that the hub takes most; then a
        # burst far beyond a receive buffer. A relay that feeds itself would never fall quiet.
        nonlocal sent
        for _ in range(rounds):
            sender, to = routes[sent % len(routes)]
            sent += 1
            for text in bad_datagrams(sent, rnd):
                sender.send(text, to)
            time.sleep(0.005 * (sent % 2))
        for i in range(1000):
            loopback.send(h.xap("acme.probe.host", "test.burst", "burst", [f"n={sent}.{i}"]), "127.0.0.1")
        check(lo.quiet(0.5, 15), "loopback traffic went on 15 s after the junk stopped")
        check(s.other.quiet(0.5, 10), "broadcasts went on 10 s after the junk stopped")
        for c in s.clients:
            c.inbox.quiet(0.2, 5)
        require(s.primary.launcher.poll() is None, f"the hub ended on junk with status {s.primary.launcher.poll()}")
        return h.resident_kib(s.primary.pid)

    before = junk_then_quiet(40)  # the hub reaches its working size
    after = junk_then_quiet(400)
    check(after - before < 2048, f"the hub's resident size grew from {before} KiB to {after} KiB")
    check(("0.0.0.0", 3639) in h.udp_bindings(s.primary.pid), "the hub let go of its port")
    s.relays(h.message("after junk"), "after the junk")
    s.hub.stop(s.primary, signal.SIGTERM)  # signals are handled by the event loop: it still turns


h.run(main)
