"""A local stand-in for the update service: update information, plain or as a token signed with a
key of the test's own, and the installer download, which can misbehave on demand."""
import hashlib
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

import jwt
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec

ISSUER = "Zeltra"
AUDIENCE = "Velmora Update"


class SigningKey:
    """A P-256 key pair made for one test run; only the test ever holds its private half."""

    def __init__(self):
        self.private = ec.generate_private_key(ec.SECP256R1())
        self.publicPem = self.private.public_key().public_bytes(
            serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo).decode()

    def sign(self, claims, issuer=ISSUER, audience=AUDIENCE, algorithm="ES256"):
        claims = dict(claims)
        if issuer is not None:
            claims["iss"] = issuer
        if audience is not None:
            claims["aud"] = audience
        return jwt.encode(claims, self.private, algorithm=algorithm)


class UpdateStub:
    """The service on one local port. `info` answers every path but the installer's: a body (text or a
    dictionary sent as JSON) and a status. `installer` is served at `/installer`, in `blocks` writes with
    a pause between them, with a "Content-Length" header unless `chunked`, with status `installerStatus`.
    `info` goes without its length (ended by closing) unless `infoLength`, and, with an `infoPause`, one
    byte at a time from the status line on."""

    def __init__(self):
        self.requests = []
        self.info = (200, "{}")
        self.installer = b""
        self.blocks = 1
        self.pause = 0.0
        self.chunked = False
        self.installerStatus = 200
        self.infoLength = True
        self.infoPause = 0.0
        stub = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                stub.serve(self)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        # A stub lives for one test: its close waits for the serving loop's next look at the shutdown
        # flag, half a second apart by default.
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.02},
                                       daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    @property
    def installerHash(self):
        return hashlib.sha512(self.installer).hexdigest()

    def record(self, version, **changes):
        """Update information offering `version` with this stub's installer."""
        information = {"version": version, "interval": 3600, "url": self.url + "/installer",
                       "hash": self.installerHash, "args": ["/SILENT", "two words"]}
        information.update(changes)
        return information

    def serve(self, handler):
        parts = urlsplit(handler.path)
        self.requests.append((parts.path, parse_qsl(parts.query, keep_blank_values=True)))
        if parts.path == "/installer":
            self.sendInstaller(handler)
            return
        status, body = self.info
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        data = body.encode()
        length = f"Content-Length: {len(data)}\r\n" if self.infoLength else "Connection: close\r\n"
        answer = f"HTTP/1.1 {status} Answer\r\n{length}\r\n".encode() + data
        if not self.infoPause:
            handler.wfile.write(answer)
        else:
            try:
                for position in range(len(answer)):
                    handler.wfile.write(answer[position:position + 1])
                    handler.wfile.flush()
                    time.sleep(self.infoPause)
            except (BrokenPipeError, ConnectionResetError):
                return  # the program has given up waiting
        handler.close_connection = not self.infoLength

    def sendInstaller(self, handler):
        data = self.installer
        handler.send_response(self.installerStatus)
        if self.installerStatus == 302:
            handler.send_header("Location", "/installer")
        if self.chunked:
            handler.send_header("Transfer-Encoding", "chunked")
        else:
            handler.send_header("Content-Length", str(len(data)))
        handler.end_headers()
        size = -(-len(data) // self.blocks) or 1
        for start in range(0, len(data), size):
            block = data[start:start + size]
            if self.chunked:
                handler.wfile.write(b"%x\r\n%s\r\n" % (len(block), block))
            else:
                handler.wfile.write(block)
            handler.wfile.flush()
            time.sleep(self.pause)
        if self.chunked:
            handler.wfile.write(b"0\r\n\r\n")
