"""Serves the test page and the example page script on 127.0.0.1 and takes the page's
report. Prints the port, then writes the report to the file named first and exits."""
import http.server
import pathlib
import sys

report_file = pathlib.Path(sys.argv[1])
files = {"/page.html": pathlib.Path(sys.argv[2]), "/p11agent.js": pathlib.Path(sys.argv[3])}


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        path = files.get(self.path.split("?")[0])
        if path is None:
            self.send_error(404)
            return
        body = path.read_bytes()
        self.send_response(200)
        kind = "text/html" if path.suffix == ".html" else "text/javascript"
        self.send_header("Content-Type", f"{kind}; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(204)
        self.end_headers()
        report_file.write_bytes(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
while not report_file.exists():
    server.handle_request()
