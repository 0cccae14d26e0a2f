# supply-sim --answers: a bad table refused before anything starts, tables per supply,
# and sessions recorded with --json replayed byte for byte on both transports.
import codecs
import json

import pytest

from conftest import run, simulator, tool

SIM = tool("supply_sim")
KESTROW = tool("kestrow")
MORVISH = tool("morvish")

# The supply at the rig: data in a reading, statuses of its own, an all-zero answer, a
# short one, and the default answer (--status 06) for the commands no rule names.
RIG = """\
A1 B2 01 0D 0A => A1 B2 01 00 00 7F 0D 0A   # a reading
A1 B2 03 * => A1 B2 03 04 0D 0A
{"command":"A1 B2 04 0D 0A","raw":"A1 B2 04 07 00 00 00 0D 0A"}
A1 B2 05 ?? 0A => 00
A1 B2 08 0D 0A => A1 B2
A1 B2 0F 0D 0A => LAST
"""
# A refused line as long as a line may be, its bad word all control characters: its
# record, every byte escaped, is six times as long.
LONGEST = "A1 B2 " + "\x01" * 4084 + " 0D 0A"
SESSION = f"""\
# the script under test: its last lines are 10 and 11

A1 B2 01 0D 0A
A1 B2 zz 0D 0A
{LONGEST}
A1 B2 02 0D 0A
A1 B2 03 0D 0A 07
A1 B2 04 0D 0A
A1 B2 05 0D 0A
A1 B2 08 0D 0A
A1 B2 0F 0D 0A
"""
VERDICTS = "carried-out bad-command bad-command invalid-format channel-out-of-range knob-in-use mismatch mismatch".split()


def usb_session(answers, session):
    return run([SIM, "--usb", "--status", "06", "--answers", answers, "--", KESTROW, "--json", "--keep-going",
                "--commands", session])


def lan_session(answers, session):
    with simulator("--status", "06", "--answers", answers, once=False) as sim:
        return run([MORVISH, "--json", "--keep-going", "--commands", session, "127.0.0.1", sim.port])


# A USB supply that went away is recorded without an answer, so only TCP ends with close.
@pytest.mark.parametrize("session, last, verdict", [
    (usb_session, "silent", "receive-failed"),
    (lan_session, "close", "closed"),
], ids=["kestrow", "morvish"])
def test_a_recorded_session_replays_byte_for_byte(tmp_path, session, last, verdict):
    (tmp_path / "session.txt").write_text(SESSION)
    (tmp_path / "rig.txt").write_text(RIG.replace("LAST", last))
    recorded = session(tmp_path / "rig.txt", tmp_path / "session.txt")
    assert [json.loads(line)["verdict"] for line in recorded.out.splitlines()] == VERDICTS + [verdict]
    (tmp_path / "recording.jsonl").write_bytes(recorded.out)
    replayed = session(tmp_path / "recording.jsonl", tmp_path / "session.txt")
    assert (replayed.out, replayed.status) == (recorded.out, recorded.status)


@pytest.mark.parametrize("transport, table, status, why", [
    ([], "A1 B2 00 0D 0A => A1 B2\n\n{\"command\":\"A1\",\"raw\":7}\n", 2, ' line 3: "raw" is not a string or null'),
    (["--usb"], "A1 B2 zz => 01\n", 125, ' line 1: bad pattern byte "zz"'),
    (["--usb"], "A1 B2 00 0D 0A => 01\n".encode("utf-16-le"), 125,
     ": UTF-16 without a byte order mark; save it as UTF-8 or as UTF-16 with one"),
], ids=["tcp", "usb", "UTF-16 without a mark"])
def test_a_bad_table_is_refused_before_anything_starts(tmp_path, transport, table, status, why):
    (path := tmp_path / "answers.txt").write_bytes(table if isinstance(table, bytes) else table.encode())
    result = run([SIM, *transport, "--answers", path, *(["--", "touch", tmp_path / "ran"] if transport else
                                                        ["127.0.0.1", "0"])])
    assert (result.status, result.out, result.err) == (status, b"", f"supply-sim: {path}{why}\n".encode())
    assert not (tmp_path / "ran").exists()


def test_a_table_before_the_first_supply_is_for_every_supply(tmp_path):
    (tmp_path / "every.txt").write_text("* => A1 B2 00 01 0D 0A\n")
    (tmp_path / "own.txt").write_text("* => A1 B2 00 02 0D 0A\n")
    runs = "; ".join(f"{KESTROW} --json --serial {serial} A1 B2 00 0D 0A" for serial in ("X", "Y", "Z"))
    result = run([SIM, "--usb", "--answers", tmp_path / "every.txt", "--serial", "X", "--supply", "--serial", "Y",
                  "--supply", "--serial", "Z", "--answers", tmp_path / "own.txt", "--", "sh", "-c", runs])
    assert [json.loads(line)["verdict"] for line in result.out.splitlines()] == [
        "header-not-detected", "header-not-detected", "footer-not-detected"]


def test_a_refused_argument_replays(tmp_path):
    # The longest value a record quotes: an argument as long as Linux passes one.
    recorded = run([MORVISH, "--json", "127.0.0.1", "1", "A1", "B2", "00", "0D", "\x01" * 131071])
    assert recorded.status == 1 and len(recorded.out) > 6 * 131071
    (path := tmp_path / "recording.jsonl").write_bytes(recorded.out)
    assert run([SIM, "--usb", "--answers", path, "--", "true"]).status == 0


TABLE = "# recorded\r\n* => A1 B2 00 01 0D 0A\r\n"


# Tables as Windows editors and shells write them.
@pytest.mark.parametrize("content", [
    codecs.BOM_UTF16_LE + TABLE.encode("utf-16-le"),
    codecs.BOM_UTF16_BE + TABLE.encode("utf-16-be"),
    TABLE.encode() + b"\x1a\r\nnot a rule\r\n",
], ids=["UTF-16LE", "UTF-16BE", "Ctrl+Z ends it"])
def test_tables_as_editors_write_them(tmp_path, content):
    (path := tmp_path / "answers.txt").write_bytes(content)
    result = run([SIM, "--usb", "--answers", path, "--", KESTROW, "--json", "A1", "B2", "00", "0D", "0A"])
    assert (json.loads(result.out)["verdict"], result.status) == ("header-not-detected", 2)


def exchange(transport, options):
    command = ["--json", "A1", "B2", "00", "0D", "0A"]
    if transport == "usb":
        return run([SIM, "--usb", "--log", "/dev/null", *options, "--", KESTROW, *command])
    with simulator(*options) as sim:
        return run([MORVISH, command[0], "127.0.0.1", sim.port, *command[1:]])


# An exchange that got no answer replays as what the tools saw: a reset, a close, or
# (any other failure) silence.
@pytest.mark.parametrize("transport, misbehaviour, verdict, error", [
    ("tcp", ["--reset-after", "3", "--pause", "10"], "receive-failed", 104),
    ("tcp", ["--close"], "closed", None),
    ("tcp", ["--silent"], "receive-failed", 110),
    ("usb", ["--fail-read"], "receive-failed", None),
])
def test_an_unanswered_exchange_replays_as_recorded(tmp_path, transport, misbehaviour, verdict, error):
    recorded = exchange(transport, misbehaviour)
    assert (json.loads(recorded.out)["verdict"], json.loads(recorded.out)["error"]) == (verdict, error)
    (tmp_path / "recording.jsonl").write_bytes(recorded.out)
    replayed = exchange(transport, ["--answers", tmp_path / "recording.jsonl"])
    assert (replayed.out, replayed.status) == (recorded.out, recorded.status)
