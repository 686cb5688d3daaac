"""A local HTTPS upload server for the recording tests (Python stdlib): a CA and
a server certificate made with openssl, HEAD answers the stored offset in
X-Upload-Offset, PUT appends a chunk at X-Upload-Offset. Behaviours to test
the uploader against: drop the connection mid-body, answer 5xx a few times,
store a chunk but answer 500 (so the retry gets 409 and the offset moved),
and never answer at all."""
import http.server
import os
import socket
import ssl
import subprocess
import threading
import time


def make_ca(tmp):
    """A CA and a server certificate for 127.0.0.1; returns (ca, cert, key) paths."""
    ca_key, ca, key, csr, cert = (os.path.join(tmp, n) for n in
                                  ("ca.key", "ca.pem", "srv.key", "srv.csr", "srv.pem"))
    ext = os.path.join(tmp, "ext.cnf")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    q = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"]
    subprocess.run(["openssl", "req", "-x509", *ec, "-nodes", "-keyout", ca_key,
                    "-out", ca, "-days", "2", "-subj", "/CN=kvd test CA"], **q)
    subprocess.run(["openssl", "req", *ec, "-nodes", "-keyout", key, "-out", csr,
                    "-subj", "/CN=127.0.0.1"], **q)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                    "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", ext], **q)
    return ca, cert, key


class UploadServer:
    """mode: "ok", "drop" (first PUT cut mid-body), "5xx" (first `fails` PUTs 503),
    "conflict" (first PUT stored but answered 500), "hang" (never answers)."""

    def __init__(self, cert, key, mode="ok", fails=3):
        self.mode, self.fails = mode, fails
        self.data = bytearray()
        self.requests = []  # (method, headers dict)
        self.lock = threading.Lock()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *a):
                pass

            def do_HEAD(self):
                server.note(self)
                if server.mode == "hang":
                    time.sleep(3600)
                self.send_response(200)
                self.send_header("X-Upload-Offset", str(len(server.data)))
                self.send_header("Content-Length", "0")
                self.end_headers()

            def do_PUT(self):
                n_put = server.note(self)
                length = int(self.headers.get("Content-Length", "0"))
                offset = int(self.headers.get("X-Upload-Offset", "-1"))
                if server.mode == "hang":
                    time.sleep(3600)
                if server.mode == "drop" and n_put == 1:
                    self.rfile.read(length // 2)
                    self.connection.shutdown(socket.SHUT_RDWR)
                    self.close_connection = True
                    return
                body = self.rfile.read(length)
                if server.mode == "5xx" and n_put <= server.fails:
                    return self.answer(503, "Service Unavailable")
                with server.lock:
                    if offset != len(server.data):
                        return self.answer(409, "Conflict")
                    server.data += body
                if server.mode == "conflict" and n_put == 1:
                    return self.answer(500, "Internal Server Error")
                self.answer(200, "OK")

            def answer(self, code, reason):
                self.send_response(code, reason)
                self.send_header("X-Upload-Offset", str(len(server.data)))
                self.send_header("Content-Length", "0")
                self.end_headers()

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(cert, key)
        self.httpd.socket = ctx.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.url = f"https://127.0.0.1:{self.port}/upload/rec"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def note(self, handler):
        with self.lock:
            self.requests.append((handler.command, {k.lower(): v for k, v in handler.headers.items()}))
            return sum(1 for m, _ in self.requests if m == "PUT")

    def puts(self):
        with self.lock:
            return [h for m, h in self.requests if m == "PUT"]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
