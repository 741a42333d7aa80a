#!/usr/bin/python3
"""Stands in for the hosted CDN management service in tests (no such server can run here).

* GET /auth/v1.0 is forwarded to the object store's token auth; the real X-Auth-Token and
  X-Storage-Url come back unchanged and X-CDN-Management-Url (pointing here) is added.
* /cdn/v1/<account>[/<container>] answers HEAD/GET/PUT/POST. Every call is first checked
  against the store (HEAD on the account with the caller's X-Auth-Token), so tokens are real.
* CDN state (enabled, TTL, log retention) is kept in memory; every request is appended as one
  JSON line to CDN_LOG so a test can check exactly what the client sent.
Only the forming of requests and the reading of answers can be tested against this.
Environment: SWIFT_PORT (the store's proxy), CDN_PORT (this server), CDN_LOG.
"""
import http.client, http.server, json, os, sys, time, urllib.parse

SWIFT = ("127.0.0.1", int(os.environ.get("SWIFT_PORT", "18086")))
PORT = int(os.environ.get("CDN_PORT", "18095"))
LOG = os.environ.get("CDN_LOG", os.devnull)
STATE = {}  # account -> container -> dict

def swift(method, path, headers):
    c = http.client.HTTPConnection(*SWIFT, timeout=10)
    c.request(method, path, headers=headers)
    r = c.getresponse(); r.read(); c.close()
    return r

class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def log_message(self, *a): pass
    def reply(self, code, headers=(), body=b""):
        self.send_response(code)
        for k, v in headers: self.send_header(k, v)
        self.send_header("Content-Length", str(len(body))); self.end_headers()
        if self.command != "HEAD": self.wfile.write(body)
    def record(self):
        with open(LOG, "a") as f:
            f.write(json.dumps({"t": time.time(), "method": self.command, "path": self.path,
                                "headers": {k: v for k, v in self.headers.items()}}) + "\n")
    def handle_any(self):
        n = int(self.headers.get("Content-Length") or 0)
        if n: self.rfile.read(n)
        self.record()
        u = urllib.parse.urlsplit(self.path); q = urllib.parse.parse_qs(u.query)
        if u.path == "/auth/v1.0" and self.command == "GET":
            hdrs = {k: v for k, v in self.headers.items() if k.lower() in ("x-auth-user", "x-auth-key", "x-storage-user", "x-storage-pass")}
            r = swift("GET", "/auth/v1.0", hdrs)
            out = [(k, v) for k, v in r.getheaders() if k.lower().startswith("x-")]
            if r.status // 100 == 2:
                acct = r.getheader("X-Storage-Url").rstrip("/").rsplit("/", 1)[1]
                out.append(("X-CDN-Management-Url", f"http://127.0.0.1:{PORT}/cdn/v1/{acct}"))
            return self.reply(r.status, out)
        parts = u.path.split("/")  # ['', 'cdn', 'v1', acct, container?]
        if len(parts) < 4 or parts[1:3] != ["cdn", "v1"]:
            return self.reply(404)
        acct, cont = parts[3], urllib.parse.unquote("/".join(parts[4:]))
        if swift("HEAD", f"/v1/{acct}", {"X-Auth-Token": self.headers.get("X-Auth-Token", "")}).status // 100 != 2:
            return self.reply(401)
        conts = STATE.setdefault(acct, {})
        if not cont:
            if self.command not in ("GET", "HEAD"): return self.reply(405)
            items = sorted(conts.items())
            if q.get("enabled_only", [""])[0].lower() == "true": items = [i for i in items if i[1]["enabled"]]
            fmt = q.get("format", ["plain"])[0]
            if fmt == "json":
                body = json.dumps([{"name": k, "cdn_enabled": v["enabled"], "ttl": v["ttl"], "log_retention": v["log"], "cdn_uri": v["uri"]} for k, v in items]).encode()
                return self.reply(200, [("Content-Type", "application/json; charset=utf-8")], body)
            if fmt == "xml":
                rows = "".join(f"<container><name>{k}</name><cdn_enabled>{v['enabled']}</cdn_enabled><ttl>{v['ttl']}</ttl>"
                               f"<cdn_url>{v['uri']}</cdn_url><log_retention>{v['log']}</log_retention></container>" for k, v in items)
                body = f'<?xml version="1.0" encoding="UTF-8"?>\n<account name="{acct}">{rows}</account>\n'.encode()
                return self.reply(200, [("Content-Type", "application/xml; charset=utf-8")], body)
            body = "".join(k + "\n" for k, _ in items).encode()
            return self.reply(200 if body else 204, [("Content-Type", "text/plain; charset=utf-8")], body)
        flag = lambda name, default: (self.headers.get(name, default).strip().lower() in ("true", "1", "yes"))
        if self.command == "PUT":
            new = cont not in conts
            c = conts.setdefault(cont, {"enabled": True, "ttl": 259200, "log": False, "uri": f"http://127.0.0.1:{PORT}/cdn-files/{acct}/{urllib.parse.quote(cont)}"})
            c["enabled"] = flag("X-CDN-Enabled", "True")
            if "X-TTL" in self.headers: c["ttl"] = int(self.headers["X-TTL"])
            return self.reply(201 if new else 202, [("X-CDN-URI", c["uri"])])
        c = conts.get(cont)
        if c is None: return self.reply(404)
        if self.command == "POST":
            if "X-CDN-Enabled" in self.headers: c["enabled"] = flag("X-CDN-Enabled", "True")
            if "X-TTL" in self.headers: c["ttl"] = int(self.headers["X-TTL"])
            if "X-Log-Retention" in self.headers: c["log"] = flag("X-Log-Retention", "False")
            return self.reply(202, [("X-CDN-URI", c["uri"])])
        if self.command in ("HEAD", "GET"):
            # ?spelling=second answers with the other header spelling the service has used
            if q.get("spelling", [""])[0] == "second":
                return self.reply(204, [("X-Cdn-Enabled", str(c["enabled"])), ("X-Ttl", str(c["ttl"])),
                                        ("X-Cdn-Uri", c["uri"]), ("X-Cdn-Ssl-Uri", c["uri"].replace("http:", "https:"))])
            return self.reply(204, [("X-CDN-Enabled", str(c["enabled"])), ("X-TTL", str(c["ttl"])),
                                    ("X-CDN-URI", c["uri"]), ("X-CDN-SSL-URI", c["uri"].replace("http:", "https:")),
                                    ("X-Log-Retention", str(c["log"]))])
        return self.reply(405)
    do_GET = do_HEAD = do_PUT = do_POST = do_DELETE = handle_any

if __name__ == "__main__":
    http.server.ThreadingHTTPServer(("127.0.0.1", PORT), H).serve_forever()
