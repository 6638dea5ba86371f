#!/usr/bin/env python3
"""End-to-end tests of the vexlo command-line host.

Each group runs vexlo as a user would, against servers this script starts on
127.0.0.1 (an HTTP server built on the HTTP suite's Python peer, plain
sockets for the TCP commands), and checks outputs, files and exit codes.

  vexlo_test.py GROUP VEXLO [RUNNER...]

RUNNER (for example scripts/wine-run.sh win64) runs the Windows build; the
commands then get file names relative to their working folder, which Wine
maps to a drive.
"""
import base64
import http.server
import json
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "http"))
import peer  # noqa: E402  the HTTP suite's multipart-parsing peer

DEADLINE = 60  # seconds any one command may take before it counts as hung
ERROR_LINE = re.compile(r"^vexlo: (?:[a-z0-9]+: )?error (\d+) \(([^)]+)\)")
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL: " + what, flush=True)
    return condition


class Vexlo:
    def __init__(self, program, runner, folder):
        self.command = runner + [program]
        self.folder = folder
        self.windows = bool(runner)

    def start(self, args, stdin=subprocess.DEVNULL):
        return subprocess.Popen(self.command + args, cwd=self.folder, stdin=stdin,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def run(self, args, stdin_data=None):
        process = self.start(args, subprocess.PIPE if stdin_data is not None else
                             subprocess.DEVNULL)
        try:
            out, err = process.communicate(stdin_data, timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            process.kill()
            out, err = process.communicate()
            check(False, "vexlo %s hung: %r" % (" ".join(args), err))
        err = err.decode("utf-8", "replace")
        check("Sanitizer" not in err and "runtime error" not in err,
              "vexlo %s: sanitizer report:\n%s" % (" ".join(args), err))
        return process.returncode, out, err

    def text(self, out):
        """Standard output as text: Windows ends its lines with CR LF."""
        return out.replace(b"\r\n", b"\n") if self.windows else out

    def path(self, name):
        return os.path.join(self.folder, name)


def expect_error(vexlo, args, code, exit_code=1, stdin_data=None):
    """A failure: the exit code, and one line naming the Win32 error code."""
    status, _, err = vexlo.run(args, stdin_data)
    label = "vexlo " + " ".join(args)
    check(status == exit_code, "%s: exit %s, expected %s" % (label, status, exit_code))
    lines = [line for line in err.splitlines() if line.startswith("vexlo:")]
    match = ERROR_LINE.match(lines[-1]) if lines else None
    check(len(lines) == 1 and match is not None and match.group(1) == str(code),
          "%s: expected one 'error %s' line, got %r" % (label, code, err))


def wait_for(condition, what, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return check(False, "timed out waiting for " + what)


def pattern(length):
    return bytes((i * 7 + i // 251) & 255 for i in range(length))


# ---------------------------------------------------------------- utilities
def group_utilities(vexlo):
    files = {
        "digits.txt": b"123456789",
        "empty.bin": b"",
        "binary.bin": bytes(range(256)) * 300,
        "big.bin": pattern(1 << 20),
    }
    for name, data in files.items():
        with open(vexlo.path(name), "wb") as f:
            f.write(data)

    status, out, _ = vexlo.run(["crc32"] + list(files))
    expected = "".join("%08x  %s\n" % (zlib.crc32(data), name) for name, data in files.items())
    check(status == 0 and vexlo.text(out).decode() == expected, "crc32 of several files: %r" % out)
    check(zlib.crc32(b"123456789") == 0xCBF43926, "crc32 check value")
    # One unreadable file among good ones: reported, the others still summed.
    status, out, err = vexlo.run(["crc32", "digits.txt", "missing.bin", "empty.bin"])
    check(status == 1 and vexlo.text(out).decode() == "cbf43926  digits.txt\n00000000  empty.bin\n" and
          "error 2 (file not found): missing.bin" in err, "crc32 with a missing file: %r %r" %
          (out, err))

    for name, data in files.items():
        status, out, _ = vexlo.run(["base64", name])
        check(status == 0 and vexlo.text(out) == base64.b64encode(data) + b"\n", "base64 of " + name)
        with open(vexlo.path(name + ".b64"), "wb") as f:
            f.write(base64.encodebytes(data))  # wrapped at 76 columns
        status, out, _ = vexlo.run(["base64", "-d", name + ".b64"])
        check(status == 0 and out == data, "base64 -d of wrapped " + name)
    status, out, _ = vexlo.run(["base64", "-"], b"hello")
    check(status == 0 and vexlo.text(out) == b"aGVsbG8=\n", "base64 from standard input")
    status, out, _ = vexlo.run(["base64", "-d", "-"], b"aGVsbG8")
    check(status == 0 and out == b"hello", "base64 -d without padding")

    ini = "settings.ini"
    table = [  # (args, exit code, standard output)
        (["set", ini, "Net", "Url", "http://127.0.0.1/x?a=b"], 0, ""),
        (["get", ini, "net", "URL"], 0, "http://127.0.0.1/x?a=b\n"),
        (["set", ini, "Net", "Url", "  padded  "], 0, ""),
        (["get", ini, "NET", "url"], 0, "padded\n"),
        (["set", ini, "Net", "Empty", ""], 0, ""),
        (["get", ini, "Net", "Empty"], 0, "\n"),
        (["set", ini, "Text", "Greeting", "h\u00e9llo \u4e16\u754c"], 0, ""),
        (["get", ini, "Text", "Greeting"], 0, "h\u00e9llo \u4e16\u754c\n"),
        (["delete", ini, "Net", "Url"], 0, ""),
        (["get", ini, "Net", "Url"], 1, ""),
        (["get", ini, "Net", "Empty"], 0, "\n"),
        (["delete", ini, "Net", "Never"], 0, ""),
    ]
    for args, code, output in table:
        status, out, err = vexlo.run(["ini"] + args)
        check(status == code and vexlo.text(out).decode("utf-8") == output,
              "ini %s: exit %s, %r, %r" % (" ".join(args), status, out, err))


# --------------------------------------------------------------------- HTTP
STALL_RELEASE = threading.Event()


class TestHandler(peer.Handler):
    def do_GET(self):
        if self.path.startswith("/data/"):
            self.reply(pattern(int(self.path[6:])), content_type="application/octet-stream")
        elif self.path == "/stall":
            # Part of a long body, then nothing until the test is over.
            self.send_response(200)
            self.send_header("Content-Length", str(100 << 20))
            self.end_headers()
            self.wfile.write(b"p" * 300000)
            self.wfile.flush()
            STALL_RELEASE.wait(DEADLINE)
        else:
            super().do_GET()


def start_http():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), TestHandler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d" % server.server_address[1]


HELD_PORTS = []


def unlistened_socket():
    """A socket bound to a loopback port and not listening: connections are
    refused, and no test running beside this one can take the port, for as
    long as the socket stays open."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    return sock


def refused_port():
    sock = unlistened_socket()
    HELD_PORTS.append(sock)  # until the run ends
    return sock.getsockname()[1]


def group_http(vexlo):
    server, base = start_http()
    try:
        for length in (0, 1, 8192, 8193, 3 << 20):
            status, _, err = vexlo.run(["get", "%s/data/%d" % (base, length), "-o", "out.bin"])
            with open(vexlo.path("out.bin"), "rb") as f:
                check(status == 0 and f.read() == pattern(length), "get %d bytes to a file: %r" %
                      (length, err))
            check("received %d" % length in err and "status 200, error 0 (success)" in err and
                  "Content-Length: %d" % length in err, "get summary: %r" % err)
        status, out, err = vexlo.run(["get", base + "/data/100000", "-q"])
        check(status == 0 and out == pattern(100000) and err == "",
              "get to standard output -q: status %d, %d bytes out, %r" % (status, len(out), err))

        # Failures leave no output file behind.
        os.remove(vexlo.path("out.bin"))
        for url, code, exit_code in [(base + "/missing-page", None, 3),
                                     ("http://127.0.0.1:%d/" % refused_port(), 12029, 1),
                                     ("ftp://127.0.0.1/x", 12006, 1)]:
            if code is None:
                status, _, err = vexlo.run(["get", url, "-o", "out.bin"])
                check(status == exit_code and "status 404" in err, "get 404: %r" % err)
            else:
                expect_error(vexlo, ["get", url, "-o", "out.bin"], code, exit_code)
            check(not os.path.exists(vexlo.path("out.bin")), "output removed after " + url)

        data = pattern(700001)
        with open(vexlo.path("photo.jpg"), "wb") as f:
            f.write(data)
        for extra, field in [([], "file"), (["--field", "picture"], "picture")]:
            status, out, err = vexlo.run(["upload", base + "/upload", "photo.jpg"] + extra)
            answer = json.loads(out.decode()) if status == 0 else {}
            parts = answer.get("parts", [{}])
            check(status == 0 and answer.get("defects") == 0 and len(parts) == 1 and
                  parts[0].get("name") == field and parts[0].get("filename") == "photo.jpg" and
                  parts[0].get("length") == len(data) and parts[0].get("crc32") == zlib.crc32(data),
                  "upload with field %s: %r %r" % (field, out, err))
            check("sent %d of %d bytes (100%%)" % (len(data), len(data)) in err,
                  "upload progress: %r" % err)
    finally:
        STALL_RELEASE.set()
        server.shutdown()


def group_signals(vexlo):
    """Interrupted downloads and servers end cleanly and promptly."""
    server, base = start_http()
    kinds = [signal.SIGINT] if vexlo.windows else [signal.SIGINT, signal.SIGTERM]
    try:
        for kind in kinds:
            target = vexlo.path("partial.bin")
            process = vexlo.start(["get", base + "/stall", "-o", "partial.bin"])
            # WinINet may hold back the tail of what has arrived.
            wait_for(lambda: os.path.exists(target) and os.path.getsize(target) >= 200000,
                     "the first part of the stalled body")
            process.send_signal(kind)
            try:
                _, err = process.communicate(timeout=DEADLINE)
            except subprocess.TimeoutExpired:
                process.kill()
                _, err = process.communicate()
            check(process.returncode == 130 and b"error 1223" in err,
                  "get after %s: exit %s, %r" % (kind.name, process.returncode, err))
            check(not os.path.exists(target), "partial file removed after " + kind.name)

            process = vexlo.start(["serve", "--port", "0"])
            line = process.stdout.readline().decode()
            check(line.startswith("listening on 127.0.0.1:"), "serve announces its port")
            process.send_signal(kind)
            try:
                process.communicate(timeout=DEADLINE)
            except subprocess.TimeoutExpired:
                process.kill()
                process.communicate()
            check(process.returncode == 0, "serve after %s: exit %s" %
                  (kind.name, process.returncode))

        # connect with standard input still open and a peer that stays.
        listener = socket.create_server(("127.0.0.1", 0))
        process = vexlo.start(["connect", "127.0.0.1", str(listener.getsockname()[1])],
                              subprocess.PIPE)
        conn, _ = listener.accept()
        process.stdin.write(b"ping")
        process.stdin.flush()
        check(conn.recv(4) == b"ping", "connect sends before the interruption")
        process.send_signal(signal.SIGINT)
        try:
            _, err = process.communicate(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            process.kill()
            _, err = process.communicate()
        check(process.returncode == 130 and b"error 1223" in err,
              "connect after SIGINT: exit %s, %r" % (process.returncode, err))
        conn.close()
        listener.close()
    finally:
        STALL_RELEASE.set()
        server.shutdown()


# ---------------------------------------------------------------------- TCP
def recv_all(sock):
    chunks = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def group_net(vexlo):
    process = vexlo.start(["serve", "--port", "0"])
    try:
        line = process.stdout.readline().decode()
        check(line.startswith("listening on 127.0.0.1:"), "serve announces its port: %r" % line)
        port = int(line.strip().rsplit(":", 1)[1])

        # Several clients at once, each getting its own bytes back after a
        # half-close.
        results = {}

        def client(index):
            data = random.Random(index).randbytes(50000 * (index + 1))
            with socket.create_connection(("127.0.0.1", port), timeout=DEADLINE) as sock:
                sender = threading.Thread(target=lambda: (sock.sendall(data),
                                                          sock.shutdown(socket.SHUT_WR)))
                sender.start()
                results[index] = recv_all(sock) == data
                sender.join()

        threads = [threading.Thread(target=client, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(DEADLINE)
        check(results == {0: True, 1: True, 2: True, 3: True}, "echo to 4 clients: %r" % results)

        # connect against serve: 2 MiB through and back.
        data = random.Random(9).randbytes(2 << 20)
        status, out, err = vexlo.run(["connect", "127.0.0.1", str(port)], data)
        check(status == 0 and out == data, "connect through serve: exit %s, %d bytes, %r" %
              (status, len(out), err))
        # Wine refuses a port another socket listens on as access denied.
        expect_error(vexlo, ["serve", "--port", str(port)], 10013 if vexlo.windows else 10048)
    finally:
        # Wine ends a program on SIGTERM at once; Ctrl-C is its console event.
        process.send_signal(signal.SIGINT if vexlo.windows else signal.SIGTERM)
        process.communicate(timeout=DEADLINE)
    check(process.returncode == 0, "serve ends with 0 when stopped: %s" % process.returncode)

    # connect: the end of standard input half-closes; the peer's answer still
    # arrives, and the command ends when the peer closes.
    listener = socket.create_server(("127.0.0.1", 0))
    got = {}

    def peer_side():
        conn, _ = listener.accept()
        with conn:
            got["data"] = recv_all(conn)  # ends at vexlo's half-close
            conn.sendall(b"reply after EOF: " + got["data"][::-1])

    thread = threading.Thread(target=peer_side)
    thread.start()
    status, out, _ = vexlo.run(["connect", "localhost", str(listener.getsockname()[1])], b"abc")
    thread.join(DEADLINE)
    listener.close()
    check(status == 0 and got.get("data") == b"abc" and out == b"reply after EOF: cba",
          "connect half-close: exit %s, %r, %r" % (status, got, out))


# ------------------------------------------------------------------ monitor
def group_monitor(vexlo):
    # Nothing listens at first: unavailable; a listener appears: available.
    listener = unlistened_socket()
    port = listener.getsockname()[1]
    process = vexlo.start(["monitor", "--url", "http://127.0.0.1:%d/" % port])
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(iter(process.stdout.readline, b"")))
    reader.start()
    stamp = r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} "
    try:
        wait_for(lambda: any(re.match(stamp + b"unavailable".decode(), l.decode()) for l in lines),
                 "the monitor to report unavailable")
        listener.listen()
        wait_for(lambda: any(re.match(stamp + "available$", l.decode().strip()) for l in lines),
                 "the monitor to report available")
    finally:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            process.kill()
        reader.join(DEADLINE)
        listener.close()
    check(process.returncode == 0, "monitor ends with 0 when interrupted: %s" % process.returncode)
    check(lines and b"checking http://127.0.0.1:%d/" % port in lines[0], "monitor names its URL")


# ---------------------------------------------------------------- bad input
def group_bad_input(vexlo):
    os.makedirs(vexlo.path("folder"), exist_ok=True)
    with open(vexlo.path("good.txt"), "wb") as f:
        f.write(b"good")
    closed = str(refused_port())
    table = [  # (arguments, Win32 error code, exit code)
        ([], 87, 2),
        (["frobnicate"], 87, 2),
        (["get"], 87, 2),
        (["get", "http://127.0.0.1:%s/" % closed, "--nope"], 87, 2),
        (["get", "http://127.0.0.1:%s/" % closed, "-o"], 87, 2),
        (["get", "a", "b"], 87, 2),
        (["get", "not a url"], 12006, 1),
        (["get", "http://127.0.0.1:%s/" % closed], 12029, 1),
        (["get", "http://127.0.0.1:%s/" % closed, "-o", "folder/missing/out.bin"], 3, 1),
        (["upload", "http://127.0.0.1:%s/" % closed, "missing.bin"], 2, 1),
        (["upload", "http://127.0.0.1:%s/" % closed, "good.txt"], 12029, 1),
        (["upload", "http://127.0.0.1:%s/" % closed], 87, 2),
        (["serve"], 87, 2),
        (["serve", "--port", "70000"], 87, 2),
        (["serve", "--port", "x1"], 87, 2),
        (["serve", "--port", "0", "--bind", "999.1.1.1"], 87, 2),
        (["connect", "127.0.0.1"], 87, 2),
        (["connect", "127.0.0.1", "0"], 87, 2),
        (["connect", "example.invalid", "80"], 87, 2),
        (["connect", "127.0.0.1", closed], 1225, 1),
        (["monitor", "--url", "gopher://x/"], 87, 2),
        (["monitor", "extra"], 87, 2),
        (["crc32"], 87, 2),
        (["crc32", "missing.bin"], 2, 1),
        (["base64"], 87, 2),
        (["base64", "missing.bin"], 2, 1),
        (["base64", "-x", "good.txt"], 87, 2),
        (["base64", "-d", "good.txt", "more.txt"], 87, 2),
        (["ini"], 87, 2),
        (["ini", "rename", "a.ini", "s", "k"], 87, 2),
        (["ini", "get", "missing.ini", "s", "k"], 2, 1),
        (["ini", "get", "a.ini", "s"], 87, 2),
        (["ini", "set", "a.ini", "s", "k"], 87, 2),
        (["ini", "set", "a.ini", "s", "k=v", "x"], 87, 1),
        (["ini", "set", "folder/missing/a.ini", "s", "k", "v"], 3, 1),
    ]
    if not vexlo.windows:
        table.append((["crc32", "folder"], 267, 1))  # Windows cannot open a folder as a file
    for args, code, exit_code in table:
        expect_error(vexlo, args, code, exit_code)
    status, _, err = vexlo.run(["base64", "-d", "-"], b"aGVs*bG8=")
    check(status == 1 and "error 13 (invalid data)" in err, "base64 -d of non-Base64 text")
    # Help is no error, and names the exit codes.
    for command in ["get", "upload", "serve", "connect", "monitor", "crc32", "base64", "ini"]:
        status, out, err = vexlo.run([command, "--help"])
        check(status == 0 and b"usage: vexlo " + command.encode() in out and
              b"130  interrupted" in out and err == "", command + " --help")


GROUPS = {
    "utilities": group_utilities,
    "http": group_http,
    "signals": group_signals,
    "net": group_net,
    "monitor": group_monitor,
    "bad_input": group_bad_input,
}


def main():
    group, program = sys.argv[1], os.path.abspath(sys.argv[2])
    runner = [os.path.abspath(arg) if os.path.exists(arg) else arg for arg in sys.argv[3:]]
    with tempfile.TemporaryDirectory(prefix="vexlo-test-") as folder:
        GROUPS[group](Vexlo(program, runner, folder))
    if FAILURES:
        print("%d failure(s) in %s" % (len(FAILURES), group))
        return 1
    print("%s: all passed" % group)
    return 0


if __name__ == "__main__":
    sys.exit(main())
