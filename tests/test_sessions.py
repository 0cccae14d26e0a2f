# Sessions (--commands) and JSON Lines (--json) of the built tools: kestrow beside the
# simulated supplies of supply-sim --usb, morvish against supply-sim on loopback.
import errno
import json

import pytest

from conftest import (SEARCH_END, SUCCESS, beside_supplies, cannot_open, received, run, sent,
                      simulator, tool)
from lan_cases import COMMAND

KESTROW, MORVISH, SIM = tool("kestrow"), tool("morvish"), tool("supply_sim")
OTHER = "A1 B2 01 0D 0A"  # answered with 8 bytes
UNKNOWN = "A1 B2 20 0D 0A"  # an unknown code: the answer is a mismatch


def kestrow(tmp_path, devices, args, stdin="/dev/null", stdout=None):
    """kestrow's result beside the devices, and the count of writes."""
    result, log = beside_supplies(tmp_path, devices, [KESTROW, *args], stdin=stdin, stdout=stdout)
    return result, sum(" write " in line for line in log)


def morvish(options, args, *command):
    """morvish's result against the simulator, and the count of commands it received."""
    with simulator(*options, once=False) as sim:
        result = run([MORVISH, *args, "127.0.0.1", sim.port, *command])
        return result, sim.logged()


def objects(out):
    return [json.loads(line) for line in out.decode("ascii").splitlines()]


def brief(out):
    return [(o["line"], o["verdict"], o["status"], o["sent"]) for o in objects(out)]


# name, command file, options, USB devices, TCP simulator options, reports
# (line, verdict, status, sent), exit status, commands that reached the supply
SESSIONS = [
    ("comments, blanks and CRLF", f"# set up\r\n\r\n  {COMMAND}\t# first\r\n\t\n{OTHER}", [], [], [],
     [(3, "carried-out", 0, True), (5, "carried-out", 0, True)], 0, 2),
    ("a bad byte stops it", f"A1 B2 zz 0D 0A\n{COMMAND}\n", [], [], [], [(1, "bad-command", 1, False)], 1, 0),
    ("a mismatch stops it", f"{UNKNOWN}\n{COMMAND}\n", [], [], [], [(1, "mismatch", 2, True)], 2, 1),
    ("keep going after 1 and 2", f"A1 B2\n{UNKNOWN}\n{'01 ' * 65}\n{COMMAND}\n", ["--keep-going"], [], [],
     [(1, "bad-command", 1, False), (2, "mismatch", 2, True), (3, "bad-command", 1, False),
      (4, "carried-out", 0, True)], 1, 2),
    ("status 3 always ends it", f"{COMMAND}\n{COMMAND}\n", ["--keep-going"], ["--fail-read"], ["--close"],
     [(1, "receive-failed", 3, True)], 3, 1),
    ("4096 characters at most", f"{COMMAND:<4096}\r\n{COMMAND:<4097}\n{COMMAND:<9999}\n", ["--keep-going"], [], [],
     [(1, "carried-out", 0, True), (2, "bad-command", 1, False), (3, "bad-command", 1, False)], 1, 1),
    ("an endless line is refused at the limit", None, [], [], [], [(1, "bad-command", 1, False)], 1, 0),
    ("an empty file", "# nothing\n", [], [], [], [], 0, 0),
]


@pytest.mark.parametrize("name, text, options, devices, tcp, reports, status, wire", SESSIONS,
                         ids=[row[0] for row in SESSIONS])
def test_session(tmp_path, name, text, options, devices, tcp, reports, status, wire):
    commands = tmp_path / "commands" if text is not None else "/dev/zero"
    if text is not None:
        commands.write_bytes(text if isinstance(text, bytes) else text.encode())
    usb, sent_usb = kestrow(tmp_path, devices, ["--json", *options, "--commands", "-"], stdin=commands)
    lan, sent_lan = morvish(tcp, ["--json", *options, "--commands", commands])
    # Where the USB read fails, the TCP supply closes without answering.
    lan_reports = [(n, "closed" if v == "receive-failed" else v, s, w) for n, v, s, w in reports]
    for result, wire_count, expected in ((usb, sent_usb, reports), (lan, sent_lan, lan_reports)):
        assert (brief(result.out), result.status, wire_count) == (expected, status, wire)


def test_text_session_is_each_report_and_a_line_feed(tmp_path):
    commands = tmp_path / "commands"
    commands.write_text(f"{COMMAND}\nA1 B2 zz 0D 0A\n")
    one = sent(COMMAND) + received("A1 B2 00 00 0D 0A") + SUCCESS + b"\n"
    refused = '\nInvalid command byte "zz" (line 2, byte 3). 送信コマンドのバイトが正しくありません。\n\n'.encode()
    assert kestrow(tmp_path, [], ["--commands", commands])[0].out == one + refused
    assert morvish([], ["--commands", commands])[0].out == one + refused


def test_nothing_is_sent_once_a_report_is_lost(tmp_path):
    commands = tmp_path / "commands"
    commands.write_text(f"{COMMAND}\n{COMMAND}\n")
    result, writes = kestrow(tmp_path, [], ["--json", "--commands", commands], stdout="/dev/full")
    assert (result.status, writes) == (4, 1)
    assert result.err == b"kestrow: cannot write standard output: No space left on device\n"


# A file that cannot be read, and one that is UTF-16 without a byte order mark, are
# refused at once, naming the file, before anything is touched.
@pytest.mark.parametrize("content, error, why", [
    (None, errno.ENOENT, "error 2. \u30b3"),
    (f"{COMMAND}\r\n".encode("utf-16-le"), None, "UTF-16 without a byte order mark"),
], ids=["missing", "UTF-16 without a mark"])
def test_a_file_refused_whole_touches_nothing(tmp_path, content, error, why):
    path = tmp_path / "commands"
    if content is not None:
        path.write_bytes(content)
    lan, connections = morvish([], ["--json", "--commands", path])
    for result in (kestrow(tmp_path, [], ["--json", "--commands", path])[0], lan):
        (o,) = objects(result.out)
        assert (o["command"], o["verdict"], o["status"], o["error"], o["line"], result.status) == (
            None, "bad-command", 1, error, None, 1)
        assert o["message"].startswith(f'Cannot read the command file "{path}": {why}')
    assert "open" not in (tmp_path / "devices.log").read_text() and connections == 0


# tool, simulator options, command, verdict, status, answer and raw ("" for None)
VERDICTS = [
    ("kestrow", [], COMMAND, "carried-out", 0, "A1 B2 00 00 0D 0A", "A1 B2 00 00 0D 0A"),
    ("morvish", ["--short", "10"], "A1 B2 06 0D 0A", "mismatch", 2, "A1 B2 06" + " 00" * 20,
     "A1 B2 06 00 00 00 00 00 00 00"),
    ("kestrow", ["--answer", "A1\tB2 00,00 0D 0A 00 00 07"], COMMAND, "carried-out", 0, "A1 B2 00 00 0D 0A",
     "A1 B2 00 00 0D 0A 00 00 07"),
    ("kestrow", ["--answer", "00"], COMMAND, "mismatch", 2, "00 " * 5 + "00", ""),
    ("kestrow", ["--hid", "1234:0001"], COMMAND, "not-found", 3, None, None),
    ("kestrow", ["--refuse-open", "--supply"], COMMAND, "carried-out", 0, "A1 B2 00 00 0D 0A", "A1 B2 00 00 0D 0A"),
    ("morvish", ["--close"], COMMAND, "closed", 3, None, None),
    ("morvish", ["--status", "80"], COMMAND, "unexpected-error", 2, "A1 B2 00 80 0D 0A", "A1 B2 00 80 0D 0A"),
] + [("kestrow", ["--status", f"{s:02X}"], COMMAND, key, 2, f"A1 B2 00 {s:02X} 0D 0A", f"A1 B2 00 {s:02X} 0D 0A")
     for s, key in enumerate(["header-not-detected", "footer-not-detected", "invalid-instruction",
                              "channel-out-of-range", "address-out-of-range", "invalid-format", "knob-in-use"], 1)]


@pytest.mark.parametrize("program, options, command, verdict, status, answer, raw", VERDICTS,
                         ids=[f"{row[0]}-{row[3]}-{'-'.join(row[1])}" for row in VERDICTS])
def test_json_verdicts(tmp_path, program, options, command, verdict, status, answer, raw):
    result = (kestrow(tmp_path, options, ["--json", *command.split()]) if program == "kestrow" else
              morvish(options, ["--json"], *command.split()))[0]
    (o,) = objects(result.out)
    assert (o["verdict"], o["status"], result.status, o["answer"], o["raw"], o["error"]) == (
        verdict, status, status, answer, raw, None)
    assert o["command"] == command and o["sent"] == (verdict not in ("not-found", "send-failed"))
    assert list(o) == ["command", "sent", "answer", "raw", "verdict", "message", "status", "error"]
    notes = {"--refuse-open": cannot_open("/dev/hidraw0", 13), "--hid": SEARCH_END}  # JSON mode keeps them apart
    assert result.err == b"".join(notes.get(option, b"") for option in options)

