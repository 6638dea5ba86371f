#!/usr/bin/env python3
"""Scripted HTTP peer of the HTTP suite: what nginx cannot do.

POST /upload  parses the multipart/form-data body with the standard
              library's email parser and answers with what it found (JSON).
GET /echo     answers with the request's header block as the body.
GET /slow     sends 8 chunks of 1000 bytes, 50 ms apart.
"""
import email.parser
import email.policy
import http.server
import json
import sys
import time
import zlib


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


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.replace(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
