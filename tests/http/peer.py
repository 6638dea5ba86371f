#!/usr/bin/env python3
"""Scripted HTTP peer of the HTTP suite: what nginx cannot do.

POST /upload  parses the multipart/form-data body with the standard
              library's email parser and answers with what it found (JSON).
GET /echo     answers with the request's header block as the body.
GET /slow     sends 8 chunks of 1000 bytes, 50 ms apart.
GET /tls-connections  how many connections the TLS server has accepted.
The TLS server (certificate and key from the command line) answers the
same requests and counts its connections, failed handshakes included.
"""
import email.parser
import email.policy
import http.server
import json
import ssl
import sys
import threading
import time
import zlib

TLS_CONNECTIONS = 0
TLS_LOCK = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, body, status=200, content_type="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/echo"):
            self.reply(str(self.headers).encode("latin-1"))
        elif self.path.startswith("/tls-connections"):
            with TLS_LOCK:
                self.reply(str(TLS_CONNECTIONS).encode())
        elif self.path.startswith("/slow"):
            self.send_response(200)
            self.send_header("Content-Length", "8000")
            self.end_headers()
            for _ in range(8):
                self.wfile.write(b"s" * 1000)
                self.wfile.flush()
                time.sleep(0.05)
        else:
            self.reply(b"unknown", 404)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        content_type = self.headers.get("Content-Type", "")
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
        parts = []
        if message.is_multipart():
            for part in message.iter_parts():
                data = part.get_payload(decode=True) or b""
                parts.append({
                    "name": part.get_param("name", header="content-disposition"),
                    "filename": part.get_filename(),
                    "type": part.get_content_type(),
                    "length": len(data),
                    "crc32": zlib.crc32(data),
                })
        answer = {
            "content_length": length,
            "received": len(body),
            "boundary": message.get_boundary(),
            "defects": len(message.defects),
            "parts": parts,
        }
        self.reply(json.dumps(answer, sort_keys=True).encode(), content_type="application/json")


class CountingTlsServer(http.server.ThreadingHTTPServer):
    def __init__(self, certificate, key):
        super().__init__(("127.0.0.1", 0), Handler)
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(certificate, key)

    def get_request(self):
        global TLS_CONNECTIONS
        sock, address = self.socket.accept()
        with TLS_LOCK:
            TLS_CONNECTIONS += 1
        sock.settimeout(10)
        try:
            tls = self.context.wrap_socket(sock, server_side=True)
        except OSError:
            sock.close()
            raise
        tls.settimeout(None)
        return tls, address


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    tls = CountingTlsServer(sys.argv[2], sys.argv[3])
    threading.Thread(target=tls.serve_forever, daemon=True).start()
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write("%d %d\n" % (server.server_address[1], tls.server_address[1]))
    import os
    os.replace(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
