# Junk everywhere. The hub starts from a read-only AppPath, where it can make neither Config/Orrin.ini nor Data/,
# with 3 MB of junk for options, and registers its clients; thousands of malformed datagrams from every side leave
# it running, quiet once they stop, no bigger, relaying, and ending cleanly on SIGINT.
import random, re, signal, time
import harness as h
from harness import check, require, LO, HUB_ADDR as ADDR

LARGEST = 65507  # the largest UDP payload over IPv4


def junk(n, rnd):  # round n of malformed datagrams; those with room for it carry n, so that rounds differ
    app, uid = f"acme.junk{n}.host", f"FF{n % 10000:04}00"
    return [*(h.beat(app, uid, port) for port in ("3639", "32768.5", "9" * 20, "")), h.beat(app, uid, 40000, -1e11),
            h.beat(app, uid, 40001, "1e400"), h.beat(app, uid).replace("\n", "\r\n"), "", "\0" * 16, "x" * LARGEST,
            h.xap(app, "test.big", "body", ["y" * (LARGEST - 99)]), h.xap(f"nodot{n}", "test.bad", "body", [f"n={n}"]),
            f"xap-header\n{{\nv=12\0\nuid=FF12\0{n}\n}}\nbody\n{{\n\0=\0\n}}\n", "xap-header\n{\n", "}\n}\n{\n{\n",
            rnd.randbytes(900).decode("latin-1")]


def main():
    rnd, s = random.Random(20240611), h.Stage(clients=3)
    h.write("Config/Velmar.ini", rnd.randbytes(1 << 20).decode("latin-1") + f"\r\n{'L' * (1 << 20)}\r\n[General" +
            "".join(f"\r\nKey{i}=x" for i in range(80000)) + "\r\nlast line without an equal sign or a line end")
    s.net.run(f"mount --bind {h.APP} {h.APP} && mount -o remount,bind,ro {h.APP}")
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


h.run(main)
