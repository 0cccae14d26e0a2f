# kestrow.exe under Wine beside simulated power supplies: Wine's own HID stack (its udev
# bus) finds the supplies of supply-sim --usb, so the tool's whole Windows path runs:
# enumeration, identifiers, capabilities, the overlapped write and read and their bounds,
# the choice of a supply. Numbered reports are left out: Windows, and so
# Wine, refuse a write with report ID 0 to a device whose reports are numbered, and the
# supply's reports are not.
# Natively only, since the shared core decides them alike on both systems: each status
# byte's verdict, the echo and footer checks, short and long answers, command-code
# lengths and the refused command lines.
import json
import os
import subprocess
import tempfile

import pytest

from conftest import (NOT_FOUND, USB_RECEIVE_FAILED, USB_SEND_FAILED, assert_takes, child_environment, json_objects,
                      library_objects, require, run, sent, tool, windows_library_client, wrote)
from lan_cases import ANSWERED as OK, COMMAND

TWO = ["--serial", "A1", "--supply", "--serial", "B2"]


@pytest.fixture(scope="module")
def wine_usb():
    """A Wine prefix of its own whose HID bus reads hidraw devices the way udev lists them."""
    require(os.access(tool("wine") or "/nonexistent", os.X_OK), "Wine is missing (scripts/prepare-machine installs it)")
    with tempfile.TemporaryDirectory() as prefix:
        # libudev otherwise takes only paths on a real sysfs, which the simulated devices are not on.
        env = {"LC_ALL": "C.UTF-8", "WINEPREFIX": prefix, "WINEDEBUG": "-all", "SYSTEMD_DEVICE_VERIFY_SYSFS": "0"}
        quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL,
                 "env": child_environment(env), "timeout": 120, "check": True}
        subprocess.run([tool("wine"), "wineboot", "--init"], **quiet)
        # Wine's HID bus starts its udev part only without its SDL part, and reads this when it starts.
        subprocess.run([tool("wine"), "reg", "add", r"HKLM\System\CurrentControlSet\Services\winebus", "/v",
                        "Enable SDL", "/t", "REG_DWORD", "/d", "0", "/f"], **quiet)
        subprocess.run([tool("wineserver"), "-k"], **{**quiet, "check": False})
        subprocess.run([tool("wineserver"), "-w"], **quiet)
        yield env


def in_wine(env, tmp_path, devices, script, *args):
    """Runs the shell script with its arguments, and a Wine server of its own, beside the
    devices, once Wine's HID bus has opened every node and two listings in a row agree
    (on a busy machine Wine may still be setting up its devices' interfaces after the
    opens); gives back its result and the output reports that reached the devices.
    $WINE and $KESTROW name Wine and kestrow.exe."""
    log = tmp_path / "devices.log"
    ready = ('"$WINE" wineboot; until [ "$(grep -c " open$" "$LOG")" -ge "$(ls /dev | grep -c ^hidraw)" ]; do sleep 0.1; '
             'done; until [ "$("$WINE" "$KESTROW" --list)" = "${listed-none}" ]; do listed=$("$WINE" "$KESTROW" --list); done')
    result = run([tool("supply_sim"), "--usb", "--log", log, *devices, "--", "sh", "-c",
                  f'{ready}; {script}; status=$?; "$WINESERVER" -k; exit $status', "sh", *args],
                 {**env, "WINE": tool("wine"), "WINESERVER": tool("wineserver"), "KESTROW": tool("kestrow_exe"),
                  "LOG": str(log), "TIMES": str(tmp_path / "times")}, timeout=120)
    return result, [line for line in log.read_text().splitlines() if " write " in line]


def kestrow_exe(env, tmp_path, devices, command):
    """Runs kestrow.exe with the command beside the devices, and just before it a listing,
    which waits for nothing but goes the same way through Wine's HID stack to the devices;
    gives back the result, the reports written, and the seconds each of the two runs took
    in the namespace, where Wine is already up."""
    script = ('a=$(date +%s.%N); "$WINE" "$KESTROW" --list >/dev/null; b=$(date +%s.%N); "$WINE" "$KESTROW" "$@"; '
              'status=$?; echo "$a $b $(date +%s.%N)" >"$TIMES"; (exit $status)')
    result, seen = in_wine(env, tmp_path, devices, script, *command.split())
    a, b, c = map(float, (tmp_path / "times").read_text().split())
    return result, seen, c - b, b - a


# Rows: name, devices, output, status, the node written to (if any), least and most seconds.
@pytest.mark.parametrize("name, devices, out, status, node, least, most", [
    ("no answer", ["--silent"], sent(COMMAND) + USB_RECEIVE_FAILED, 3, "hidraw0", 4.8, 6.5),
    ("unopenable supply is not listed", ["--refuse-open"], NOT_FOUND, 3, None, 0, 2),
    ("other product passed over", ["--hid", "0483:5740", "--supply"], OK, 0, "hidraw1", 0, 2),
    ("two supplies: the first in the set", ["--supply", "--supply", "--status", "01"], OK, 0, "hidraw0", 0, 2),
    # Wine's HID stack fails the write with 31, which the message names.
    ("failed write names its error", ["--fail-write"], USB_SEND_FAILED + b"Error Code = 31", 3, "hidraw0", 0, 2),
], ids=lambda v: v if isinstance(v, str) else "")
def test_kestrow_exchange(wine_usb, tmp_path, name, devices, out, status, node, least, most):
    def attempt():
        result, seen, seconds, reference = kestrow_exe(wine_usb, tmp_path, devices, COMMAND)
        assert (result.out, result.status, seen) == (out, status, [wrote(node, COMMAND)] if node else [])
        return seconds, reference
    assert_takes(attempt, least, most)


# The output report is exactly as long as the device's report descriptor declares: a
# command with no room in it is refused before anything is sent, one that fits goes out
# zero-padded. Rows: report size, verdict, the length of the report written.
@pytest.mark.parametrize("size, verdict, length", [
    ("64", "carried-out", 65), ("5", "mismatch", 6), ("4", "bad-command", None)])  # 5: the answer is cut short
def test_output_report_follows_the_descriptor(wine_usb, tmp_path, size, verdict, length):
    result, seen = in_wine(wine_usb, tmp_path, ["--report-size", size], '"$WINE" "$KESTROW" --json "$@"',
                           *COMMAND.split())
    (o,) = json_objects(result.out)
    written = [f"hidraw0 write 00 {' '.join(COMMAND.split() + ['00'] * (length - 6))} ({length} bytes)"] if length else []
    assert (o["verdict"], o["sent"], seen) == (verdict, length is not None, written)


# Holds an event under the lock name of the supply at argv[1] while the library exchanges
# with it, then lets the name go and exchanges again on the same handle.
RELOCK = r"""#include <windows.h>
#include <stdio.h>
#include <dimlink.h>
int main(int argc, char **argv) {
  wchar_t name[] = L"Global\\dimlink-supply-0123456789abcdef";
  unsigned long long hash = 0xCBF29CE484222325ULL;
  for (char *c = argv[1]; *c; ++c) hash = (hash ^ (*c >= 'A' && *c <= 'Z' ? *c + 32 : *c)) * 0x100000001B3ULL;
  for (int k = 0; k < 16; ++k) name[wcslen(name) - 1 - k] = L"0123456789abcdef"[(hash >> (4 * k)) & 15];
  HANDLE held = CreateEventW(NULL, TRUE, FALSE, name);
  dimlink_result result = DIMLINK_RESULT_INIT;
  dimlink_supply *supply = dimlink_open_usb(NULL, argv[1], &result);
  unsigned char command[] = {0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  for (int k = 0; held != NULL && supply != NULL && k < 2; ++k) {
    if (k == 1) CloseHandle(held);
    dimlink_exchange(supply, command, sizeof command, &result);
    printf("%s %d\n", result.verdict, (int)result.error);
  }
  return 0;
}
"""


# A lock that cannot be had ends the exchange with its error number before anything is
# sent, and is tried again at the next exchange on the same handle.
def test_library_takes_the_lock_once_it_can(wine_usb, tmp_path):
    (tmp_path / "relock.c").write_text(RELOCK)
    program = windows_library_client(tmp_path, tmp_path / "relock.c")
    result, seen = in_wine(wine_usb, tmp_path, [], f'"$WINE" {program} "$("$WINE" "$KESTROW" --list | cut -f1)"')
    assert (result.out.split(), seen) == ([b"lock-failed", b"6", b"carried-out", b"0"], [wrote("hidraw0", COMMAND)])


# Two supplies listed with Windows' paths, one chosen by its path, the other by its serial
# in a session from standard input with CRLF line ends, several exchanges on one handle
# (the messages' JSON is morvish.exe's session's to check).
def test_kestrow_lists_and_chooses_supplies(wine_usb, tmp_path):
    script = ('"$WINE" "$KESTROW" --list; '
              '"$WINE" "$KESTROW" --device "$("$WINE" "$KESTROW" --list | sed -n 2p | cut -f1)" "$@"')
    result, seen = in_wine(wine_usb, tmp_path, TWO, script, *COMMAND.split())
    lines = result.out[:-len(OK)].split(b"\n")
    assert (result.out[-len(OK):], result.status, len(lines), lines[-1], seen) == (
        OK, 0, 3, b"", [wrote("hidraw1", COMMAND)])
    assert [line.split(b"\t")[1:] for line in lines[:2]] == [[s, b"Simulated power supply"] for s in (b"A1", b"B2")]
    assert all(line.lower().startswith(rb"\\?\hid#vid_0483&pid_5750") for line in lines[:2])
    commands = tmp_path / "commands"
    commands.write_bytes(b"# set up\r\nA1 B2 00 0D 0A\r\nA1 B2 zz 0D 0A\r\nA1 B2 01 0D 0A\r\n")
    script = '"$WINE" "$KESTROW" --serial B2 --json --keep-going --commands - <"$1"'
    result, seen = in_wine(wine_usb, tmp_path, TWO, script, commands)
    reports = [json.loads(line) for line in result.out.decode("ascii").splitlines()]
    assert [(o["line"], o["verdict"], o["raw"]) for o in reports] == [
        (2, "carried-out", "A1 B2 00 00 0D 0A"), (3, "bad-command", None), (4, "carried-out", "A1 B2 01 00 00 00 0D 0A")]
    assert (result.status, seen) == (1, [wrote("hidraw1", "A1 B2 00 0D 0A"), wrote("hidraw1", "A1 B2 01 0D 0A")])


# A C program linked against dimlink.dll finds and exchanges with the supply through
# Windows' HID stack, and gets what kestrow.exe reports; an interrupt from another thread
# ends its wait for a silent supply's answer long before its 20 s time-out, and the
# handle goes on.
def test_library_dll_exchanges_as_kestrow(wine_usb, tmp_path):
    client = windows_library_client(tmp_path)
    script = (f'"$WINE" "$KESTROW" --json "$@"; "$WINE" {client} usb - - 5000 "$*"; "$WINE" {client} usb NONE - 5000 '
              f'"$*"; "$WINE" {client} interrupt usb S')
    result, _ = in_wine(wine_usb, tmp_path, ["--status", "03", "--supply", "--silent", "--serial", "S"], script,
                        *COMMAND.split())
    tools, rest = result.out.split(b"\n", 1)
    (library, missing, interrupted, after), (_, _, ms, _) = library_objects(rest)
    assert [library] == json_objects(tools) and library["verdict"] == "invalid-instruction"
    assert (missing["verdict"], missing["status"]) == ("not-found", 3)
    assert (interrupted["verdict"], after["verdict"], ms < 15000) == ("interrupted", "receive-failed", True)
