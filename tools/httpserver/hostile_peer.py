#!/usr/bin/python3
"""A hostile HTTP peer for the logger's end-to-end tests: it takes every
connection, reads the request, and answers in one of the ways a broken or
malicious server (or anyone in the middle of plain HTTP) might:

  trickle   a status line, then a header line every 10 ms, for ever
  bytes     one byte of a status line every 90 ms, for ever
  silent    nothing at all; the connection stays open
  escapes   200 OK with a chunked answer text full of escape sequences,
            bells, bare CRs and a forged termination line

Every request's first line is appended to the file given with --log.

  hostile_peer.py MODE ADDRESS PORT [--log FILE]
"""
import socket
import sys
import threading
import time

ESCAPES = (b"stored\x1b[2J\x1b]0;owned\x07\r17:00:00.000 terminated\n"
           + b"\x1b[31m" + b"A" * 2000)


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = conn.recv(65536)
        if not piece:
            return data
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    while len(body) < length:
        piece = conn.recv(65536)
        if not piece:
            break
        body += piece
    return head


def serve(conn, mode, log):
    try:
        head = read_request(conn)
        if log:
            with open(log, "ab") as f:
                f.write(head.split(b"\r\n", 1)[0] + b"\n")
        if mode == "trickle":
            conn.sendall(b"HTTP/1.1 200 OK\r\n")
            while True:
                conn.sendall(b"X-Filler: 0\r\n")
                time.sleep(0.01)
        elif mode == "bytes":
            while True:
                conn.sendall(b"H")
                time.sleep(0.09)
        elif mode == "silent":
            while conn.recv(65536):
                pass
        elif mode == "escapes":
            conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                         + b"%x\r\n" % len(ESCAPES) + ESCAPES + b"\r\n0\r\n\r\n")
    except OSError:
        pass
    finally:
        conn.close()


def main():
    args = sys.argv[1:]
    log = None
    if "--log" in args:
        i = args.index("--log")
        log = args[i + 1]
        del args[i:i + 2]
    if len(args) != 3 or args[0] not in ("trickle", "bytes", "silent", "escapes"):
        sys.exit(__doc__)
    mode, address, port = args[0], args[1], int(args[2])
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((address, port))
    listener.listen(16)
    print("listening", flush=True)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, mode, log), daemon=True).start()


if __name__ == "__main__":
    main()
