# A hub on a LAN with three applications of its computer. First start, in a fresh AppPath: its heartbeat goes out
# before anything else and it makes its options files. The applications register by heartbeat and hear, once each
# and from the hub's client port, messages that reach the hub port every way there is, and the hub's answers to
# the echo and role queries addressed to it; the hub does not take its own broadcasts back. SIGTERM ends it cleanly.
# Then junk everywhere: started again from a read-only AppPath, where it can make neither Config/Orrin.ini nor
# Data/, with 3 MB of junk for options, the hub registers the applications again; thousands of malformed datagrams
# from every side leave it running, quiet once they stop, no bigger, relaying, and ending cleanly on SIGINT.
import os, random, re, signal, time
import harness as h
from harness import check, require, LO, HUB_ADDR as ADDR, CLIENT_PORT as CP, PRIMARY, PRIMARY_UID as UID

LARGEST = 65507  # the largest UDP payload over IPv4


def junk(n, rnd):  # round n of malformed datagrams; those with room for it carry n, so that rounds differ
    app, uid = f"acme.junk{n}.host", f"FF{n % 10000:04}00"
    return [*(h.beat(app, uid, port) for port in ("3639", "32768.5", "9" * 20, "")), h.beat(app, uid, 40000, -1e11),
            h.beat(app, uid, 40001, "1e400"), h.beat(app, uid).replace("\n", "\r\n"), "", "\0" * 16, "x" * LARGEST,
            h.xap(app, "test.big", "body", ["y" * (LARGEST - 99)]), h.xap(f"nodot{n}", "test.bad", "body", [f"n={n}"]),
            f"xap-header\n{{\nv=12\0\nuid=FF12\0{n}\n}}\nbody\n{{\n\0=\0\n}}\n", "xap-header\n{\n", "}\n}\n{\n{\n",
            rnd.randbytes(900).decode("latin-1")]


def first_start(s):
    check((first := s.start()) == (h.beat(), (ADDR, CP), (h.BCAST, 3639)), f"the hub's first datagram: {first}")
    check(all(os.path.isfile(f"{h.APP}/Config/{f}.ini") for f in ("Velmar", "Orrin")), "no options files were made")
    s.register()

    lo_app, lan_app = h.Udp(s.net, LO), h.Udp(s.net, ADDR)
    texts = [h.xap("acme.some.app", "test.relay", "body", [f"route={n}"]) for n in range(5)]
    for text, sender, to in zip(texts, (s.app, s.app, lo_app, lan_app, lan_app), (h.BCAST, ADDR, LO, ADDR, h.BCAST)):
        sender.send_to(text, to)

    echo = lambda asker, answer: h.xap(PRIMARY, "WDT.Echo", "Echo.Response", [f"Response={answer}"], asker, UID)
    role = h.xap(PRIMARY, "Vantrel.Role", "Role.Notification", ["Role=Hub", f"Path={h.APP}/Tessaly"], uid=UID)
    queries = {  # query: the hub's answer, none when the query is not for the hub or asks nothing it answers
        h.xap("acme.ask.a", "WDT.Echo", "Echo.Query", ["Query=HeLLo"]): echo("acme.ask.a", "hello"),
        h.xap("acme.ask.b:sub", "WDT.Echo", "Echo.Query", ["Query=B"], PRIMARY): echo("acme.ask.b:sub", "b"),
        h.xap("acme.ask.c", "WDT.Echo", "Echo.Query", ["Query=C"], "acme.other.app"): None,
        h.xap("acme.ask.d", "WDT.Echo", "Echo.Other", ["Query=D"]): None,
        h.xap("acme.ask.e", "Vantrel.Role", "Role.Query", ["Role=APPLICATION"]): role,
        h.xap("acme.ask.f", "Vantrel.Role", "Role.Query", ["Role=any"], PRIMARY): role,
        h.xap("acme.ask.g", "Vantrel.Role", "Role.Query", ["Role=Hub"]): None,
        h.xap("acme.ask.h", "Vantrel.Role", "Role.Query", ["Role=any"], "acme.other.app"): None,
    }
    for query in queries:
        s.app.send_to(query)
    answers = sorted(a for a in queries.values() if a)
    heard = sorted(s.other.collect(lambda d: d.src == (ADDR, CP) and not d.text.startswith("xap-hbeat"), 1))
    check(heard == [(a, (ADDR, CP), (h.BCAST, 3639)) for a in answers], f"answers on the LAN: {heard}")
    s.relayed(texts + list(queries) + answers, "messages, queries and answers")
    h.stop(s.primary, signal.SIGTERM)


def junk_everywhere(s):
    rnd = random.Random(20240611)
    h.write("Config/Velmar.ini", rnd.randbytes(1 << 20).decode("latin-1") + f"\r\n{'L' * (1 << 20)}\r\n[General" +
            "".join(f"\r\nKey{i}=x" for i in range(80000)) + "\r\nlast line without an equal sign or a line end")
    s.net.run(f"rm -r {h.APP}/Config/Orrin.ini {h.APP}/Data && mount --bind {h.APP} {h.APP} && "
              f"mount -o remount,bind,ro {h.APP}")
    s.start()
    s.register()

    loopback, local, sizes = h.Udp(s.net, LO), h.Udp(s.net, ADDR), []
    routes = ((s.app, ADDR), (s.app, h.BCAST), (loopback, LO), (local, ADDR), (local, h.BCAST))
    for n in range(1, 441):  # from every side, pausing now and then so that the hub takes most
        for text in junk(n, rnd):
            routes[n % len(routes)][0].send_to(text, routes[n % len(routes)][1])
        time.sleep(0.005 * (n % 2))
        if n in (40, 440):  # 40 rounds bring the hub to its working size; a relay feeding itself never falls quiet
            check(s.net.quiet(0.5, 15) and s.other.quiet(0.5, 10), f"traffic went on after junk round {n}")
            require(s.primary.poll() is None, f"the hub ended on junk with status {s.primary.poll()}")
            sizes.append(int(re.search(r"VmRSS:\s*(\d+)", h.read(f"/proc/{s.primary.pid}/status"))[1]))
    check(sizes[1] - sizes[0] < 2048, f"the hub's resident size grew from {sizes[0]} KiB to {sizes[1]} KiB")
    s.app.send_to(text := h.xap("acme.some.app", "test.relay", "body", ["after=junk"]))
    s.relayed([text], "after the junk")
    h.stop(s.primary, signal.SIGINT)


def main():
    s = h.Stage(clients=3)
    first_start(s)
    junk_everywhere(s)


h.run(main)
