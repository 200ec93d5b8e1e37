#!/usr/bin/python3
"""The program on real desktops, each made here and removed afterwards:

  desktop_test.py sni      under Xvfb with a private session bus on which a stand-in panel
                           (tests/support/sni_watcher.py) draws StatusNotifierItems and notifications
  desktop_test.py wayland  as a native client of a headless Wayland compositor, without a tray
  desktop_test.py sni-wayland  the same panel, with the program on the Wayland compositor
  desktop_test.py sni-late     the program started before that panel (sni-late-wayland: on Wayland)
  desktop_test.py late-panel   under Xvfb, the program started before an XEmbed tray (trayer)
  desktop_test.py xfce         under Xvfb with xfce4-panel; xfce-late starts the program before it
  desktop_test.py a11y     under Xvfb with the accessibility bus: every kind of window, as a screen
                           reader sees it through AT-SPI
  desktop_test.py focus    under Xvfb with a window manager (openbox): windows a peer opens leave
                           the keys with the window the user types in
  desktop_test.py keyboard two copies on one Xvfb screen under openbox, a message, a chat and a
                           file exchanged with the keyboard alone

Run on host 1 of a virtual LAN of two hosts (tests/lan-run --hosts 2), with QUORVANE_BINARY set;
host 2 runs a second copy offscreen, so that there is a peer. Exits non-zero on the first failure."""
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.environ["QUORVANE_BINARY"]
ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


def wait(what, test, timeout=15):
    end = time.time() + timeout
    while time.time() < end:
        result = test()
        if result:
            return result
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


class Copy:
    """A copy of the program, read and driven through its automation socket."""

    def __init__(self, workdir, host, environment):
        self.path = os.path.join(workdir, f"host{host}.sock")
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}
        env.update(environment, QUORVANE_AUTOMATION=self.path)
        # Never listen for `quorvane --send` beside a real copy: the compositor's runtime
        # directory where there is one, else one of the copy's own.
        if "XDG_RUNTIME_DIR" not in environment:
            env["XDG_RUNTIME_DIR"] = os.path.join(workdir, f"runtime{host}")
            os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        # A sanitizer build leaves out what the platforms hold until the end; the full stacks
        # reach through libraries built without frame pointers.
        env["LSAN_OPTIONS"] = f"suppressions={HERE}/../lsan-desktop.supp:fast_unwind_on_malloc=0"
        command = [BINARY]
        if host != 1:
            command = ["ip", "netns", "exec", os.environ[f"QLAN_NS_{host}"], "unshare", "--uts", "--", "sh",
                       "-c", 'hostname "$0" && exec "$@"', os.environ[f"QLAN_NAME_{host}"], BINARY]
        self.process = subprocess.Popen(command, env=env)
        self.sock = wait(f"the automation socket of host {host}", self.connect)
        self.reader = self.sock.makefile("r")

    def connect(self):
        try:
            sock = socket.socket(socket.AF_UNIX)
            sock.connect(self.path)
            return sock
        except OSError:
            return None

    def request(self, line):
        self.sock.sendall((line + "\n").encode())
        lines = []
        while (reply := self.reader.readline().rstrip("\n")) != "":
            lines.append(reply)
        return lines

    def window(self, title=None, cls=None):
        for line in self.request("windows"):
            wid, wcls, wtitle = line.split("\t")
            if (title is None or wtitle == title) and (cls is None or wcls == cls):
                return wid
        return None

    def wait_window(self, title=None, cls=None, timeout=15):
        return wait(f"window {title or cls}", lambda: self.window(title, cls), timeout)

    def text(self, wid, name):
        for line in self.request(f"dump {wid}"):
            fields = line.split("\t")
            if fields[1] == name:
                return fields[2:]
        return None

    def peers(self, wid):
        """The entries of the main window's peer list."""
        fields = self.text(wid, "peerList") or []
        return [entry for entry in fields[1:] if entry]

    def terminate(self):
        """Ends the copy with SIGTERM; true when it ended cleanly in time."""
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(15) == 0
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return False


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print("ok:", what, flush=True)


def lock_owner(number):
    """The process an X display's lock file names, or None."""
    try:
        with open(f"/tmp/.X{number}-lock") as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def start_xvfb():
    """An Xvfb on a display of its own. Xvfb takes the display's lock file only when given its
    number (never with -displayfd), and tests run in parallel, each in network namespaces of its
    own, where the abstract sockets do not collide: without the lock two servers would share a
    number, and the one that ends first would remove the other's socket file, the only way in
    from the copy on host 2. A server already on the number answers the probe too, so the
    server found must be ours: the lock file names its process."""
    for number in range(10 + os.getpid() % 50, 200):
        if os.path.exists(f"/tmp/.X{number}-lock"):
            continue
        # Kept, so that a server that aborts mid-test says why (report prints it).
        log = tempfile.TemporaryFile()
        xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stderr=log)
        xvfb.log = log
        path = f"/tmp/.X11-unix/X{number}"
        end = time.time() + 15
        while xvfb.poll() is None and time.time() < end:
            try:
                with socket.socket(socket.AF_UNIX) as probe:
                    probe.connect(path)
                if lock_owner(number) == xvfb.pid:
                    return xvfb, f":{number}"
            except OSError:
                pass
            time.sleep(0.05)
        if xvfb.poll() is None:
            xvfb.kill()
            xvfb.wait()
            raise AssertionError("Xvfb did not start")
    raise AssertionError("no free X display")


def start_bus(workdir, services=None, desktop=None):
    """A private session bus; services, a directory of D-Bus service files, are started on demand.
    With desktop (its environment), it also starts the desktop's own services, such as the
    settings daemon a real panel reads its configuration from."""
    config = os.path.join(workdir, "session.conf")
    with open(config, "w") as f:
        f.write(f"""<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={workdir}/bus</listen>
  {"<standard_session_servicedirs/>" if desktop else ""}
  <auth>EXTERNAL</auth>
  {f"<servicedir>{services}</servicedir>" if services else ""}
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
""")
    daemon = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address=1"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                              env=dict(os.environ, **(desktop or {})), start_new_session=True)
    return daemon, daemon.stdout.readline().strip()


def layout(bus, item):
    """The exported menu as (label, id, enabled, children)."""
    _, root = bus.call_blocking(item.split("/")[0], "/MenuBar", MENU, "GetLayout", "iias", (0, -1, []))

    def convert(node):
        node_id, properties, children = node
        return (str(properties.get("label", "-" if properties.get("type") == "separator" else "")),
                int(node_id), bool(properties.get("enabled", True)), [convert(child) for child in children])

    return convert(root)


def labels(menu):
    return [label for label, _, _, _ in menu[3]]


def start_weston(workdir):
    """A headless compositor with a runtime directory of its own; the process and the environment
    of its clients."""
    runtime = os.path.join(workdir, "runtime")
    os.mkdir(runtime, 0o700)
    os.chmod(runtime, 0o700)
    weston = subprocess.Popen(["weston", "--backend=headless-backend.so", "--use-pixman", "--socket=wayland-q",
                               "--idle-time=0"], env=dict(os.environ, XDG_RUNTIME_DIR=runtime),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait("the compositor", lambda: os.path.exists(os.path.join(runtime, "wayland-q")))
    # The headless compositor has no seat, and Qt 6.4's Wayland input context then crashes when a
    # text box draws its cursor; desktops always have a seat, so the test takes the plain one.
    return weston, {"QT_QPA_PLATFORM": "wayland", "WAYLAND_DISPLAY": "wayland-q", "XDG_RUNTIME_DIR": runtime,
                    "QT_IM_MODULE": "compose"}


def start_sni_session(workdir, wayland):
    """The display (Xvfb, or the Wayland compositor) and a private session bus without a panel:
    the environment of the program and the processes to stop."""
    if wayland:
        server, environment = start_weston(workdir)
    else:
        server, display = start_xvfb()
        environment = {"QT_QPA_PLATFORM": "xcb", "DISPLAY": display}
    daemon, address = start_bus(workdir)
    environment["DBUS_SESSION_BUS_ADDRESS"] = address
    return environment, [server, daemon]


def start_watcher(environment, processes):
    watcher = subprocess.Popen(["/usr/bin/python3", os.path.join(HERE, "..", "support", "sni_watcher.py")],
                               env=dict(os.environ, **environment), stdout=subprocess.PIPE, text=True)
    processes.append(watcher)
    check(watcher.stdout.readline().strip() == "ready", "the watcher owns its name")
    return watcher


def registered_item(bus):
    items = wait("the item's registration", lambda: bus.call_blocking(
        "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties", "Get",
        "ss", ("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")))
    item = str(items[0])
    check(True, f"the item registers ({item})")
    return item


def use_item(workdir, copy, bus, item, processes):
    """With the main window in the tray: activation brings it back, the menu follows it and lists
    a peer that comes, and Message, then the peer, opens Send Message. The main window, the peer's
    copy and its name."""
    bus.call_blocking(item.split("/")[0], "/StatusNotifierItem", ITEM, "Activate", "ii", (0, 0))
    main = copy.wait_window("Quorvane")
    check(True, "activation shows the main window")
    wait("Hide Quorvane", lambda: labels(layout(bus, item))[0] == "Hide Quorvane")
    check(True, "the menu follows the window: Hide Quorvane")

    peer = Copy(workdir, 2, {"QT_QPA_PLATFORM": "offscreen"})
    processes.append(peer.process)
    name = wait("the peer in the list", lambda: copy.peers(main))[0]
    menu = wait("the peer in the menu", lambda: (m := layout(bus, item)) and labels(m[3][3]) == [name] and m)
    check(labels(menu) == ["Hide Quorvane", "-", "Announce", "Message", "Chat", "File", "-", "Close"],
          "the menu holds the commands")
    check(all(labels(sub) == [name] for sub in menu[3][3:6]), f"each peer submenu lists {name}")

    import dbus
    peer_item = menu[3][3][3][0]
    bus.call_blocking(item.split("/")[0], "/MenuBar", MENU, "Event", "isvu",
                      (peer_item[1], "clicked", dbus.Int32(0, variant_level=1), 0))
    send = copy.wait_window("Send Message")
    check(copy.text(send, "headerLabel") == ["Send Message To " + name], "Message, then the peer, opens Send Message")
    return main, peer, name


def test_sni(workdir, wayland=False):
    import dbus

    environment, processes = start_sni_session(workdir, wayland)
    try:
        watcher = start_watcher(environment, processes)
        bus = dbus.bus.BusConnection(environment["DBUS_SESSION_BUS_ADDRESS"])

        copy = Copy(workdir, 1, environment)
        processes.append(copy.process)
        item = registered_item(bus)
        wait("the menu's first layout", lambda: labels(layout(bus, item))[:1] == ["Open Quorvane"])
        time.sleep(1)
        check(copy.window("Quorvane") is None, "the main window hides at start")

        main, peer, name = use_item(workdir, copy, bus, item, processes)
        check(peer.terminate(), "the peer ends cleanly")
        wait("the peer gone from the menu", lambda: labels(layout(bus, item)[3][3]) == ["None"])
        check(True, "the menu loses the peer that left")

        # Hiding hides, also where nothing is ever minimised; the menu follows.
        bus.call_blocking(item.split("/")[0], "/MenuBar", MENU, "Event", "isvu",
                          (layout(bus, item)[3][0][1], "clicked", dbus.Int32(0, variant_level=1), 0))
        wait("the main window hidden", lambda: copy.window("Quorvane") is None)
        wait("Open Quorvane", lambda: labels(layout(bus, item))[0] == "Open Quorvane")
        check(True, "Hide Quorvane hides the window, and the menu then offers Open Quorvane")

        # The question comes after the panel's call has returned, owned by the hidden window.
        bus.call_blocking(item.split("/")[0], "/MenuBar", MENU, "Event", "isvu",
                          (layout(bus, item)[3][7][1], "clicked", dbus.Int32(0, variant_level=1), 0), timeout=5)
        copy.request(f"click {copy.wait_window('Close')} No")
        wait("the question to close", lambda: copy.window("Close") is None)
        check(copy.window("Quorvane") is None, "Close asks, and No leaves the window hidden")

        # Started again from the menu, the program brings back the copy hidden in the tray.
        started = time.time()
        again = subprocess.run([BINARY], capture_output=True, timeout=15,
                               env={**os.environ, "XDG_RUNTIME_DIR": os.path.join(workdir, "runtime1"), **environment})
        check(again.returncode == 0 and time.time() - started < 3,
              f"a second start ends at once: {again.returncode} {again.stderr!r}")
        copy.wait_window("Quorvane")
        check(True, "and the running copy shows its main window")
        check(copy.terminate(), "the program ends cleanly on SIGTERM")

        # From a file manager's menu nobody reads standard error: the desktop is told instead.
        handed = subprocess.run([BINARY, "--send", "/tmp/a.txt"], capture_output=True, timeout=15,
                                env={**os.environ, "XDG_RUNTIME_DIR": os.path.join(workdir, "runtime1"), **environment})
        check(handed.returncode == 1, f"--send without a copy fails: {handed.stderr!r}")
        check(select.select([watcher.stdout], [], [], 10)[0] and watcher.stdout.readline() == "notify\tQuorvane\tThe files were not sent: no running copy of Quorvane "
              "answered. Start Quorvane, then send them again.\n", "and says so in a notification")

        # Another user's copy holds the ports: the user is told once, not only on standard error.
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("0.0.0.0", 100))
        try:
            blocked = Copy(workdir, 1, environment)
            processes.append(blocked.process)
            check(select.select([watcher.stdout], [], [], 10)[0] and watcher.stdout.readline() == "notify\tQuorvane\t"
                  "Nobody on the network can reach you: UDP port 100 is in use by another program, perhaps another "
                  "user's Quorvane on this computer.\n", "a port held by another program is told in a notification")
            check(blocked.terminate(), "and the copy still ends cleanly")
        finally:
            holder.close()
    finally:
        report(processes)
        stop(processes)


def test_sni_late(workdir, wayland=False):
    """Started at login before a StatusNotifierItem panel: the program's own item goes to the
    panel once it comes, and takes the unused window with it, once."""
    import dbus

    environment, processes = start_sni_session(workdir, wayland)
    try:
        bus = dbus.bus.BusConnection(environment["DBUS_SESSION_BUS_ADDRESS"])
        copy = Copy(workdir, 1, environment)
        processes.append(copy.process)
        copy.wait_window("Quorvane")
        time.sleep(1)
        check(copy.window("Quorvane") is not None, "started before the panel, the main window stays shown")

        watcher = start_watcher(environment, processes)
        item = registered_item(bus)
        wait("the main window hidden", lambda: copy.window("Quorvane") is None)
        check(True, "once the panel comes, the unused window hides to it")
        wait("Open Quorvane", lambda: labels(layout(bus, item))[0] == "Open Quorvane")
        check(True, "the menu offers Open Quorvane")
        main, peer, name = use_item(workdir, copy, bus, item, processes)

        # The panel restarts: the item goes to the new watcher, and the window stays.
        watcher.terminate()
        watcher.wait(15)
        start_watcher(environment, processes)
        registered_item(bus)
        time.sleep(1)
        check(copy.window("Quorvane") == main, "the window is not hidden a second time")
        check(peer.terminate(), "the peer ends cleanly")
        check(copy.terminate(), "the program ends cleanly on SIGTERM")
    finally:
        report(processes)
        stop(processes)


def test_late_panel(workdir):
    """Under openbox, started at login before the panel: the window stays until an XEmbed tray
    comes, then goes there, and a second start brings it back as the active window. Two starts
    at once make one copy, and a start without a runtime directory runs as ever."""
    server, display = start_xvfb()
    daemon, address = start_bus(workdir)
    # A window manager, which decides which window is active.
    openbox = subprocess.Popen(["openbox", "--sm-disable"], env=dict(os.environ, DISPLAY=display),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    processes = [server, daemon, openbox]
    environment = {"QT_QPA_PLATFORM": "xcb", "DISPLAY": display, "DBUS_SESSION_BUS_ADDRESS": address}
    try:
        copy = Copy(workdir, 1, environment)
        processes.append(copy.process)
        copy.wait_window("Quorvane")
        time.sleep(1)
        check(copy.window("Quorvane") is not None, "without a tray the main window stays shown")

        tray = subprocess.Popen(["trayer", "--edge", "bottom", "--align", "right"], env=dict(os.environ, DISPLAY=display),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(tray)
        wait("the main window hidden", lambda: copy.window("Quorvane") is None)
        check(True, "a tray that comes later takes the unused window")

        again = subprocess.run([BINARY], capture_output=True, timeout=15,
                               env={**os.environ, "XDG_RUNTIME_DIR": os.path.join(workdir, "runtime1"), **environment})
        check(again.returncode == 0, f"a second start ends at once: {again.stderr!r}")
        copy.wait_window("Quorvane")
        check(True, "and brings the window back")
        active = subprocess.run(["xdotool", "getactivewindow", "getwindowname"], capture_output=True, text=True,
                                env=dict(os.environ, DISPLAY=display))
        check(active.stdout.strip() == "Quorvane", f"as the active window under openbox ({active.stdout.strip()!r})")
        # Minimised by the window manager, it goes to the tray and comes back from there.
        xdotool(display, "search", "--onlyvisible", "--name", "^Quorvane$", "windowminimize")
        wait("the main window hidden", lambda: copy.window("Quorvane") is None)
        subprocess.run([BINARY], timeout=15,
                       env={**os.environ, "XDG_RUNTIME_DIR": os.path.join(workdir, "runtime1"), **environment})
        copy.wait_window("Quorvane")
        check(True, "minimised, it goes to the tray, and a start brings it back")
        # Without a mouse: the window's own menu, opened with the Menu key while the peer list has
        # the focus, hides it.
        wait("the main window to take the keys", lambda: subprocess.run(
            ["xdotool", "getactivewindow", "getwindowname"], capture_output=True, text=True,
            env=dict(os.environ, DISPLAY=display)).stdout.strip() == "Quorvane")
        time.sleep(0.5)
        xdotool(display, "key", "Menu", "sleep", "0.5", "key", "h")
        wait("the main window hidden", lambda: copy.window("Quorvane") is None)
        check(True, "the Menu key, then H, hides it to the tray")
        # The tray's own menu opens with the right button, and then takes the keys. A slow build
        # may open it after the keys went out: then it is closed and opened again, more slowly.
        for pause in ("0.8", "2", "4"):
            xdotool(display, "mousemove", "1012", "756", "sleep", "0.3", "click", "3", "sleep", pause, "key",
                    "Down", "sleep", "0.3", "key", "Return")
            try:
                copy.wait_window("Quorvane", timeout=5)
                break
            except AssertionError:
                xdotool(display, "key", "Escape")
        else:
            raise AssertionError("the tray's menu never took Down and Return")
        check(True, "in the tray's menu, Down and Return choose Open Quorvane")
        check(copy.terminate(), "the program ends cleanly on SIGTERM")

        # Two starts at the same moment make one copy; the other only brings its window.
        runtime = os.path.join(workdir, "shared-runtime")
        os.mkdir(runtime, 0o700)
        env = {**os.environ, **environment, "XDG_RUNTIME_DIR": runtime}
        env.pop("QUORVANE_AUTOMATION", None)
        starts = [subprocess.Popen([BINARY], env=env, stderr=subprocess.DEVNULL) for _ in range(2)]
        processes.extend(starts)
        wait("one of two starts to end", lambda: any(start.poll() is not None for start in starts))
        time.sleep(1)
        ended = [start for start in starts if start.poll() is not None]
        check(len(ended) == 1 and ended[0].returncode == 0, "two starts at once leave one copy running")
        for start in starts:
            start.terminate()
            start.wait(15)

        # Without a runtime directory there is no hand-over, and a start runs as ever.
        env.pop("XDG_RUNTIME_DIR")
        alone = subprocess.Popen([BINARY], env=env, stderr=subprocess.PIPE, text=True)
        processes.append(alone)
        time.sleep(2)
        check(alone.poll() is None, "a start without XDG_RUNTIME_DIR runs")
        alone.terminate()
        check(alone.wait(15) == 0 and "XDG_RUNTIME_DIR is not set" in alone.stderr.read(),
              "and says on standard error that --send cannot reach it")
    finally:
        report(processes)
        stop(processes)


def xfce_settings(workdir):
    """The environment of a desktop whose settings are private to the test: a panel at the top
    edge holding only its system tray, which is a StatusNotifierItem host and an XEmbed tray at
    once. The bus needs it too, as it starts the settings daemon."""
    config = os.path.join(workdir, "config", "xfce4", "xfconf", "xfce-perchannel-xml")
    os.makedirs(config)
    shutil.copy(os.path.join(HERE, "..", "support", "xfce", "xfce4-panel.xml"), config)
    home = os.path.join(workdir, "home")
    os.makedirs(home, exist_ok=True)
    return {"HOME": home, "XDG_CONFIG_HOME": os.path.join(workdir, "config"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"), "NO_AT_BRIDGE": "1", "GSETTINGS_BACKEND": "memory"}


def start_xfce_panel(settings, environment):
    return subprocess.Popen(["xfce4-panel", "--disable-wm-check"], env=dict(os.environ, **environment, **settings),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def panel_colours(display):
    """How many colours the right end of the panel shows: one or two while its tray is empty."""
    shot = subprocess.run(["import", "-display", display, "-window", "root", "-crop", "60x30+964+0", "png:-"],
                          capture_output=True, check=True).stdout
    return int(subprocess.run(["identify", "-format", "%k", "png:-"], input=shot, capture_output=True,
                              check=True).stdout)


def xdotool(display, *arguments):
    subprocess.run(["xdotool", *arguments], env=dict(os.environ, DISPLAY=display), check=True)


def test_xfce(workdir, late=False):
    """A real panel, xfce4-panel. The program started with the panel running shows a
    StatusNotifierItem that a click activates and whose menu the keyboard walks; started before
    the panel, it goes to the panel's XEmbed tray once the panel comes."""
    server, display = start_xvfb()
    settings = xfce_settings(workdir)
    daemon, address = start_bus(workdir, desktop=settings)
    processes = [server, daemon]
    environment = {"QT_QPA_PLATFORM": "xcb", "DISPLAY": display, "DBUS_SESSION_BUS_ADDRESS": address}
    try:
        import dbus

        bus = dbus.bus.BusConnection(address)
        if late:
            copy = Copy(workdir, 1, environment)
            processes.append(copy.process)
            copy.wait_window("Quorvane")
            time.sleep(1)
            check(copy.window("Quorvane") is not None, "started before the panel, the main window stays shown")
        processes.append(start_xfce_panel(settings, environment))
        wait("the panel's tray", lambda: bus.name_has_owner("org.kde.StatusNotifierWatcher"))
        check(True, "the panel's tray is up")
        if not late:
            time.sleep(1)
            empty = panel_colours(display)
            copy = Copy(workdir, 1, environment)
            processes.append(copy.process)
            wait("the item's registration", lambda: bus.get_object(
                "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher").Get(
                "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems",
                dbus_interface="org.freedesktop.DBus.Properties"))
            check(True, "the icon registers with the panel")
            wait("the icon on the panel", lambda: panel_colours(display) > empty + 2)
            check(True, "and shows on it")
            time.sleep(0.5)
            check(copy.window("Quorvane") is None, "the main window hides at start")
            xdotool(display, "mousemove", "1009", "15", "sleep", "0.3", "click", "1")
            main = copy.wait_window("Quorvane")
            check(True, "a click on the icon shows the main window")
            peer = Copy(workdir, 2, {"QT_QPA_PLATFORM": "offscreen"})
            processes.append(peer.process)
            name = wait("the peer in the list", lambda: copy.peers(main))[0]
            # Hide Quorvane, Announce, Message, then the peer in its submenu.
            xdotool(display, "mousemove", "1009", "15", "click", "3", "sleep", "0.8", "key", "Down", "Down", "Down",
                    "sleep", "0.3", "key", "Right", "sleep", "0.5", "key", "Return")
            send = copy.wait_window("Send Message")
            check(copy.text(send, "headerLabel") == ["Send Message To " + name],
                  "Message, then the peer, chosen with the keyboard in the panel's menu, opens Send Message")
            copy.request(f"click {send} Cancel")
            # The panel draws the menu; the keyboard walks it.
            xdotool(display, "mousemove", "1009", "15", "click", "3", "sleep", "0.8", "key", "Down", "Return")
            wait("the main window hidden", lambda: copy.window("Quorvane") is None)
            check(True, "Hide Quorvane, chosen with the keyboard in the panel's menu, hides the window")
            xdotool(display, "mousemove", "1009", "15", "click", "3", "sleep", "0.8", "key", "Up", "Return")
            box = copy.wait_window("Close")
            copy.request(f"click {box} Yes")
            check(copy.process.wait(15) == 0, "Close, chosen in the panel's menu and confirmed, ends the program")
        else:
            wait("the main window hidden", lambda: copy.window("Quorvane") is None)
            check(True, "once the panel comes, the unused window goes to its tray")
            xdotool(display, "mousemove", "1009", "15", "sleep", "0.3", "click", "--repeat", "2", "--delay", "80", "1")
            copy.wait_window("Quorvane")
            check(True, "a double-click on the icon there shows it")
            check(copy.terminate(), "the program ends cleanly on SIGTERM")
    finally:
        report(processes)
        stop(processes)


def test_wayland(workdir):
    weston, environment = start_weston(workdir)
    processes = [weston]
    try:
        copy = Copy(workdir, 1, environment)
        processes.append(copy.process)
        main = copy.wait_window("Quorvane")
        time.sleep(1)
        check(copy.window("Quorvane") == main, "without a tray the main window stays shown")

        copy.request(f"key {main} Close")
        box = copy.wait_window("Close")
        copy.request(f"click {box} No")
        wait("the question to close", lambda: copy.window("Close") is None)
        check(copy.window("Quorvane") == main, "a message box asks and No keeps the program")

        peer = Copy(workdir, 2, {"QT_QPA_PLATFORM": "offscreen"})
        processes.append(peer.process)
        wait("the peer", lambda: copy.peers(main))
        copy.request(f"click {main} File")
        offer = copy.wait_window("Send File Transmission Request")
        copy.request(f"click {offer} Select File")
        dialog = copy.wait_window(cls="QFileDialog")
        chosen = os.path.join(workdir, "notes.txt")
        with open(chosen, "w") as f:
            f.write("notes\n")
        copy.request(f"set {dialog} fileNameEdit {chosen}")
        copy.request(f"click {dialog} Open")
        wait("the file dialog to close", lambda: copy.window(cls="QFileDialog") is None)
        check(any("notes.txt" in "\t".join(line.split("\t")[2:]) for line in copy.request(f"dump {offer}")),
              "a window and its file dialog work")

        # The file manager's way in: the copy opens "Send Files" on the compositor.
        handed = subprocess.run([BINARY, "--send", chosen], env=dict(os.environ, **environment),
                                capture_output=True, timeout=15)
        check(handed.returncode == 0, f"--send hands the file over: {handed.stderr!r}")
        choice = copy.wait_window("Send Files")
        check(copy.peers(choice) == copy.peers(main), "Send Files lists the main window's peers")
        check(peer.terminate(), "the peer ends cleanly")
        check(copy.terminate(), "the program ends cleanly on SIGTERM")
    finally:
        report(processes)
        stop(processes)


# The roles of the controls a screen reader speaks; the rest (panels, scroll bars, the parts of a
# combo box) only hold them.
SPOKEN_ROLES = {"push button", "text", "label", "combo box", "progress bar", "list", "list item"}


class ScreenReader:
    """What a screen reader sees of the program: its windows on the accessibility bus."""

    def __init__(self, app_name):
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi, GLib
        self.Atspi, self.GLib = Atspi, GLib
        self.app = wait("the program on the accessibility bus", lambda: self.find_app(app_name), 30)

    def find_app(self, name):
        desktop = self.Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == name:
                return app
        return None

    def windows(self):
        # The tree is cached on this side, kept up to date by events: take them in, then read
        # afresh.
        while self.GLib.MainContext.default().iteration(False):
            pass
        self.app.clear_cache()
        return [w for w in (self.app.get_child_at_index(i) for i in range(self.app.get_child_count()))
                if w is not None]

    def window(self, title, role=None):
        return wait(f"{title} on the accessibility bus", lambda: next(
            (w for w in self.windows() if w.get_name() == title and (role is None or w.get_role_name() == role)),
            None))

    def controls(self, window):
        """(role, name, focusable) of each spoken control, in the order of the tree."""
        found = []

        def walk(node):
            for i in range(node.get_child_count()):
                child = node.get_child_at_index(i)
                if child is None or not child.get_state_set().contains(self.Atspi.StateType.SHOWING):
                    continue
                role = child.get_role_name()
                if role in SPOKEN_ROLES:
                    focusable = child.get_state_set().contains(self.Atspi.StateType.FOCUSABLE)
                    found.append((role, child.get_name(), focusable))
                if role not in ("combo box", "list"):
                    walk(child)

        walk(window)
        return found


# What a screen reader must find in each window, in the order of the tree: (role, name, whether
# it takes focus). {peer} stands for the peer's name. Captions name their boxes; read-only texts
# take focus so that they can be read.
SENDING = ("push button", "Send", True)
CANCEL = ("push button", "Cancel", True)
WINDOWS = {
    "Quorvane": ("dialog", [("combo box", "Peers", True), ("push button", "Message", True),
                            ("push button", "Announce", True), ("push button", "Chat", True),
                            ("push button", "File", True)]),
    "Send Message": ("dialog", [("label", "Send Message To {peer}", False), ("label", "Enter Message:", False),
                                ("text", "Enter Message:", True), SENDING, CANCEL]),
    "Send Chat Request": ("dialog", [("label", "Send Chat Request To {peer}", False),
                                     ("label", "Enter Chat Subject:", False), ("text", "Enter Chat Subject:", True),
                                     SENDING, CANCEL]),
    "Send File Transmission Request": ("dialog", [
        ("label", "Send File Transmission Request To {peer}", False), ("label", "File Name:", False),
        ("label", "File Name:", True), ("label", "File Size  :", False), ("label", "File Size  :", True),
        ("label", "Enter File Description:", False), ("text", "Enter File Description:", True),
        SENDING, ("push button", "Select File", True), CANCEL]),
    "Receive Message": ("alert", [("label", "Received Message From {peer}", False),
                                  ("label", "Received Message:", False), ("text", "Received Message:", True),
                                  ("push button", "Reply", True), ("push button", "Close", True)]),
    "Received Chat Request": ("alert", [("label", "Received Chat Request From {peer}", False),
                                        ("label", "Chat Subject:", False), ("text", "Chat Subject:", True),
                                        ("push button", "Accept", True), ("push button", "Decline", True)]),
    "Chat": ("dialog", [("label", "Chatting With {peer}", False), ("push button", "Close", True),
                        ("text", "Transcript", True), ("text", "Message", True), SENDING]),
    "Decline Request": ("dialog", [("label", "Enter Your Reason:", False), ("text", "Enter Your Reason:", True),
                                   SENDING]),
    "File Request": ("alert", [
        ("label", "Received File Transmission Request From {peer}", False), ("label", "File Name:", False),
        ("label", "notes.txt", True), ("label", "File Size  :", False), ("label", "6 b", True),
        ("label", "Enter File Description:", False), ("text", "Enter File Description:", True),
        ("push button", "Save As", True), ("push button", "Decline", True)]),
    "File": ("dialog", [("label", "Receiving Files From {peer}", False), ("label", "File Name: ", False),
                        ("label", "notes.txt", True), ("label", "File          :", False), ("label", "6 / 6", True),
                        ("progress bar", "File progress", False), ("label", "Batch       :", False),
                        ("label", "6 / 6", True), ("progress bar", "Batch progress", False), CANCEL]),
    # The program's message boxes are captioned with the name of its file.
    "quorvane": ("alert", [("label", "Finished", True), ("push button", "OK", True)]),
}


def test_a11y(workdir):
    server, display = start_xvfb()
    services = os.path.join(workdir, "services")
    os.mkdir(services)
    with open(os.path.join(services, "org.a11y.Bus.service"), "w") as f:
        f.write("[D-BUS Service]\nName=org.a11y.Bus\nExec=/usr/libexec/at-spi-bus-launcher\n")
    # The bus starts the accessibility bus with its own environment: a home of the test's own.
    for name in ("home", "runtime-bus"):
        os.makedirs(os.path.join(workdir, name), mode=0o700)
    saved = dict(os.environ)
    os.environ.update(DISPLAY=display, HOME=os.path.join(workdir, "home"),
                      XDG_RUNTIME_DIR=os.path.join(workdir, "runtime-bus"))
    daemon, address = start_bus(workdir, services)
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = address
    environment = {"QT_QPA_PLATFORM": "xcb", "DISPLAY": display, "DBUS_SESSION_BUS_ADDRESS": address,
                   "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}
    processes = [server, daemon]
    try:
        copy = Copy(workdir, 1, environment)
        processes.append(copy.process)
        reader = ScreenReader("quorvane")
        main = copy.wait_window("Quorvane")
        peer = Copy(workdir, 2, {"QT_QPA_PLATFORM": "offscreen"})
        processes.append(peer.process)
        name = wait("the peer in the list", lambda: copy.peers(main))[0]
        peer_main = peer.wait_window("Quorvane")
        me = wait("this copy in the peer's list", lambda: peer.peers(peer_main))[0]

        def show(title):
            role, controls = WINDOWS[title]
            window = reader.window(title)
            check(window.get_role_name() == role, f"{title} is a {role} named after its title")
            expected = [(r, n.format(peer=name), f) for r, n, f in controls]
            # Texts filled in after the window appears reach the bus a moment later.
            end = time.time() + 5
            while (found := reader.controls(window)) != expected and time.time() < end:
                time.sleep(0.1)
            check(found == expected, f"{title}: every control has its role and name ({found})")

        show("Quorvane")
        # The windows the user opens.
        for button, title in (("Message", "Send Message"), ("Chat", "Send Chat Request"),
                              ("File", "Send File Transmission Request")):
            copy.request(f"click {main} {button}")
            show(title)
            copy.request(f"key {copy.wait_window(title)} Escape")

        # The windows a peer opens.
        peer.request(f"click {peer_main} Message")
        send = peer.wait_window("Send Message")
        peer.request(f"set {send} messageEdit Hello")
        peer.request(f"click {send} Send")
        show("Receive Message")
        copy.request(f"click {copy.wait_window('Receive Message')} Close")

        def request_chat():
            peer.request(f"click {peer_main} Chat")
            ask = peer.wait_window("Send Chat Request")
            peer.request(f"set {ask} subjectEdit Lunch")
            peer.request(f"click {ask} Send")
            return copy.wait_window("Received Chat Request")

        copy.request(f"click {request_chat()} Accept")
        show("Chat")
        chat = copy.wait_window("Chat")
        copy.request(f"key {chat} Close")
        copy.request(f"click {copy.wait_window('Stop')} Yes")
        wait("the chat closed", lambda: copy.window("Chat") is None)
        offer = request_chat()
        show("Received Chat Request")
        copy.request(f"click {offer} Decline")
        show("Decline Request")
        copy.request(f"key {copy.wait_window('Decline Request')} Escape")

        sent = os.path.join(workdir, "notes.txt")
        with open(sent, "w") as f:
            f.write("notes\n")
        peer.request(f"drop {peer_main} file://{sent}")
        offer = peer.wait_window("Send File Transmission Request")
        peer.request(f"click {offer} Send")
        show("File Request")
        copy.request(f"click {copy.wait_window('File Request')} Save As")
        dialog = copy.wait_window(cls="QFileDialog")
        received = os.path.join(workdir, "received")
        os.mkdir(received)
        copy.request(f"set {dialog} fileNameEdit {received}")
        copy.request(f"click {dialog} Choose")
        show("File")
        show("quorvane")
        copy.request(f"click {copy.wait_window(cls='QMessageBox')} OK")
        wait("the progress window closed", lambda: copy.window("File") is None)
        check(peer.terminate(), "the peer ends cleanly")
        check(copy.terminate(), "the program ends cleanly on SIGTERM")
    finally:
        report(processes)
        stop(processes)
        # What the session bus started on demand (the accessibility bus and its registry) ends
        # with its process group.
        try:
            os.killpg(daemon.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        os.environ.clear()
        os.environ.update(saved)


def start_openbox(workdir, display):
    """openbox, the window manager that decides which window is active, with a home of its own;
    the environment to reach the display with."""
    home = os.path.join(workdir, "home")
    os.makedirs(home)
    desktop = dict(os.environ, DISPLAY=display, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
    manager = subprocess.Popen(["openbox", "--sm-disable"], env=desktop,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return manager, desktop


def test_focus(workdir):
    server, display = start_xvfb()
    environment = {"QT_QPA_PLATFORM": "xcb", "DISPLAY": display}
    manager, desktop = start_openbox(workdir, display)
    processes = [server, manager]

    def xdotool(*arguments):
        return subprocess.run(["xdotool", *arguments], env=desktop, capture_output=True, text=True).stdout.strip()

    def active():
        return xdotool("getactivewindow", "getwindowname")

    try:
        copy = Copy(workdir, 1, environment)
        processes.append(copy.process)
        main = copy.wait_window("Quorvane")
        peer = Copy(workdir, 2, {"QT_QPA_PLATFORM": "offscreen"})
        processes.append(peer.process)
        wait("the peer in the list", lambda: copy.peers(main))
        peer_main = peer.wait_window("Quorvane")
        wait("this copy in the peer's list", lambda: peer.peers(peer_main))

        # The user asks for a chat, and writes a message while the peer decides.
        copy.request(f"click {main} Chat")
        ours = copy.wait_window("Send Chat Request")
        copy.request(f"set {ours} subjectEdit Plans")
        copy.request(f"click {ours} Send")
        offer = peer.wait_window("Received Chat Request")

        copy.request(f"click {main} Message")
        send = copy.wait_window("Send Message")
        wait("Send Message to take focus", lambda: active() == "Send Message")
        xdotool("type", "--delay", "20", "abc")
        wait("the typing", lambda: copy.text(send, "messageEdit") == ["abc"])

        # The peer accepts; a chat request, then a message, arrive while the user goes on typing
        # and presses Return.
        peer.request(f"click {offer} Accept")
        copy.wait_window("Chat")
        peer.request(f"click {peer_main} Chat")
        ask = peer.wait_window("Send Chat Request")
        peer.request(f"set {ask} subjectEdit Lunch")
        peer.request(f"click {ask} Send")
        copy.wait_window("Received Chat Request")
        peer.request(f"click {peer_main} Message")
        message = peer.wait_window("Send Message")
        peer.request(f"set {message} messageEdit Hello")
        peer.request(f"click {message} Send")
        copy.wait_window("Receive Message")
        time.sleep(0.5)
        xdotool("type", "--delay", "20", "def")
        xdotool("key", "Return")
        wait("the typing to go on", lambda: copy.text(send, "messageEdit") == ["abcdef\\n"])
        check(active() == "Send Message", "the windows a peer opened, the accepted chat among them, left the focus "
              "where the user types")
        time.sleep(0.5)
        chats = [line for line in copy.request("windows") if line.endswith("\tChat")]
        check(copy.window("Received Chat Request") and copy.window("Receive Message") and len(chats) == 1,
              "and Return accepted nothing there")

        # The peer leaves the chat: the box that says so belongs to the chat window.
        peer_chat = peer.wait_window("Chat")
        peer.request(f"key {peer_chat} Close")
        peer.request(f"click {peer.wait_window('Stop')} Yes")
        box = copy.wait_window(cls="QMessageBox")
        check((copy.text(box, "") or [""])[0].endswith(" Left The Chat"), "the peer leaves the chat, and a box says so")
        time.sleep(0.5)
        xdotool("type", "--delay", "20", "ghi")
        wait("the typing to go on", lambda: copy.text(send, "messageEdit") == ["abcdef\\nghi"])
        check(active() == "Send Message", "the box left the focus where the user types")
        check(peer.terminate(), "the peer ends cleanly")
        check(copy.terminate(), "the program ends cleanly on SIGTERM")
    finally:
        report(processes)
        stop(processes)


def test_keyboard(workdir):
    """Two copies on one screen under openbox, each its own host, used with the keyboard alone: a
    message, a chat, a file. The automation socket only reads what the windows show."""
    server, display = start_xvfb()
    environment = {"QT_QPA_PLATFORM": "xcb", "DISPLAY": display}
    manager, desktop = start_openbox(workdir, display)
    processes = [server, manager]

    def xdotool(*arguments):
        return subprocess.run(["xdotool", *arguments], env=desktop, capture_output=True, text=True).stdout.split("\n")

    def press(*keys):
        xdotool("key", "--delay", "60", *keys)
        time.sleep(0.3)

    def type_text(text):
        xdotool("type", "--delay", "30", text)

    def focused(copy, title):
        """Waits until the copy's window of that title has the keys."""
        wait(f"{title} to take the keys",
             lambda: xdotool("getactivewindow", "getwindowname", "getwindowpid")[:2] == [title, str(copy.process.pid)])
        # The window manager's focus reaches the program a moment after it says so.
        time.sleep(0.3)

    def switch_to(copy, title):
        """Holds Alt and presses Tab until the window manager gives that window the keys: once, then
        twice from there, and so on, which visits each window in the order it had."""
        if xdotool("getactivewindow", "getwindowname", "getwindowpid")[:2] == [title, str(copy.process.pid)]:
            return
        for tabs in range(1, 10):
            xdotool("keydown", "alt", *(["key", "--delay", "100", "Tab"] * tabs), "keyup", "alt")
            time.sleep(0.5)
            if xdotool("getactivewindow", "getwindowname", "getwindowpid")[:2] == [title, str(copy.process.pid)]:
                time.sleep(0.3)
                return
        raise AssertionError(f"Alt+Tab never reached {title}")

    def start_again():
        """Starts A's program once more: it brings back the main window of the copy that runs."""
        again = subprocess.run([BINARY], capture_output=True, timeout=15, env={
            **os.environ, **environment, "XDG_RUNTIME_DIR": os.path.join(workdir, "runtime1")})
        check(again.returncode == 0, f"a second start ends at once: {again.stderr!r}")

    def transcript(copy, chat):
        return (copy.text(chat, "transcriptEdit") or [""])[0]

    def file_dialog(copy):
        """The title of the copy's file dialog, once it is open."""
        copy.wait_window(cls="QFileDialog")
        return next(line.split("\t")[2] for line in copy.request("windows") if line.split("\t")[1] == "QFileDialog")

    try:
        a = Copy(workdir, 1, environment)
        processes.append(a.process)
        a_main = a.wait_window("Quorvane")
        b = Copy(workdir, 2, environment)
        processes.append(b.process)
        b_main = b.wait_window("Quorvane")
        to_b = wait("B in A's list", lambda: a.peers(a_main))[0]
        to_a = wait("A in B's list", lambda: b.peers(b_main))[0]

        # A message: the main window's mnemonic opens Send Message for the selected peer.
        start_again()
        focused(a, "Quorvane")
        press("alt+m")
        send = a.wait_window("Send Message")
        focused(a, "Send Message")
        check(a.text(send, "headerLabel") == ["Send Message To " + to_b], "Alt+M opens Send Message to the peer")
        type_text("Hello from A")
        press("alt+s")
        received = b.wait_window("Receive Message")
        wait("Send Message to close", lambda: a.window("Send Message") is None)
        switch_to(b, "Receive Message")
        check(b.text(received, "messageEdit") == ["Hello from A"], "B reads the message, reached with Alt+Tab")
        # From Reply, which has the focus, to Close.
        press("Tab", "Return")
        wait("Receive Message to close", lambda: b.window("Receive Message") is None)
        check(b.window("Send Message") is None, "Tab reaches Close, and Return presses it")

        # A chat: A asks with a subject, B accepts, a line each way, A closes.
        start_again()
        focused(a, "Quorvane")
        press("alt+c")
        focused(a, "Send Chat Request")
        type_text("Lunch")
        press("alt+s")
        offer = b.wait_window("Received Chat Request")
        switch_to(b, "Received Chat Request")
        check(b.text(offer, "subjectEdit") == ["Lunch\\n"], "B reads the subject")
        press("Return")
        b_chat = b.wait_window("Chat")
        focused(b, "Chat")
        check(True, "Return accepts, and B's chat takes the keys")
        a_chat = a.wait_window("Chat")
        type_text("Hello A")
        press("Return")
        wait("B's line at A", lambda: transcript(a, a_chat).endswith(to_b + ":Hello A\\n"))
        switch_to(a, "Chat")
        type_text("Hello B")
        press("Return")
        wait("A's line at B", lambda: transcript(b, b_chat).endswith(to_a + ":Hello B\\n"))
        check(transcript(a, a_chat).endswith("You:Hello B\\n"), "a line each way, sent with Return")
        press("alt+c")
        focused(a, "Stop")
        press("alt+y")
        wait("A's chat to end", lambda: a.text(a_chat, "headerLabel") == ["Chat Ended"])
        left = b.wait_window(cls="QMessageBox")
        check((b.text(left, "") or [""])[0] == to_a + " Left The Chat", "B is told that A left")
        focused(a, "Chat")
        press("Escape")
        wait("A's chat to close", lambda: a.window("Chat") is None)
        switch_to(b, "quorvane")
        press("Return")
        wait("B's chat to end", lambda: b.text(b_chat, "headerLabel") == ["Chat Ended"])
        switch_to(b, "Chat")
        press("Escape")
        wait("B's chat to close", lambda: b.window("Chat") is None)
        check(True, "each side closes its ended chat with Escape")

        # A file: chosen in the file dialog by typing its path, saved by B into a directory typed
        # likewise.
        sent = os.path.join(workdir, "notes.txt")
        with open(sent, "wb") as f:
            f.write(os.urandom(100000))
        start_again()
        focused(a, "Quorvane")
        press("alt+f")
        request = a.wait_window("Send File Transmission Request")
        focused(a, "Send File Transmission Request")
        press("alt+l")
        focused(a, file_dialog(a))
        type_text(sent)
        press("Return")
        wait("the file dialog to close", lambda: a.window(cls="QFileDialog") is None)
        focused(a, "Send File Transmission Request")
        check(a.text(request, "fileNameLabel") == ["notes.txt"], "the file is chosen")
        press("alt+e")
        type_text("Notes")
        press("alt+s")
        offer = b.wait_window("File Request")
        switch_to(b, "File Request")
        folder = os.path.join(workdir, "received")
        os.mkdir(folder)
        press("alt+s")
        focused(b, file_dialog(b))
        type_text(folder)
        press("Return")
        arrived = os.path.join(folder, "notes.txt")
        wait("the file to arrive", lambda: os.path.exists(arrived) and os.path.getsize(arrived) == 100000, 30)
        with open(sent, "rb") as original, open(arrived, "rb") as copied:
            check(original.read() == copied.read(), "B saves the file, every byte, into the directory typed")
        for copy in (a, b):
            box = copy.wait_window(cls="QMessageBox")
            check(copy.text(box, "") == ["Finished"], "and each side is told it finished")
        # Neither box took the keys; Alt+Tab reaches each.
        for copy in (a, b):
            switch_to(copy, "quorvane")
            press("Return")
        wait("the boxes and progress windows to close", lambda: not a.window("File") and not b.window("File"))
        check(True, "the boxes, reached with Alt+Tab, are dismissed with Return")
        check(b.terminate(), "B ends cleanly")
        check(a.terminate(), "A ends cleanly")
    finally:
        report(processes)
        stop(processes)


def report(processes):
    for process in processes:
        if process.poll() not in (None, 0):
            print(f"{process.args[0]} ended with {process.returncode}", file=sys.stderr)
            if hasattr(process, "log"):
                process.log.seek(0)
                print(process.log.read()[-4000:].decode(errors="replace"), file=sys.stderr)


def stop(processes):
    for process in reversed(processes):
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else ""
    tests = {"sni": test_sni, "wayland": test_wayland, "sni-wayland": lambda workdir: test_sni(workdir, True),
             "sni-late": test_sni_late, "sni-late-wayland": lambda workdir: test_sni_late(workdir, True),
             "late-panel": test_late_panel, "xfce": test_xfce, "xfce-late": lambda workdir: test_xfce(workdir, True),
             "a11y": test_a11y, "focus": test_focus, "keyboard": test_keyboard}
    if mode not in tests:
        print(__doc__, file=sys.stderr)
        return 2
    workdir = tempfile.mkdtemp(prefix="quorvane-desktop-")
    try:
        tests[mode](workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
