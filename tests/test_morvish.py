# The built morvish against the simulated power supply on loopback: whole standard
# output byte for byte, exit status and time taken.
import errno
import os

import pytest

from conftest import (ARGUMENT_COUNT, BY_STATUS, SUCCESS, assert_took, connect_failed, cp932, invalid_address,
                      invalid_byte, invalid_port, received, require, run, sent, simulator, too_many, tool)
from lan_cases import COMMAND, FULL, contacted, exchanges, loopback, supply_port

MORVISH = tool("morvish")


@pytest.mark.parametrize("name, options, command, out, status, least, most", [
    *exchanges(errno.ETIMEDOUT, errno.ECONNRESET),
    ("refused", None, COMMAND, connect_failed(errno.ECONNREFUSED), 3, 0, 2),
    ("connect gives up after five seconds", FULL, COMMAND, connect_failed(errno.ETIMEDOUT), 3, 4.8, 6.5),
], ids=lambda v: v if isinstance(v, str) else "")
def test_exchange(name, options, command, out, status, least, most):
    reference = run([MORVISH, "--version"]).seconds
    with supply_port(options) as port:
        result = run([MORVISH, "127.0.0.1", port, *command.split()])
    assert (result.out, result.status, result.err) == (out, status, b"")
    assert_took(result.seconds, least, most, reference)


@pytest.mark.parametrize("typed, on_wire", [
    (COMMAND, COMMAND + " 00" * 59),
    ("A1 B2 00 " + " ".join(f"{k:02X}" for k in range(0xC3, 0x100)), None),
])
def test_sends_64_bytes_and_prints_the_typed_ones(typed, on_wire):
    with simulator() as sim:
        result = run([MORVISH, "127.0.0.1", sim.port, *typed.split()])
        assert sim.log_line() == f"command: {on_wire or typed} (64 bytes)"
    assert result.out == sent(typed) + received("A1 B2 00 00 0D 0A") + SUCCESS


# Failures loopback cannot bring about on cue, injected into the system calls: each is
# reported alone, with its status.
@pytest.mark.parametrize("call, error, out, status", [
    ("socket", "EAFNOSUPPORT", b"\nSocket failed with error: 97\n", 1),
    ("sendto", "EPIPE", "\nSend failed with error:32. LAN電源への送信が失敗しました。\n".encode(), 3),
])
def test_a_failed_step_is_reported_alone(call, error, out, status):
    inject = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", f"trace={call}", "-e", f"inject={call}:error={error}"]
    # LeakSanitizer cannot run under a tracer; the sanitizers' other checks still do.
    env = {"LC_ALL": "C.UTF-8", "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    with simulator() as sim:
        result = run([*inject, MORVISH, "127.0.0.1", sim.port, *COMMAND.split()], env)
    assert (result.out, result.status) == (out, status)


def test_ipv6(tmp_path):
    # In a network namespace of its own, on an address other than ::1: a connection that
    # did not use the address given would reach the local host, where nothing listens.
    # The simulator takes its address the same way, so the same port on fd00::6 must
    # refuse: a simulator listening on every address would not.
    script = ('ip link set lo up && ip addr add fd00::5/128 dev lo nodad && ip addr add fd00::6/128 dev lo nodad && '
              '{ "$0" fd00::5 0 >"$1" 2>&1 & } && until [ -s "$1" ]; do sleep 0.05; done; port=$(head -n 1 "$1"); '
              '"$2" fd00::5 "$port" A1 B2 00 0D 0A; "$2" fd00::6 "$port" A1 B2 00 0D 0A; kill $!')
    result = run(["unshare", "--map-root-user", "--net", "sh", "-c", script, tool("supply_sim"), tmp_path / "port",
                  MORVISH])
    assert result.out == sent(COMMAND) + received("A1 B2 00 00 0D 0A") + SUCCESS + connect_failed(errno.ECONNREFUSED)


def test_connect_that_fails_at_once():
    # A network namespace of its own has only a loopback, down: nothing is reachable.
    result = run(["unshare", "--map-root-user", "--net", MORVISH, "192.0.2.1", "502", *COMMAND.split()])
    assert (result.out, result.status) == (connect_failed(errno.ENETUNREACH), 3)


# Each refused command line ends with status 1 before any connection.
@pytest.mark.parametrize("args, out", [
    ("127.0.0.1 {port} A1 B2 00 0D", ARGUMENT_COUNT),
    ("127.0.0.1 {port} A1 B2 zz 0D g0", invalid_byte("zz", 5)),
    (["127.0.0.1", "{port}", "A1", "", "00", "0D", "0A"], invalid_byte("", 4)),
    (["127.0.0.1", "{port}", "A1", "B2", "d ", "0D", "0A"], invalid_byte("d ", 5)),
    ("127.0.0.1 {port}" + " 01" * 65, too_many(64)),
    ("127.0.0.1 0 A1 B2 00 0D 0A", invalid_port("0")),
    ("localhost {port} A1 B2 00 0D 0A", invalid_address("localhost")),
    ("1.2.3 abc zz B2 00 0D 0A", invalid_address("1.2.3")),
    ("127.0.0.1 x zz B2 00 0D 0A", invalid_port("x")),
])
def test_bad_command_lines_never_reach_the_network(args, out):
    server, port = loopback(4)
    with server:
        words = args.split() if isinstance(args, str) else args
        result = run([MORVISH, *[word.format(port=port) for word in words]])
        assert (result.out, result.status, result.err, contacted(server)) == (out, 1, b"", False)


def test_help_and_version():
    help_, short, version = (run([MORVISH, option]) for option in ("--help", "-h", "--version"))
    assert help_.out.startswith(b"Usage: morvish ADDRESS PORT BYTE") and short.out == help_.out
    assert (version.out, version.status, help_.status) == (
        f"morvish {os.environ['DIMLINK_VERSION']}\nLicense: MIT\n".encode(), 0, 0)


# The labels and messages come out in one encoding: the locale's own when it can show
# them all, UTF-8 otherwise.
@pytest.mark.parametrize("env, in_932", [
    ({"LC_ALL": "C"}, False), ({"LANG": "POSIX"}, False), ({"LANG": "C.UTF-8"}, False),
    ({"LANG": "xx_XX.NOT-THERE"}, False), ({"LC_ALL": "ja_JP.SJIS"}, True), ({"LANG": "ja_JP.SJIS"}, True),
])
def test_output_encoding_follows_the_locale(env, in_932):
    installed = run(["locale", "-a"]).out.lower().split()
    require(b"ja_jp.sjis" in installed, "the ja_JP.SJIS locale is missing (scripts/prepare-machine makes it as root)")
    encode = cp932 if in_932 else bytes
    with simulator("--status", "07") as sim:
        answered = run([MORVISH, "127.0.0.1", sim.port, *COMMAND.split()], env)
    assert answered.out == encode(sent(COMMAND) + received("A1 B2 00 07 0D 0A") + BY_STATUS[7])
    server, port = loopback()
    with server:
        assert run([MORVISH, "127.0.0.1", port, *COMMAND.split()], env).out == encode(connect_failed(errno.ECONNREFUSED))
        assert run([MORVISH, "127.0.0.1", port, "A1"], env).out == encode(ARGUMENT_COUNT)

