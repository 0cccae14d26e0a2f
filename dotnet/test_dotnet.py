# The .NET binding under Mono against the built libdimlink.so.1 and supply-sim: results
# equal the tools' --json field by field and ToJson() their line byte for byte (TCP and
# USB), refusals, threads sharing a supply, the native struct's layout against the header,
# a missing or wrong library, and the NuGet package's layout.
import base64
import contextlib
import json
import os
import re
import shutil
import subprocess
import zipfile

from conftest import require, run, simulator, tool
from lan_cases import CODE6, COMMAND, supply_port

MORVISH, KESTROW, SIM, MONO, BUILT = (tool(name) for name in ("morvish", "kestrow", "supply_sim", "mono", "dotnet_dir"))
HEADER = os.path.join(os.path.dirname(__file__), "..", "lib", "dimlink.h")
WITH_LIBRARY = {"LD_LIBRARY_PATH": os.path.dirname(tool("library")), "LC_ALL": "C.UTF-8"}
# Simulator options and command: carried out (a Japanese message), a wrong echo, an answer
# short of its frame, a failing status, no answer, an error number, nothing sent (None: a
# port that refuses), and refused commands, one with every character JSON escapes.
TCP_ROWS = [([], COMMAND), (["--answer", "A1 B3 00 00 0D 0A"], COMMAND), (["--short", "10"], CODE6),
            (["--status", "07"], COMMAND), (["--close"], COMMAND), (["--reset-after", "3", "--pause", "50"], CODE6),
            (None, COMMAND), ([], "A1 B2 zz 0D 0A"), ([], 'A1 B2 "\\\U0001F600\u00e9\x01 0D 0A')]


def probe(*args, stdin=None, env=None, folder=BUILT):
    return subprocess.run([MONO, os.path.join(folder, "probe_test.exe"), *args], input=stdin, capture_output=True,
                          env={**os.environ, **WITH_LIBRARY, **(env or {})}, timeout=120)


def text(encoded):
    return base64.b64decode(encoded).decode("utf-8")


def outcomes(out):
    """The probe's results: (the exception's type or None, the --json object of the
    result's fields, its ToJson line) for each block."""
    found = []
    for block in out.split("end\n")[:-1]:
        lines = block.splitlines()
        thrown = lines.pop(0).split("|")[1] if lines[0].startswith("exception|") else None
        command, sent, answer, raw, verdict, status, error, ok, threw, message = lines[0].split("|")
        assert ok == str(int(status == "0")) and threw == str(int(status != "0"))  # Check() throws unless ok
        null = lambda value: None if value == "-" else value  # noqa: E731
        found.append((thrown, {"command": null(command), "sent": sent == "1", "answer": null(answer), "raw": null(raw),
                               "verdict": verdict, "message": text(message), "status": int(status),
                               "error": null(error) and int(error)}, lines[1] + "\n"))
    return found


def placeless(line):
    """Where a refused byte is: morvish counts its arguments, the binding the words."""
    return re.sub(r" \(argument \d+\)", " (argument N)", line)


def test_tcp_results_are_morvish_json():
    with contextlib.ExitStack() as stack:
        ports = [stack.enter_context(supply_port(options, once=False)) for options, _ in TCP_ROWS]
        rows = [(port, command) for port, (_, command) in zip(ports, TCP_ROWS)]
        tools = [run([MORVISH, "--json", "127.0.0.1", port, *command.split(" ")]).out.decode() for port, command in rows]
        done = probe("exchange", stdin="".join(f"tcp 127.0.0.1 {port} {command}\n" for port, command in rows).encode())
    probed = outcomes(done.stdout.decode())
    assert len(probed) == len(rows), done.stderr.decode()
    for row, morvish, (thrown, result, line) in zip(TCP_ROWS, tools, probed):
        expected = placeless(morvish)
        assert thrown == ("Dimlink.CommandException" if '"bad-command"' in expected else None), row
        assert {**result, "message": placeless(result["message"])} == json.loads(expected) and placeless(line) == expected


def test_usb_results_are_kestrow_json(tmp_path):
    # Answered; a write that fails, by path; none found; a command too long for a report.
    rows = [("S0 -", "--serial S0", COMMAND), ("- /dev/hidraw5", "--device /dev/hidraw5", COMMAND),
            ("absent -", "--serial absent", COMMAND), ("S0 -", "--serial S0", " ".join(["A1"] * 64))]
    script = [f"kestrow --json {option} {command} > kestrow{k}" for k, (_, option, command) in enumerate(rows)]
    (tmp_path / "jobs").write_text("".join(f"usb {choice} {command}\n" for choice, _, command in rows))
    probe_exe = os.path.join(BUILT, "probe_test.exe")
    script += ["kestrow --list --json > list", f"mono {probe_exe} list > probe-list", f"mono {probe_exe} exchange < jobs > out"]
    env = {**WITH_LIBRARY, "PATH": f"{os.path.dirname(KESTROW)}:{os.path.dirname(MONO)}:/usr/bin:/bin"}
    done = run([SIM, "--usb", "--log", tmp_path / "log", "--serial", "S0", "--supply", "--serial", "S1", "--fail-write",
                "--node", "5", "--", "sh", "-c", f"cd {tmp_path}; " + "; ".join(script)], env, 120)
    require(done.status != 125, "supply-sim --usb cannot attach its simulated supplies here")
    listed = [[text(field) for field in line.split("|")] for line in (tmp_path / "probe-list").read_text().splitlines()]
    assert listed == [list(json.loads(line).values()) for line in (tmp_path / "list").read_text().splitlines()]
    probed = outcomes((tmp_path / "out").read_text())
    kinds = [None, None, "Dimlink.NotFoundException", "Dimlink.CommandException"]
    for k, (kind, (thrown, result, line)) in enumerate(zip(kinds, probed, strict=True)):
        expected = (tmp_path / f"kestrow{k}").read_text()
        if kind == "Dimlink.NotFoundException":  # the open fails: no command
            expected = re.sub(r'"command":"[^"]*"', '"command":null', expected)
        assert (thrown, result, line) == (kind, json.loads(expected), expected), rows[k]


# What each of the probe's refusals throws, and words of its message.
REFUSALS = [("System.ArgumentNullException", "command"), ("Dimlink.CommandException", 'Invalid command byte "zz"'),
            ("Dimlink.CommandException", "NUL"), ("Dimlink.CommandException", "at most 64"),
            ("System.ArgumentException", 'Invalid address "1.2.3"'),
            ("System.ArgumentOutOfRangeException", 'Invalid port "65536"'),
            ("System.ArgumentOutOfRangeException", "1 ms to 600 s"), ("System.ArgumentOutOfRangeException", "1 ms to 600 s"),
            ("System.ObjectDisposedException", "closed")]


def test_refusals_send_nothing():
    with simulator(once=False) as sim:
        done = probe("refusals", "127.0.0.1", sim.port)
        assert sim.logged() == 0
    thrown = [line.split("|")[1:] for line in done.stdout.decode().splitlines() if line.startswith("exception|")]
    assert len(thrown) == len(REFUSALS), done.stdout.decode() + done.stderr.decode()
    for (kind, message), (expected_kind, words) in zip(thrown, REFUSALS):
        assert kind == expected_kind and words in text(message), (kind, text(message))


def test_threads_share_a_supply_until_it_is_disposed():
    with simulator(once=False) as sim:
        ends = [line.split(" ") for line in probe("threads", "127.0.0.1", sim.port).stdout.decode().splitlines()]
    assert len(ends) == 8 and all(int(n) > 0 and end == "System.ObjectDisposedException" for n, end in ends), ends


def test_result_layout_is_the_headers(tmp_path):
    body = re.search(r"typedef struct dimlink_result \{(.*?)\} dimlink_result;", open(HEADER).read(), re.S).group(1)
    names = re.findall(r"(\w+)(?:\[\d+\])?;", re.sub(r"/\*.*?\*/", "", body, flags=re.S))
    (tmp_path / "layout.c").write_text(
        "#include <stddef.h>\n#include <stdio.h>\n#include <dimlink.h>\nint main(void) {\n" +
        "".join(f'  printf("{n} %zu\\n", offsetof(dimlink_result, {n}));\n' for n in names) +
        '  printf("sizeof %zu\\n", sizeof(dimlink_result));\n}\n')
    subprocess.run(["cc", "-I", os.path.dirname(HEADER), "-o", tmp_path / "layout", tmp_path / "layout.c"], check=True)
    lines = probe("layout").stdout.decode().splitlines()
    assert [line for line in lines if not line.startswith("references ")] == run([tmp_path / "layout"]).out.decode(
    ).splitlines() and len(names) > 10
    assert {line.split()[1] for line in lines if line.startswith("references ")} == {"mscorlib"}  # no Mono-only API


def test_a_missing_or_wrong_library_says_where_it_was_looked_for(tmp_path):
    system = run(["python3", "-c", "import ctypes; ctypes.CDLL('libdimlink.so.1')"], {"LC_ALL": "C.UTF-8"})
    require(system.status != 0, "libdimlink1 is installed here, so the library is always found")
    for name in ("Dimlink.Net.dll", "Dimlink.Net.dll.config", "probe_test.exe"):
        shutil.copy(os.path.join(BUILT, name), tmp_path)
    functions = re.findall(r"DIMLINK_CALL (dimlink_\w+)\(", open(HEADER).read())
    beside, no_path = tmp_path / "libdimlink.so.1", {"LD_LIBRARY_PATH": ""}
    for version, words in ((None, f"beside Dimlink.Net.dll ({tmp_path}) and through the system's library search "
                                  "(LD_LIBRARY_PATH, then /etc/ld.so.cache). Install the libdimlink1 package"),
                           ("0.2.0", "older than 1.0"), ("2.0.0", "version 2.0.0, and Dimlink needs a 1.x")):
        if version:  # a library of another release: only the version function, or all
            (tmp_path / "stub.c").write_text(f'const char* dimlink_version(void) {{ return "{version}"; }}\n' + "".join(
                f"int {name}(void) {{ return -1; }}\n" for name in functions if name != "dimlink_version" and version > "1"))
            subprocess.run(["cc", "-shared", "-fPIC", "-o", beside, tmp_path / "stub.c"], check=True)
        wrong = probe("version", env=no_path, folder=tmp_path)
        assert wrong.returncode == 3 and "libdimlink.so.1" in wrong.stderr.decode() and words in wrong.stderr.decode()
    shutil.copy(tool("library"), beside)  # beside the assembly, as a program may ship it
    assert probe("version", env=no_path, folder=tmp_path).stdout.decode() == tool("version") + "\n"


def test_nuget_package_layout():
    require(os.path.exists(os.environ["DIMLINK_NUPKG"]), "no NuGet package: the Windows build found no nuget")
    with zipfile.ZipFile(os.environ["DIMLINK_NUPKG"]) as nupkg:
        names = sorted(re.sub(r"[^/]+\.psmdcp$", "ID.psmdcp", name) for name in nupkg.namelist())
        manifest, native, managed = (nupkg.read(name) for name in ("Dimlink.nuspec", "runtimes/win-x64/native/dimlink.dll",
                                                                 "lib/net462/Dimlink.Net.dll"))
    assert names == ["Dimlink.nuspec", "LICENSE.txt", "[Content_Types].xml", "_rels/.rels", "lib/net462/Dimlink.Net.dll",
                     "lib/net462/Dimlink.Net.xml", "package/services/metadata/core-properties/ID.psmdcp",
                     "runtimes/win-x64/native/dimlink.dll"]
    assert b"<id>Dimlink</id>" in manifest and f"<version>{tool('version')}</version>".encode() in manifest
    pe = native[0x3C] | native[0x3D] << 8
    assert native[pe:pe + 6] == b"PE\0\0\x64\x86" and b"dimlink_exchange" in native  # x64, the library's exports
    assert managed[:2] == b"MZ" and b"Dimlink.Net" in managed and b"dimlink_exchange" in managed
    assert os.path.basename(os.environ["DIMLINK_NUPKG"]) == f"Dimlink.{tool('version')}.nupkg"
