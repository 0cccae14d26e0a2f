# supply-sim --answers: a bad table refused before anything starts, and sessions recorded
# with --json replayed byte for byte on both transports.
import json

import pytest

from conftest import run, simulator, tool

KESTROW, MORVISH, SIM = tool("kestrow"), tool("morvish"), tool("supply_sim")

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


def usb_session(options, session):
    return run([SIM, "--usb", "--status", "06", *options, "--", KESTROW, "--json", "--keep-going",
                "--commands", session])


def lan_session(options, session):
    with simulator("--status", "06", *options, once=False) as sim:
        return run([MORVISH, "--json", "--keep-going", "--commands", session, "127.0.0.1", sim.port])


# A session is recorded against the rig (last rule "silent" or "close") or a misbehaving
# supply, and replayed from its record: an exchange that got no answer replays as what
# the tools saw, a reset, a close, or (any other failure) silence.
@pytest.mark.parametrize("session, options, last", [
    (usb_session, ["--answers", "silent"], [("receive-failed", None)]),
    (lan_session, ["--answers", "close"], [("closed", None)]),
    (lan_session, ["--reset-after", "3", "--pause", "10"], [("receive-failed", 104)]),
    (lan_session, ["--silent"], [("receive-failed", 110)]),
], ids=["kestrow", "morvish", "reset", "silent"])
def test_a_recorded_session_replays_byte_for_byte(tmp_path, session, options, last):
    rig = options[0] == "--answers"
    (tmp_path / "session.txt").write_text(SESSION if rig else "A1 B2 00 0D 0A")
    if rig:
        (tmp_path / "rig.txt").write_text(RIG.replace("LAST", options[1]))
        options = ["--answers", tmp_path / "rig.txt"]
    recorded = session(options, tmp_path / "session.txt")
    assert [(o["verdict"], o["error"]) for o in map(json.loads, recorded.out.splitlines())] == [
        (v, None) for v in VERDICTS if rig] + last
    (tmp_path / "recording.jsonl").write_bytes(recorded.out)
    replayed = session(["--answers", tmp_path / "recording.jsonl"], tmp_path / "session.txt")
    assert (replayed.out, replayed.status) == (recorded.out, recorded.status)


@pytest.mark.parametrize("transport, table, status, why", [
    ([], "A1 B2 00 0D 0A => A1 B2\n\n{\"command\":\"A1\",\"raw\":7}\n", 2, ' line 3: "raw" is not a string or null'),
    (["--usb"], "A1 B2 00 0D 0A => 01\n".encode("utf-16-le"), 125,
     ": UTF-16 without a byte order mark; save it as UTF-8 or as UTF-16 with one"),
], ids=["tcp", "usb"])
def test_a_bad_table_is_refused_before_anything_starts(tmp_path, transport, table, status, why):
    (path := tmp_path / "answers.txt").write_bytes(table if isinstance(table, bytes) else table.encode())
    result = run([SIM, *transport, "--answers", path, *(["--", "touch", tmp_path / "ran"] if transport else
                                                        ["127.0.0.1", "0"])])
    assert (result.status, result.out, result.err) == (status, b"", f"supply-sim: {path}{why}\n".encode())
    assert not (tmp_path / "ran").exists()

