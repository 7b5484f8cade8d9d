"""A stand-in for the daemon behind TLS, for the tests of vornlogin.

Serves one connection on 127.0.0.1: prints its port, takes the handshake
and the 331-byte login record, sends the reply, and then, with --echo,
sends back what arrives until the client ends its side, and one line more
to show the client still reads after its end. Afterwards it prints what it
saw, one "key value" line each: handshake (ok, or the failure), sni,
client (the client certificate's common name) and record (hex).
"""
import argparse
import signal
import socket
import ssl
import sys

RECORD_SIZE = 331

parser = argparse.ArgumentParser()
parser.add_argument("--cert", required=True)
parser.add_argument("--key", required=True)
parser.add_argument("--client-ca")
parser.add_argument("--reply", required=True, help="hex")
parser.add_argument("--echo", action="store_true")
parser.add_argument("--tls12", action="store_true", help="no later version")
args = parser.parse_args()

# Never outlives a test that lost track of it.
signal.alarm(15)

context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(args.cert, args.key)
if args.client_ca:
    context.load_verify_locations(args.client_ca)
    context.verify_mode = ssl.CERT_OPTIONAL
if args.tls12:
    context.maximum_version = ssl.TLSVersion.TLSv1_2
names = []
context.sni_callback = lambda _socket, name, _context: names.append(name)

listener = socket.create_server(("127.0.0.1", 0))
print(listener.getsockname()[1], flush=True)
raw, _ = listener.accept()
raw.settimeout(10)
report = {"sni": "-", "client": "-", "record": ""}


def finish():
    for key, value in report.items():
        print(key, value)
    sys.exit(0)


try:
    connection = context.wrap_socket(raw, server_side=True)
except (ssl.SSLError, OSError) as error:
    report["handshake"] = getattr(error, "reason", None) or str(error)
    finish()
report["handshake"] = "ok"
report["sni"] = names[0] if names and names[0] else "-"
peer = connection.getpeercert()
if peer:
    report["client"] = dict(field[0] for field in peer["subject"])["commonName"]

record = b""
while len(record) < RECORD_SIZE:
    chunk = connection.recv(RECORD_SIZE - len(record))
    if not chunk:
        break
    record += chunk
report["record"] = record.hex()
try:
    connection.sendall(bytes.fromhex(args.reply))
    if args.echo:
        while chunk := connection.recv(4096):
            connection.sendall(chunk)
        connection.sendall(b"after the end\n")
    connection.unwrap()
except (ssl.SSLError, OSError):
    pass  # a client that left after the reply
finish()
