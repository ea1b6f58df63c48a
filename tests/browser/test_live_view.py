#!/usr/bin/python3
"""The live view in a real browser.

plc_poll --serve polls plc_sim --animate; headless Chromium loads the page,
driven over the DevTools protocol on a pipe (no port, no WebSocket). The
test waits for an animated value to change on the page, checks the values
shown against the simulator's registers read with pymodbus, the failed mark
of a variable at a station that never answers, that hostile and non-UTF-8
labels show as text, and takes a screenshot.

usage: test_live_view.py PLC_SIM PLC_POLL SCREENSHOT.png
Exit status 77 (skipped) when Chromium is not installed.
"""
import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

from pymodbus.client import ModbusTcpClient

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
WAIT_S = 30  # for anything that should take a moment; generous on a loaded machine
SCRIPT_LABEL = "<script>alert(1)</script>"
ODD_LABEL = "caf\udce9\x01"  # a Latin-1 byte (not UTF-8) and a control character
ODD_SHOWN = "caf\ufffd\x01"
PRESET = 4242  # holding register 10 of unit 1
VARIABLES = ("label,type,address,count,station\n"
             "tick,in.word,0,1,1\n"          # counts every 100 ms
             "seconds,hold.word,1000,1,1\n"  # counts every second
             "preset,hold.word,10,1,1\n"
             f"{SCRIPT_LABEL},in.bit,0.0,8,1\n"
             f"{ODD_LABEL},in.word,1,1,1\n"
             "refused,hold.word,1500,1,1\n"  # outside the simulator's memory: exception 2
             "absent,in.word,0,1,3\n")       # unit 3 is not served: never answers


def wait_for(what, probe):
    """Calls probe until it returns something true; fails after WAIT_S."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        result = probe()
        if result:
            return result
        time.sleep(0.2)
    raise AssertionError(f"timed out waiting for {what}")


def read_line(stream, prefix):
    """The first line of a child's output that starts with prefix."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        if select.select([stream], [], [], 1)[0]:
            line = stream.readline().decode(errors="replace")
            if not line:
                break
            if line.startswith(prefix):
                return line.strip()
    raise AssertionError(f"no line starting with {prefix!r}")


class Browser:
    """Headless Chromium with the DevTools protocol on file descriptors 3 and 4."""

    def __init__(self, profile):
        to_browser, self._commands = os.pipe()
        self._replies, from_browser = os.pipe()

        def wire_pipes():  # in the child: the ends Chromium expects at 3 and 4
            ends = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (to_browser, from_browser)]
            os.dup2(ends[0], 3)
            os.dup2(ends[1], 4)

        self.process = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + profile, "--remote-debugging-pipe",
             "--lang=en-US", "--hide-scrollbars", "about:blank"],
            close_fds=False, preexec_fn=wire_pipes,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self._buffer = b""
        self._next_id = 0
        self.events = []
        self.session = None

    def call(self, method, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if self.session:
            message["sessionId"] = self.session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + WAIT_S
        while True:
            while b"\0" not in self._buffer:
                if not select.select([self._replies], [], [], deadline - time.monotonic())[0]:
                    raise AssertionError(f"Chromium did not answer {method}")
                chunk = os.read(self._replies, 1 << 16)
                if not chunk:
                    raise AssertionError("Chromium closed the DevTools pipe")
                self._buffer += chunk
            line, self._buffer = self._buffer.split(b"\0", 1)
            reply = json.loads(line)
            if reply.get("id") != self._next_id:
                self.events.append(reply)
            elif "error" in reply:
                raise AssertionError(f"{method}: {reply['error']}")
            else:
                return reply.get("result", {})

    def open_page(self, url, width, height):
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(domain + ".enable")
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)
        self.call("Page.navigate", url=url)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def problems(self):
        """Script errors, console errors (a refused resource, a blocked script) and dialogs."""
        found = []
        for e in self.events:
            method, params = e.get("method"), e.get("params", {})
            if method == "Runtime.exceptionThrown":
                found.append(params["exceptionDetails"].get("text"))
            elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
                found.append(params["entry"].get("text"))
            elif method == "Runtime.consoleAPICalled" and params["type"] == "error":
                found.append(str(params.get("args")))
            elif method == "Page.javascriptDialogOpening":
                found.append("dialog: " + params.get("message", ""))
        return found

    def close(self):
        try:
            self.session = None
            self.call("Browser.close")
            self.process.wait(timeout=10)
        finally:
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()


def get(url, host=None):
    request = urllib.request.Request(url, headers={"Host": host} if host else {})
    try:
        with urllib.request.urlopen(request, timeout=WAIT_S) as response:
            return response.status, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def holding_register(port, register):
    client = ModbusTcpClient("127.0.0.1", port=port)
    try:
        assert client.connect(), "pymodbus could not connect to plc_sim"
        return client.read_holding_registers(register, 1, slave=1).registers[0]
    finally:
        client.close()


# The page's table as the user sees it: label -> cells' text, row class.
TABLE = """[...document.querySelectorAll('#rows tr')].map(tr => ({
    cells: [...tr.cells].map(td => td.textContent), cls: tr.className,
    scripts: tr.querySelectorAll('script').length}))"""
LABEL, VALUE, QUALITY = 1, 5, 6


def main(sim_path, poll_path, screenshot):
    if not os.path.exists(CHROMIUM):
        print("chromium is not installed: skipped")
        return 77
    processes = []
    browser = None
    with tempfile.TemporaryDirectory() as work:
        try:
            sim = subprocess.Popen([sim_path, "--port", "0", "--animate", "--set",
                                    f"1:h10={PRESET}"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            processes.append(sim)
            sim_port = int(read_line(sim.stdout, "PORT").split()[1])

            vars_file = os.path.join(work, "vars.csv")
            with open(vars_file, "wb") as f:
                f.write(VARIABLES.encode("utf-8", "surrogateescape"))
            # Unit 3 is given up at once and then switched off for the rest of the run.
            poll = subprocess.Popen(
                [poll_path, "--port", str(sim_port), "--multi-station", "--vars", vars_file,
                 "--interval-ms", "100", "--timeout-ms", "300", "--retries", "0",
                 "--demote-after", "1", "--demote-ms", "120000", "--serve", "127.0.0.1:0"],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            processes.append(poll)
            url = read_line(poll.stderr, "plc_poll: live view at").split()[4]

            # The API: valid UTF-8 JSON whatever bytes the labels hold; loopback names only.
            wait_for("a completed scan", lambda: json.loads(get(url + "api/values")[1])["scan"])
            status, body = get(url + "api/values")
            values = json.loads(body.decode("utf-8"))
            assert status == 200 and values["variables"][4]["label"] == ODD_SHOWN, values
            assert get(url + "api/values", host="rebound.example:80")[0] == 403
            off = wait_for("station 3 switched off", lambda: [
                s for s in json.loads(get(url + "api/stats")[1])["stations"]
                if s["station"] == 3 and s["state"] == "switched off"])
            assert off[0]["back_in_ms"] > 0, off

            browser = Browser(os.path.join(work, "profile"))
            browser.open_page(url, 1400, 900)

            def tick():
                rows = browser.evaluate(TABLE)
                return len(rows) == 7 and rows[0]["cells"][VALUE]

            first = wait_for("the first values on the page", tick)
            wait_for("the animated value to change", lambda: tick() not in (None, first))

            rows = {r["cells"][LABEL]: r for r in browser.evaluate(TABLE)}
            assert rows["preset"]["cells"][VALUE] == str(PRESET) == str(
                holding_register(sim_port, 10)), rows["preset"]
            shown = int(rows["seconds"]["cells"][VALUE])
            assert 0 <= holding_register(sim_port, 1000) - shown <= 2, shown
            assert "failed" in rows["absent"]["cells"][QUALITY], rows["absent"]
            wait_for("the refused variable shown failed",
                     lambda: "failed" in {r["cells"][LABEL]: r for r in browser.evaluate(TABLE)}
                     ["refused"]["cells"][QUALITY])
            assert rows["absent"]["cls"] == "failed", rows["absent"]
            assert rows[SCRIPT_LABEL]["scripts"] == 0, rows[SCRIPT_LABEL]
            assert ODD_SHOWN in rows, list(rows)
            wait_for("station 3 shown switched off", lambda: browser.evaluate(
                "[...document.querySelectorAll('#stations li.off b')]"
                ".some(b => b.textContent === 'Station 3')"))
            if browser.evaluate("typeof Chart") == "function":  # built with libjs-chart.js
                charts = browser.evaluate("document.querySelectorAll('#charts canvas').length")
                assert charts >= 1, charts
            assert browser.problems() == [], browser.problems()

            png = browser.call("Page.captureScreenshot", format="png")["data"]
            with open(screenshot, "wb") as f:
                f.write(base64.b64decode(png))
            print(f"checked {url} in Chromium; screenshot in {screenshot}")
            return 0
        finally:
            if browser:
                browser.close()
            for p in reversed(processes):
                p.terminate()
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
