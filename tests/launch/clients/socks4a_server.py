#!/usr/bin/env python3
"""A minimal SOCKS 4a server for the tests: no Debian package serves SOCKS 4a
(danted refuses it), so this one stands in for a SOCKS 4 proxy that looks
names up itself. Usage: socks4a_server.py ADDRESS PORT. Each request's target
is printed ("name dest.example 80" or "address 1.2.3.4 80") before it is
looked up here, with this process's own resolver, and connected to."""
import socket
import sys
import threading


def read_until_nul(conn):
    data = b""
    while not data.endswith(b"\0"):
        byte = conn.recv(1)
        if not byte:
            raise ConnectionError("closed")
        data += byte
    return data[:-1]


def pump(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    finally:
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def serve(conn):
    with conn:
        head = b""
        while len(head) < 8:
            more = conn.recv(8 - len(head))
            if not more:
                return
            head += more
        port = int.from_bytes(head[2:4], "big")
        read_until_nul(conn)  # the user ID
        if head[4:7] == b"\0\0\0" and head[7] != 0:
            host = read_until_nul(conn).decode()
            print("name", host, port, flush=True)
        else:
            host = socket.inet_ntoa(head[4:8])
            print("address", host, port, flush=True)
        try:
            out = socket.create_connection((host, port), timeout=10)
        except OSError:
            conn.sendall(bytes([0, 91, 0, 0, 0, 0, 0, 0]))
            return
        conn.sendall(bytes([0, 90, 0, 0, 0, 0, 0, 0]))
        with out:
            back = threading.Thread(target=pump, args=(out, conn), daemon=True)
            back.start()
            pump(conn, out)
            back.join()


def main():
    server = socket.create_server((sys.argv[1], int(sys.argv[2])))
    while True:
        conn, _ = server.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


main()
