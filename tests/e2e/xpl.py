# The xPL hub and the bridge on a LAN. Two xPL applications of the hub's computer register by heartbeat and hear
# their own heartbeats, each other's and a command from the other computer, unchanged; an xAP BSC command to a
# Z-Wave sub-address reaches them as "zwave.basic"; a Z-Wave report from the network becomes a BSC event with the
# device's uid. 10,000 junk datagrams on port 3865 and junk [XPL_BSC] entries leave the hub running, relaying and
# no bigger; after a restart the device keeps its uid and answers a BSC query. With the xPL options off, port 3865
# stays closed.
import random, signal
import harness as h
from harness import check, require

XPL_PORT = 3865
OPTIONS = "[General]\r\nXPLhub=1\r\nXPL=1\r\nXAPtoXPL=1\r\n[XPL_BSC]\r\nFOUR=a,1,b,c\r\nHUGE=acme-h.h,99999,h\r\n"


def xpl(kind, schema, body, source="acme-peer.den", hop="1"):
    return f"{kind}\n{{\nhop={hop}\nsource={source}\ntarget=*\n}}\n{schema}\n{{\n" + "".join(f"{b}\n" for b in body) + "}\n"


def beat(port, interval="5"):
    return xpl("xpl-stat", "hbeat.app", [f"interval={interval}", f"port={port}"], f"acme-app.p{port}")


def start(s, apps):  # the hub, and the applications registered again
    s.start_primary()
    for _ in range(20):
        for a in apps:
            a.send(beat(a.port), h.BCAST, XPL_PORT)
        if all(a.wait_for(h.is_text(beat(a.port)), 0.5) for a in apps):
            return [a.quiet(0.3, 5) for a in apps]
    raise h.Failed("the xPL hub did not relay to its applications after 20 heartbeats each")


def everyone_hears(apps, text, what):
    for a in apps:
        check(a.wait_for(h.is_text(text), 5), f"{what}: the application on {a.port} did not receive:\n{text[:300]}")


def zwave_event(s, what):
    s.peer.send(xpl("xpl-trig", "zwave.basic", ["event=report", "node=5", "level=0"], "acme-zw.house"), h.BCAST, XPL_PORT)
    event = h.xap("xpl.acme-zw.house:xpl.zwave_node_____5S.Switch", "xAPBSC.event", "input.state.1",
                  ["State=off", "Level=0/100"], uid="FF00FF01")
    check(s.other.wait_for(h.is_text(event), 5), f"{what}: no BSC event with uid FF00FF01 on the LAN")


def junk(rnd, n):
    header = "xpl-cmnd\n{\nhop=1\nsource=acme-junk.j\ntarget=*\n}\n"
    return rnd.choice([
        rnd.randbytes(rnd.randint(1, 1400)).decode("latin-1"), xpl("xpl-cmnd", "s", [f"n={n}"]).replace("\n", "\r\n"),
        header + "x10.basic\n{\ndevice=" + "x" * 60000 + "\n}\n", header + "b\n{\nk=v\n}\n" * 1000,
        xpl("xpl-trig", "remote.basic", ["device=" + "d" * 10000, "keys=1"], "acme-junk.j"),
        xpl("xpl-cmnd", "s", [f"{'N' * 10000}={n}"]), xpl("xpl-cmnd", "s", [f"n={n}"], hop="9" * 30),
        xpl("xpl-stat", "hbeat.app", ["interval=1e308", "port=" + "9" * 20]), header, "XPL\n{\n",
        xpl("xpl-stat", "config.app", ["port=0", f"interval={n}"])])


def main():
    s = h.Stage()
    s.lan.hub.run("ip", "route", "add", "default", "dev", "veth0")  # udpHub, bound to 0.0.0.0, broadcasts through it
    s.hub.write("Config/Velmar.ini", OPTIONS)
    apps = [h.Udp(s.lan.hub, h.HUB_ADDR, port, broadcast=True) for port in (50001, 50002)]
    start(s, apps)
    check(("0.0.0.0", XPL_PORT) in h.udp_bindings(s.primary.pid), "the hub does not hold port 3865")
    failed = s.other.collect(h.hub_event("Tessaly", "XPL_Hub_Load", True), 1)
    check(not failed, f"a failure of XPL_Hub_Load was reported: {failed}")
    for a in apps:
        a.send(beat(a.port), h.BCAST, XPL_PORT)
        everyone_hears(apps, beat(a.port), f"the heartbeat of {a.port}")
    command = xpl("xpl-cmnd", "x10.basic", ["command=on", "device=a1"])
    s.peer.send(command, h.BCAST, XPL_PORT)
    everyone_hears(apps, command, "a command from the other computer")
    s.peer.send(h.xap("acme.switcher.den", "xAPBSC.cmd", "output.state.1", ["State=on", "Level=60/100"],
                      target="acme.gateway.den:zwave_node_7"))
    everyone_hears(apps, "XPL-CMND\n{\nhop=1\nsource=acme-switcher.den\ntarget=acme.gateway.den\n}\nzwave.basic\n"
                         "{\ncommand=on\nnode=7\nlevel=60\n}\n", "an xAP BSC command to a Z-Wave node")
    zwave_event(s, "first start")

    rss, rnd, local = h.resident_kib(s.primary.pid), random.Random(3865), h.Udp(s.lan.hub, h.HUB_ADDR, broadcast=True)
    for n in range(10000):
        (s.peer if n % 2 else local).send(junk(rnd, n), h.BCAST, XPL_PORT)
    for a in apps:
        check(a.quiet(0.5, 30), f"the application on {a.port} still hears junk 30 s after it stopped")
    require(s.primary.launcher.poll() is None, "the hub ended on junk")
    check(h.resident_kib(s.primary.pid) - rss < 2048, f"the hub grew from {rss} KiB on junk")
    s.peer.send(command.replace("on", "off"), h.BCAST, XPL_PORT)
    everyone_hears(apps, command.replace("on", "off"), "a command after the junk")

    s.other.quiet(0.5, 30)
    s.hub.stop(s.primary, signal.SIGTERM)
    start(s, apps)
    zwave_event(s, "after a restart")
    s.peer.send(h.xap("acme.ask.peer", "xAPBSC.query", "request", [], target="xpl.acme-zw.house:xpl.zwave_node_____5s.switch"))
    info = h.xap("xpl.acme-zw.house:xpl.zwave_node_____5S.Switch", "xAPBSC.info", "input.state", ["State=OFF", "Stream=0"],
                 uid="FF00FF01")
    check(s.other.wait_for(h.is_text(info), 5), "no answer to a BSC query to the device's own address")

    s.hub.stop(s.primary, signal.SIGTERM)
    s.hub.write("Config/Velmar.ini", "[General]\r\nXPL=0\r\n")
    s.start_primary()
    check(("0.0.0.0", XPL_PORT) not in h.udp_bindings(s.primary.pid), "port 3865 is open with every xPL option off")


h.run(main)
