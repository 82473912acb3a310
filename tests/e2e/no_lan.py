# A computer with loopback only: the hub heartbeats from loopback to its own port, holds no LAN address, and
# keeps a backup. SIGTERM and SIGHUP (the session closing) end the primary and leave the backup to take over;
# SIGINT (the menu's Exit) ends the backup too.
import signal, time
import harness as h
from harness import check, require


def main():
    for sig, backup_stays in ((signal.SIGTERM, True), (signal.SIGHUP, True), (signal.SIGINT, False)):
        computer = h.NetNs()
        lo = h.Sniffer(computer)  # the hub owns port 3639, so no socket of the test can listen there
        hub = h.Sandbox(computer)
        hub.write("Config/Velmar.ini", h.BACKUP_WANTED)
        primary = hub.start()
        require(primary.pid, "the hub ended at once")
        beat = require(lo.wait_for(lambda d: d.dst[1] == 3639 and h.beat_of(h.PRIMARY)(d), 10), "no heartbeat")
        check(beat.text == h.beat(), f"heartbeat on loopback:\n{beat.text}")
        check((beat.src, beat.dst) == (("127.0.0.1", h.CLIENT_PORT), ("127.0.0.1", 3639)), f"heartbeat {beat}")
        held = h.udp_bindings(primary.pid)
        check(held == [("0.0.0.0", 3639), ("127.0.0.1", h.CLIENT_PORT)], f"the hub holds {held}")
        log = hub.log(primary.ns_pid)
        check(" Starting as Primary Hub on port 3639 127.0.0.1 at Line 0 " in log, f"log without the role line:\n{log}")

        require(lo.wait_for(h.beat_of(h.BACKUP), 10), "no heartbeat of a backup within 10 s")
        backup = hub.other_hub(primary)
        hub.stop(primary, sig)
        if backup_stays:
            time.sleep(1)
            check(hub.running(backup), f"the backup ended with its primary on {sig.name}")
        else:
            check(h.wait_until(lambda: not hub.running(backup), 10), f"the backup still runs 10 s after {sig.name}")


h.run(main)
