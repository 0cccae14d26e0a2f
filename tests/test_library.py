# libdimlink as a C program uses it: the library and header installed, a C client built
# with pkg-config, its results held against the tools' --json objects for the same
# exchanges, on TCP and beside simulated USB supplies; time-outs, turn-taking with the
# tools and between threads.
import os
import re
import subprocess
from pathlib import Path

import pytest

from conftest import HERE, assert_took, json_objects, library_objects, run, tool
from lan_cases import COMMAND, exchanges, supply_port, usb_exchanges

BUILD = Path(os.environ.get("DIMLINK_BUILD_DIR", "."))
MORVISH, KESTROW, SIM = tool("morvish"), tool("kestrow"), tool("supply_sim")


def build_c(source, prefix, target):
    pkg = subprocess.run(["pkg-config", "--cflags", "--libs", "dimlink"], capture_output=True, text=True, check=True,
                         env={**os.environ, "PKG_CONFIG_PATH": str(next(prefix.glob("lib*/**/pkgconfig")))})
    flags = ["-fsanitize=address,undefined"] if os.environ.get("DIMLINK_SANITIZE") == "ON" else []
    subprocess.run(["cc", "-std=c99", "-Wall", "-Wextra", "-Werror", *flags, str(source), *pkg.stdout.split(),
                    "-pthread", "-o", str(target)], check=True)
    return str(target)


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("prefix")
    for component in ("lib", "dev"):
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix), "--component", component],
                       check=True, capture_output=True)
    os.environ["LD_LIBRARY_PATH"] = str(next(prefix.glob("lib*/**/libdimlink.so.1")).parent)
    return prefix


@pytest.fixture(scope="module")
def client(installed):
    return build_c(HERE / "library_client.c", installed, installed / "library_client")


def test_api_refuses_null_and_bounds(client):
    assert run([client, "api"]).out == b"ok\n"


def tcp_rows():
    rows = [row[:3] for row in exchanges(110, reset=104) if row[6] <= 2]
    return rows + [("data from an answer table", ["--answers"], "A1 B2 01 0D 0A"), ("unreachable", None, COMMAND),
                   ("refused byte", [], "A1 B2 zz 0D 0A"), ("too many", [], " ".join(["01"] * 65))]


@pytest.mark.parametrize("name, options, command", tcp_rows(), ids=lambda v: v if isinstance(v, str) else "")
def test_tcp_results_are_the_tools(client, tmp_path, name, options, command):
    if options == ["--answers"]:
        (tmp_path / "table").write_text("A1 B2 01 0D 0A => A1 B2 01 00 00 7F 0D 0A\n")
        options = ["--answers", tmp_path / "table"]
    with supply_port(options, once=False) as port:
        tools = run([MORVISH, "--json", "127.0.0.1", port, *command.split()])
        library = run([client, "tcp", "127.0.0.1", port, "5000", command])
    if name == "refused byte":
        # The library numbers the words of its text from 1, where morvish counts its arguments.
        tools.out = re.sub(rb"\(argument \d+\)", b"(argument 3)", tools.out)
    # Byte for byte: the library writes the tools' object itself.
    assert (library.out.rsplit(b"|", 1)[0] + b"\n", library.status) == (tools.out, tools.status)


def beside(script, *devices):
    """Runs a shell script beside simulated supplies; gives back its output."""
    return run([SIM, "--usb", "--log", "/dev/null", *devices, "--", "sh", "-c", script], timeout=60).out


def usb_rows():
    return [row[:3] for row in usb_exchanges()] + [
        ("not found", ["--hid", "1234:0001"], COMMAND), ("failing write", ["--fail-write"], COMMAND),
        ("chosen by serial", ["--serial", "S1", "--supply", "--serial", "S2", "--status", "03"], COMMAND),
        ("may not be opened", ["--refuse-open"], COMMAND)]


@pytest.mark.parametrize("name, options, command", usb_rows(), ids=lambda v: v if isinstance(v, str) else "")
def test_usb_results_are_the_tools(client, name, options, command):
    serial = "S2" if "S2" in options else "-"
    choice = "--serial S2" if "S2" in options else ""
    out = beside(f'{KESTROW} --json {choice} {command}; {client} usb {serial} - 5000 "{command}"', *options)
    tools, library = out.split(b"\n", 1)
    expected = json_objects(tools)
    if name == "may not be opened":  # the library tells why, where kestrow prints a search line
        expected[0]["error"] = 13
    assert library_objects(library)[0] == expected


# On TCP the Python package's tests hold the time-out and threads sharing a handle.
def test_silent_supply_gives_up_at_the_time_out(client):
    [result], [ms] = library_objects(beside(f'{client} usb - - 200 "{COMMAND}"', "--silent"))
    assert (result["verdict"], result["sent"]) == ("receive-failed", True)
    assert 195 <= ms <= 1000


def test_threads_share_a_handle(client):
    assert beside(f"{client} threads") == b"ok\n"


def test_interrupt_ends_an_exchange_and_the_handle_goes_on(client):
    with supply_port(["--silent"], once=False) as port:
        [interrupted, after], [ms, after_ms] = library_objects(run([client, "interrupt", "127.0.0.1", port]).out)
    assert (interrupted["verdict"], interrupted["status"], interrupted["sent"]) == ("interrupted", 3, True)
    assert 295 <= ms < 5000  # interrupted at 0.3 s of a 20 s time-out
    assert (after["verdict"], after["sent"]) == ("receive-failed", True) and after_ms >= 195


def test_a_handle_is_refused_in_a_forked_child(client):
    with supply_port([], once=False) as port:
        done = run([client, "fork", "127.0.0.1", port])
    [child, parent], _ = library_objects(done.out)
    assert (child["verdict"], child["status"], child["sent"], done.status) == ("invalid-call", -1, False, 0)
    assert (parent["verdict"], parent["status"]) == ("carried-out", 0)


def test_the_time_out_bounds_the_whole_exchange(client):
    # The answer comes in 6 pieces 250 ms apart: each piece within the quiet gap, the
    # whole far past the time-out.
    with supply_port(["--pieces", "6", "--pause", "240"], once=False) as port:
        [result], [ms] = library_objects(run([client, "tcp", "127.0.0.1", port, "300", COMMAND]).out)
    assert 295 <= ms < 1000 and result["sent"]


def test_a_program_built_against_1_0_runs_on_a_grown_library(client):
    # The grown library's result has a field more at its end; the client's guard after
    # its 1.0-sized result would show a write past it.
    grown = str(BUILD / "tests" / "grown")
    loaded = subprocess.run(["ldd", client], env={**os.environ, "LD_LIBRARY_PATH": grown}, capture_output=True,
                            text=True, check=True).stdout
    assert f"{grown}/libdimlink.so.1" in loaded
    with supply_port([], once=False) as port:
        for argv in (["api"], ["tcp", "127.0.0.1", port, "5000", COMMAND]):
            on_grown = run([client, *argv], env={"LC_ALL": "C.UTF-8", "LD_LIBRARY_PATH": grown})
            on_built = run([client, *argv])
            assert on_grown.status == on_built.status
            assert argv == ["api"] or library_objects(on_grown.out)[0] == library_objects(on_built.out)[0]
            assert on_grown.status == 0


def test_kestrow_gets_its_turn_beside_a_program_exchanging_back_to_back(client):
    # Each exchange takes 0.1 s. A kestrow session of two, alone and then beside the
    # program, waits for the exchange in progress only; its answers, which the program's
    # open node receives too, are not taken by the program for its own.
    took = 'a=$(date +%s%N); "$@" >/dev/null; echo $? $(( $(date +%s%N) - a ))'
    script = (f'cd "$(mktemp -d)"; took() {{ {took}; }}; printf "A1 B2 01 0D 0A\\n%.0s" 1 2 >c; '
              f'took {KESTROW} --commands c; {client} repeat stop >h & until [ -s h ]; do sleep 0.01; done; '
              f'took {KESTROW} --commands c; touch stop; wait; cat h')
    alone, beside_it, *program = beside(script, "--delay", "100").decode().splitlines()
    (status, alone), (status_beside, beside_it) = ([int(n) for n in t.split()] for t in (alone, beside_it))
    assert (status, status_beside, program[:-1], int(program[-1].split()[0]) >= 2) == (0, 0, ["open"], True)
    assert alone >= 1e8  # ns
    assert_took(beside_it / 1e9, 0, 0.5, alone / 1e9)
