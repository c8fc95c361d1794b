# The scripted server of platform_windows.exe, on 127.0.0.1; prints its port, then serves until killed.
import http.server
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        path = self.path
        if path == "/ok":
            self.answer(200, b"hello", [("Content-Length", "5")])
        elif path == "/missing":
            self.answer(404, b"gone", [("Content-Length", "4")])
        elif path.startswith("/hops/"):
            left = int(path[6:])
            target = "/ok" if left <= 1 else "/hops/%d" % (left - 1)
            self.answer(302, b"", [("Location", target), ("Content-Length", "0")])
        elif path == "/gzip":
            self.answer(200, b"\x1f\x8b", [("Content-Encoding", "gzip"), ("Content-Length", "2")])
        elif path == "/short":
            self.answer(200, b"12345", [("Content-Length", "10")])
        elif path == "/silent":
            self.answer(200, b"", [("Content-Length", "10")])
            self.wfile.flush()
            time.sleep(4)
        elif path == "/range":
            told = "%s|%s" % (self.headers.get("Range"), self.headers.get("If-Range"))
            self.answer(206, told.encode(), [("Content-Length", str(len(told)))])
        else:
            self.answer(400)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
server.serve_forever()
