# Computers made of network namespaces, for scenarios that run the real Tessaly executable.
#
# A scenario runs as PID 1 of PID, UTS (host name hubhost) and mount namespaces of its own: the hub's instance
# check counts the processes named Tessaly that /proc shows, so the hubs of other scenarios must stay out of its
# sight, and when the scenario ends, however it ends, every hub it started ends with it. Its network namespaces
# are anonymous, held only by its descriptors and the processes inside, so they vanish with it too. In each, a
# raw socket sees every UDP datagram that arrives, loopback included, whoever holds the port it is sent to. The
# hub's copies all run from one fresh AppPath, APP, on a file system of the scenario's own (their output goes to
# OUT beside it), as the service runs them: as an unprivileged user who owns AppPath.
#
# A scenario runs as `<scenario>.py <path of Tessaly>` and exits with 0 when every check held, 1 with what
# failed and the hubs' output and log files, 77 (skipped) without root. It needs ip, unshare, nsenter and mount.
import collections, contextlib, ctypes, glob, os, socket, struct, subprocess, sys, time, traceback

HUB_PORT, CLIENT_PORT, BCAST, LO = 3639, 32768, "255.255.255.255", "127.0.0.1"
PRIMARY, PRIMARY_UID, BACKUP, BACKUP_UID = "zyn.hub.HUBHOST", "FF00FF00", "zyn.backupHub.HUBHOST", "FF00FE00"
HUB_ADDR, PEER_ADDR = "10.36.0.1", "10.36.0.2"  # every LAN is private to its scenario
Datagram = collections.namedtuple("Datagram", "text src dst")  # text: the bytes as latin-1; src, dst: (address, port)
_libc, failures, APP, OUT = ctypes.CDLL(None, use_errno=True), [], "/tmp/tessaly", "/tmp/out"


def check(ok, message):  # records a failure unless ok; the scenario goes on
    failures.extend([] if ok else [message])


def require(ok, message):  # ends the scenario unless ok
    if not ok:
        raise AssertionError(message)
    return ok


def read(path):
    with contextlib.suppress(OSError), open(path, "rb") as f:
        return f.read().decode("latin-1")
    return ""


class Net:
    # A fresh network namespace, loopback up. enter() moves this thread into it: sockets and processes made
    # after that stay there. Its raw socket sees a flood too, the computer's own broadcasts included, and drops
    # what comes once its buffer is full: quiet() every Net after a flood, before waiting for anything.
    def __init__(self):
        require(_libc.unshare(0x40000000) == 0, "cannot make a network namespace")  # CLONE_NEWNET
        self.fd = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        self.raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP)
        self.raw.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)  # SO_RCVBUFFORCE, so that a burst is not cut short
        # Test sockets take ports far from the hub's client ports.
        self.run("ip link set lo up && echo 45000 60999 > /proc/sys/net/ipv4/ip_local_port_range")

    def enter(self):
        require(_libc.setns(self.fd, 0x40000000) == 0, "cannot enter a network namespace")

    def run(self, script):  # a shell script here
        self.enter()
        subprocess.run(script, shell=True, check=True, timeout=10)

    def collect(self, match, timeout, count=None):  # the datagrams arriving within timeout that match accepts,
        deadline, found = time.monotonic() + timeout, []  # up to count; the others are dropped
        while (left := deadline - time.monotonic()) > 0 and len(found) != count:
            self.raw.settimeout(left)
            with contextlib.suppress(TimeoutError):
                p = self.raw.recv(70000)  # an IPv4 packet: its UDP header after the IP header, its payload last
                sport, dport, length = struct.unpack_from("!HHH", p, (p[0] & 15) * 4)
                d = Datagram(p[len(p) + 8 - length:].decode("latin-1"), (socket.inet_ntoa(p[12:16]), sport),
                             (socket.inet_ntoa(p[16:20]), dport))
                found += [d] if match(d) else []
        return found

    def wait_for(self, match, timeout):  # the first datagram within timeout that match accepts; None
        return (self.collect(match, timeout, 1) or [None])[0]

    def quiet(self, quiet, timeout):  # True once nothing came for `quiet` s, before timeout
        deadline = time.monotonic() + timeout
        while self.wait_for(lambda d: True, quiet) and time.monotonic() < deadline:
            pass
        return time.monotonic() < deadline


class Udp(socket.socket):
    # An IPv4 UDP socket in net, bound to address:port (port 0: any), allowed to broadcast.
    def __init__(self, net, address="0.0.0.0", port=0):
        net.enter()
        super().__init__(socket.AF_INET, socket.SOCK_DGRAM)
        self.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        self.bind((address, port))

    def send_to(self, text, address=BCAST, port=HUB_PORT):
        self.sendto(text.encode("latin-1"), (address, port))


def hubs():  # the running processes named Tessaly, sorted
    return sorted(p for p in map(int, filter(str.isdigit, os.listdir("/proc"))) if read(f"/proc/{p}/comm") ==
                  "Tessaly\n" and read(f"/proc/{p}/stat").rpartition(") ")[2][:1] not in ("", "Z", "X"))


def write(relative, text):  # a file below APP
    os.makedirs(os.path.dirname(f"{APP}/{relative}"), exist_ok=True)
    with open(f"{APP}/{relative}", "wb") as f:
        f.write(text.encode("latin-1"))


def start(net):  # one more copy of the hub, in net, working folder /
    net.enter()
    subprocess.run(["chown", "-R", "65534:65534", APP], stderr=subprocess.DEVNULL)  # read-only folders stay root's
    with open(OUT, "ab") as out:
        return subprocess.Popen([f"{APP}/Tessaly"], cwd="/", stdout=out, stderr=out, user=65534, group=65534,
                                extra_groups=[])


def stop(copy, sig):  # checks that the copy ends with status 0 within 10 s of sig
    copy.send_signal(sig)
    check(copy.wait(10) == 0, f"{sig.name}: the hub ended with status {copy.returncode}")


class Stage:
    # The hub's computer (net) and another (other) on one Ethernet segment: veth0 in each, the hub's at
    # HUB_ADDR/24, the other's at PEER_ADDR/24, where an application (app) sends from that address, as a
    # broadcast needs without a default route. Applications of the hub's computer (clients, by port) broadcast
    # from HUB_ADDR and their port, so that the hub takes their heartbeats as local, and hear on 127.0.0.1.
    def __init__(self, clients=0):
        self.net, self.other = Net(), Net()
        up, ns = "ip addr add {}/24 brd + dev veth0 && ip link set veth0 up", f"/proc/{os.getpid()}/fd/{self.other.fd}"
        self.net.run(f"ip link add veth0 type veth peer name veth0 netns {ns} && {up.format(HUB_ADDR)} && "
                     f"nsenter --net={ns} sh -c '{up.format(PEER_ADDR)}'")
        self.app, probe = Udp(self.other, PEER_ADDR), Udp(self.net)
        any(probe.send_to("probe", PEER_ADDR) or self.other.wait_for(lambda d: d.text == "probe", 0.1)
            for _ in range(100))  # till the link carries datagrams
        self.clients = {p: (Udp(self.net, HUB_ADDR, p), Udp(self.net, LO, p)) for p in range(41001, 41001 + clients)}

    def start(self):  # the primary; its first datagram on the LAN
        self.primary = start(self.net)
        return require(self.other.wait_for(lambda d: d.src == (HUB_ADDR, CLIENT_PORT), 10), "nothing from the hub")

    def register(self):  # heartbeats until the hub relays a probe to every client; then the LAN is quiet
        for n in range(20):
            for port, (out, _) in self.clients.items():
                out.send_to(beat(f"acme.client{port}.hubhost", f"FF{port:04X}00", port))
            self.app.send_to(xap("acme.prober.peer", "test.probe", "probe", [f"n={n}"]))
            if set(self.clients) <= {d.dst[1] for d in self.net.collect(lambda d: "class=test.probe" in d.text, 0.5)}:
                return self.other.quiet(0.2, 5)
        require(False, f"the hub did not relay to all {len(self.clients)} clients after 20 heartbeats each")

    def relayed(self, texts, what):  # every client hears each of texts once, from the hub's client port
        got = self.net.collect(lambda d: d.dst[0] == LO and d.dst[1] in self.clients and d.text in texts, 1)
        heard = sorted((d.dst[1], d.src, d.text) for d in got)  # (client port, sender, text)
        check(heard == sorted((p, (LO, CLIENT_PORT), t) for p in self.clients for t in texts), f"{what}: {heard}")


def beat(source=PRIMARY, uid=PRIMARY_UID, port=CLIENT_PORT, interval=60):  # a heartbeat, the primary's by default
    return f"xap-hbeat\n{{\nv=12\nhop=1\nuid={uid}\nclass=xap-hbeat.alive\nsource={source}\ninterval={interval}\n" \
           f"port={port}\n}}\n"


def xap(source, cls, section, items, target="", uid="FF123400"):  # a message with one body section
    header = f"xap-header\n{{\nv=12\nhop=1\nuid={uid}\nclass={cls}\nsource={source}\n"
    return header + (target and f"target={target}\n") + "".join(f"{i}\n" for i in ["}", section, "{", *items, "}"])


def run(scenario):
    if os.geteuid() != 0:
        print("skipped: the computers of this scenario are namespaces, which need root")
        sys.exit(77)
    if os.getpid() != 1:
        os.execvp("unshare", ["unshare", "--pid", "--fork", "--kill-child", "--mount-proc", "--uts", "--mount",
                              sys.executable, "-B", *sys.argv])
    socket.sethostname("hubhost")
    with open(sys.argv[1], "rb") as exe:  # opened before the mount, which may hide it
        subprocess.check_call(f"mount -t tmpfs e2e /tmp && install -D /dev/stdin {APP}/Tessaly", shell=True, stdin=exe)
    try:
        scenario()
    except BaseException as e:
        failures.append(str(e) if isinstance(e, AssertionError) else traceback.format_exc())
    for path in [OUT, *sorted(glob.glob(f"{APP}/Data/*"))] if failures else []:
        print(f"----- {path}\n{read(path)[-6000:]}", file=sys.stderr)
    print(*(f"FAILED: {failure}" for failure in failures), sep="\n", file=sys.stderr)
    sys.exit(1 if failures else 0)
