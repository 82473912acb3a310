# A hub's first start in a fresh AppPath: the files and log lines it leaves, its heartbeat and start-up event on
# the LAN, the sockets it holds; a second copy ends at once and quietly. Three applications of its computer then
# register by heartbeat and hear, once each, every message that reaches the hub port by any way, except their own
# and repeats; the hub answers echo and role queries; heartbeats from anywhere but this computer's LAN address
# register nobody. SIGTERM ends the hub and frees its ports at once.
import os, re, signal, time
import harness as h
from harness import check, require

LOOPBACK, STAMP = "127.0.0.1", r"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d"


def first_start(s):
    started, from_hub = time.time(), lambda d: d.src[0] == h.HUB_ADDR
    s.primary = s.hub.start()
    require(s.primary.pid, "the hub ended at once")
    pid = s.primary.ns_pid
    first = require(s.other.wait_for(from_hub, 10), "nothing from the hub within 10 s")
    event = require(s.other.wait_for(from_hub, 5), "nothing from the hub after its first datagram")
    check(first.text == h.beat(), f"the hub's first datagram is not its heartbeat:\n{first.text}")
    check((first.src, first.dst[0]) == ((h.HUB_ADDR, h.CLIENT_PORT), h.BCAST), f"heartbeat {first.src} -> {first.dst}")
    stamp = (re.search("\nTime=([^\n]*)\n", event.text) or ["", ""])[1]
    check(event.text == h.hub_text("Vantrel.Event", "Event.Log", [f"Time={stamp}", "Type=Tessaly",
                                                                   "Data=Using xAP port 32768"]),
          f"the datagram after the heartbeat is not the start-up event:\n{event.text}")
    check((event.src[1], event.dst[0]) == (h.CLIENT_PORT, h.BCAST), f"event {event.src} -> {event.dst}")
    for made in ("Config/Velmar.ini", "Config/Orrin.ini", "Data/"):
        check(os.path.exists(os.path.join(s.hub.app, made)), f"{made} was not made")
    held = h.udp_bindings(s.primary.pid)
    check(held == [("0.0.0.0", 3639), (h.HUB_ADDR, 32768), ("127.0.0.1", 32768)], f"the hub holds {held}")

    # The log: CR LF lines of local time, "|", text, "at Line", number; the start-up line first, one role line.
    h.wait_until(lambda: "Primary Hub" in s.hub.log(pid), 10)
    log = s.hub.log(pid)
    check(log.endswith("\r\n"), f"Data/Tessaly{pid}.txt does not end with CR LF:\n{log!r}")
    lines = log.split("\r\n")[:-1] or [""]
    for line in lines:
        check(re.fullmatch(STAMP + r" \| [^\r\n]* at Line -?\d+ [^\r\n]*", line), f"log line out of layout: {line!r}")
    role = f" | Backup Hub Process {pid} Starting as Primary Hub on port 3639 {h.HUB_ADDR} at Line 0 "
    check(lines[0][19:] == f" | Tessaly Hub Startup {pid} at Line 0 ", f"first log line: {lines[0]!r}")
    check([line[19:] for line in lines].count(role) == 1, f"not one role line in:\n{lines}")
    for stamped in (stamp, lines[0][:19], *(line[:19] for line in lines if line.endswith(role))):
        check(h.stamp_between(stamped, started, time.time()), f"{stamped} is not the local time of the start")

    s.hub.exits(s.hub.start(), "a second copy")
    check(s.hub.hubs() == [s.primary.pid], f"running hubs {s.hub.hubs()}, not the primary {s.primary.pid} alone")
    beats = s.other.collect(lambda d: d.text.startswith("xap-hbeat\n"), 2)
    check(not beats, f"{len(beats)} more heartbeats since the first, from {[d.src for d in beats]}")


def answered(s, text, times, what):  # heard `times` times within 1 s, broadcast from the client port, and relayed
    heard = s.other.collect(h.is_text(text), 1)
    check(len(heard) == times, f"{what}: {len(heard)} answers, not {times}:\n{text}")
    for d in heard:
        check((d.src, d.dst[0]) == ((h.HUB_ADDR, h.CLIENT_PORT), h.BCAST), f"{what}: answer {d.src} -> {d.dst}")
    if times:
        s.relayed_once(text, what)


def main():
    s = h.Stage()
    first_start(s)
    s.add_clients(3)
    s.register()
    loopback_app, lan_app = h.Udp(s.lan.hub, LOOPBACK), h.Udp(s.lan.hub, h.HUB_ADDR)
    for what, sender, to in (("broadcast from the other computer", s.peer, h.BCAST),
                             ("the other computer to the hub's address", s.peer, h.HUB_ADDR),
                             ("loopback", loopback_app, LOOPBACK),
                             ("this computer to its LAN address", lan_app, h.HUB_ADDR)):
        s.relays(h.message(what), what, sender, to)

    # A client does not hear itself: the source key equals its registered key exactly.
    for source, sender_hears in (("acme.client1.hubhost", False), ("acme.client1.hubhost:kitchen.lamp", False),
                                 ("ACME.client1.hubhost:kitchen.lamp", True)):
        s.relays(h.xap(source, "xAPBSC.event", "output.state", ["state=on"]), f"from {source}", s.clients[0].out,
                 skipped=() if sender_hears else s.clients[:1])

    # The same text within 100 ms of the last is one message. The hub measures from the later of two, which it has
    # taken before its first copy goes out; a repeat let through shows as a copy too many.
    text, sent = h.message("twice"), time.monotonic()
    s.peer.send(text)
    s.peer.send(text)
    for c in s.clients:
        require(c.inbox.wait_for(h.is_text(text), 5), f"{c.source} got no copy of a message sent twice")
    time.sleep(max(sent + 0.15 - time.monotonic(), 0.1))
    s.relays(text, "the same text 150 ms later")
    s.peer.send(h.message("from two sides"), h.HUB_ADDR)
    s.relays(h.message("from two sides"), "the same text from two senders at once", loopback_app, LOOPBACK)

    for asker, target, section, asked, answers in (("acme.asker.one", "", "Echo.Query", "Hello", 1),
                                                   ("acme.asker.two:sub", h.PRIMARY, "Echo.Query", "HeLLo WoRLD", 1),
                                                   ("acme.asker.three", "acme.other.app", "Echo.Query", "Hello", 0),
                                                   ("acme.asker.four", "", "Echo.Other", "Hello", 0)):
        s.relays(h.xap(asker, "WDT.Echo", section, [f"Query={asked}"], target), f"echo query of {asker}")
        answer = h.hub_text("WDT.Echo", "Echo.Response", [f"Response={asked.lower()}"], asker)
        answered(s, answer, answers, f"echo answer to {asker}")
    more = s.other.collect(lambda d: f"\nsource={h.PRIMARY}\n" in d.text and "\nclass=WDT.Echo\n" in d.text, 0.5)
    check(not more, f"{len(more)} unexpected echo answers, the first:\n{more[:1]}")
    answer = h.hub_text("Vantrel.Role", "Role.Notification", ["Role=Hub", f"Path={s.hub.exe}"])
    for n, (target, role, answers) in enumerate((("", "Application", 1), (h.PRIMARY, "any", 1), ("", "APPLICATION", 1),
                                                 ("", "hub", 0), ("acme.other.app", "Application", 0))):
        s.peer.send(h.xap("acme.asker.peer", "Vantrel.Role", "Role.Query", [f"Role={role}", f"n={n}"], target))
        answered(s, answer, answers, f"role query {role} to {target or 'all'}")

    # Heartbeats that do not come from this computer's LAN address are relayed but register nobody: nothing
    # reaches the ports they announce, not even the message after them.
    announced = [h.Udp(s.lan.hub, port=40001 + n) for n in range(3)]
    for source, sender, to, port in (("acme.remote.peer", s.peer, h.BCAST, announced[0]),
                                     ("acme.direct.peer", s.peer, h.HUB_ADDR, announced[1]),
                                     ("acme.looped.app", loopback_app, LOOPBACK, announced[2])):
        s.relays(h.beat(source, "FF777700", port.port), f"heartbeat of {source} sent to {to}", sender, to)
    s.relays(h.message("after the strangers"), "after the strangers")
    for port in announced:
        check(not port.collect(lambda d: True, 0.2), f"the hub sent to port {port.port}, announced from elsewhere")

    s.hub.stop(s.primary, signal.SIGTERM)
    check(not s.hub.hubs(), f"processes named Tessaly outlived the hub: {s.hub.hubs()}")
    for address, port in (("0.0.0.0", 3639), ("127.0.0.1", 32768), (h.HUB_ADDR, 32768)):
        check(h.try_bind(s.lan.hub, address, port) == 0, f"{address}:{port} is still taken after the hub ended")


h.run(main)
