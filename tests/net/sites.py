"""Test web sites: HTTP/1.1 keep-alive servers, plain or TLS. Usage: sites.py ANSWER LISTENER..., a LISTENER
being ADDRESS:PORT or ADDRESS:PORT:CERT:KEY (HTTPS). Every page answers 200 with the Host asked for, never cached;
/dns-query is a DNS-over-HTTPS stand-in (RFC 8484) answering A queries with ANSWER and printing each name asked."""
import base64
import http.server
import socket
import ssl
import struct
import sys
import threading


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

    def reply(self, body, kind):
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/dns-query?dns="):
            encoded = self.path.split("dns=", 1)[1].split("&")[0]
            return self.reply(dns_answer(base64.urlsafe_b64decode(encoded + "=" * (-len(encoded) % 4))),
                              "application/dns-message")
        host = self.headers.get("Host", "")
        self.reply(f"<!doctype html><title>hushwall test site</title><p>{host}\n".encode(), "text/html")

    def do_POST(self):
        self.reply(dns_answer(self.rfile.read(int(self.headers["Content-Length"]))), "application/dns-message")

    def log_message(self, *args):
        pass


def serve(listener):
    address, port, *tls = listener.split(":")
    server = http.server.ThreadingHTTPServer((address, int(port)), Page)
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*tls)
        # The handshake runs on the connection's own thread, not in accept.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=server.serve_forever, daemon=True).start()


if __name__ == "__main__":
    for listener in sys.argv[2:]:
        serve(listener)
    threading.Event().wait()
