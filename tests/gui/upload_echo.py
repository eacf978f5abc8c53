#!/usr/bin/env python3
# A loopback collection server for the crash reporter's tests: prints
# "PORT n", then for every POST one JSON line of what the standard e-mail
# parser found in the multipart form (name -> value), and answers 200.
import email.parser
import email.policy
import http.server
import json
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        declared = int(self.headers.get("Content-Length", "-1"))
        body = self.rfile.read(declared) if declared >= 0 else b""
        # Anything sent beyond the declared length would be the next request.
        self.connection.settimeout(0.2)
        try:
            extra = len(self.rfile.read1(65536))
        except OSError:
            extra = 0
        head = ("Content-Type: %s\r\n\r\n" % self.headers.get("Content-Type", "")).encode()
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(head + body)
        parts = {}
        if message.is_multipart():
            for part in message.iter_parts():
                parts[part.get_param("name", header="content-disposition")] = \
                    part.get_payload(decode=True).decode("utf-8")
        print(json.dumps({"parts": parts, "length": len(body), "declared": declared, "extra": extra,
                          "agent": self.headers.get("User-Agent", "")}), flush=True)
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print("PORT %d" % server.server_address[1], flush=True)
server.serve_forever()
