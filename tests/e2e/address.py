# A hub that starts on a computer with loopback only follows the address the computer gains, and the one it
# changes to: at its next heartbeat tick (within 60 s) it sends from the new address, and an application that
# registers from that address hears what reaches the hub port.
import signal, time
import harness as h
from harness import check, require, LO, CLIENT_PORT as CP


def main():
    net = h.Net()
    net.run("ip link add veth0 type veth peer name veth1 && ip link set veth0 up && ip link set veth1 up")
    hub = h.start(net)
    require(net.wait_for(lambda d: d.text == h.beat() and d.src == (LO, CP), 10), "no heartbeat on loopback")
    for n, address in enumerate(("10.36.0.1", "10.36.0.7")):
        net.run(f"ip addr flush dev veth0 && ip addr add {address}/24 brd + dev veth0")
        require(net.wait_for(lambda d: d.text == h.beat() and d.src == (address, CP), 65), f"no beat from {address}")
        port, text = 41001 + n, h.xap("acme.some.app", "test.relay", "body", [f"n={n}"])
        h.Udp(net, address, port).send_to(h.beat(f"acme.app{n}.hubhost", "FF123400", port))
        time.sleep(0.3)
        h.Udp(net, LO).send_to(text, LO)
        check(net.wait_for(lambda d: d.dst == (LO, port) and d.text == text, 2), f"nothing relayed after {address}")
    h.stop(hub, signal.SIGTERM)


h.run(main)
