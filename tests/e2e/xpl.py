# The xPL hub and the bridge on a LAN. Two xPL applications of the hub's computer register by heartbeat and hear
# their own heartbeats, each other's and a command from the other computer, unchanged; an xAP BSC command to a
# Z-Wave node reaches them as "zwave.basic"; a Z-Wave report from the network becomes a BSC event with the device's
# uid. 10,000 junk datagrams on port 3865 and junk [XPL_BSC] entries leave the hub running, relaying and no bigger;
# after a restart the device keeps its uid and answers a query to its own address. With no xPL option, 3865 is free.
import random, signal
import harness as h
from harness import check, require


def xpl(kind, schema, body, source="acme-peer.den", hop="1"):
    lines = [kind, "{", f"hop={hop}", f"source={source}", "target=*", "}", schema, "{", *body, "}"]
    return "".join(line + "\n" for line in lines)


def heard(apps, text, what):
    for a in apps:
        check(a.wait_for(h.is_text(text), 5), f"{what}: the application on {a.port} did not receive:\n{text[:300]}")


def start(s, apps):  # the hub, with the applications registered again
    s.start_primary()
    beats = [xpl("xpl-stat", "hbeat.app", ["interval=5", f"port={a.port}"], f"acme-app.p{a.port}") for a in apps]
    for _ in range(20):
        for a, beat in zip(apps, beats):
            a.send(beat, h.BCAST, 3865)
        if all(a.wait_for(h.is_text(beat), 0.5) for a, beat in zip(apps, beats)):
            return beats
    raise h.Failed("the xPL hub did not relay to its applications after 20 heartbeats each")


def zwave_report(s, what):
    s.peer.send(xpl("xpl-trig", "zwave.basic", ["event=report", "node=5", "level=0"], "acme-zw.house"), h.BCAST, 3865)
    check(s.other.wait_for(h.is_text(h.xap("xpl.acme-zw.house:xpl.zwave_node_____5S.Switch", "xAPBSC.event",
                                           "input.state.1", ["State=off", "Level=0/100"], uid="FF00FF01")), 5),
          f"{what}: no BSC event with uid FF00FF01 on the LAN")


def main():
    s = h.Stage()
    s.lan.hub.run("ip", "route", "add", "default", "dev", "veth0")  # a broadcast from 0.0.0.0:3865 needs a route
    s.hub.write("Config/Velmar.ini", "[General]\r\nXPLhub=1\r\nXPL=1\r\nXAPtoXPL=1\r\n[XPL_BSC]\r\nA=a,1,b,c\r\n"
                "B=b,1e9,c\r\n")
    apps = [h.Udp(s.lan.hub, h.HUB_ADDR, port, broadcast=True) for port in (50001, 50002)]
    for a, beat in zip(apps, start(s, apps)):
        a.send(beat, h.BCAST, 3865)
        heard(apps, beat, f"the heartbeat of {a.port}")
    check(not s.other.collect(h.hub_event("Tessaly", "XPL_Hub_Load", True), 0.5), "XPL_Hub_Load reported a failure")
    command = xpl("xpl-cmnd", "x10.basic", ["command=on", "device=a1"])
    s.peer.send(command, h.BCAST, 3865)
    heard(apps, command, "a command from the other computer")
    s.peer.send(h.xap("acme.sw.den", "xAPBSC.cmd", "output.state.1", ["State=on", "Level=60/100"],
                      target="acme.gw.den:zwave_node_7"))
    heard(apps, "XPL-CMND\n{\nhop=1\nsource=acme-sw.den\ntarget=acme.gw.den\n}\nzwave.basic\n{\ncommand=on\nnode=7\n"
                "level=60\n}\n", "an xAP BSC command to a Z-Wave node")
    zwave_report(s, "first start")

    rss, rnd, local = h.resident_kib(s.primary.pid), random.Random(3865), h.Udp(s.lan.hub, h.HUB_ADDR, broadcast=True)
    head = "xpl-cmnd\n{\nhop=1\nsource=acme-junk.j\ntarget=*\n}\n"
    junk = [command.replace("\n", "\r\n"), head + "x10.basic\n{\ndevice=" + "x" * 60000 + "\n}\n", head,
            head + "b\n{\nk=v\n}\n" * 1000, xpl("xpl-trig", "remote.basic", ["device=" + "d" * 10000, "keys=1"]),
            xpl("xpl-cmnd", "s", ["N" * 10000 + "=1"]), xpl("xpl-cmnd", "s", ["n=1"], hop="9" * 30),
            xpl("xpl-stat", "hbeat.app", ["interval=1e308", "port=" + "9" * 20]), "XPL\n{\n"]
    for n in range(10000):
        (s.peer if n % 2 else local).send(rnd.choice(junk) if n % 3 else rnd.randbytes(900).decode("latin-1"), h.BCAST,
                                          3865)
    for a in apps:
        check(a.quiet(0.5, 30), f"the application on {a.port} still hears junk 30 s after it stopped")
    require(s.primary.launcher.poll() is None, "the hub ended on junk")
    check(h.resident_kib(s.primary.pid) - rss < 2048, f"the hub grew from {rss} KiB on junk")
    s.peer.send(command.replace("on", "off"), h.BCAST, 3865)
    heard(apps, command.replace("on", "off"), "a command after the junk")

    s.other.quiet(0.5, 30)
    s.hub.stop(s.primary, signal.SIGTERM)
    start(s, apps)
    s.peer.send(xpl("xpl-trig", "remote.basic", ["device=tv", "keys=1"]), h.BCAST, 3865)  # a new device comes first
    zwave_report(s, "after a restart")
    s.peer.send(h.xap("acme.ask.peer", "xAPBSC.query", "request", [], "xpl.acme-zw.house:xpl.zwave_node_____5s.switch"))
    info = h.xap("xpl.acme-zw.house:xpl.zwave_node_____5S.Switch", "xAPBSC.info", "input.state",
                 ["State=OFF", "Stream=0"], uid="FF00FF01")
    check(s.other.wait_for(h.is_text(info), 5), "no answer to a BSC query to the device's own address")
    s.hub.stop(s.primary, signal.SIGTERM)
    s.hub.write("Config/Velmar.ini", "[General]\r\nXPL=0\r\n")
    s.start_primary()
    check(("0.0.0.0", 3865) not in h.udp_bindings(s.primary.pid), "port 3865 is open with every xPL option off")


h.run(main)
