"""Serves the test page and the example page script on 127.0.0.1 and takes the page's
report. Prints the port, then writes the report to the file named first and exits.
Each connection has a thread of its own: a browser opens connections ahead that it may
never send a request on, and one such connection must not hold the page's requests."""
import http.server
import os
import pathlib
import sys
import threading

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
        # Whole or not at all, for the test that waits for it.
        partial = report_file.with_suffix(".partial")
        partial.write_bytes(body)
        os.replace(partial, report_file)
        reported.set()

    def log_message(self, format, *args):
        # On the error stream, which the test keeps with the browser's log.
        sys.stderr.write("server: %s\n" % (format % args))


reported = threading.Event()
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
print(server.server_address[1], flush=True)
threading.Thread(target=server.serve_forever, daemon=True).start()
reported.wait()
server.shutdown()
