# The hub as the service runs it: as an unprivileged system user, its Config/ and Data/ made for that user, a
# backup wanted. It holds its ports, answers, and SIGINT ends it and its backup. Then, on a computer that has only
# loopback when the hub starts, an address appears and later changes: at its next heartbeat tick (within 60 s)
# the hub sends from the new address and relays to an application that registers from it.
import os, signal, subprocess
import harness as h
from harness import check, require, LO, CLIENT_PORT as CP


def main():
    h.write("Config/Velmar.ini", "[General]\r\nNoBackup=0\r\n")
    os.makedirs(f"{h.APP}/Data")
    for folder in ("Config", "Config/Velmar.ini", "Data"):
        os.chown(f"{h.APP}/{folder}", 65534, 65534)
    net = h.Net()
    net.run("ip link add veth0 type veth peer name veth1 && ip link set veth0 up && ip link set veth1 up")
    hub = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", f"{h.APP}/Tessaly"],
                           cwd="/", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    require(net.wait_for(lambda d: d.text == h.beat(), 10), "no heartbeat from the hub")
    require(len(h.hubs()) == 2 and all(os.stat(f"/proc/{p}").st_uid == 65534 for p in h.hubs()), "no backup as the user")
    check(h.udp_bindings(h.hubs()[0]) == [("0.0.0.0", h.HUB_PORT), (LO, CP)], "the hub holds the wrong ports")

    for address in ("10.36.0.1", "10.36.0.7"):
        net.run(f"ip addr flush dev veth0 && ip addr add {address}/24 brd + dev veth0")
        require(net.wait_for(lambda d: d.text == h.beat() and d.src == (address, CP), 65), f"no heartbeat from {address}")
        app, inbox = h.Udp(net, address, 41001), h.Udp(net, LO, 41001)
        app.send_to(h.beat("acme.app.hubhost", "FF123400", 41001))
        query = h.xap("acme.ask.x", "Vantrel.Role", "Role.Query", ["Role=any"])
        h.Udp(net, LO).send_to(query, LO)
        heard = {d.text for d in net.collect(lambda d: d.dst == (LO, 41001), 2)}
        check(query in heard and any("Role=Hub\n" in t for t in heard), f"after {address} the client heard {heard}")
        app.close(), inbox.close()
        check(f"Address changed from " in h.read(f"{h.APP}/Data/Tessaly{h.hubs()[0]}.txt"), "the change is not logged")

    hub.send_signal(signal.SIGINT)
    check(hub.wait(10) == 0 and not h.hubs(), f"SIGINT left {h.hubs()} running")


h.run(main)
