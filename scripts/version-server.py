#!/usr/bin/env python3
"""A version server on this machine for the main job.

Serves the files of DIR over HTTP on 127.0.0.1 at a free port and prints
that port on its first line. Files go out at a steady pace (--rate bytes per
second) so that a package download shows its percentage, speed and remaining
time as it would from a distant server.
"""
import argparse
import functools
import http.server
import sys
import time


class PacedHandler(http.server.SimpleHTTPRequestHandler):
    rate = 0

    def copyfile(self, source, outputfile):
        if self.rate <= 0:
            super().copyfile(source, outputfile)
            return
        piece = max(1024, self.rate // 20)
        while True:
            data = source.read(piece)
            if not data:
                break
            outputfile.write(data)
            outputfile.flush()
            time.sleep(len(data) / self.rate)

    def log_message(self, fmt, *args):
        sys.stderr.write("version server: " + (fmt % args) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", required=True, help="folder whose files are served")
    parser.add_argument("--rate", type=int, default=80000, help="bytes per second (0: no pace)")
    args = parser.parse_args()
    handler = functools.partial(PacedHandler, directory=args.dir)
    PacedHandler.rate = args.rate
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
