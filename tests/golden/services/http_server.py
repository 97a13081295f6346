#!/usr/bin/env python3
"""Runs a command while a small HTTP server answers on 127.0.0.1.

The server listens on a free port of the loopback address only; its base URL
("http://127.0.0.1:PORT") is given to the command in QEL_TEST_HTTP. It stops
when the command ends (or after the time limit), and the command's exit
status is this script's.

Usage: http_server.py COMMAND [ARGS...]

Paths it answers:
  /text              text with CR LF, lone CR and LF line ends
  /bytes             the bytes 0 to 255
  /echo              any method: the method, the request's headers and body
  /dup               two X-Dup headers, "a" then "b"
  /many              20,000 headers X-0 ... X-19999, X-Case "a" and x-CASE
                     "b", and a line whose name is no token ("Bad Name: 1")
  /status/N          status N with the body "status N"
  /redirect          302 to /text
  /big               3,000,000 bytes of "x"
  /count/NAME        "NAME N", N counting the requests for NAME
  /script            a Qel script
  /data.qel          molded Qel values, with a suffix that no codec claims
  /one.qel           a block of one value, "[1]"
  /flag.json         a JSON object holding true and null
  /latin             headers X-Latin "café" in ISO-8859-1 and X-Utf "café"
                     in UTF-8
  /crlf              text with CR LF and lone CR line ends
  /pixel.png         a 2x1 PNG image
"""
import http.server
import os
import subprocess
import sys
import struct
import threading
import zlib


def png(width, height, rows):
    """A PNG of 8-bit RGB rows (each a bytes of width * 3)."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


PIXEL_PNG = png(2, 1, [b"\xff\x00\x00\x00\x00\xff"])
counts = {}
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=()):
        if isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n else b""

    def route(self):
        path = self.path
        if path == "/text":
            return self.reply(200, "line1\r\nline2\rline3\n", [("Content-Type", "text/plain")])
        if path == "/bytes":
            return self.reply(200, bytes(range(256)), [("Content-Type", "application/octet-stream")])
        if path == "/echo":
            data = self.body()
            lines = ["method: " + self.command]
            lines += ["%s: %s" % (k, v) for k, v in self.headers.items()]
            text = "\n".join(lines).encode("utf-8") + b"\n\n" + data
            return self.reply(200, text, [("Content-Type", "text/plain")])
        if path == "/dup":
            return self.reply(200, "dup", [("X-Dup", "a"), ("X-Dup", "b"), ("Content-Type", "text/plain")])
        if path == "/many":
            headers = [("X-%d" % i, "v") for i in range(20000)]
            headers += [("X-Case", "a"), ("x-CASE", "b"), ("Bad Name", "1")]
            return self.reply(200, "many", headers)
        if path.startswith("/status/"):
            code = int(path[len("/status/"):])
            return self.reply(code, "status %d" % code, [("Content-Type", "text/plain")])
        if path == "/redirect":
            return self.reply(302, "", [("Location", "/text")])
        if path == "/big":
            return self.reply(200, b"x" * 3000000, [("Content-Type", "text/plain")])
        if path.startswith("/count/"):
            name = path[len("/count/"):]
            with lock:
                counts[name] = counts.get(name, 0) + 1
                n = counts[name]
            return self.reply(200, "%s %d" % (name, n), [("Content-Type", "text/plain")])
        if path == "/script":
            return self.reply(200, "Qel [Title: \"remote\"]\nremote-value: 6 * 7\n", [("Content-Type", "text/plain")])
        if path == "/data.qel":
            return self.reply(200, "[a 1] \"two\"", [("Content-Type", "text/plain")])
        if path == "/one.qel":
            return self.reply(200, "[1]", [("Content-Type", "text/plain")])
        if path == "/flag.json":
            return self.reply(200, '{"a":true,"b":null}', [("Content-Type", "application/json")])
        if path == "/latin":
            # send_header writes ISO-8859-1; the UTF-8 value goes as its bytes.
            return self.reply(200, "latin", [("X-Latin", "caf\u00e9"),
                                             ("X-Utf", "caf\u00e9".encode("utf-8").decode("latin-1"))])
        if path == "/crlf":
            return self.reply(200, "a\r\nb\rc\n", [("Content-Type", "text/plain")])
        if path == "/pixel.png":
            return self.reply(200, PIXEL_PNG, [("Content-Type", "image/png")])
        return self.reply(404, "not found", [("Content-Type", "text/plain")])

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = route


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    env = dict(os.environ)
    env["QEL_TEST_HTTP"] = "http://127.0.0.1:%d" % server.server_address[1]
    # The loopback address is never reached through a proxy.
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        env.pop(name, None)
    try:
        status = subprocess.run(sys.argv[1:], env=env, timeout=300).returncode
    except subprocess.TimeoutExpired:
        status = 1
    server.shutdown()
    return status


if __name__ == "__main__":
    sys.exit(main())
