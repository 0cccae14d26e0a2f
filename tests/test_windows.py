# The Windows tools, cross-built, under Wine, for what the Windows code decides: Winsock's
# connect, send and receive with their time limits and error numbers, whole answers
# gathered over Windows' receive, numeric addresses, code-page and console output, and
# status 4. kestrow.exe's exchanges are in test_windows_usb.py.
# Natively only, since the shared core decides them alike on both systems: each status
# byte's verdict, the echo and footer checks, short answers, command-code lengths, the
# byte syntax and the refused command lines other than the address.
import codecs
import json
import os
import re
import socket
import subprocess

import pytest

from conftest import (BY_STATUS, SEARCH_END, SUCCESS, SUPPLY_NOT_FOUND, assert_takes, child_environment,
                      connect_failed, cp932, invalid_address, invalid_byte, json_objects, library_objects, received,
                      require, run, sent, simulator, tool, windows_library_client)
from lan_cases import CODE6, COMMAND, FULL, contacted, exchanges, loopback, supply_port

TIMED_OUT, REFUSED = 10060, 10061
# The exchanges whose outcome depends on how Windows connects, sends and receives.
WINSOCK_ROWS = {"unknown code ends when quiet", "one byte at a time", "no answer", "closed without answer",
                "longer than 64 stops at 64"}


def wine(name, *args):
    require(os.access(tool("wine") or "/nonexistent", os.X_OK), "Wine is missing (scripts/prepare-machine installs it)")
    return [tool("wine"), tool(name), *args]


# Wine hands a reset connection to the program as an orderly close, where Windows fails
# the receive with 10054; the native run covers the reset row.
@pytest.mark.parametrize("name, options, command, out, status, least, most", [
    row for row in exchanges(TIMED_OUT) if row[0] in WINSOCK_ROWS] + [
    ("refused", None, COMMAND, connect_failed(REFUSED), 3, 0, 2),
    ("connect gives up after five seconds", FULL, COMMAND, connect_failed(TIMED_OUT), 3, 4.8, 6.5),
], ids=lambda v: v if isinstance(v, str) else "")
def test_morvish_exchange(name, options, command, out, status, least, most):
    def attempt():
        reference = run(wine("morvish_exe", "--version"), timeout=60).seconds  # waits for nothing
        with supply_port(options) as port:
            result = run(wine("morvish_exe", "127.0.0.1", port, *command.split()), timeout=60)
        assert (result.out, result.status) == (out, status)
        return result.seconds, reference
    assert_takes(attempt, least, most)


def test_morvish_addresses_are_numeric_only():
    # Windows' own address parser reads them; the rest of the command line is shared.
    server, port = loopback(4)
    with server:
        for address in ["localhost", "1.2.3", "::1::"]:
            result = run(wine("morvish_exe", address, port, *COMMAND.split()), timeout=60)
            assert (result.out, result.status) == (invalid_address(address), 1), address
        assert not contacted(server)


# Redirected output is code page 932 where that is the ANSI code page, UTF-8 elsewhere.
@pytest.mark.parametrize("env, in_932", [
    ({"LANG": "ja_JP.SJIS"}, True), ({"LANG": "ja_JP.UTF-8"}, False)])
def test_redirected_output_follows_the_ansi_code_page(env, in_932):
    encode = cp932 if in_932 else bytes
    with simulator("--status", "07") as sim:
        answered = run(wine("morvish_exe", "127.0.0.1", sim.port, *COMMAND.split()), env, 60)
    assert answered.out == encode(sent(COMMAND) + received("A1 B2 00 07 0D 0A") + BY_STATUS[7])
    missing = run(wine("kestrow_exe", *COMMAND.split()), env, 60)
    assert missing.out == encode(SEARCH_END + SUPPLY_NOT_FOUND)


# On a console the texts go out as UTF-16, shown by Wine's terminal console in the
# terminal's encoding; script(1) gives the tool a terminal.
def test_console_shows_the_japanese_texts():
    with simulator() as sim:
        result = run(["/usr/bin/script", "-qc", " ".join(wine("morvish_exe", "127.0.0.1", sim.port, COMMAND)),
                      "/dev/null"], timeout=60)
    assert result.status == 0
    for text in ["Send Command / 送信コマンド：", "Receive Command / 受信コマンド：", SUCCESS.decode()[1:], "A1 ", "0A "]:
        assert text.encode() in result.out
    # Written as bytes, the transcript's NULs would reach the terminal as they are;
    # through the console they become characters of its own.
    assert b"\0" not in result.out


def test_morvish_report_that_cannot_be_written():
    with simulator() as sim:
        done = run(["sh", "-c", '"$@" >/dev/full', "sh", *wine("morvish_exe", "127.0.0.1", sim.port, *COMMAND.split())],
                   timeout=60)
    assert (done.status, done.err) == (4, b"morvish: cannot write standard output: Disk full.\r\n")


# A session from standard input with CRLF line ends, as Windows tools write the file
# (UTF-8 with or without a byte order mark, UTF-16LE from PowerShell's ">"), as JSON
# Lines: ASCII even where the ANSI code page is 932, the Japanese message escaped. A
# line holding only Ctrl+Z ends the input.
SESSION = ("# set up\r\nA1 B2 00 0D 0A\r\nA1 B2 20 0D 0A\r\nA1 B2 zz 0D 0A\r\nA1 B2 01 0D 0A\r\n"
           "\x1a\r\nA1 B2 yy 0D 0A\r\n")


@pytest.mark.parametrize("encoded", [SESSION.encode(), codecs.BOM_UTF8 + SESSION.encode(),
                                     codecs.BOM_UTF16_LE + SESSION.encode("utf-16-le")],
                         ids=["UTF-8", "UTF-8 with a mark", "UTF-16LE"])
def test_morvish_session_as_json(tmp_path, encoded):
    commands = tmp_path / "commands"
    commands.write_bytes(encoded)
    argv = wine("morvish_exe", "--json", "--keep-going", "--commands", "-", "127.0.0.1")
    with simulator(once=False) as sim:  # the session connects anew for each command
        result = run(["sh", "-c", '"$@" <"$0"', commands, *argv, sim.port], {"LANG": "ja_JP.SJIS"}, 60)
    reports = [json.loads(line) for line in result.out.decode("ascii").splitlines()]
    assert [(o["line"], o["verdict"], o["status"]) for o in reports] == [
        (2, "carried-out", 0), (3, "mismatch", 2), (4, "bad-command", 1), (5, "carried-out", 0)]
    assert reports[0]["message"] == "送信コマンドを正しく実行しました。" and result.status == 2


# A file name outside the ANSI code page opens, and it and the file's words come out whole
# in text and JSON; a full-width byte is refused as on Linux.
def test_command_file_named_outside_the_ansi_code_page(tmp_path):
    (tmp_path / "Ωmega-命令.txt").write_text("A1 B2 ０ｄ 0D 0A\n")
    missing = f"{tmp_path}/Ωmega-ü"
    for path, named, error in [(tmp_path / "Ωmega-命令.txt", '"０ｄ" (line 1, byte 3)', None),
                               (missing, f'"{missing}": error 2', 2)]:
        text = run(wine("morvish_exe", "--commands", path, "127.0.0.1", "1"), timeout=60)
        (o,) = json_objects(run(wine("morvish_exe", "--json", "--commands", path, "127.0.0.1", "1"), timeout=60).out)
        assert (named.encode() in text.out, named in o["message"], o["error"], text.status) == (True, True, error, 1)
    full_width = run(wine("morvish_exe", "127.0.0.1", "1", "A1", "B2", "０ｄ", "0D", "0A"), timeout=60)
    assert (full_width.out, full_width.status) == (invalid_byte("０ｄ", 5), 1)


# A C program linked against dimlink.dll gets what morvish.exe reports, over Winsock; an
# interrupt from another thread ends its wait for a silent supply's answer long before its
# 20 s time-out, and the handle goes on.
def test_library_dll_exchanges_as_morvish(tmp_path):
    client = windows_library_client(tmp_path)
    server, port = loopback()
    with simulator("--pieces", "3", "--pause", "20", once=False) as sim, server:
        for address, command in [(sim.port, CODE6), (port, COMMAND)]:  # answered in pieces; refused
            tools = run(wine("morvish_exe", "--json", "127.0.0.1", address, *command.split()), timeout=60)
            library = run([tool("wine"), client, "tcp", "127.0.0.1", address, "5000", command], timeout=60)
            assert library_objects(library.out)[0] == json_objects(tools.out)
    with supply_port(["--silent"], once=False) as port:
        [interrupted, after], [ms, _] = library_objects(run([tool("wine"), client, "interrupt", "127.0.0.1", port]).out)
    assert (interrupted["verdict"], after["verdict"], ms < 15000) == ("interrupted", "receive-failed", True)


# Exchanges on a thread of its own; told (a line on standard input) that the supply has
# the command, starts a child that inherits every inheritable handle and says so; prints
# the verdict; ends the child at the next line. With no argument it is the child.
HOST = r"""#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <dimlink.h>
static dimlink_supply *supply;
static dimlink_result result = DIMLINK_RESULT_INIT;
static DWORD WINAPI exchange(void *unused) {
  unsigned char command[] = {0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  return (DWORD)dimlink_exchange(supply, command, sizeof command, &result);
}
int main(int argc, char **argv) {
  STARTUPINFOA startup = {sizeof startup};
  PROCESS_INFORMATION child = {0};
  if (argc < 2) Sleep(INFINITE);
  setvbuf(stdout, NULL, _IONBF, 0);
  supply = dimlink_open_tcp("127.0.0.1", atoi(argv[1]), &result);
  dimlink_set_timeout(supply, 60000);
  HANDLE thread = CreateThread(NULL, 0, exchange, NULL, 0, NULL);
  getchar();
  if (CreateProcessA(_pgmptr, NULL, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &child)) printf("started\n");
  WaitForSingleObject(thread, INFINITE);
  printf("%s\n", result.verdict);
  getchar();
  return !TerminateProcess(child.hProcess, 0);
}
"""


# A process the host program starts while an exchange runs does not keep the connection
# open once the library has closed it.
def test_library_sockets_stay_with_the_library(tmp_path):
    (tmp_path / "host.c").write_text(HOST)
    program = windows_library_client(tmp_path, tmp_path / "host.c")
    server, port = loopback(1)
    with server, subprocess.Popen([tool("wine"), program, port], bufsize=0, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, env=child_environment(None)) as host:
        server.settimeout(60)
        with server.accept()[0] as connection:
            connection.settimeout(20)
            frame = connection.recv(64, socket.MSG_WAITALL)  # the command, zero-padded to its frame
            host.stdin.write(b"\n")
            started = host.stdout.readline().strip()
            connection.sendall(bytes.fromhex("A1 B2 00 00 0D 0A"))
            answered = host.stdout.readline().strip()
            closed = connection.recv(1) == b""  # the child lives on until told
        host.communicate(b"\n", timeout=60)
    assert (frame, started, answered, closed, host.returncode) == (
        bytes.fromhex(COMMAND).ljust(64, b"\0"), b"started", b"carried-out", True, 0)


# The DLL and the tools link no window-system library, which would cost every service
# that loads them desktop heap.
def test_no_window_system_imports():
    for binary in [tool("dll"), tool("kestrow_exe"), tool("morvish_exe")]:
        dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", binary], capture_output=True, check=True).stdout
        imports = [name.upper() for name in re.findall(rb"DLL Name: (\S+)", dump)]
        assert b"KERNEL32.DLL" in imports and not {b"USER32.DLL", b"GDI32.DLL"} & set(imports), (binary, imports)
