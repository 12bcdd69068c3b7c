#!/usr/bin/env python3
"""A log store on a slow link: takes one HTTP PUT on a loopback port and reads its
body at a fixed rate through a small receive buffer, so the sender's kernel sees
the store's pace. Optionally stops reading part way and holds the connection, as a
store that hangs. Prints its port, then "last byte <monotonic seconds>" whenever it
stops reading; stores the body it read and answers 201 when the body is whole.

  slow-http-store.py --rate 1200 --store DIR [--stop-after BYTES] [--key KEY]
"""
import argparse
import os
import socket
import sys
import time
import urllib.parse


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rate", type=int, required=True, help="body bytes per second")
    parser.add_argument("--store", required=True, help="folder the body is stored in, under the request's path")
    parser.add_argument("--stop-after", type=int, default=0, help="stop reading after this many body bytes")
    parser.add_argument("--key", default="", help="the AccessKey header asked for")
    args = parser.parse_args()

    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # Accepted connections keep the listener's small buffer: the kernel takes little ahead of the reads.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)

    connection, _ = listener.accept()
    head = b""
    while b"\r\n\r\n" not in head:
        data = connection.recv(1)
        if not data:
            return 1
        head += data
    lines = head.decode("latin-1").split("\r\n")
    path = lines[0].split(" ")[1]
    headers = {l.split(":", 1)[0].strip().lower(): l.split(":", 1)[1].strip() for l in lines[1:] if ":" in l}
    length = int(headers.get("content-length", "0"))
    if args.key and headers.get("accesskey") != args.key:
        connection.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        return 0

    body = bytearray()
    step = max(1, args.rate // 10)
    next_read = time.monotonic()
    while len(body) < length:
        want = min(step, length - len(body))
        if args.stop_after:
            want = min(want, args.stop_after - len(body))
        data = connection.recv(want)
        if not data:
            break
        body += data
        if args.stop_after and len(body) >= args.stop_after:
            print("last byte %.3f" % time.monotonic(), flush=True)
            while True:  # holds the connection, reading nothing, until killed
                time.sleep(1)
        next_read += len(data) / args.rate
        time.sleep(max(0.0, next_read - time.monotonic()))
    print("last byte %.3f" % time.monotonic(), flush=True)
    if len(body) == length:
        target = os.path.join(args.store, urllib.parse.unquote(path.lstrip("/")))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as out:
            out.write(body)
        connection.sendall(b"HTTP/1.1 201 Created\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
    connection.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
