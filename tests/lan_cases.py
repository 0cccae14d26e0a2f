# What the tools' tests share natively and under Wine: the exchanges with the simulator
# and their whole expected output (the USB tests take those that are not about TCP), and
# loopback ports that refuse or never answer.
import contextlib
import socket
import time

from conftest import (BY_STATUS, CLOSED_WITHOUT_ANSWER, MISMATCH, SUCCESS, UNEXPECTED, receive_failed, received, sent,
                      simulator)

COMMAND = "A1 B2 00 0D 0A"
CODE6 = "A1 B2 06 0D 0A"
WHOLE23 = "A1 B2 06" + " 00" * 18 + " 0D 0A"
ANSWERED = sent(COMMAND) + received("A1 B2 00 00 0D 0A") + SUCCESS
FULL = "full queue"  # in place of simulator options: a port that never answers
TCP_ONLY = {"--pieces", "--pause", "--close", "--reset-after", "--silent"}


def exchanges(timed_out, reset=None):
    """Rows: name, simulator options, command, output, status, least and most seconds."""
    rows = [
        ("success", [], COMMAND, sent(COMMAND) + received("A1 B2 00 00 0D 0A") + SUCCESS, 0),
        ("echo mismatch", ["--answer", "A1 B3 00 00 0D 0A"], COMMAND,
         sent(COMMAND) + received("A1 B3 00 00 0D 0A") + MISMATCH, 2),
        ("code 6 prints 23 bytes", [], CODE6, sent(CODE6) + received(WHOLE23) + SUCCESS, 0),
        ("unknown code ends when quiet", [], "A1 B2 20 0D 0A", sent("A1 B2 20 0D 0A") + received("") + MISMATCH, 2),
        ("short answer, missing bytes zero", ["--short", "10"], CODE6,
         sent(CODE6) + received("A1 B2 06" + " 00" * 20) + MISMATCH, 2),
        ("one byte at a time", ["--pieces", "23", "--pause", "20"], CODE6, sent(CODE6) + received(WHOLE23) + SUCCESS, 0),
        ("no answer", ["--silent"], COMMAND, sent(COMMAND) + receive_failed(timed_out), 3, 4.8, 6.5),
        ("closed without answer", ["--close"], COMMAND, sent(COMMAND) + CLOSED_WITHOUT_ANSWER, 3),
        # The frame is whole after 23 bytes: the rest is never waited for.
        ("64 pieces end with the frame", ["--answer", WHOLE23 + " FF" * 41, "--pieces", "64", "--pause", "10"], CODE6,
         sent(CODE6) + received(WHOLE23) + SUCCESS, 0),
        ("longer than 64 stops at 64", ["--answer", "A1 B2 20 00" + " 0D 0A" * 48], "A1 B2 20 0D 0A",
         sent("A1 B2 20 0D 0A") + received("") + MISMATCH, 2, 0, 0.5),
    ]
    for status in [*range(1, 9), 0x80]:
        rows.append((f"status {status:02X}", ["--status", f"{status:02X}"], COMMAND,
                     sent(COMMAND) + received(f"A1 B2 00 {status:02X} 0D 0A") +
                     (BY_STATUS[status] if status < 8 else UNEXPECTED), 2))
    if reset is not None:
        rows.append(("reset in the answer", ["--reset-after", "3", "--pause", "100"], CODE6,
                     sent(CODE6) + receive_failed(reset), 3))
    return [row + (0, 2)[len(row) - 5:] for row in rows]  # 0 to 2 seconds unless given


def usb_exchanges():
    """The exchanges that are the same over USB: name, options, command, output, status."""
    return [row[:5] for row in exchanges(None) if not TCP_ONLY & set(row[1])]


def loopback(backlog=None):
    """A TCP socket on a free loopback port: refusing unless backlog is given."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    if backlog is not None:
        server.listen(backlog)
    return server, str(server.getsockname()[1])


def contacted(server):
    server.setblocking(False)
    try:
        server.accept()[0].close()
        return True
    except BlockingIOError:
        return False


@contextlib.contextmanager
def supply_port(options, once=True):
    """The port of a simulator given these options; None: a port that refuses; FULL."""
    if options is None:
        server, port = loopback()
        with server:
            yield port
    elif options == FULL:  # its queue is full and never accepted: connecting gets no answer at all
        server, port = loopback(0)
        waiting = [socket.socket() for _ in range(3)]
        for client in waiting:
            client.setblocking(False)
            client.connect_ex(("127.0.0.1", int(port)))
        time.sleep(0.1)
        try:
            yield port
        finally:
            for client in waiting + [server]:
                client.close()
    else:
        with simulator(*options, once=once) as sim:
            yield sim.port
