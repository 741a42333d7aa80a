#!/usr/bin/python3
"""An independent decoder of request bodies for the engine's tests, standard library only.

Listens on 127.0.0.1 on a free port and prints "PORT <n>" on its first line. Every request is
answered with a JSON report of what arrived: method, path, headers, the body's size and SHA-256
(as sent and after gzip inflation), and the decoded form: URL-encoded pairs in order, or the
parts of a multipart body (name, file name, content type, size, SHA-256, bytes in hex).

A path "/status/<code>" answers with that status (and "Location" from the query's "location")
and the same report, for redirect tests.
"""

import gzip
import hashlib
import http.server
import json
import os
import socketserver
import sys
import threading
import urllib.parse
from email import policy
from email.parser import BytesParser, Parser


def charset_of(content_type, default="utf-8"):
    for param in content_type.split(";")[1:]:
        key, _, value = param.strip().partition("=")
        if key.strip().lower() == "charset" and value:
            return value.strip().strip('"')
    return default


def decode_multipart(content_type, body, charset):
    head = b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n"
    message = BytesParser(policy=policy.HTTP).parsebytes(head + body)
    if not message.is_multipart():
        return {"error": "not a multipart body", "defects": [str(d) for d in message.defects]}
    # The bytes parser keeps payloads exact but not header bytes outside ASCII: header
    # parameters are read from the same message parsed as Latin-1 text, which keeps every byte.
    shadow = Parser(policy=policy.HTTP).parsestr((head + body).decode("latin-1"))
    shadow_parts = list(shadow.iter_parts()) if shadow.is_multipart() else []

    def param(index, name):
        source = shadow_parts[index] if index < len(shadow_parts) else None
        value = source.get_param(name, header="content-disposition") if source else None
        if value is None:
            return None
        return value.encode("latin-1", "replace").decode(charset, "replace")

    parts = []
    for index, part in enumerate(message.iter_parts()):
        disposition = part.get("Content-Disposition")
        data = part.get_payload(decode=True) or b""
        parts.append({
            "name": param(index, "name"),
            "filename": param(index, "filename"),
            "content_type": part.get_content_type() if part.get("Content-Type") else None,
            "header_names": [key for key in part.keys()],
            "disposition": str(disposition) if disposition is not None else None,
            "size": len(data),
            "sha256": hashlib.sha256(data).hexdigest(),
            "text": data.decode(charset, "replace") if len(data) <= 4096 else None,
        })
    return {"parts": parts, "defects": [str(d) for d in message.defects]}


def decode_urlencoded(body, charset):
    pairs = urllib.parse.parse_qsl(body.decode("ascii", "replace"), keep_blank_values=True,
                                   encoding=charset, errors="replace")
    return {"pairs": [[key, value] for key, value in pairs]}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def read_body(self):
        if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return body, True
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length), False

    def handle_any(self):
        raw, chunked = self.read_body()
        report = {
            "method": self.command,
            "path": self.path,
            "headers": {key.lower(): value for key, value in self.headers.items()},
            "chunked": chunked,
            "raw_size": len(raw),
            "raw_sha256": hashlib.sha256(raw).hexdigest(),
        }
        body = raw
        if "gzip" in (self.headers.get("Content-Encoding") or "").lower():
            try:
                body = gzip.decompress(raw)
            except Exception as error:  # reported, not raised: the test decides
                report["gzip_error"] = str(error)
        report["size"] = len(body)
        report["sha256"] = hashlib.sha256(body).hexdigest()
        content_type = self.headers.get("Content-Type") or ""
        charset = charset_of(content_type)
        kind = content_type.split(";")[0].strip().lower()
        try:
            if kind == "multipart/form-data":
                report["form"] = decode_multipart(content_type, body, charset)
            elif kind == "application/x-www-form-urlencoded":
                report["form"] = decode_urlencoded(body, charset)
        except Exception as error:
            report["form"] = {"error": str(error)}

        status = 200
        location = None
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/status/"):
            status = int(url.path[len("/status/"):])
            location = urllib.parse.parse_qs(url.query).get("location", [None])[0]
        answer = json.dumps(report, ensure_ascii=True).encode("ascii")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(answer)))
        if location:
            self.send_header("Location", location)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(answer)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = handle_any


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def exit_when_parent_goes():
    # The test holds our standard input open; end of file means it is gone.
    sys.stdin.buffer.read()
    os._exit(0)


def main():
    threading.Thread(target=exit_when_parent_goes, daemon=True).start()
    server = Server(("127.0.0.1", 0), Handler)
    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
