# A hub asked for a backup, on a computer with loopback only. The primary heartbeats from loopback to its own
# port and starts the backup as a process of its own, on the next client port; an extra copy ends at once and
# sends nothing. SIGTERM and SIGHUP (the session closing) end the primary and leave the backup; SIGINT (the
# menu's Exit) ends the backup too. When the primary is killed and the computer gains an address, the backup
# follows the address and claims the hub port on its next heartbeat tick, 60 s after its start, and starts a
# backup of its own; both then heartbeat to the broadcast address set in Config/Orrin.ini, and the new backup,
# registered by its heartbeat from the new address, hears what reaches the hub port. When the address changes
# again, the hub follows it at its next tick, and an application registering from it hears what reaches the port.
import os, signal, time
import harness as h
from harness import check, require, LO, HUB_PORT, HUB_ADDR as ADDR, CLIENT_PORT as CP, BACKUP, BACKUP_UID

BP, LAN_BCAST, NEW_ADDR = CP + 1, "10.36.0.255", "10.36.0.7"  # BP: the backup's client port


def heartbeats(net, timeout):  # the next two heartbeats to the hub port
    return set(net.collect(lambda d: d.dst[1] == HUB_PORT and d.text.startswith("xap-hbeat"), timeout, 2))


def main():
    h.write("Config/Velmar.ini", "[General]\r\nNoBackup=0\r\n")
    h.write("Config/Orrin.ini", f"[Interface]\r\nBroadcastAddress={LAN_BCAST}\r\n")  # loopback only: not followed
    for sig in (signal.SIGHUP, signal.SIGTERM, signal.SIGINT, signal.SIGKILL):
        net = h.Net()
        primary = h.start(net)
        expected = {(h.beat(), (LO, CP), (LO, HUB_PORT)), (h.beat(BACKUP, BACKUP_UID, BP), (LO, BP), (LO, HUB_PORT))}
        require((beats := heartbeats(net, 10)) == expected, f"{sig.name}: heartbeats {beats}")
        backup = next(pid for pid in h.hubs() if pid != primary.pid)
        if sig != signal.SIGKILL:
            h.stop(primary, sig)  # the primary asks its backup to end, if it does, and waits for it
            check((backup in h.hubs()) == (sig != signal.SIGINT), f"{sig.name}: the backup runs: {h.hubs()}")
            if backup in h.hubs():  # it ends here: this process's child since its primary ended
                os.kill(backup, signal.SIGKILL), os.waitpid(backup, 0)
            continue
        detached = {os.readlink(f"/proc/{backup}/fd/{fd}") for fd in (0, 1, 2)} == {"/dev/null"}
        check(detached and os.getsid(backup) == backup, "the backup shares a session or streams with its primary")
        check(h.start(net).wait(10) == 0 and h.hubs() == sorted([primary.pid, backup]), "an extra copy ran on")
        check(not net.collect(lambda d: d.src[1] not in (CP, BP), 0.5), "an extra copy sent something")

        primary.kill()
        net.run(f"ip link add veth0 type veth peer name veth1 && ip link set veth1 up && "
                f"ip addr add {ADDR}/24 brd + dev veth0 && ip link set veth0 up")
        expected = {(h.beat(BACKUP, BACKUP_UID), (ADDR, CP), (LAN_BCAST, HUB_PORT)),
                    (h.beat(port=BP), (ADDR, BP), (LAN_BCAST, HUB_PORT))}
        check((beats := heartbeats(net, 75)) == expected, f"after the kill: {beats}")
        time.sleep(0.3)  # the new backup's heartbeat is taken
        h.Udp(net, LO).send_to(text := h.xap("acme.some.app", "test.relay", "body", ["after=takeover"]), LO)
        check(net.wait_for(lambda d: (d.text, d.src, d.dst) == (text, (LO, BP), (LO, CP)), 2), "no relay to the backup")
        net.run(f"ip addr flush dev veth0 && ip addr add {NEW_ADDR}/24 brd + dev veth0")
        beat = h.beat(port=BP)  # the new primary's
        check(net.wait_for(lambda d: (d.text, d.src) == (beat, (NEW_ADDR, BP)), 65), f"no beat from {NEW_ADDR}")
        h.Udp(net, NEW_ADDR, 41001).send_to(h.beat("acme.app.hubhost", "FF123400", 41001))
        time.sleep(0.3)
        h.Udp(net, LO).send_to(text := h.xap("acme.some.app", "test.relay", "body", ["after=change"]), LO)
        check(net.wait_for(lambda d: d.dst == (LO, 41001) and d.text == text, 2), "no relay after the address changed")


h.run(main)
