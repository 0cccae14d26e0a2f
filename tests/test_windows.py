# The Windows tools, cross-built, under Wine: morvish.exe against the Linux simulator
# through the same exchanges as natively (only the error numbers are Windows' own), and
# kestrow.exe's command line; its exchanges are in test_windows_usb.py.
import os
import subprocess

import pytest

from conftest import (ARGUMENT_COUNT, BY_STATUS, SEARCH_END, SUCCESS, SUPPLY_NOT_FOUND, child_environment,
                      connect_failed, cp932, invalid_byte, received, require, run, sent, simulator, too_many, tool)
from lan_cases import COMMAND, bad_command_lines, contacted, exchanges, full_listen_queue, loopback

TIMED_OUT, REFUSED = 10060, 10061
SLACK = 3  # Wine's own start-up, on top of every time limit


def wine(name, *args):
    require(os.access(tool("wine") or "/nonexistent", os.X_OK), "Wine is missing (scripts/prepare-machine installs it)")
    return [tool("wine"), tool(name), *args]


# Wine hands a reset connection to the program as an orderly close, where Windows fails
# the receive with 10054; the native run covers the reset row.
@pytest.mark.parametrize("name, options, command, out, status, least, most", exchanges(TIMED_OUT),
                         ids=lambda v: v if isinstance(v, str) else "")
def test_morvish_exchange(name, options, command, out, status, least, most):
    argv = wine("morvish_exe", "127.0.0.1")
    with simulator(*options) as sim:
        result = run(argv + [sim.port, *command.split()], timeout=60)
    assert (result.out, result.status) == (out, status)
    assert least <= result.seconds <= most + SLACK


def test_morvish_refused_and_timed_out():
    argv = wine("morvish_exe", "127.0.0.1")
    server, port = loopback()
    with server:
        result = run(argv + [port, *COMMAND.split()], timeout=60)
    assert (result.out, result.status) == (connect_failed(REFUSED), 3)
    with full_listen_queue() as port:
        result = run(argv + [port, *COMMAND.split()], timeout=60)
    assert (result.out, result.status) == (connect_failed(TIMED_OUT), 3)
    assert 4.8 <= result.seconds <= 6.5 + SLACK


def test_morvish_bad_command_lines_never_reach_the_network():
    argv = wine("morvish_exe")
    server, port = loopback(4)
    with server:
        for args, out in bad_command_lines(port):
            result = run(argv + args, timeout=60)
            assert (result.out, result.status) == (out, 1), args
        assert not contacted(server)


@pytest.mark.parametrize("args, out", [
    ("A1 B2 00 0D", ARGUMENT_COUNT), ("01 " * 64, too_many(63)), ("A1 B2 0x 0D 0A", invalid_byte("0x", 3)),
])
def test_kestrow_refuses_command_lines_before_the_search(args, out):
    result = run(wine("kestrow_exe", *args.split()), timeout=60)
    assert (result.out, result.status) == (out, 1)


# Redirected output is code page 932 where that is the ANSI code page, UTF-8 elsewhere.
@pytest.mark.parametrize("env, in_932", [
    ({"LANG": "ja_JP.SJIS"}, True), ({"LANG": "ja_JP.UTF-8"}, False), ({"LC_ALL": "C.UTF-8"}, False),
])
def test_redirected_output_follows_the_ansi_code_page(env, in_932):
    encode = cp932 if in_932 else bytes
    argv = wine("morvish_exe", "127.0.0.1")
    with simulator("--status", "07") as sim:
        answered = run(argv + [sim.port, *COMMAND.split()], env, 60)
    assert answered.out == encode(sent(COMMAND) + received("A1 B2 00 07 0D 0A") + BY_STATUS[7])
    server, port = loopback()
    with server:
        assert run(argv + [port, *COMMAND.split()], env, 60).out == encode(connect_failed(REFUSED))
    missing = run(wine("kestrow_exe", *COMMAND.split()), env, 60)
    assert missing.out == encode(SEARCH_END + SUPPLY_NOT_FOUND)


# On a console the texts go out as UTF-16, shown by Wine's terminal console in the
# terminal's encoding; script(1) gives the tool a terminal.
def test_console_shows_the_japanese_texts():
    argv = wine("morvish_exe", "127.0.0.1")
    with simulator() as sim:
        result = run(["/usr/bin/script", "-qc", " ".join(argv + [sim.port, COMMAND]), "/dev/null"], timeout=60)
    assert result.status == 0
    for text in ["Send Command / 送信コマンド：", "Receive Command / 受信コマンド：", SUCCESS.decode()[1:], "A1 ", "0A "]:
        assert text.encode() in result.out
    # Written as bytes, the transcript's NULs would reach the terminal as they are;
    # through the console they become characters of its own.
    assert b"\0" not in result.out


def test_morvish_report_that_cannot_be_written():
    argv = wine("morvish_exe", "127.0.0.1")
    with simulator() as sim, open("/dev/full", "wb") as full:
        done = subprocess.run(argv + [sim.port, *COMMAND.split()], stdout=full, stderr=subprocess.PIPE,
                              env=child_environment(None), timeout=60)
    assert (done.returncode, done.stderr) == (4, b"morvish: cannot write standard output: Disk full.\r\n")



# A session from standard input with CRLF line ends, as JSON Lines: ASCII even where the
# ANSI code page is 932, the Japanese message escaped.
def test_morvish_session_as_json(tmp_path):
    import json  # here, so that the rows above stay as they are
    commands = tmp_path / "commands"
    commands.write_bytes(b"# set up\r\nA1 B2 00 0D 0A\r\nA1 B2 20 0D 0A\r\nA1 B2 zz 0D 0A\r\nA1 B2 01 0D 0A\r\n")
    argv = wine("morvish_exe", "--json", "--keep-going", "--commands", "-", "127.0.0.1")
    # Not --once: the session connects anew for each command.
    with subprocess.Popen([tool("supply_sim"), "127.0.0.1", "0"], stdout=subprocess.PIPE) as sim:
        port = sim.stdout.readline().decode().strip()
        result = run(["sh", "-c", '"$@" <"$0"', commands, *argv, port], {"LANG": "ja_JP.SJIS"}, 60)
        sim.kill()
    reports = [json.loads(line) for line in result.out.decode("ascii").splitlines()]
    assert [(o["line"], o["verdict"], o["status"]) for o in reports] == [
        (2, "carried-out", 0), (3, "mismatch", 2), (4, "bad-command", 1), (5, "carried-out", 0)]
    assert reports[0]["message"] == "送信コマンドを正しく実行しました。" and result.status == 2
