"""A web seed on 127.0.0.1 that misbehaves in one chosen way for every
request, for tests of the engine against it.

usage: hostile_web_seed.py MODE PORT_FILE [ROOT]
  endless  - the asked range, then bytes without end
  chunked  - a chunked answer whose first chunk is 2^64-1 bytes long
  longer   - a length and a body ten times the asked range
With ROOT, a request without a range is answered plainly with the file
under ROOT (or 404), so that a seed and its digest can be fetched from it.
The port it listens on is written to PORT_FILE; it serves until killed.
"""
import os
import re
import socket
import sys
import threading

BLOCK = b"z" * 65536


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        more = conn.recv(4096)
        if not more:
            return None
        data += more
    return data.decode("latin-1")


def asked_range(request):
    m = re.search(r"(?im)^range:\s*bytes=(\d+)-(\d+)", request)
    return (int(m.group(1)), int(m.group(2))) if m else None


def serve_plainly(conn, request, root):
    path = request.split(" ", 2)[1].split("?", 1)[0].lstrip("/")
    full = os.path.realpath(os.path.join(root, path))
    if not full.startswith(os.path.realpath(root) + os.sep) or not os.path.isfile(full):
        conn.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
        return
    with open(full, "rb") as f:
        body = f.read()
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body)


def send_forever(conn):
    while True:
        conn.sendall(BLOCK)


def serve(conn, mode, root):
    try:
        while True:
            request = read_request(conn)
            if request is None:
                return
            asked = asked_range(request)
            if asked is None and root:
                serve_plainly(conn, request, root)
                continue
            first, last = asked or (0, 1 << 20)
            size = last - first + 1
            head = "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\n"
            head += "Content-Range: bytes %d-%d/%d\r\n" % (first, last, last + 1)
            if mode == "endless":
                conn.sendall((head + "\r\n").encode())
                send_forever(conn)
            elif mode == "chunked":
                head += "Transfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n"
                conn.sendall(head.encode())
                send_forever(conn)
            else:
                length = size * 10
                conn.sendall((head + "Content-Length: %d\r\n\r\n" % length).encode())
                while length > 0:
                    n = min(length, len(BLOCK))
                    conn.sendall(BLOCK[:n])
                    length -= n
    except OSError:
        pass
    finally:
        conn.close()


def main():
    mode, port_file = sys.argv[1], sys.argv[2]
    root = sys.argv[3] if len(sys.argv) > 3 else None
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % listener.getsockname()[1])
    os.rename(port_file + ".tmp", port_file)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, mode, root), daemon=True).start()


if __name__ == "__main__":
    main()
