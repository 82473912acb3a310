# Folders the hub cannot write keep it neither from reading its options, heartbeating and relaying, nor from
# ending cleanly on SIGINT; it writes nothing into them and reports a Data folder it cannot make.
import os, signal
import harness as h
from harness import check

LAN_BCAST = h.HUB_ADDR.rpartition(".")[0] + ".255"


def files_in(folder):
    return sorted(os.path.join(top, name) for top, dirs, files in os.walk(folder) for name in dirs + files)


def main():
    # folder below AppPath ("" = AppPath), options present in Config, log file written
    for folder, options, logged in (("Config", False, True), ("Config", True, True), ("Data", False, False),
                                    ("", False, False)):
        what = f"read-only {folder or 'AppPath'}{' with options' if options else ''}"
        s = h.Stage()
        if options:  # heartbeats to the LAN's own broadcast address show that Orrin.ini was read
            s.hub.write("Config/Orrin.ini", f"[Interface]\r\nBroadcastAddress={LAN_BCAST}\r\n")
            s.hub.write("Config/Velmar.ini", "[General]\r\nNoTray=1\r\n")
        s.hub.read_only(folder)
        before = files_in(os.path.join(s.hub.app, folder))
        s.start_primary()
        check(s.beat.dst[0] == (LAN_BCAST if options else h.BCAST), f"{what}: heartbeat to {s.beat.dst}")
        s.add_clients(1)
        s.register()
        s.relays(h.message("1"), what)
        data = os.path.join(s.hub.app, "Data")
        if not folder:
            reported = s.other.wait_for(h.hub_event("Tessaly", " CreateFolders " + data, prefix=True), 5)
            check(reported, f"{what}: no report of {data}")
        check(files_in(os.path.join(s.hub.app, folder)) == before, f"{what}: the hub wrote into the read-only folder")
        log = s.hub.log(s.primary.ns_pid)
        check(" | Tessaly Hub Startup " in log if logged else not files_in(data), f"{what}: log {files_in(data)}")
        s.hub.stop(s.primary, signal.SIGINT)


h.run(main)
