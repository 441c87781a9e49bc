"""Test web sites: HTTP/1.1 keep-alive servers, plain or TLS, on given addresses.

Usage: sites.py LISTENER...   where LISTENER is ADDRESS:PORT (plain HTTP) or
ADDRESS:PORT:CERT:KEY (HTTPS). Every page answers 200 with the Host header it
was asked for, never cached; runs until killed.
"""
import http.server
import ssl
import sys
import threading


class Page(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keeps connections open, as real sites do

    def do_GET(self):
        body = f"<!doctype html><title>hushwall test site</title><p>{self.headers.get('Host', '')}\n".encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(body)

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
    for listener in sys.argv[1:]:
        serve(listener)
    print("ready", flush=True)
    threading.Event().wait()
