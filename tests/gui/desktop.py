# The hub on a desktop: a virtual X server with a tray host, driven with the mouse and the keyboard as a person
# would. The primary, asked for a backup, shows its icon; a left, a right and a double click each open one menu,
# which Escape closes; "View Traffic" opens the status window, which shows what a local application sends while
# the hub relays it; a box changed there is written to Config/Velmar.ini when the window closes; "Exit" ends the
# primary and its backup. Started again, the hub heeds the box it was given (no icon) and, with a display that does
# not answer, runs headless. Screenshots of the icon, the menu and the window go to the folder given second.
#
# Runs as `desktop.py <path of Tessaly> <shots folder>`; 77 (skipped) without root, Xvfb, trayer, xdotool or
# ImageMagick. The server, the tray host and the hubs live in the scenario's namespaces (harness.py) and end with it.
import ctypes, os, re, select, shutil, signal, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness as h
from harness import check, require, LO, HUB_PORT, CLIENT_PORT as CP

TITLE, APP_PORT = "^XAP - XPL - HUB Activity$", 41001
if not all(map(shutil.which, ("Xvfb", "trayer", "xdotool", "import", "convert"))):
    print("skipped: needs Xvfb, trayer, xdotool and ImageMagick")
    sys.exit(77)
# Read before the scenario's /tmp hides them: the module the hub loads from its own folder, and the shots folder.
with open(os.path.join(os.path.dirname(sys.argv[1]), "tessaly-desktop.so"), "rb") as f:
    MODULE = f.read()
os.makedirs(sys.argv[2], exist_ok=True)
SHOTS = f"/proc/{os.getpid()}/fd/{os.open(sys.argv[2], os.O_RDONLY | os.O_DIRECTORY)}"
X11 = ctypes.CDLL("libX11.so.6")
X11.XOpenDisplay.restype, X11.XInternAtom.restype = ctypes.c_void_p, ctypes.c_ulong


def poll(probe, timeout=5):  # probe's first true answer within timeout s, else its last one
    deadline = time.monotonic() + timeout
    while not (answer := probe()) and time.monotonic() < deadline:
        time.sleep(0.1)
    return answer


def xdo(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, timeout=10).stdout


def windows(*search):  # {id: (x, y, width, height)} of the visible windows that xdotool's search finds
    out = xdo("search", "--onlyvisible", *search, "getwindowgeometry", "--shell", "%@")
    rows = re.findall(r"WINDOW=(\d+)\nX=(-?\d+)\nY=(-?\d+)\nWIDTH=(\d+)\nHEIGHT=(\d+)", out)
    return {w: tuple(map(int, rest)) for w, *rest in rows}


def icons():  # the hub's tray icon: a small window of its class
    return [w for w, (_, _, wd, ht) in windows("--class", "Tessaly").items() if wd <= 32 and ht <= 32]


def menus():  # the hub's popup menus: windows of its class without a title, taller than a tooltip
    titled = windows("--name", ".")
    return [w for w, g in windows("--class", "Tessaly").items() if g[3] > 80 and w not in titled]


def shot(name, crop):  # the screen, cut to crop (WxH+X+Y), into the shots folder
    ok = subprocess.run(f"import -window root png:- | convert png:- -crop {crop} +repage {SHOTS}/{name}", shell=True,
                        timeout=30).returncode == 0
    check(ok, f"no screenshot {name}")


def close(window):  # as a window manager closes a window: WM_DELETE_WINDOW in a WM_PROTOCOLS message
    display = ctypes.c_void_p(X11.XOpenDisplay(None))
    event = (ctypes.c_long * 24)()  # XClientMessageEvent: type, serial, send_event, display, window, type, format, l
    event[0], event[4], event[6] = 33, int(window), 32
    event[5], event[7] = (X11.XInternAtom(display, name, 0) for name in (b"WM_PROTOCOLS", b"WM_DELETE_WINDOW"))
    X11.XSendEvent(display, ctypes.c_ulong(int(window)), 0, 0, event)
    X11.XCloseDisplay(display)


def started(net):  # true when the primary and its backup heartbeat within 10 s
    texts = {h.beat(), h.beat(h.BACKUP, h.BACKUP_UID, CP + 1)}
    return {d.text for d in net.collect(lambda d: d.text in texts and d.dst == (LO, HUB_PORT), 10, 2)} == texts


def ended(primary, how):  # true when the primary and its backup both end within 10 s
    how()
    check(primary.wait(10) == 0, f"the hub ended with status {primary.returncode}")
    return poll(lambda: not h.hubs())


def desktop(net):
    h.write("tessaly-desktop.so", MODULE.decode("latin-1"))
    h.write("Config/Velmar.ini", "[General]\r\nNoBackup=0\r\n")
    primary = h.start(net)
    require(started(net), "the primary and its backup did not heartbeat")
    require(icon := poll(icons), "no tray icon")
    shot("tray-icon.png", "96x32+1184+0")

    for n, click in enumerate((["click", "1"], ["click", "3"], ["click", "--repeat", "2", "--delay", "80", "1"])):
        xdo("mousemove", "--window", icon[0], "11", "11", *click)
        poll(menus), time.sleep(0.5)  # a second menu, if any, has come by now
        check(len(menus()) == 1, f"click {click}: menus {menus()}")
        if n == 0:
            shot("tray-menu.png", "280x140+1000+0")
        xdo("key", "Escape")
        check(poll(lambda: not menus()), f"click {click}: the menu stays after Escape")

    xdo("click", "1"), poll(menus), xdo("key", "Down", "Return")
    require(window := poll(lambda: list(windows("--name", TITLE))), f"no window titled {TITLE}")
    app, sender = h.Udp(net, LO, APP_PORT), h.Udp(net, LO)
    text = h.xap("acme.gui.test", "test.relay", "body", ["text=<b>bold</b>"])  # shown as it is, not in bold
    relayed = lambda: app.send_to(h.beat("acme.app.hubhost", "FF123400", APP_PORT), LO) or sender.send_to(
        text, LO) or net.wait_for(lambda d: d.dst == (LO, APP_PORT) and d.text == text, 0.5)
    require(any(relayed() for _ in range(10)), "nothing relayed to the application registered by its heartbeat")
    time.sleep(0.5)  # the window repaints 4 times a second
    x, y, width, height = windows("--name", TITLE)[window[0]]
    shot("status-window.png", f"{width}x{height}+{x}+{y}")

    xdo("key", "Tab", "space")  # from "No Backup Hub" to "No Tray Icon"
    close(window[0])
    boxes = sorted("[GENERAL] NOBACKUP=0 NOTRAY=1 XPL=0 XPLHUB=0 XPLTOXAP=0 XAPTOXPL=0".split())
    options = lambda: sorted(h.read(f"{h.APP}/Config/Velmar.ini").split())
    check(poll(lambda: options() == boxes), f"Velmar.ini after the window closed: {options()}")
    check(poll(lambda: not windows("--name", TITLE)), "the window stays")

    check(ended(primary, lambda: (xdo("mousemove", "--window", icon[0], "11", "11", "click", "1"), poll(menus),
                                  xdo("key", "Up", "Return"))), f"Exit left hubs {h.hubs()}")


def main():
    net, ran = h.Net(), []
    reader, writer = os.pipe()
    try:
        ran.append(subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-nolisten", "tcp", "-screen", "0",
                                     "1280x800x24"], pass_fds=[writer], stderr=subprocess.DEVNULL))
        require(select.select([reader], [], [], 10)[0], "Xvfb did not start")
        display = int(os.read(reader, 16))
        os.environ.update(DISPLAY=f":{display}", DBUS_SESSION_BUS_ADDRESS="disabled:")
        ran.append(subprocess.Popen(["trayer", "--edge", "top", "--align", "right"], stderr=subprocess.DEVNULL))
        desktop(net)
        primary = h.start(net)  # with the options the window wrote
        require(started(net), "the primary and its backup did not heartbeat again")
        check(not poll(icons, 2), "an icon with NoTray=1")
        check(ended(primary, lambda: primary.send_signal(signal.SIGINT)), f"SIGINT left hubs {h.hubs()}")
        os.environ["DISPLAY"] = f":{display + 1}"  # no server
        primary = h.start(net)
        require(started(net), "no heartbeats without a display")
        check("tessaly-desktop" not in h.read(f"/proc/{primary.pid}/maps"), "the desktop module was loaded headless")
        check(ended(primary, lambda: primary.send_signal(signal.SIGINT)), f"SIGINT left hubs {h.hubs()}")
    finally:
        for process in reversed(ran):
            process.kill()
            process.wait(10)


h.run(main)
