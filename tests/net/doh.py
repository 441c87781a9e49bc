"""A DNS-over-HTTPS stand-in (RFC 8484): answers every A query with one
address, every other query with no records, over GET and POST on
/dns-query, and prints each name asked. Usage: doh.py ADDRESS:PORT CERT KEY ANSWER
"""
import base64
import http.server
import socket
import ssl
import struct
import sys


def answer(query, address):
    ident, _flags, questions = struct.unpack(">HHH", query[:6])
    at, labels = 12, []
    while query[at]:
        labels.append(query[at + 1:at + 1 + query[at]].decode())
        at += 1 + query[at]
    qtype = struct.unpack(">H", query[at + 1:at + 3])[0]
    question = query[12:at + 5]
    print(".".join(labels), qtype, flush=True)
    records = b""
    if qtype == 1:
        records = b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) + socket.inet_aton(address)
    return struct.pack(">HHHHHH", ident, 0x8180, questions, 1 if records else 0, 0, 0) + question + records


class Resolver(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def reply(self, query):
        body = answer(query, sys.argv[4])
        self.send_response(200)
        self.send_header("Content-Type", "application/dns-message")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        encoded = self.path.split("dns=", 1)[1].split("&")[0]
        self.reply(base64.urlsafe_b64decode(encoded + "=" * (-len(encoded) % 4)))

    def do_POST(self):
        self.reply(self.rfile.read(int(self.headers["Content-Length"])))

    def log_message(self, *args):
        pass


if __name__ == "__main__":
    host, port = sys.argv[1].rsplit(":", 1)
    server = http.server.ThreadingHTTPServer((host, int(port)), Resolver)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[2], sys.argv[3])
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()
