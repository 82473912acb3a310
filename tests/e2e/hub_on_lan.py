# A hub's first start on a LAN, in a fresh AppPath: its heartbeat goes out before anything else, it makes its
# files and holds its ports. Three applications of its computer register
# by heartbeat and hear, once each and from the hub's client port, messages that reach the hub port every way
# there is, and the hub's answers to the echo and role queries addressed to it; the hub does not take its own
# broadcasts back. SIGTERM ends it cleanly.
import os, signal
import harness as h
from harness import check, LO, HUB_ADDR as ADDR, CLIENT_PORT as CP, PRIMARY, PRIMARY_UID as UID


def main():
    s = h.Stage(clients=3)
    check((first := s.start()) == (h.beat(), (ADDR, CP), (h.BCAST, 3639)), f"the hub's first datagram: {first}")
    check(all(os.path.isfile(f"{h.APP}/Config/{f}.ini") for f in ("Velmar", "Orrin")), "no options files were made")
    log = f"{h.APP}/Data/Tessaly{s.primary.pid}.txt"
    check(f" | Tessaly Hub Startup {s.primary.pid} at Line 0 \r\n" in h.read(log), f"no start-up line in {log}")
    check((held := h.udp_bindings(s.primary.pid)) == [("0.0.0.0", 3639), (ADDR, CP), (LO, CP)], f"the hub holds {held}")
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


h.run(main)
