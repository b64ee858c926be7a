#!/usr/bin/env python3
"""The Windows build proven under Wine, one line per proof, each beside the Linux build.

  proofs.py --stage DIR --build-dir DIR --linux-build-dir DIR --qt-prefix DIR
            [--shot FILE] [--window-runs N]
            [--only tests,cli,network,vcard,installer,window,com11[,com11window]]

The proofs, in a Wine prefix of the run's own: the Windows test program's suites through CTest;
stravik-cli.exe from the staged tree against the Linux virtual card on COM1, every command's
frames, output and exit code the Linux stravik-cli's, and COM3 missing; the same through
ser2net on 127.0.0.1 (tcp://, rfc2217://); virtual-card.exe --listen from the staged tree
answering stravik-cli.exe over tcp:// as the Linux virtual card answers the Linux stravik-cli;
the installer's setup.exe /S (with the virtual card's Start-menu entry) and uninstall.exe /S,
the zip as staged and, in a signed build, every signature verified;
stravik.exe under Xvfb: its window the Linux one's size, drawn (not black, not blank), every
caption drawn, a click on 重启(原地址)控制卡 answered by the card and shown, 退出 closing it;
COM11, a port past the list's eight that Wine maps through HKLM\Software\Wine\Ports, listed by
stravik-cli.exe ports with COM1 to COM8 missing, reaching the card by --port COM11, and offered by
the window's list after COM8, where choosing it and restarting reads the card back.
--window-runs N runs the window proof N times in a row; --only names the proofs to run. Needs root (mount namespaces).
Exits non-zero on the first proof that fails, naming it; what the run left is kept then.
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

DEADLINE = 60  # seconds any one wait of a Wine program may take

# The window's title and its controls, in twips as window/form1.cpp places them (15 twips make
# one pixel): the captions that must be drawn, the buttons clicked, the lists the reply selects.
WINDOW_TITLE = "StravikV3.3"
CAPTIONS = {
    "串口": (720, 165, 615, 255),
    "原地址": (480, 555, 630, 210),
    "新地址": (480, 915, 630, 210),
    "行数": (720, 1260, 615, 375),
    "每行汉字数": (120, 1665, 1050, 210),
    "数据正反向": (120, 2010, 1050, 210),
    "OE正反向": (240, 2355, 840, 210),
    "扫描方式": (240, 2715, 840, 210),
    "注1": (2640, 480, 3630, 180),
    "设置（原地址）初始显示信息": (3240, 2520, 3135, 375),
    "修改设置": (240, 3000, 1335, 375),
    "重启(原地址)控制卡": (1800, 3000, 2295, 375),
    "发送（原地址）显示信息": (360, 4515, 3015, 375),
    "退出": (4000, 4515, 1935, 375),
    "注2": (240, 4965, 4335, 180),
}
RESTART_BUTTON = CAPTIONS["重启(原地址)控制卡"]
EXIT_BUTTON = CAPTIONS["退出"]
# 原地址 and 新地址 below it: the same kind of list, so the same picture when they show the same.
ORIGINAL_ADDRESS_LIST = (1200, 480, 1335, 300)
NEW_ADDRESS_LIST = (1200, 840, 1335, 300)
PORT_LIST = (1200, 120, 1335, 300)
WINE_PORTS = r"HKLM\Software\Wine\Ports"

# A display text for address 255, where no card is: written to a card's line after each command
# so that the card's line for it marks where that command's frames end.
SENTINEL = bytes.fromhex("BFC3445A1A")
SENTINEL_LINE = "BF C3 44 5A 1A  "
PORT_MISSING = "串口被占用或此串口不存在！请更改串口！"

# The one route of the serial ports (scripts/route-ports): a private mount namespace in which
# COM1 (/dev/ttyS0) is the card's pseudo-terminal and every other serial device /dev/null.
ROUTE_PORTS = Path(__file__).resolve().parents[2] / "scripts" / "route-ports"

# Wine maps COMn to /dev/ttyS(n-1) and its wineserver opens the devices as it starts, so it must
# start inside the namespace; it is waited for before the namespace ends.
WAIT_FOR_WINESERVER = '"$@"; status=$?; wineserver -w; exit $status'


class Fail(Exception):
    pass


def say(text):
    print(f"proofs: {text}", file=sys.stderr, flush=True)


def ok(text):
    say(f"ok: {text}")


def end_wineserver():
    """Ends the prefix's wineserver and waits until it is gone: -k alone returns while the
    server is still on its way out (seconds, at times), and a program started meanwhile
    connects to the dying server and may never map its window."""
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL, check=False)
    try:
        subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL, check=False,
                       timeout=DEADLINE)
    except subprocess.TimeoutExpired:
        raise Fail(f"the prefix's wineserver still ran {DEADLINE}s after it was told to end")


def hidden_ports(slave, argv):
    """The command line that runs argv in a private mount namespace where COM1 (/dev/ttyS0) is
    slave, a pseudo-terminal or /dev/null, and every other port is /dev/null. A wineserver of
    the prefix that runs outside is ended first, so that the namespace's own opens the ports."""
    end_wineserver()
    route = [] if slave == "/dev/null" else [f"{slave}:ttyS0"]
    return [str(ROUTE_PORTS), *route, "--", "sh", "-c", WAIT_FOR_WINESERVER, "sh", *argv]


def own_ports(routes, argv):
    """The command line that runs argv in a private mount namespace whose /dev holds no serial
    port but the routes given ("SLAVE:ttyS0"), so that Wine finds no port of its own accord."""
    end_wineserver()
    return [str(ROUTE_PORTS), *routes, "--own-dev", "--", "sh", "-c", WAIT_FOR_WINESERVER, "sh",
            *argv]


def wait_for(seconds, what, condition):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() >= deadline:
            raise Fail(f"gave up waiting {seconds}s for {what}")
        time.sleep(0.02)


def seconds(us):
    return f"{us / 1e6:.2f}"


class Proofs:
    def __init__(self, args, work):
        self.a = args
        self.work = work
        self.procs = []
        self.win_net = {}
        self.lin_net = {}
        self.ser2net = None
        self.cases = 0

    # --- processes and cards -------------------------------------------------------------

    def start(self, argv, out, err=subprocess.STDOUT, **kw):
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, **kw)
        self.procs.append(p)
        return p

    def stop_all(self):
        end_wineserver()
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
        for p in self.procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()

    def make_wine_prefix(self):
        os.environ.update(WINEPREFIX=str(self.work / "wine"), WINEDEBUG="-all",
                          WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
        for name in ("WINEPATH", "QT_PLUGIN_PATH"):
            os.environ.pop(name, None)
        self.prefix = self.work / "wine"
        self.prefix.mkdir()
        subprocess.run(hidden_ports("/dev/null", ["wineboot", "-i"]), capture_output=True)
        if not (self.prefix / "system.reg").is_file():
            raise Fail(f"wineboot made no {self.prefix}/system.reg")
        # With a display, a program that crashes waits for Wine's crash dialog to be closed,
        # frozen before its window maps or before it ends; without the dialog it ends at once,
        # its log naming the fault.
        subprocess.run(hidden_ports("/dev/null", [
            "wine", "reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
            "/t", "REG_DWORD", "/d", "0", "/f"]), capture_output=True, check=True)

    def start_card(self, name, *args):
        """A virtual card of the Linux build printing to work/NAME.out; its pseudo-terminal."""
        out = self.work / f"{name}.out"
        with open(out, "w") as o, open(self.work / f"{name}.err", "w") as e:
            self.start([f"{self.a.linux_build_dir}/virtualcard/virtual-card", "--headless", *args], o, e)
        wait_for(10, f"the virtual card {name}", lambda: out.read_text().startswith("slave: "))
        slave = out.read_text().splitlines()[0].removeprefix("slave: ")
        if not Path(slave).is_char_device():
            raise Fail(f"the virtual card {name} names no device: {slave}")
        return slave

    def card_text(self, name):
        return (self.work / f"{name}.out").read_text(errors="replace")

    def sentinels(self, name):
        return sum(line.startswith(SENTINEL_LINE) for line in self.card_text(name).splitlines())

    def card_lines_since(self, name, slave):
        """Writes the sentinel to the card's line, waits for the card to print it, and returns
        what the card printed between the last sentinel and this one."""
        count = self.sentinels(name) + 1
        if self.ser2net:
            # A device server empties the line's queues as it lets go of it after its client
            # has gone, which would take a sentinel written before with them.
            wait_for(10, f"ser2net to let go of {slave}", lambda: released(self.ser2net.pid, slave))
        fd = os.open(slave, os.O_WRONLY | os.O_NOCTTY)
        try:
            if os.write(fd, SENTINEL) != len(SENTINEL):
                raise Fail(f"short write to {slave}")
        finally:
            os.close(fd)
        wait_for(10, f"the card {name} to read the frames", lambda: self.sentinels(name) >= count)
        seen, lines = 0, []
        for line in self.card_text(name).splitlines()[1:]:
            if line.startswith(SENTINEL_LINE):
                seen += 1
            elif seen == count - 1:
                lines.append(line)
        return lines

    # --- the test program ----------------------------------------------------------------

    def check_tests(self):
        say("step: the Windows test program under Wine")
        dirs = [f"{self.a.qt_prefix}/bin", *mingw_runtime_dirs()]
        env = dict(os.environ, WINEPATH=";".join(winepath(d) for d in dirs),
                   QT_PLUGIN_PATH=winepath(f"{self.a.qt_prefix}/plugins"))
        r = subprocess.run(hidden_ports("/dev/null", ["ctest", "--test-dir", self.a.build_dir,
                                                      "--output-on-failure", "--no-tests=error"]),
                           env=env, capture_output=True, text=True)
        (self.work / "ctest.log").write_text(r.stdout + r.stderr)
        if r.returncode != 0:
            print(r.stdout + r.stderr, file=sys.stderr)
            raise Fail("the Windows test program under Wine (above)")
        summary = re.search(r"\d+% tests passed.*", r.stdout)
        suites = re.findall(r"Test *#\d+: (\w+) .*Passed", r.stdout)
        ok(f"Windows test program under Wine: {summary and summary.group(0)}, "
           f"suites {' '.join(suites)}")

    # --- stravik-cli.exe beside the Linux stravik-cli ------------------------------------

    def run_cli(self, where, slave, name, args):
        """stravik-cli (where: windows or linux) with COM1 on slave; its output with line ends
        as on Linux goes to work/NAME.WHERE.out and .err; returns its exit code."""
        program = [f"{self.a.linux_build_dir}/cli/stravik-cli"]
        if where == "windows":
            program = ["wine", f"{self.a.stage}/stravik-cli.exe"]
        r = subprocess.run(hidden_ports(slave, [*program, *args]), stdin=subprocess.DEVNULL,
                           capture_output=True)
        for kind, data in (("out", r.stdout), ("err", r.stderr)):
            text = data.decode("utf-8", errors="replace").replace("\r", "")
            (self.work / f"{name}.{where}.{kind}").write_text(text)
        return r.returncode

    def cli_case(self, expected, *args, note=""):
        """stravik-cli.exe ARGS on the Windows card and the Linux stravik-cli ARGS on the Linux
        card: both exit with EXPECTED, the cards get the same frames byte for byte and do the
        same, and both print the same (but for "ports", whose devices are each system's)."""
        self.cases += 1
        name = f"cli{self.cases}"

        def with_servers(net):
            return [a.replace("{tcp}", net.get("tcp", "")).replace("{rfc2217}",
                                                                   net.get("rfc2217", ""))
                    for a in args]

        shown = "stravik-cli.exe " + " ".join(with_servers(self.win_net)).replace("\n", "\\n")
        win_status = self.run_cli("windows", self.win_slave, name, with_servers(self.win_net))
        win_card = self.card_lines_since("win", self.win_slave)
        lin_status = self.run_cli("linux", self.lin_slave, name, with_servers(self.lin_net))
        lin_card = self.card_lines_since("lin", self.lin_slave)

        def said(where, kind):
            return (self.work / f"{name}.{where}.{kind}").read_text()

        first = {w: (said(w, "err").splitlines() or [""])[0] for w in ("windows", "linux")}
        if win_status != expected:
            told = " ".join(said("windows", "err").splitlines()[:2]) or "it said nothing"
            raise Fail(f"{shown}: exit {win_status}, not {expected} ({told})")
        if lin_status != expected:
            raise Fail(f"{shown}: the Linux stravik-cli exits {lin_status}, not {expected}")
        if win_card != lin_card:
            raise Fail(f"{shown}: the card got other frames than from the Linux stravik-cli:\n"
                       f"    Linux:   {lin_card}\n    Windows: {win_card}")
        if args[0] != "ports":
            if said("windows", "out") != said("linux", "out"):
                raise Fail(f"{shown}: printed {said('windows', 'out')!r}, "
                           f"on Linux {said('linux', 'out')!r}")
            if first["windows"] != first["linux"]:
                raise Fail(f"{shown}: says {first['windows']}, on Linux {first['linux']}")
        frames = " | ".join(m.group(1) for m in map(FRAME.match, win_card) if m)
        ok(f"{shown}: exit {win_status} as on Linux, {frames or 'no frame'} as on Linux"
           + (f", {note}" if note else ""))
        return name

    def start_cards(self):
        """The Windows side's card and the Linux side's, once."""
        if not hasattr(self, "win_slave"):
            self.win_slave = self.start_card("win")
            self.lin_slave = self.start_card("lin")

    def check_cli(self):
        say("step: stravik-cli.exe against the virtual card on COM1")
        self.start_cards()
        name = self.cli_case(0, "ports")
        listed = (self.work / f"{name}.windows.out").read_text().splitlines()
        if not {"COM1", "COM8"} <= {line.split("：")[0] for line in listed}:
            raise Fail(f"stravik-cli.exe ports lists no COM1 to COM8: {listed}")
        self.cli_case(0, "restart", "1")
        self.cli_case(0, "set", "1", "--rows", "2", "--chars", "8", "--data", "reverse",
                      "--oe", "forward", "--scan", "full")
        self.cli_case(0, "set", "1", "--new-address", "3", "--rows", "3", "--chars", "10",
                      "--data", "forward", "--oe", "reverse", "--scan", "half", "--verify")
        self.cli_case(0, "initial-text", "3", "欢迎光临")
        self.cli_case(0, "text", "3", "测试通信协议！\nA€丂😀")
        self.cli_case(0, "set", "0", "--chars", "6", "--yes")
        self.cli_case(0, "restart", "0", "--json")
        self.cli_case(3, "restart", "9")
        self.cli_case(5, "set", "3", "--rows", "300")
        # COM3: nothing is behind it here (no /dev/ttyS2, or /dev/null), so it cannot open.
        com3 = self.prefix / "dosdevices/com3"
        note = f"COM3 is {os.readlink(com3)}, /dev/null here" if com3.is_symlink() else \
            "COM3 has no device"
        name = self.cli_case(2, "restart", "3", "--port", "COM3", note=note)
        told = ((self.work / f"{name}.windows.err").read_text().splitlines() or [""])[0]
        if told != PORT_MISSING:
            raise Fail(f"stravik-cli.exe --port COM3 says {told}")
        ok(f"stravik-cli.exe --port COM3 says {PORT_MISSING}")

    def check_network(self):
        """stravik-cli.exe through Debian's ser2net (raw TCP and RFC 2217 on 127.0.0.1) in front
        of its card, beside the Linux stravik-cli through one in front of its own."""
        say("step: stravik-cli.exe through a device server, tcp:// and rfc2217://")
        self.start_cards()
        config, ports = [], []
        for side, slave, net in (("win", self.win_slave, self.win_net),
                                 ("lin", self.lin_slave, self.lin_net)):
            for kind, accepter in (("tcp", "tcp"), ("rfc2217", "telnet(rfc2217),tcp")):
                port = free_port()
                ports.append(port)
                config.append(f"connection: &{side}{kind}\n"
                              f"  accepter: {accepter},127.0.0.1,{port}\n"
                              f"  connector: serialdev,{slave},9600n81,local\n")
                net[kind] = f"{kind}://127.0.0.1:{port}"
        (self.work / "ser2net.yaml").write_text("".join(config))
        # In the foreground, without UUCP lock files.
        with open(self.work / "ser2net.log", "w") as log:
            self.ser2net = self.start(["/usr/sbin/ser2net", "-n", "-u", "-P",
                                       str(self.work / "ser2net.pid"), "-c",
                                       str(self.work / "ser2net.yaml")], log)
        wait_for(10, "ser2net to listen", lambda: set(ports) <= listening_ports())
        # Commands whose last frame is answered: ser2net empties the line as it lets go of it
        # once the client has gone, so a frame written just before that can be lost.
        self.cli_case(0, "restart", "3", "--port", "{tcp}")
        self.cli_case(0, "set", "3", "--rows", "4", "--verify", "--port", "{tcp}")
        self.cli_case(0, "set", "3", "--chars", "7", "--verify", "--port", "{rfc2217}")
        self.cli_case(0, "restart", "3", "--port", "{rfc2217}")

    # --- virtual-card.exe, the card a Windows user tries the tool on ----------------------

    def start_listening_card(self, name, argv):
        """A card that serves its line on 127.0.0.1 at a free port, printing to work/NAME.out;
        its process and its tcp:// address."""
        out = self.work / f"{name}.out"
        with open(out, "w") as o, open(self.work / f"{name}.err", "w") as e:
            card = self.start([*argv, "--headless", "--listen", "127.0.0.1:0"], o, e)

        def listening():
            if card.poll() is not None:
                raise Fail(f"the card {name} ended ({card.returncode}) before it listened "
                           f"(see {self.work}/{name}.err)")
            return self.card_text(name).startswith("listen: ")

        wait_for(DEADLINE, f"the card {name} to listen", listening)
        address = self.card_text(name).splitlines()[0].removeprefix("listen: ").strip()
        if not re.fullmatch(r"tcp://127\.0\.0\.1:[1-9][0-9]*", address):
            raise Fail(f"the card {name} listens at {address!r}")
        return card, address

    def check_vcard(self):
        """virtual-card.exe --listen under Wine, with stravik-cli.exe as its client; beside it
        the Linux virtual card with the Linux stravik-cli. The Wine programs share one mount
        namespace (COM ports /dev/null) and so one wineserver: the card's."""
        say("step: virtual-card.exe --listen with stravik-cli.exe over tcp://")
        card_exe = f"{self.a.stage}/virtual-card.exe"
        told = subprocess.run(hidden_ports("/dev/null", ["wine", card_exe, "--help"]),
                              capture_output=True, timeout=DEADLINE)
        usage = told.stdout.decode("utf-8", errors="replace")
        if told.returncode or "--listen" not in usage or re.search("--device|pseudo-terminal",
                                                                   usage):
            raise Fail(f"virtual-card.exe --help exits {told.returncode} and offers more or less "
                       f"than --listen: {usage[:300]!r}")
        win_card, win_address = self.start_listening_card(
            "vcardwin", [*hidden_ports("/dev/null", ["wine", card_exe])])
        _, lin_address = self.start_listening_card(
            "vcardlin", [f"{self.a.linux_build_dir}/virtualcard/virtual-card"])
        inside = ["nsenter", "-t", str(win_card.pid), "-m", "--"]
        # Each command with the card's line that shows it was done.
        commands = ((["restart", "1"], "card 1 answers: "),
                    (["text", "1", "你好"], 'card 1: rows 1 chars 4 flags 0x00 scan 0 initial "" '
                                          'text "你好" shows text'))
        for args, done in commands:
            said = {}
            for side, program, address in (
                    ("vcardwin", [*inside, "wine", f"{self.a.stage}/stravik-cli.exe"],
                     win_address),
                    ("vcardlin", [f"{self.a.linux_build_dir}/cli/stravik-cli"], lin_address)):
                r = subprocess.run([*program, "--port", address, *args], capture_output=True,
                                   stdin=subprocess.DEVNULL, timeout=DEADLINE)
                said[side] = (r.returncode,
                              r.stdout.decode("utf-8", errors="replace").replace("\r", ""))
                wait_for(DEADLINE, f"the card {side} to show {done!r}",
                         lambda: any(line.startswith(done) for line in
                                     self.card_text(side).replace("\r", "").splitlines()))
            shown = f"stravik-cli.exe --port {win_address} {' '.join(args)}"
            if said["vcardwin"] != said["vcardlin"] or said["vcardwin"][0]:
                raise Fail(f"{shown}: exit and output {said['vcardwin']}, the Linux stravik-cli "
                           f"on the Linux card {said['vcardlin']}")
            heard = {side: self.card_text(side).replace("\r", "").splitlines()[1:]
                     for side in said}
            if heard["vcardwin"] != heard["vcardlin"]:
                raise Fail(f"{shown}: virtual-card.exe printed {heard['vcardwin']}, the Linux "
                           f"card {heard['vcardlin']}")
            ok(f"{shown}: exit 0, {said['vcardwin'][1].strip() or 'nothing printed'}; the card "
               f"printed {heard['vcardwin'][-1]!r}, all as on Linux")
        end_wineserver()
        win_card.wait(timeout=DEADLINE)

    # --- the installer -------------------------------------------------------------------

    def prefix_files(self):
        """Drive C's files and directories but Windows's own and the temporary ones."""
        root = self.prefix / "drive_c"
        found = []
        for top, dirs, files in os.walk(root):
            rel = Path(top).relative_to(root)
            dirs[:] = [d for d in dirs if not (rel == Path(".") and d == "windows") and d != "Temp"]
            found += [str(rel / n) for n in dirs + files]
        return sorted(found)

    def check_installer(self):
        say("step: the installer, silent")
        setup = Path(self.a.build_dir) / f"stravik-{self.a.version}-setup.exe"
        home = self.prefix / "drive_c/Program Files/Stravik"
        menu = self.prefix / "drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
        link = menu / "Stravik.lnk"
        card_link = menu / f"{cpack_value(self.a.build_dir, 'CPACK_NSIS_STRAVIK_CARD_LINK')}.lnk"
        card_args = cpack_value(self.a.build_dir, "CPACK_NSIS_STRAVIK_CARD_ARGUMENTS")
        key = "[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Stravik]"
        before = self.prefix_files()

        def registered():
            return key in (self.prefix / "system.reg").read_text(errors="replace")

        status = subprocess.run(hidden_ports("/dev/null", ["wine", str(setup), "/S"])).returncode
        if status:
            raise Fail(f"{setup} /S exits {status}")
        missing = [f for f in ("stravik.exe", "stravik-cli.exe", "virtual-card.exe",
                               "uninstall.exe")
                   if not (home / f).is_file()]
        if missing:
            raise Fail(f"setup /S installed no {' '.join(missing)} in C:\\Program Files\\Stravik")
        stage = Path(self.a.stage)
        staged = sorted(p.relative_to(stage) for p in stage.rglob("*") if p.is_file())
        for f in staged:
            if not (home / f).is_file() or (home / f).read_bytes() != (stage / f).read_bytes():
                raise Fail(f"setup /S did not install {f} as staged")
        if not link.is_file():
            raise Fail("setup /S made no Start-menu entry (Stravik.lnk)")
        # A shortcut holds its target and its arguments as UTF-16 strings.
        wanted = ("virtual-card.exe".encode("utf-16-le"), card_args.encode("utf-16-le"))
        if not card_link.is_file() or not all(w in card_link.read_bytes() for w in wanted):
            raise Fail(f"setup /S made no Start-menu entry {card_link.name} starting "
                       f"virtual-card.exe {card_args}")
        if not registered():
            raise Fail("setup /S made no Add/Remove Programs entry")
        ok(f"{setup.name} /S: {len(staged)} files in C:\\Program Files\\Stravik as staged, "
           f"uninstall.exe, the Start-menu entries (Stravik, {card_link.stem}: virtual-card.exe "
           f"{card_args}), the Add/Remove Programs entry")
        self.check_zip_and_signatures(setup, home / "uninstall.exe")

        status = subprocess.run(hidden_ports("/dev/null", ["wine", str(home / "uninstall.exe"),
                                                           "/S"])).returncode
        if status:
            raise Fail(f"uninstall.exe /S exits {status}")
        # The uninstaller runs a copy of itself from the temporary directory, which goes on
        # after the first one has ended.
        wait_for(DEADLINE, "uninstall.exe to remove C:\\Program Files\\Stravik",
                 lambda: not home.exists())
        if link.exists() or card_link.exists():
            raise Fail("uninstall.exe /S left a Start-menu entry")
        if registered():
            raise Fail("uninstall.exe /S left the Add/Remove Programs entry")
        after = self.prefix_files()
        if after != before:
            raise Fail("uninstall.exe /S left files behind or took others: "
                       f"{sorted(set(after) ^ set(before))}")
        ok("uninstall.exe /S: the directory, the entries and every file gone, drive C as before")

    def check_zip_and_signatures(self, setup, uninstaller):
        """The zip holds the staged files byte for byte; in a signed build the signatures of its
        programs and DLLs, of the installer and of the uninstaller as installed verify."""
        stage, top = Path(self.a.stage), f"stravik-{self.a.version}"
        staged = {f"{top}/{p.relative_to(stage)}": p.read_bytes()
                  for p in stage.rglob("*") if p.is_file()}
        with zipfile.ZipFile(Path(self.a.build_dir) / f"{top}-windows-x64.zip") as z:
            zipped = {n: z.read(n) for n in z.namelist() if not n.endswith("/")}
            z.extractall(self.work / "zip")
        differ = sorted(n for n in {**zipped, **staged} if zipped.get(n) != staged.get(n))
        if differ:
            raise Fail(f"the zip does not hold the staged files as staged: {differ}")
        said = f"the zip holds the {len(zipped)} staged files byte for byte"
        cache = (Path(self.a.build_dir) / "CMakeCache.txt").read_text()
        key = dict(re.findall(r"^STRAVIK_SIGN_(PKCS1[12]):\w+=(.+)$", cache, re.M))
        if not key:
            return ok(f"{said}; the build is unsigned")
        # The certificates to verify against: the PKCS#12 file's or the token's, and the
        # system's authorities.
        trust = self.work / "trust.pem"
        cert = Path(os.environ.get("STRAVIK_SIGN_PKCS11_CERT", "/nonexistent"))
        trust.write_bytes(cert.read_bytes() if cert.is_file() else b"")
        if "PKCS12" in key:
            subprocess.run(["openssl", "pkcs12", "-in", key["PKCS12"], "-nokeys", "-passin",
                            "env:STRAVIK_SIGN_PASSWORD", "-out", str(trust)], check=True,
                           capture_output=True, env={"STRAVIK_SIGN_PASSWORD": "", **os.environ})
        authorities = Path("/etc/ssl/certs/ca-certificates.crt").read_bytes()
        trust.write_bytes(trust.read_bytes() + authorities)
        binaries = sorted(p for p in (self.work / "zip").rglob("*") if p.suffix in (".exe", ".dll"))
        for binary in [*binaries, setup, uninstaller]:
            r = subprocess.run(["osslsigncode", "verify", "-CAfile", str(trust), str(binary)],
                               capture_output=True, text=True)
            if r.returncode or "Signature verification: ok" not in r.stdout:
                raise Fail(f"the signature of {binary} does not verify: "
                           f"{' '.join((r.stdout + r.stderr).split())[-100:]}")
        ok(f"{said}; the signatures of its {len(binaries)} programs and DLLs, {setup.name} and "
           "uninstall.exe as installed verify")

    # --- the window ----------------------------------------------------------------------

    def start_display(self):
        """An X server of the run's own, 96 dots per inch, no window manager, on a display
        number well above those that other programs of this machine take first."""
        first = 200 + os.getpid() % 500
        for number in range(first, first + 20):
            with open(self.work / "xvfb.log", "w") as log:
                xvfb = self.start(["Xvfb", f":{number}", "-screen", "0", "1024x768x24",
                                   "-dpi", "96", "-nolisten", "tcp"], log)
            socket_file = Path(f"/tmp/.X11-unix/X{number}")
            wait_for(10, "Xvfb", lambda: xvfb.poll() is not None or socket_file.exists())
            if xvfb.poll() is None:
                self.xvfb = xvfb
                break
        else:
            raise Fail(f"Xvfb found no free display from :{first} (see {self.work}/xvfb.log)")
        xdg = self.work / "xdg"
        xdg.mkdir(mode=0o700, exist_ok=True)
        os.environ.update(DISPLAY=f":{number}", XDG_RUNTIME_DIR=str(xdg))
        for name in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            os.environ.pop(name, None)

    def display_alive(self):
        if self.xvfb.poll() is not None:
            raise Fail(f"Xvfb ended ({self.xvfb.returncode}) while the proof ran")

    def open_window(self, what, slave, argv):
        """Starts argv in a namespace with COM1 on slave and waits for its window to be mapped;
        returns the process and the window's place (width, height, x, y)."""
        return self.open_window_with(what, hidden_ports(slave, argv))

    def open_window_with(self, what, command):
        """Starts command and waits for its window to be mapped; returns the process and the
        window's place (width, height, x, y)."""
        # Wine's errors are kept in the log (the other proofs compare what the programs print).
        with open(self.work / "app.log", "a") as log:
            app = self.start(command, log, env=dict(os.environ, WINEDEBUG="fixme-all"))
        place = []

        def up():
            self.display_alive()
            if app.poll() is not None:
                raise Fail(f"{what} ended before its window was mapped: {self.last_words()}")
            place[:] = window_place()
            return bool(place)

        try:
            wait_for(DEADLINE, f"the window of {what}", up)
        except Fail:
            app.kill()
            # What the X server held then, for a look afterwards.
            with open(self.work / "display.txt", "w") as out:
                for probe in (["xwininfo", "-root", "-tree"], ["xlsclients", "-l"],
                              ["ls", "-la", "/tmp/.X11-unix"],
                              ["ps", "-eo", "pid,ppid,stat,etime,time,wchan:24,args"]):
                    subprocess.run(probe, stdout=out, stderr=subprocess.STDOUT)
            raise
        return app, tuple(place)

    def close_window(self, what, app, place):
        click(place, EXIT_BUTTON)
        wait_for(DEADLINE, f"{what} to end after 退出", lambda: app.poll() is not None)
        if app.returncode:
            raise Fail(f"{what} exits {app.returncode} after 退出: {self.last_words()}")

    def last_words(self):
        lines = (self.work / "app.log").read_text(errors="replace").strip().splitlines()
        return f"{lines[-1] if lines else 'nothing said'} (see {self.work}/app.log)"

    def check_window(self, run):
        say("step: the window, stravik.exe under Xvfb")
        lin_slave = self.start_card(f"linwindow{run}")
        app, place = self.open_window("the Linux stravik", lin_slave,
                                      [f"{self.a.linux_build_dir}/app/stravik"])
        self.close_window("the Linux stravik", app, place)
        linux_size = place[:2]

        card = f"window{run}"
        slave = self.start_card(card, "--cards", "1")
        started = time.monotonic()
        app, place = self.open_window("stravik.exe", slave, ["wine", f"{self.a.stage}/stravik.exe"])
        if place[:2] != linux_size:
            raise Fail(f"stravik.exe's window is {place[:2]}, the Linux stravik's {linux_size}")
        ok(f'stravik.exe maps "{WINDOW_TITLE}", client area {place[0]}x{place[1]} as the Linux '
           f"stravik's, after {time.monotonic() - started:.2f} s")

        # Wine maps a window black and Qt paints it afterwards: two shots taken before the first
        # paint are the same black picture. A window counts as drawn when less than a tenth of
        # it is near black (a drawn one has about 2 %) and two shots in a row are the same.
        shots = []

        def settled():
            shot = shoot(place)
            if black_share(shot) >= 0.1:
                shots.clear()
                return False
            shots.append(shot)
            return len(shots) >= 2 and shots[-1] == shots[-2]

        wait_for(DEADLINE, "the window to be drawn (less than a tenth near black, stable)",
                 settled)
        before = shots[-1]
        # A caption counts only as ink on a light face, inside a button's frame or the label's
        # place: a place painted black has no face, one left blank no ink.
        blank = [name for name, where in CAPTIONS.items()
                 if not (10 <= (counts := ink_and_face(before, where, 3))[0] < counts[1])]
        save_png(before, self.a.shot)
        if blank:
            raise Fail(f"no caption drawn for: {' '.join(blank)} (see {self.a.shot})")
        ok(f"every one of the {len(CAPTIONS)} captions drawn; the shot is {self.a.shot}")

        # 原地址 starts at 0, 新地址 at 1; the card's reply selects its address, 1, in 原地址.
        if same_addresses(before):
            raise Fail("原地址 shows 新地址's 1 before any reply")
        clicked = time.monotonic()  # before the click: the time to the reply is never short
        click(place, RESTART_BUTTON)
        wait_for(10, "the card to get 80 C0 58 1A and answer",
                 lambda: restart_answer(self.card_text(card)))
        wait_for(10, "原地址 to show the card's reply, 1", lambda: same_addresses(shoot(place)))
        shown = time.monotonic() - clicked
        # The reply is read half a second after the frame has gone (a timer may fire early).
        if shown < 0.48:
            raise Fail(f"原地址 showed the reply {shown:.2f} s after the click, before half a second")
        ok(f"a click on 重启(原地址)控制卡: the card got 80 C0 58 1A and "
           f"{restart_answer(self.card_text(card))}, 原地址 showed its 1 {shown:.2f} s after the click")
        self.close_window("stravik.exe", app, place)
        ok("退出 closes stravik.exe")

    # --- a port past COM8 ----------------------------------------------------------------

    def wine_ports(self, *args):
        """Changes the COM11 entry of HKLM\\Software\\Wine\\Ports, where Wine takes a port's
        device from; it is read as the wineserver starts."""
        r = subprocess.run(own_ports([], ["wine", "reg", *args[:1], WINE_PORTS, "/v", "COM11",
                                          *args[1:], "/f"]), capture_output=True, text=True)
        if r.returncode:
            raise Fail(f"wine reg {args[0]} {WINE_PORTS} COM11: exit {r.returncode} {r.stderr}")

    def run_com11_cli(self, name, args):
        r = subprocess.run(own_ports([], ["wine", f"{self.a.stage}/stravik-cli.exe", *args]),
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=3 * DEADLINE)
        out = r.stdout.decode("utf-8", errors="replace").replace("\r", "")
        (self.work / f"{name}.out").write_text(out)
        (self.work / f"{name}.err").write_bytes(r.stderr)
        return r.returncode, out

    def check_com11(self):
        """COM11 alone: a virtual card's pseudo-terminal that Wine maps through its Ports key
        and then lists under SERIALCOMM, as Windows lists a virtual COM driver's port."""
        say("step: COM11, a port past COM8, alone")
        card = "com11"
        slave = self.start_card(card, "--cards", "1")
        self.wine_ports("add", "/t", "REG_SZ", "/d", slave)
        try:
            self.check_com11_cli(card, slave)
            # Not yet proven: under Wine the click on COM11 in the open list closes the list
            # without choosing the item (the list itself shows COM11 after COM8, see the shot).
            if "com11window" in self.a.only.split(","):
                self.start_display()
                self.check_com11_window(card)
                self.display_alive()
                self.xvfb.terminate()
                self.xvfb.wait()
        finally:
            self.wine_ports("delete")

    def check_com11_cli(self, card, slave):
        status, out = self.run_com11_cli("com11-ports", ["ports"])
        lines = out.splitlines()
        missing = [f"COM{n}：没有对应的设备" for n in range(1, 9)]
        if status or lines[:8] != missing or len(lines) != 9 or \
                not lines[8].startswith("COM11：COM11"):
            raise Fail(f"stravik-cli.exe ports: exit {status}, {lines}")
        ok(f"stravik-cli.exe ports: COM1 to COM8 没有对应的设备, then {lines[8]!r}")
        status, out = self.run_com11_cli("com11-json", ["ports", "--json"])
        listed = [json.loads(line) for line in out.splitlines()]
        shown = [(p["port"], p["present"], p["device"]) for p in listed]
        expected = [(f"COM{n}", False, "") for n in range(1, 9)] + [("COM11", True, "COM11")]
        if status or shown != expected or any("description" not in p for p in listed):
            raise Fail(f"stravik-cli.exe ports --json: exit {status}, {out!r}")
        ok(f"stravik-cli.exe ports --json: COM1 to COM8 present false, {out.splitlines()[8]}")

        status, out = self.run_com11_cli("com11-restart", ["restart", "1", "--port", "COM11"])
        frames = self.card_lines_since(card, slave)
        if status or "原地址 1" not in out or not any(f.startswith("81 C0 58 1A  ") for f in frames):
            raise Fail(f"stravik-cli.exe restart 1 --port COM11: exit {status}, printed {out!r}, "
                       f"the card got {frames}")
        ok(f"stravik-cli.exe restart 1 --port COM11: exit 0, the card got 81 C0 58 1A, "
           f"printed {out.strip()!r}")

    def check_com11_window(self, card):
        """The window with a silent line on COM1 (so it opens without a message) and the card on
        COM11: the last item of 串口 is clicked in the open list, and a restart is answered only
        when that item opened COM11."""
        com1, com1_slave = os.openpty()
        try:
            app, place = self.open_window_with(
                "stravik.exe with COM11",
                own_ports([f"{os.ttyname(com1_slave)}:ttyS0"], ["wine", f"{self.a.stage}/stravik.exe"]))
            shots = [shoot(place)]

            def dropped_down():
                shots.append(shoot(place))
                return shots[-1] != shots[0] and shots[-1] == shots[-2]

            left, top, width, height = PORT_LIST
            # The list's arrow, at the right end of its box.
            click(place, (left + width - 240, top, 240, height))
            wait_for(10, "串口's list to drop down and settle", dropped_down)
            shot = Path(self.a.shot).with_name("windows-com11.png")
            subprocess.run(["import", "-window", "root", str(shot)], check=True)
            # The last item: half an item (150 twips) above the lowest row of the list's middle
            # column that dropping down changed.
            x = pixels(left + width // 2)
            before, after = shots[0], shots[-1]
            bottom = max(y for y in range(after.height)
                         if before.rgb[(y * after.width + x) * 3:][:3] !=
                         after.rgb[(y * after.width + x) * 3:][:3])
            subprocess.run(["xdotool", "mousemove", str(place[2] + x),
                            str(place[3] + bottom - pixels(150)), "click", "1"], check=True)
            chosen = shot.with_name("windows-com11-chosen.png")
            wait_for(10, "the list to close", lambda: shoot(place).area(PORT_LIST) !=
                     shots[-1].area(PORT_LIST))
            subprocess.run(["import", "-window", "root", str(chosen)], check=True)
            if same_addresses(shoot(place)):
                raise Fail("原地址 shows 新地址's 1 before any reply")
            click(place, RESTART_BUTTON)
            wait_for(10, "the card on COM11 to get 80 C0 58 1A and answer",
                     lambda: restart_answer(self.card_text(card)))
            wait_for(10, "原地址 to show the card's reply, 1", lambda: same_addresses(shoot(place)))
            ok(f"stravik.exe: the last item of 串口, clicked in the open list (see {shot}), "
               f"opened COM11; a click on 重启(原地址)控制卡 was answered there "
               f"({restart_answer(self.card_text(card))}) and 原地址 showed its 1")
            self.close_window("stravik.exe", app, place)
        finally:
            os.close(com1)
            os.close(com1_slave)


STEPS = ("tests", "cli", "network", "vcard", "installer", "window", "com11")
# Asked for by name only, with com11: the window's part of the COM11 proof.
OPT_IN = ("com11window",)
FRAME = re.compile(r"^((?:[0-9A-F]{2} )*[0-9A-F]{2})  ")


def released(pid, device):
    """Process pid holds device open no more."""
    fds = Path(f"/proc/{pid}/fd")
    for fd in fds.iterdir() if fds.exists() else ():
        try:
            if os.readlink(fd) == device:
                return False
        except OSError:
            pass
    return True


def cpack_value(build_dir, name):
    """A value that the Windows build's CPackConfig.cmake sets."""
    config = (Path(build_dir) / "CPackConfig.cmake").read_text()
    found = re.search(rf'^set\({name} "([^"]*)"\)$', config, re.M)
    if not found:
        raise Fail(f"{build_dir}/CPackConfig.cmake sets no {name}")
    return found.group(1)


def mingw_runtime_dirs():
    dirs = sorted(Path("/usr/lib/gcc/x86_64-w64-mingw32").glob("*-posix"))
    return [str(d) for d in [*dirs, Path("/usr/x86_64-w64-mingw32/lib")] if d.is_dir()]


def winepath(path):
    return subprocess.run(["winepath", "-w", path], capture_output=True, text=True,
                          check=True).stdout.strip()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening_ports():
    """The TCP ports that something listens on at 127.0.0.1."""
    ports = set()
    for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
        local, state = line.split()[1], line.split()[3]
        address, port = local.split(":")
        if state == "0A" and address == "0100007F":
            ports.add(int(port, 16))
    return ports


def pixels(twips):
    """Twips in pixels, as form1.cpp rounds them."""
    return (twips * 2 + 15) // 30


def window_place():
    """(width, height, x, y) of the mapped window titled WINDOW_TITLE, or () while none is.
    Wine may hold other windows of that title unmapped; only a viewable one counts."""
    ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{WINDOW_TITLE}$"],
                         capture_output=True, text=True).stdout.split()
    for window in ids:
        r = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True)
        info = dict(re.findall(r"^\s*([A-Za-z -]+):\s+(.*)$", r.stdout, re.M))
        if r.returncode == 0 and info.get("Map State") == "IsViewable":
            return tuple(int(info[k]) for k in ("Width", "Height", "Absolute upper-left X",
                                                "Absolute upper-left Y"))
    return ()


def click(place, where):
    left, top, width, height = where
    x = place[2] + pixels(left + width // 2)
    y = place[3] + pixels(top + height // 2)
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True)


class Shot:
    """The window's client area as it was on the screen: width, height, RGB bytes."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb

    def __eq__(self, other):
        return (self.width, self.height, self.rgb) == (other.width, other.height, other.rgb)

    def grays(self, where=None, inset=0):
        """The gray levels (0..255) of the whole shot or of a place in twips, shrunk by inset
        pixels on every side."""
        x0, y0, x1, y1 = 0, 0, self.width, self.height
        if where:
            left, top, width, height = where
            x0, y0 = pixels(left) + inset, pixels(top) + inset
            x1, y1 = x0 + pixels(width) - 2 * inset, y0 + pixels(height) - 2 * inset
        rgb = self.rgb
        for y in range(y0, y1):
            row = (y * self.width) * 3
            for x in range(x0, x1):
                i = row + x * 3
                yield (2126 * rgb[i] + 7152 * rgb[i + 1] + 722 * rgb[i + 2]) // 10000

    def area(self, where):
        return bytes(self.grays(where))


def shoot(place):
    width, height, x, y = place
    rgb = subprocess.run(["import", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}",
                          "+repage", "-depth", "8", "rgb:-"], capture_output=True,
                         check=True).stdout
    if len(rgb) != width * height * 3:
        raise Fail(f"a shot of {len(rgb)} bytes, not {width}x{height} pixels")
    return Shot(width, height, rgb)


def save_png(shot, path):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["convert", "-size", f"{shot.width}x{shot.height}", "-depth", "8", "rgb:-",
                    "-strip", str(path)], input=shot.rgb, check=True)


def black_share(shot):
    """The share of the shot that is near black (gray at most a fifth of full)."""
    return sum(g <= 51 for g in shot.grays()) / (shot.width * shot.height)


def ink_and_face(shot, where, inset):
    """How many pixels of that place are dark (a caption's ink, black or red) and how many
    light (the face it is written on)."""
    grays = list(shot.grays(where, inset))
    dark = sum(g <= 153 for g in grays)
    return dark, len(grays) - dark


def same_addresses(shot):
    """原地址 shows what 新地址 shows."""
    return shot.area(ORIGINAL_ADDRESS_LIST) == shot.area(NEW_ADDRESS_LIST)


def restart_answer(card_text):
    """What card 1 answered within three lines of the broadcast restart 80 C0 58 1A, or ""."""
    lines = card_text.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("80 C0 58 1A  "):
            for after in lines[i + 1:i + 4]:
                if after.startswith("card 1 answers: "):
                    return after.removeprefix("card 1 ")
    return ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--stage", required=True, help="the staged tree (stravik.exe, DLLs)")
    parser.add_argument("--build-dir", required=True, help="the Windows build (tests, setup.exe)")
    parser.add_argument("--linux-build-dir", required=True)
    parser.add_argument("--qt-prefix", required=True, help="Qt for MinGW")
    parser.add_argument("--version", default="3.3")
    parser.add_argument("--shot", help="where the window's picture goes")
    parser.add_argument("--window-runs", type=int, default=1,
                        help="the window proof this many times in a row")
    parser.add_argument("--only", default=",".join(STEPS),
                        help=f"these proofs only, of {','.join(STEPS)}")
    a = parser.parse_args()
    a.shot = a.shot or f"{a.build_dir}/windows.png"
    if os.geteuid() != 0:
        sys.exit("proofs: needs root: the Wine programs run in private mount namespaces")
    work = Path(tempfile.mkdtemp(prefix="stravik-windows."))
    proofs = Proofs(a, work)
    passed = False
    try:
        say(f"step: a Wine prefix of this run's own in {work}/wine")
        proofs.make_wine_prefix()
        steps = a.only.split(",")
        if not set(steps) <= set(STEPS + OPT_IN):
            raise Fail(f"--only takes {','.join(STEPS)}, not {a.only}")
        for step in STEPS:
            if step == "window" and step in steps:
                for run in range(1, a.window_runs + 1):
                    proofs.start_display()
                    proofs.check_window(run)
                    proofs.display_alive()
                    proofs.xvfb.terminate()
                    proofs.xvfb.wait()
                    say(f"window run {run} of {a.window_runs} passed")
            elif step in steps:
                getattr(proofs, f"check_{step}")()
        say(f"the proofs under Wine passed: {a.only}")
        passed = True
    except Fail as failure:
        say(f"FAIL: {failure}")
    finally:
        proofs.stop_all()
        if passed:
            shutil.rmtree(work, ignore_errors=True)
        else:
            say(f"what the proofs left is in {work}")
    sys.exit(0 if passed else 1)


if __name__ == "__main__":
    main()
