# A primary asked for a backup starts one, detached, on the next client port, under the backup identity; the
# clients still hear everything once; both answer a role query; an extra copy ends at once; when the primary is
# killed, the backup claims the hub port on its next heartbeat and starts a backup of its own.
import errno, os, signal
import harness as h
from harness import check, require


def main():
    s = h.Stage()
    s.hub.write("Config/Velmar.ini", h.BACKUP_WANTED)
    s.add_clients(2)
    s.start_primary()
    backup_beat = require(s.other.wait_for(h.beat_of(h.BACKUP), 10), "no heartbeat of a backup within 10 s")
    primary, backup, backup_port = s.primary, s.hub.other_hub(s.primary), h.CLIENT_PORT + 1
    check(s.beat.text == h.beat(), f"primary heartbeat:\n{s.beat.text}")
    check(backup_beat.text == h.beat(h.BACKUP, h.BACKUP_UID, backup_port), f"backup heartbeat:\n{backup_beat.text}")
    check(backup_beat.src == (h.HUB_ADDR, backup_port), f"backup heartbeat from {backup_beat.src}")
    held = h.udp_bindings(backup)
    check(held == [(h.HUB_ADDR, backup_port), ("127.0.0.1", backup_port)], f"the backup holds {held}")
    held = h.udp_bindings(primary.pid)
    check(held == [("0.0.0.0", 3639), (h.HUB_ADDR, 32768), ("127.0.0.1", 32768)], f"the primary holds {held}")
    primary_log, backup_log = s.hub.log(primary.ns_pid), s.hub.log(h.ns_pid(backup))
    check("Starting as Primary Hub" in primary_log, f"primary log:\n{primary_log}")
    check(f"Starting Backup Hub with Process {h.ns_pid(backup)}" in primary_log, f"primary log:\n{primary_log}")
    check("Starting as Primary Hub" not in backup_log, f"backup log:\n{backup_log}")
    check(h.session(backup) == backup, "the backup shares a session with its primary")
    for fd in range(3):
        check(os.readlink(f"/proc/{backup}/fd/{fd}") == "/dev/null", f"the backup's descriptor {fd} is not /dev/null")

    # The primary relays to its backup as to any client; the clients hear everything once, from the primary.
    s.register()
    s.relays(h.message("1"), "with a backup running")
    s.peer.send(h.xap("acme.asker.peer", "Vantrel.Role", "Role.Query", ["Role=any"]))
    path = f"Path={s.hub.exe}"
    check(s.other.wait_for(h.is_text(h.hub_text("Vantrel.Role", "Role.Notification", ["Role=Hub", path])), 5),
          "no role answer of the primary")
    answer = h.xap(h.BACKUP, "Vantrel.Role", "Role.Notification", ["Role=HubBackup", path], uid=h.BACKUP_UID)
    heard = s.other.wait_for(h.is_text(answer), 5)
    check(heard and heard.src[1] == backup_port, f"role answer of the backup: {heard}")

    before = s.hub.hubs()
    s.other.quiet(0.2, 5)  # drops the clients' heartbeats
    s.hub.exits(s.hub.start(), "an extra copy")
    check(s.hub.hubs() == before, f"running hubs {s.hub.hubs()}, not {before}")
    beats = s.other.collect(lambda d: d.text.startswith("xap-hbeat\n"), 1)
    check(not beats, f"heartbeats after an extra copy: {beats}")

    # The backup tries the port on its own heartbeat tick, 60 s after its start.
    os.kill(primary.pid, signal.SIGKILL)
    require(h.wait_until(lambda: not s.hub.running(primary.pid), 5), "the killed primary did not end")
    beat = s.other.wait_for(lambda d: d.src[1] == backup_port and h.beat_of(h.PRIMARY)(d), 75)
    require(beat, "the backup sent no heartbeat as primary within 75 s")
    check(beat.text == h.beat(port=backup_port) and beat.src[0] == h.HUB_ADDR, f"takeover heartbeat:\n{beat}")
    held = h.udp_bindings(backup)
    check(held == [("0.0.0.0", 3639), (h.HUB_ADDR, 32769), ("127.0.0.1", 32769)], f"the new primary holds {held}")
    check(h.try_bind(s.lan.hub, "0.0.0.0", 3639) == errno.EADDRINUSE, "the hub port is free after the takeover")
    log, pid = s.hub.log(h.ns_pid(backup)), h.ns_pid(backup)
    check(f" | Backup Hub Process {pid} Starting as Primary Hub on port 3639 {h.HUB_ADDR} at Line 0 \r\n" in log and
          "Claimed port 3639 and Starting Backup Hub with Process " in log, f"log of the new primary:\n{log}")
    new_backup = s.other.wait_for(h.beat_of(h.BACKUP), 10)
    check(new_backup and new_backup.text == h.beat(h.BACKUP, h.BACKUP_UID), f"new backup heartbeat: {new_backup}")
    check(len(s.hub.hubs()) == 2, f"running hubs after the takeover: {s.hub.hubs()}")


h.run(main)
