# Computers made of namespaces, for scenarios that run the real Tessaly executable.
#
# A scenario's network namespaces are anonymous: only this process's descriptors and the processes inside hold
# them, so they vanish with the scenario however it ends, and scenarios can run side by side. The hub runs from
# a fresh AppPath in a PID, UTS and mount namespace of its own: the instance check counts the processes named
# Tessaly that /proc shows, so the hubs of other scenarios must stay out of its sight. PID 1 there is a shell
# that only reaps, because when PID 1 dies every process in the namespace dies, and a backup must outlive its
# primary.
#
# A scenario runs as `<scenario>.py <path of Tessaly>` and exits with 0 when every check held, 1 with what
# failed and the hubs' output and log files, 77 (skipped) without root. It needs ip, unshare, nsenter, setpriv
# and mount.
import collections, contextlib, ctypes, os, shutil, signal, socket, struct, subprocess, sys, tempfile, time
import traceback
from types import SimpleNamespace

HUB_PORT, CLIENT_PORT, BCAST = 3639, 32768, "255.255.255.255"
PRIMARY, PRIMARY_UID = "zyn.hub.HUBHOST", "FF00FF00"  # the hub upper-cases its host name, hubhost
BACKUP, BACKUP_UID = "zyn.backupHub.HUBHOST", "FF00FE00"
BACKUP_WANTED = "[General]\r\nNoBackup=0\r\n"
HUB_ADDR, PEER_ADDR = "10.36.0.1", "10.36.0.2"  # every LAN is private to its scenario
CLONE_NEWNET, IP_PKTINFO, SO_RCVBUFFORCE = 0x40000000, 8, 33
Datagram = collections.namedtuple("Datagram", "text src dst")  # text: the bytes as latin-1; src, dst: (address, port)
_libc = ctypes.CDLL(None, use_errno=True)
_failures, _sandboxes, cleanup = [], [], contextlib.ExitStack()


class Failed(Exception):
    pass


def check(ok, message):  # records a failure unless ok; the scenario goes on
    if not ok:
        _failures.append(message)
    return ok


def require(ok, message):  # ends the scenario unless ok
    if not ok:
        raise Failed(message)
    return ok


def wait_until(predicate, timeout, step=0.02):  # the predicate's last result
    deadline = time.monotonic() + timeout
    while not (result := predicate()) and time.monotonic() < deadline:
        time.sleep(step)
    return result


def command(*argv):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
    require(done.returncode == 0, f"{' '.join(argv)} failed: {done.stdout}{done.stderr}")


@contextlib.contextmanager
def _namespace(fd=None):  # the calling thread moves into the namespace fd, or a new one, and back again
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        if (_libc.unshare(CLONE_NEWNET) if fd is None else _libc.setns(fd, CLONE_NEWNET)) != 0:
            raise OSError(ctypes.get_errno(), "cannot enter a network namespace")
        yield
    finally:
        require(_libc.setns(own, CLONE_NEWNET) == 0, "cannot return to the scenario's own network namespace")
        os.close(own)


class NetNs:
    # A fresh network namespace, loopback up. Sockets and processes made inside() stay there.
    def __init__(self):
        with _namespace():
            self.fd = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        cleanup.callback(os.close, self.fd)
        self.path = f"/proc/{os.getpid()}/fd/{self.fd}"
        self.run("ip", "link", "set", "lo", "up")

    def inside(self):
        return _namespace(self.fd)

    def run(self, *argv):
        with self.inside():
            command(*argv)


class Reader:
    # Datagrams as they arrive; those that one wait passes over are kept, in order, for the next.
    def __init__(self, ns, *args):
        with ns.inside():
            self.sock, self.kept = socket.socket(*args), collections.deque(maxlen=20000)
        cleanup.callback(self.sock.close)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)  # so a burst from the hub is not cut short

    def wait_for(self, match, timeout):  # the first datagram, kept or new, that match accepts; None
        for d in self.kept:
            if match(d):
                self.kept.remove(d)
                return d
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            self.sock.settimeout(left)
            with contextlib.suppress(TimeoutError):
                if match(d := self.read()):
                    return d
                self.kept.append(d)
        return None

    def collect(self, match, window):  # every datagram, kept or arriving within the window, that match accepts
        deadline, found = time.monotonic() + window, []
        while d := self.wait_for(match, deadline - time.monotonic()):
            found.append(d)
        return found

    def quiet(self, quiet, timeout):  # drops all until nothing came for `quiet` s; False when traffic outlasts timeout
        self.kept.clear()
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0 and self.wait_for(lambda d: True, min(quiet, left)):
            pass
        return time.monotonic() < deadline


class Udp(Reader):
    # An IPv4 UDP socket in `ns`, bound to address:port (port 0: any).
    def __init__(self, ns, address="0.0.0.0", port=0, broadcast=False):
        super().__init__(ns, socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, int(broadcast))
        self.sock.bind((address, port))
        self.port = self.sock.getsockname()[1]

    def send(self, text, address=BCAST, port=HUB_PORT):
        self.sock.sendto(text.encode("latin-1"), (address, port))

    def read(self):
        data, ancillary, _, src = self.sock.recvmsg(65536, 64)
        dst = next((socket.inet_ntoa(d[8:12]) for _, kind, d in ancillary if kind == IP_PKTINFO), "")
        return Datagram(data.decode("latin-1"), src, (dst, self.port))


def try_bind(ns, address, port):  # 0 when address:port is free in ns, else the errno
    try:
        Udp(ns, address, port).sock.close()
        return 0
    except OSError as error:
        return error.errno


class Sniffer(Reader):
    # Every UDP datagram that arrives at `ns`, loopback included, whoever holds the port it is sent to.
    def __init__(self, ns):
        super().__init__(ns, socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP)

    def read(self):
        p = self.sock.recv(70000)
        head = (p[0] & 15) * 4
        sport, dport, length = struct.unpack("!HHH", p[head:head + 6])
        return Datagram(p[head + 8:head + length].decode("latin-1"), (socket.inet_ntoa(p[12:16]), sport),
                        (socket.inet_ntoa(p[16:20]), dport))


class Lan:
    # Two computers on one Ethernet segment: veth0 in each, the hub's at HUB_ADDR/24, the other at PEER_ADDR/24.
    def __init__(self):
        self.hub, self.peer = NetNs(), NetNs()
        self.hub.run("ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth0", "netns", self.peer.path)
        for ns, address in ((self.hub, HUB_ADDR), (self.peer, PEER_ADDR)):
            ns.run("ip", "addr", "add", address + "/24", "brd", "+", "dev", "veth0")
            ns.run("ip", "link", "set", "veth0", "up")
        sender, receiver = Udp(self.hub), Udp(self.peer, PEER_ADDR)
        for _ in range(50):
            sender.send("link probe", PEER_ADDR, receiver.port)
            if receiver.wait_for(lambda d: True, 0.1):
                return
        raise Failed("no datagram crossed the veth link")


def _read(path):
    with contextlib.suppress(OSError), open(path, "rb") as f:
        return f.read().decode("latin-1")
    return ""


def _name(pid):
    return _read(f"/proc/{pid}/comm").strip()


def _children(pid):
    return [int(c) for c in _read(f"/proc/{pid}/task/{pid}/children").split()]


def _status(pid, key):
    lines = _read(f"/proc/{pid}/status").splitlines()
    return next((line.split()[1:] for line in lines if line.startswith(key + ":")), [])


def ns_pid(pid):  # the pid inside its PID namespace: the number in its log file's name
    return int((_status(pid, "NSpid") or [0])[-1])


def session(pid):
    return int(_read(f"/proc/{pid}/stat").rpartition(")")[2].split()[3])


def resident_kib(pid):
    return int(_status(pid, "VmRSS")[0])


def udp_bindings(pid):  # (address, port) of each IPv4 UDP socket the process holds, sorted
    table = {}
    for fields in (line.split() for line in _read(f"/proc/{pid}/net/udp").splitlines()[1:]):
        address, port = fields[1].split(":")
        table[f"socket:[{fields[9]}]"] = (socket.inet_ntoa(struct.pack("=I", int(address, 16))), int(port, 16))
    targets = (os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd"))
    return sorted(table[t] for t in targets if t in table)


_INIT = 'hostname "$1" && : > "$2" || exit 1\nwhile :; do sleep 1 & wait $!; done\n'


class Sandbox:
    # The hub's computer in `net`: the executable in a fresh AppPath, run in a PID, UTS (host name hubhost) and
    # mount namespace of its own. Everything in it is killed, and its folder removed, when the scenario ends.
    def __init__(self, net):
        self.root, self.processes, self.pid1, self.pidns = tempfile.mkdtemp(prefix="tessaly-e2e-"), [], 0, None
        cleanup.callback(shutil.rmtree, self.root, True)
        require("vb" not in self.root.lower().split("/"), f"{self.root}: the hub moves away from a 'vb' folder")
        self.app = os.path.join(self.root, "app")
        os.mkdir(self.app)
        self.exe = shutil.copy(sys.argv[1], os.path.join(self.app, "Tessaly"))
        self.env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": self.root}  # no display: no tray
        self.env.update({k: v for k, v in os.environ.items() if k == "TZ"})
        ready = os.path.join(self.root, "init.ready")
        # Should this process die, setpriv's death signal ends unshare, whose --kill-child ends PID 1.
        with net.inside():
            init = self._spawn("setpriv", "--pdeathsig", "KILL", "unshare", "--pid", "--fork", "--kill-child",
                               "--mount-proc", "--uts", "sh", "-c", _INIT, "sh", "hubhost", ready)
        cleanup.callback(self.close)
        _sandboxes.append(self)
        wait_until(lambda: os.path.exists(ready) or init.poll() is not None, 10)
        require(os.path.exists(ready) and len(_children(init.pid)) == 1, "the PID namespace did not come up")
        self.pid1 = _children(init.pid)[0]
        self.pidns = os.readlink(f"/proc/{self.pid1}/ns/pid")

    def _spawn(self, *argv):  # output to <root>/<n>.out
        with open(os.path.join(self.root, f"{len(self.processes)}.out"), "ab") as out:
            self.processes.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                                   stderr=subprocess.STDOUT, env=self.env))
        return self.processes[-1]

    def write(self, relative, text):
        path = os.path.join(self.app, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text.encode("latin-1"))

    def read_only(self, relative):
        # Root writes through file modes, so this is a read-only bind mount, only in the sandbox's mount namespace.
        folder = os.path.normpath(os.path.join(self.app, relative))
        os.makedirs(folder, exist_ok=True)
        enter = ("nsenter", "--target", str(self.pid1), "--mount", "--")
        command(*enter, "mount", "--bind", folder, folder)
        command(*enter, "mount", "-o", "remount,bind,ro", folder, folder)
        probe = subprocess.run([*enter, "touch", os.path.join(folder, ".probe")], capture_output=True, timeout=10)
        require(probe.returncode != 0, f"{folder} is still writable inside the sandbox")

    def start(self):
        # One more copy of the hub, working folder /; returns once it runs (pid: as this process sees it) or ended.
        copy = SimpleNamespace(launcher=self._spawn("nsenter", "--target", str(self.pid1), "--pid", "--net", "--uts",
                                                    "--mount", "--wd=/", "--", self.exe), pid=0)

        def seen():  # nsenter forks the child that runs the hub; it is named Tessaly once the executable runs
            copy.pid = next((c for c in _children(copy.launcher.pid) if _name(c) == "Tessaly"), 0)
            return copy.pid or copy.launcher.poll() is not None
        wait_until(seen, 10, 0.005)
        copy.ns_pid = copy.pid and ns_pid(copy.pid)
        return copy

    def running(self, pid):  # while pid runs in this PID namespace (a reused pid never counts)
        state = _read(f"/proc/{pid}/stat").rpartition(")")[2][1:2]
        with contextlib.suppress(OSError):
            return state not in ("", "Z", "X", "x") and os.readlink(f"/proc/{pid}/ns/pid") == self.pidns
        return False

    def hubs(self):  # the running processes named Tessaly in the sandbox, sorted
        return sorted(p for p in map(int, filter(str.isdigit, os.listdir("/proc"))) if _name(p) == "Tessaly" and
                      self.running(p))

    def other_hub(self, copy):  # the one hub running besides `copy`
        others = [p for p in self.hubs() if p != copy.pid]
        return require(len(others) == 1 and others[0], f"running besides the hub {copy.pid}: {others}")

    def exits(self, copy, what, timeout=10):  # checks that the copy ends with status 0
        with contextlib.suppress(subprocess.TimeoutExpired):
            status = copy.launcher.wait(timeout)
            return check(status == 0, f"{what}: the hub ended with status {status}")
        check(False, f"{what}: the hub still runs after {timeout} s")

    def stop(self, copy, sig):
        require(self.running(copy.pid), f"the hub ended before {sig.name}")
        os.kill(copy.pid, sig)
        self.exits(copy, sig.name)

    def log(self, pid_inside):
        return _read(os.path.join(self.app, "Data", f"Tessaly{pid_inside}.txt"))

    def close(self):
        for pid in self.hubs() + [self.pid1]:
            if self.running(pid):
                os.kill(pid, signal.SIGKILL)
        for p in self.processes:
            with contextlib.suppress(subprocess.TimeoutExpired):
                p.kill()
                p.wait(5)

    def diagnose(self):  # the output of PID 1 and the copies, and the log files
        data = os.path.join(self.app, "Data")
        files = [os.path.join(self.root, f) for f in sorted(os.listdir(self.root)) if f.endswith(".out")]
        for path in files + ([os.path.join(data, f) for f in sorted(os.listdir(data))] if os.path.isdir(data) else []):
            print(f"----- {path}\n{_read(path)[-6000:]}", file=sys.stderr)


def beat(source=PRIMARY, uid=PRIMARY_UID, port=CLIENT_PORT, interval="60", eol="\n"):
    # A heartbeat, the hub's by default; texts, so that they can be malformed.
    lines = ["xap-hbeat", "{", "v=12", "hop=1", f"uid={uid}", "class=xap-hbeat.alive", f"source={source}",
             f"interval={interval}", f"port={port}", "}"]
    return "".join(line + eol for line in lines)


def xap(source, cls, section, items, target="", uid="FF123400"):  # one body section of "name=value" items
    header = ["xap-header", "{", "v=12", "hop=1", f"uid={uid}", f"class={cls}", f"source={source}"]
    lines = header + [f"target={target}"] * bool(target) + ["}", section, "{", *items, "}"]
    return "".join(line + "\n" for line in lines)


def message(n):  # a plain message of the other computer's application
    return xap("acme.sensor.peer", "test.relay", "body", [f"n={n}"])


def hub_text(cls, section, items, target=""):  # a message as the primary composes its own
    return xap(PRIMARY, cls, section, items, target, PRIMARY_UID)


def is_text(text):
    return lambda d: d.text == text


def beat_of(source):
    return lambda d: d.text.startswith("xap-hbeat\n") and f"\nsource={source}\n" in d.text


def hub_event(kind, data, prefix=False):  # the primary's log events whose Data is data (or starts with data and " ")
    head, items = f"\nclass=Vantrel.Event\nsource={PRIMARY}\n", f"\nType={kind}\nData={data}"
    return lambda d: (d.text.startswith("xap-header\n") and head in d.text and
                      (items + "\n}\n" in d.text or prefix and items + " " in d.text))


def stamp_between(stamp, start, end):  # stamp is the local time of a second from start to end, give or take one
    seconds = range(int(start) - 1, int(end) + 2)
    return stamp in [time.strftime("%d/%m/%Y %H:%M:%S", time.localtime(t)) for t in seconds]


class Stage:
    # The hub's computer and another on one LAN. The other computer listens on the hub port (`other`) and has an
    # application (`peer`) bound to its address, as a broadcast needs without a default route.
    def __init__(self):
        self.lan = Lan()
        self.other = Udp(self.lan.peer, "0.0.0.0", HUB_PORT)
        self.peer = Udp(self.lan.peer, PEER_ADDR, broadcast=True)
        self.hub, self.clients = Sandbox(self.lan.hub), []

    def start_primary(self):  # `primary`, and its first heartbeat `beat`
        self.primary = self.hub.start()
        require(self.primary.pid, "the hub ended at once")
        self.beat = require(self.other.wait_for(beat_of(PRIMARY), 10), "no heartbeat of the primary within 10 s")

    def add_clients(self, count):
        # Applications of the hub's computer: each broadcasts from the LAN address and its own port (so the hub
        # takes its heartbeats as local) and hears on 127.0.0.1 at that port, where the hub forwards to it.
        for n in range(len(self.clients) + 1, len(self.clients) + count + 1):
            self.clients.append(SimpleNamespace(source=f"acme.client{n}.hubhost", uid=f"FF{0x1000 + n:04X}00",
                                                out=Udp(self.lan.hub, HUB_ADDR, 41000 + n, broadcast=True),
                                                inbox=Udp(self.lan.hub, "127.0.0.1", 41000 + n)))

    def register(self):  # heartbeats until the hub relays a probe to every client; their inboxes are empty then
        for attempt in range(20):
            for c in self.clients:
                c.out.send(beat(c.source, c.uid, c.out.port))
            self.peer.send(xap("acme.prober.peer", "test.probe", "probe", [f"n={attempt}"]))
            if all([c.inbox.wait_for(lambda d: "\nclass=test.probe\n" in d.text, 0.5) for c in self.clients]):
                for c in self.clients:
                    c.inbox.quiet(0.2, 5)
                return
        raise Failed(f"the hub did not relay to all {len(self.clients)} clients after 20 heartbeats each")

    def relays(self, text, what, sender=None, to=BCAST, skipped=()):  # sends text to the hub port (from `peer`)
        (sender or self.peer).send(text, to)
        self.relayed_once(text, what, skipped)

    def relayed_once(self, text, what, skipped=()):  # text reaches every client but the skipped once, from the hub
        for c in self.clients:
            d = None if c in skipped else c.inbox.wait_for(is_text(text), 5)
            if c not in skipped and check(d, f"{what}: {c.source} did not receive within 5 s:\n{text[:200]}"):
                check(d.src == ("127.0.0.1", CLIENT_PORT), f"{what}: forwarded from {d.src}, not the client port")
        time.sleep(0.3)
        for c in self.clients:
            copies = "a copy" if c in skipped else "a second copy"
            check(not c.inbox.collect(is_text(text), 0.05), f"{what}: {c.source} received {copies} of:\n{text[:200]}")


def run(scenario):
    if os.geteuid() != 0:
        print("skipped: the computers of this scenario are namespaces, which need root")
        sys.exit(77)
    signal.signal(signal.SIGTERM, signal.default_int_handler)  # so that a stopped scenario still cleans up
    try:
        with cleanup:
            try:
                scenario()
            except Failed as failure:
                _failures.append(str(failure))
            except BaseException:
                _failures.append(traceback.format_exc())
            for sandbox in _sandboxes if _failures else ():
                sandbox.diagnose()
    except BaseException:
        _failures.append("cleaning up: " + traceback.format_exc())
    for failure in _failures:
        print("FAILED:", failure, file=sys.stderr)
    sys.exit(1 if _failures else 0)
