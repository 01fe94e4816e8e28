#!/usr/bin/env python3
"""The package server of the downloader's tests: HTTP or HTTPS on 127.0.0.1.

    http_server.py --dir DIR [--https] [--openssl PATH] [--max-seconds N]

A program started from Wine keeps Wine's standard handles, so everything goes through DIR:
files/ (what is served, "/name" being files/name), rules (lines "URL-path rule", read anew
for every request), lease (the server ends once it is gone, or after --max-seconds), port or
failure (written at start), requests (each request before its answer: its target, its
"Name: value" header lines, an empty line), sent (the body bytes of each answer), tls/ (with
--https: a throwaway CA, ca.crt, and the server's certificate for 127.0.0.1).

Rules: "serve" (the default: 200, 206 for "Range: bytes=N-" below the size, 416 at or past
it, 404 when missing), "status:NNN", "cut" (close after half of the body), "ignore-range"
(200 with the whole file), "stall" (after half of the body hold the connection until the
server ends), "range-late" (a 206 one byte after the asked start), "range-total" (a 206
naming a total one byte larger), "long-body" (Content-Length 1000, 4000 bytes sent with the
headers), "no-length" (no Content-Length: the body ends with the connection).
"""
import argparse
import http.server
import os
import re
import ssl
import subprocess
import threading
import time
import traceback

RANGE = re.compile(r"^bytes=(\d+)-$")
SOCKET_TIMEOUT_SECONDS = 20
LEASE_POLL_SECONDS = 0.2


def make_certificates(folder, openssl_program):
    """A CA and a server certificate for 127.0.0.1 signed by it; the keys stay in folder."""
    os.makedirs(folder, exist_ok=True)
    path = lambda name: os.path.join(folder, name)

    def openssl(*args):
        subprocess.run([openssl_program, *args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2",
            "-subj", "/O=QFUpdate Test/CN=QFUpdate Test HTTPS CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign",
            "-keyout", path("ca.key"), "-out", path("ca.crt"))
    openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", "/CN=127.0.0.1",
            "-keyout", path("server.key"), "-out", path("server.csr"))
    with open(path("server.ext"), "w") as ext:
        ext.write("basicConstraints=critical,CA:FALSE\n"
                  "keyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n"
                  "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost\n")  # Wine checks DNS names only
    openssl("x509", "-req", "-sha256", "-days", "2", "-in", path("server.csr"), "-CA", path("ca.crt"),
            "-CAkey", path("ca.key"), "-set_serial", "0x" + os.urandom(8).hex(),
            "-extfile", path("server.ext"), "-out", path("server.crt"))
    os.remove(path("ca.key"))  # nothing is signed with it again
    return path("server.crt"), path("server.key")


class PackageHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = SOCKET_TIMEOUT_SECONDS

    def log_message(self, *args):  # the request log is the record; keep stderr quiet
        pass

    def do_GET(self):
        self.record()
        path = self.path.split("?", 1)[0].split("#", 1)[0]
        rule = self.server.rule_for(path)
        if rule.startswith("status:"):
            self.answer(int(rule[len("status:"):]), b"refused by rule\n")
            return
        file = os.path.realpath(os.path.join(self.server.root, path.lstrip("/")))
        try:
            if os.path.dirname(file) != os.path.realpath(self.server.root):
                raise OSError("not a file of the served folder")
            package = open(file, "rb")
        except OSError:
            self.answer(404, b"no such package\n")
            return
        with package:
            size = os.fstat(package.fileno()).st_size
            status, extra, start = 200, {}, 0
            match = RANGE.match(self.headers.get("Range", "")) if rule != "ignore-range" else None
            if match:
                start = int(match.group(1))
                if start >= size:
                    self.answer(416, b"", {"Content-Range": "bytes */%d" % size})
                    return
                start += rule == "range-late"
                total = size + (rule == "range-total")
                status, extra = 206, {"Content-Range": "bytes %d-%d/%d" % (start, size - 1, total)}
            length = size - start
            send = length // 2 if rule in ("cut", "stall") else None
            if rule == "long-body":
                self.answer(status, package.read(4000), extra, announced=1000)
                return
            announced = None if rule == "no-length" else -1
            self.answer(status, (package, start, length), extra, send=send, hold=rule == "stall", announced=announced)

    def record(self):
        lines = [self.path] + ["%s: %s" % (k, v) for k, v in self.headers.items()]
        with self.server.log_lock, open(self.server.log, "a", encoding="ascii", errors="replace") as log:
            log.write("\n".join(lines) + "\n\n")

    def answer(self, status, body, extra=None, send=None, hold=False, announced=-1):
        """body: bytes, or (file, offset, length) sent from the file with sendfile where the
        socket allows it, so that the server is never what limits a download. announced: the
        Content-Length (-1: the body's length; None: no header). Adds the body bytes that went
        out to the "sent" file."""
        length = len(body) if isinstance(body, bytes) else body[2]
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if announced is not None:
            self.send_header("Content-Length", str(length if announced == -1 else announced))
        self.send_header("Connection", "close")
        for name, value in (extra or {}).items():
            self.send_header(name, value)
        count = length if send is None else send
        sent = 0
        try:
            if isinstance(body, bytes):  # in the same write as the headers
                self._headers_buffer.append(b"\r\n" + body[:count])
                self.flush_headers()
                sent = count
            else:
                self.end_headers()
                self.wfile.flush()
                sent = self.connection.sendfile(body[0], body[1], count) if count > 0 else 0
            self.wfile.flush()
        finally:
            self.server.count_sent(sent)
        while hold and os.path.exists(self.server.lease):
            time.sleep(LEASE_POLL_SECONDS)
        self.close_connection = True


class PackageServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, folder):
        super().__init__(("127.0.0.1", 0), PackageHandler)
        self.root = os.path.join(folder, "files")
        self.log = os.path.join(folder, "requests")
        self.rules = os.path.join(folder, "rules")
        self.lease = os.path.join(folder, "lease")
        self.sent = os.path.join(folder, "sent")
        self.log_lock = threading.Lock()

    def count_sent(self, count):
        with self.log_lock, open(self.sent, "a", encoding="ascii") as sent:
            sent.write("%d\n" % count)

    def rule_for(self, path):
        try:
            with open(self.rules, encoding="utf-8") as rules:
                return dict(line.split(" ", 1) for line in rules.read().splitlines()).get(path, "serve")
        except (OSError, ValueError):
            return "serve"


def run_while_leased(lease, max_seconds):
    deadline = time.monotonic() + max_seconds
    while time.monotonic() < deadline and os.path.exists(lease):
        time.sleep(LEASE_POLL_SECONDS)
    os._exit(0)  # the handler threads are daemons; nothing is left to flush


def write_atomically(path, text):
    with open(path + ".tmp", "w", encoding="utf-8") as file:
        file.write(text)
    os.replace(path + ".tmp", path)  # the reader never sees half a file


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--https", action="store_true")
    parser.add_argument("--openssl", default="openssl")
    parser.add_argument("--max-seconds", type=float, default=120)
    args = parser.parse_args()

    try:
        server = PackageServer(args.dir)
        if args.https:
            certificate, key = make_certificates(os.path.join(args.dir, "tls"), args.openssl)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(certificate, key)
            server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    except Exception:
        write_atomically(os.path.join(args.dir, "failure"), traceback.format_exc())
        raise
    threading.Thread(target=server.serve_forever, daemon=True).start()
    write_atomically(os.path.join(args.dir, "port"), "%d\n" % server.server_address[1])
    run_while_leased(server.lease, args.max_seconds)


if __name__ == "__main__":
    main()
