#!/usr/bin/python3
"""A network client for the launcher's tests written the way most programs
are: the name through the C library (socket.getaddrinfo), then plain
connect, send and recv. The arguments and output lines are those of the
statically linked client (StaticClient.cpp), with the name looked up by the
system:

  --name NAME PORT   "dns ADDRESS" and "dns6 ADDRESS" (the first IPv4 and
                     IPv6 address, or "none") | "dns error TEXT", then HTTP
                     GETs to the IPv4 address: "tcp OK/COUNT" (+ "tcp-error TEXT")
  --count N          how many connections (1)
  --udp ADDR PORT    "udp reply" | "udp none" | "udp error TEXT"
  --v6 ADDR PORT     "v6 ok" | "v6 fail TEXT"
  --icmp ADDR        an ICMP echo request through a ping socket:
                     "icmp reply" | "icmp none" | "icmp error TEXT"
"""
import socket
import sys

WAIT = 5.0


def http_get(family, address):
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.settimeout(WAIT)
        s.connect(address)
        s.sendall(b"GET / HTTP/1.0\r\nHost: dest\r\n\r\n")
        answer = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
    if not answer.startswith((b"HTTP/1.0 200", b"HTTP/1.1 200")):
        raise OSError("answer: %r" % answer[:40])


def datagram_probe(proto, send):
    """Sends one datagram through `send` on a new socket of `proto` and
    waits for one back: "reply", "none" (nothing within WAIT) or "error
    TEXT"."""
    try:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM, proto) as s:
            s.settimeout(WAIT)
            send(s)
            s.recv(256)
            return "reply"
    except socket.timeout:
        return "none"
    except OSError as e:
        return "error " + (e.strerror or str(e))


def udp_probe(address):
    def send(s):
        s.connect(address)
        s.send(b"velmora udp probe")

    return datagram_probe(0, send)


def icmp_probe(address):
    # Echo request; the kernel sets the identifier and the checksum.
    return datagram_probe(
        socket.IPPROTO_ICMP,
        lambda s: s.sendto(b"\x08\x00\x00\x00\x00\x00\x00\x01velmora", (address, 0)))


def main(argv):
    name = None
    count = 1
    udp = v6 = icmp = None
    i = 1
    while i < len(argv):
        if argv[i] == "--name":
            name, port = argv[i + 1], int(argv[i + 2])
            i += 3
        elif argv[i] == "--count":
            count = int(argv[i + 1])
            i += 2
        elif argv[i] == "--udp":
            udp = (argv[i + 1], int(argv[i + 2]))
            i += 3
        elif argv[i] == "--icmp":
            icmp = argv[i + 1]
            i += 2
        elif argv[i] == "--v6":
            v6 = (argv[i + 1], int(argv[i + 2]))
            i += 3
        else:
            print("unknown argument " + argv[i], file=sys.stderr)
            return 2

    failures = 0
    if name is not None:
        try:
            infos = socket.getaddrinfo(name, port, type=socket.SOCK_STREAM)
            v4 = [info[4] for info in infos if info[0] == socket.AF_INET]
            addresses6 = [info[4] for info in infos if info[0] == socket.AF_INET6]
            address = v4[0] if v4 else None
            print("dns " + (address[0] if address else "none"))
            print("dns6 " + (addresses6[0][0] if addresses6 else "none"))
        except OSError as e:
            print("dns error " + str(e))
            address = None
        ok = 0
        first_error = None
        for _ in range(count if address else 0):
            try:
                http_get(socket.AF_INET, address)
                ok += 1
            except OSError as e:
                first_error = first_error or str(e)
        print("tcp %d/%d" % (ok, count))
        if first_error:
            print("tcp-error " + first_error)
        failures += count - ok
    if udp is not None:
        print("udp " + udp_probe(udp))
    if icmp is not None:
        print("icmp " + icmp_probe(icmp))
    if v6 is not None:
        try:
            http_get(socket.AF_INET6, (v6[0], v6[1], 0, 0))
            print("v6 ok")
        except OSError as e:
            print("v6 fail " + str(e))
    sys.stdout.flush()
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
