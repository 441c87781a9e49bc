# Test web sites: HTTP/1.1 keep-alive servers, plain on ADDRESS:80 and TLS on ADDRESS:443. Usage: sites.py ADDRESS
# CERT KEY. Every page answers 200 with the Host asked for; /dns-query?dns= is a DNS-over-HTTPS stand-in
# (RFC 8484, GET) answering A queries with ADDRESS and printing each name asked.
import base64
import http.server
import socket
import ssl
import struct
import sys
import threading
import urllib.parse


def dns_answer(query):
    at, labels = 12, []
    while query[at]:
        labels.append(query[at + 1:at + 1 + query[at]].decode())
        at += 1 + query[at]
    qtype = struct.unpack(">H", query[at + 1:at + 3])[0]
    print(".".join(labels), qtype, flush=True)
    records = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) + socket.inet_aton(sys.argv[1]) if qtype == 1 else b""
    return query[:2] + struct.pack(">HHHHH", 0x8180, 1, 1 if records else 0, 0, 0) + query[12:at + 5] + records


class Page(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps connections open, as real sites do

    def do_GET(self):
        asked = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query).get("dns", [None])[0]
        body = dns_answer(base64.urlsafe_b64decode(asked + "=" * (-len(asked) % 4))) if asked \
            else f"<!doctype html><title>hushwall test site</title><p>{self.headers.get('Host')}\n".encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/dns-message" if asked else "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


if __name__ == "__main__":
    for port in (80, 443):
        server = http.server.ThreadingHTTPServer((sys.argv[1], port), Page)
        if port == 443:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*sys.argv[2:])
            # The handshake runs on the connection's own thread, not in accept.
            server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
        threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Event().wait()
