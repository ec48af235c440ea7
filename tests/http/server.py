#!/usr/bin/env python3
"""A loopback HTTP server for the HTTP client's script tests.

Usage: server.py RUNNER ARGS...  Starts the server on 127.0.0.1 at a free
port, runs the command with VEL_HTTP_TEST set to the server's base URL and
VEL_HTTP_CLOSED to a URL on which nothing listens, stops the server, and
exits with the command's status. The command is given at most 300 s.
"""
import http.server
import os
import socket
import subprocess
import sys
import threading


COUNTS = {}
COUNTS_LOCK = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def send_body(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def raw(self, data):
        self.wfile.write(data)
        self.wfile.flush()
        self.close_connection = True

    def handle_any(self):
        path = self.path
        length = int(self.headers.get("Content-Length", "0") or "0")
        sent = self.rfile.read(length) if length else b""
        if path == "/echo":
            # "METHOD|Name: value|...||body": the request headers in order,
            # less those that the protocol itself adds.
            own = ("host", "content-length", "connection")
            lines = [self.command] + ["%s: %s" % (k, v) for k, v in self.headers.items() if k.lower() not in own]
            self.send_body(200, ("|".join(lines) + "||").encode() + sent,
                           [("Content-Type", "text/plain; charset=utf-8")])
        elif path.startswith("/status/"):
            code = int(path[8:])
            self.send_body(code, b"status %d" % code)
        elif path.startswith("/redirect/"):
            n = int(path[10:])
            if n == 0:
                self.send_body(200, b"arrived by " + self.command.encode())
            else:
                self.send_body(302, b"", [("Location", "/redirect/%d" % (n - 1))])
        elif path == "/chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for part in (b"one ", b"two ", b"three"):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))
            self.wfile.write(b"0\r\n\r\n")
        elif path.startswith("/large/"):
            n = int(path[7:])
            pattern = bytes(range(256))
            self.send_body(200, (pattern * (n // 256 + 1))[:n])
        elif path == "/repeat":
            self.send_body(200, b"ok", [("X-Multi", "a"), ("X-Multi", "b"), ("X-Multi", "c"), ("X-Once", "1")])
        elif path == "/text":
            self.send_body(200, "one\r\ntwo\rthree\nh\u00e9".encode())
        elif path == "/bad-utf8":
            self.send_body(200, b"ab\xff\xfe")
        elif path == "/cut":
            self.raw(b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly this")
        elif path == "/tight":
            self.raw(b"HTTP/1.1 200 OK\r\nX-Tight:close\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
        elif path == "/no-colon":
            self.raw(b"HTTP/1.1 200 OK\r\nnot a header\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
        elif path.startswith("/count/"):
            # How many times this path was asked for, the thru-cache's witness.
            with COUNTS_LOCK:
                COUNTS[path] = COUNTS.get(path, 0) + 1
                n = COUNTS[path]
            self.send_body(200, b"%d" % n)
        elif path.startswith("/data/"):
            self.send_body(200, bytes.fromhex(path[6:]))
        elif path == "/garbage":
            self.raw(b"this is not HTTP\r\n\r\n")
        else:
            self.send_body(404, b"not found")

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = handle_any


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    closed = socket.socket()
    closed.bind(("127.0.0.1", 0))
    closed_port = closed.getsockname()[1]
    closed.close()
    env = dict(os.environ)
    env["VEL_HTTP_TEST"] = "http://127.0.0.1:%d" % server.server_address[1]
    env["VEL_HTTP_CLOSED"] = "http://127.0.0.1:%d/" % closed_port
    emulator = [e for e in env.get("VEL_EMULATOR", "").split(";") if e]
    try:
        status = subprocess.run(emulator + sys.argv[1:], env=env, timeout=300).returncode
    except subprocess.TimeoutExpired:
        print("server.py: the tests took longer than 300 s", file=sys.stderr)
        status = 1
    server.shutdown()
    sys.exit(status)


if __name__ == "__main__":
    main()
