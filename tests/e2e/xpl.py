# The xPL hub and the bridge on a LAN. Two xPL applications of the hub's computer register by heartbeat and hear
# their own heartbeats and a command from the other computer, unchanged; a Z-Wave report from the network becomes a
# BSC event with the device's uid. 10,000 junk datagrams on port 3865 and junk [XPL_BSC] entries leave the hub
# running, relaying and no bigger; after a restart the device keeps its uid. With no xPL option, 3865 is free.
import random, re, signal
import harness as h
from harness import check, require, BCAST, HUB_ADDR as ADDR

XPL, APPS, DEVICE = 3865, (50001, 50002), "xpl.acme-zw.house:xpl.zwave_node_____5S.Switch"


def xpl(kind, schema, body, source="acme-peer.den", hop="1", target="*"):
    return "".join(f"{i}\n" for i in [kind, "{", f"hop={hop}", f"source={source}", f"target={target}", "}", schema, "{",
                                       *body, "}"])


def heard(s, text, what):  # both applications hear text, unchanged
    got = {d.dst for d in s.net.collect(lambda d: d.text == text and d.dst[1] in APPS, 5, len(APPS))}
    check(got == {(ADDR, port) for port in APPS}, f"{what}: heard at {got}:\n{text[:300]}")


def start(s, apps):  # the hub, with the applications registered again: each hears its own heartbeat
    s.start()
    beats = {port: xpl("xpl-stat", "hbeat.app", ["interval=5", f"port={port}"], f"acme-app.p{port}") for port in APPS}
    for _ in range(20):
        for port, beat in beats.items():
            apps[port].send_to(beat, BCAST, XPL)
        if beats.items() <= {(d.dst[1], d.text) for d in s.net.collect(lambda d: d.dst[0] == ADDR, 0.5)}:
            return
    h.require(False, "the xPL hub did not relay to its applications after 20 heartbeats each")


def zwave_report(s, what):
    s.app.send_to(xpl("xpl-trig", "zwave.basic", ["event=report", "node=5", "level=0"], "acme-zw.house"), BCAST, XPL)
    event = h.xap(DEVICE, "xAPBSC.event", "input.state.1", ["State=off", "Level=0/100"], uid="FF00FF01")
    check(s.other.wait_for(lambda d: d.text == event, 5), f"{what}: no BSC event with uid FF00FF01 on the LAN")


def main():
    s, rss = h.Stage(), lambda: int(re.search(r"VmRSS:\s*(\d+)", h.read(f"/proc/{s.primary.pid}/status"))[1])
    s.net.run("ip route add default dev veth0")  # a broadcast from 0.0.0.0:3865 needs a route
    h.write("Config/Velmar.ini", "[General]\nXPLhub=1\nXPL=1\nXAPtoXPL=1\n[XPL_BSC]\nA=a,1,b,c\nB=b,1e9,c\n")
    start(s, apps := {port: h.Udp(s.net, ADDR, port) for port in APPS})
    check(not s.other.collect(lambda d: "\nData=XPL_Hub_Load" in d.text, 0.5), "XPL_Hub_Load reported a failure")
    command = xpl("xpl-cmnd", "x10.basic", ["command=on", "device=a1"])
    s.app.send_to(command, BCAST, XPL)
    heard(s, command, "a command from the other computer")
    zwave_report(s, "first start")

    before, rnd, local = rss(), random.Random(3865), h.Udp(s.net, ADDR)
    head = "xpl-cmnd\n{\nhop=1\nsource=acme-junk.j\ntarget=*\n}\n"
    junk = [command.replace("\n", "\r\n"), head + "x10.basic\n{\ndevice=" + "x" * 60000 + "\n}\n", head,
            head + "b\n{\nk=v\n}\n" * 1000, xpl("xpl-trig", "remote.basic", ["device=" + "d" * 10000, "keys=1"]),
            xpl("xpl-cmnd", "s", ["N" * 10000 + "=1"]), xpl("xpl-cmnd", "s", ["n=1"], hop="9" * 30),
            xpl("xpl-stat", "hbeat.app", ["interval=1e308", "port=" + "9" * 20]), "XPL\n{\n"]
    for n in range(10000):
        (local, s.app)[n % 2].send_to(rnd.choice(junk) if n % 3 else rnd.randbytes(900).decode("latin-1"), BCAST, XPL)
    check(s.net.quiet(0.5, 30) and s.other.quiet(0.5, 10), "traffic went on after the junk stopped")
    require(s.primary.poll() is None, "the hub ended on junk")
    check(rss() - before < 2048, f"the hub grew from {before} KiB on junk")
    s.app.send_to(command.replace("on", "off"), BCAST, XPL)
    heard(s, command.replace("on", "off"), "a command after the junk")

    h.stop(s.primary, signal.SIGTERM)
    start(s, apps)
    s.app.send_to(xpl("xpl-trig", "remote.basic", ["device=tv", "keys=1"]), BCAST, XPL)  # a new device comes first
    zwave_report(s, "after a restart")
    h.stop(s.primary, signal.SIGTERM)
    h.write("Config/Velmar.ini", "[General]\r\nXPL=0\r\n")
    s.start()
    try:  # a port the hub holds cannot be bound again, on any address
        h.Udp(s.net, "0.0.0.0", XPL).close()
    except OSError:
        check(False, "port 3865 is open with every xPL option off")


h.run(main)
