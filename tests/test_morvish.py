# The built morvish against the simulated power supply on loopback: whole standard
# output byte for byte, exit status and time taken.
import errno
import os
import subprocess

import pytest

from conftest import (ARGUMENT_COUNT, BY_STATUS, SUCCESS, assert_took, child_environment, connect_failed, cp932, received,
                      require, run, sent, simulator, tool)
from lan_cases import COMMAND, bad_command_lines, contacted, exchanges, full_listen_queue, loopback

MORVISH = tool("morvish")


@pytest.mark.parametrize("name, options, command, out, status, least, most",
                         exchanges(errno.ETIMEDOUT, errno.ECONNRESET), ids=lambda v: v if isinstance(v, str) else "")
def test_exchange(name, options, command, out, status, least, most):
    reference = run([MORVISH, "--version"]).seconds
    with simulator(*options) as sim:
        result = run([MORVISH, "127.0.0.1", sim.port, *command.split()])
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


def test_refused():
    server, port = loopback()
    with server:
        result = run([MORVISH, "127.0.0.1", port, *COMMAND.split()])
    assert (result.out, result.status) == (connect_failed(errno.ECONNREFUSED), 3)


def test_connect_gives_up_after_five_seconds():
    reference = run([MORVISH, "--version"]).seconds
    with full_listen_queue() as port:
        result = run([MORVISH, "127.0.0.1", port, *COMMAND.split()])
    assert (result.out, result.status) == (connect_failed(errno.ETIMEDOUT), 3)
    assert_took(result.seconds, 4.8, 6.5, reference)


def test_connect_that_fails_at_once():
    # A network namespace of its own has only a loopback, down: nothing is reachable.
    result = run(["unshare", "--map-root-user", "--net", MORVISH, "192.0.2.1", "502", *COMMAND.split()])
    assert (result.out, result.status) == (connect_failed(errno.ENETUNREACH), 3)


def test_bad_command_lines_never_reach_the_network():
    server, port = loopback(4)
    with server:
        for args, out in bad_command_lines(port):
            result = run([MORVISH, *args])
            assert (result.out, result.status, result.err) == (out, 1, b""), args
        assert not contacted(server)


def test_help_and_version():
    help_ = run([MORVISH, "--help"])
    assert help_.out.startswith(b"Usage: morvish ADDRESS PORT BYTE") and help_.status == 0
    assert run([MORVISH, "-h"]).out == help_.out
    version = run([MORVISH, "--version"])
    assert (version.out, version.status) == (f"morvish {os.environ['DIMLINK_VERSION']}\nLicense: MIT\n".encode(), 0)


# The labels and messages come out in one encoding: the locale's own when it can show
# them all, UTF-8 otherwise.
@pytest.mark.parametrize("env, in_932", [
    ({"LC_ALL": "C"}, False), ({"LANG": "C"}, False), ({"LANG": "POSIX"}, False), ({"LC_ALL": "C.UTF-8"}, False),
    ({"LANG": "C.UTF-8"}, False), ({"LANG": "xx_XX.NOT-THERE"}, False),
    ({"LC_ALL": "ja_JP.SJIS"}, True), ({"LANG": "ja_JP.SJIS"}, True),
])
def test_output_encoding_follows_the_locale(env, in_932):
    installed = subprocess.run(["locale", "-a"], capture_output=True, check=True).stdout.lower().split()
    require(b"ja_jp.sjis" in installed, "the ja_JP.SJIS locale is missing (scripts/prepare-machine makes it as root)")
    encode = cp932 if in_932 else bytes
    with simulator("--status", "07") as sim:
        answered = run([MORVISH, "127.0.0.1", sim.port, *COMMAND.split()], env)
    assert answered.out == encode(sent(COMMAND) + received("A1 B2 00 07 0D 0A") + BY_STATUS[7])
    server, port = loopback()
    with server:
        assert run([MORVISH, "127.0.0.1", port, *COMMAND.split()], env).out == encode(connect_failed(errno.ECONNREFUSED))
        assert run([MORVISH, "127.0.0.1", port, "A1"], env).out == encode(ARGUMENT_COUNT)


def test_a_report_that_cannot_be_written():
    with simulator() as sim, open("/dev/full", "wb") as full:
        done = subprocess.run([MORVISH, "127.0.0.1", sim.port, *COMMAND.split()], stdout=full, stderr=subprocess.PIPE,
                              env=child_environment(None), timeout=30)
    assert (done.returncode, done.stderr) == (4, b"morvish: cannot write standard output: No space left on device\n")
