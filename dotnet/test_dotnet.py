# The .NET binding under Mono against the built libdimlink.so.1 and supply-sim: its results
# are the tools' --json field by field and its ToJson() their line byte for byte, on TCP and
# USB; its refusals, threads sharing a supply, the native struct's layout against the
# header, the library missing or wrong, and the NuGet package's layout.
import base64
import contextlib
import json
import os
import re
import shutil
import subprocess
import zipfile

import pytest

from conftest import require, run, simulator, tool
from lan_cases import CODE6, COMMAND, supply_port

MORVISH, KESTROW, SIM, MONO = tool("morvish"), tool("kestrow"), tool("supply_sim"), tool("mono")
BUILT = tool("dotnet_dir")
PROBE = os.path.join(BUILT, "DimlinkProbe.exe")
HEADER = os.path.join(os.path.dirname(__file__), "..", "lib", "dimlink.h")
LIBRARY_DIR = os.path.dirname(tool("library"))
WITH_LIBRARY = {"LD_LIBRARY_PATH": LIBRARY_DIR, "LC_ALL": "C.UTF-8"}

# Simulator options and command text: carried out (a Japanese message), the echo wrong, an
# answer shorter than its frame, a failing status, no answer, an error number, nothing
# sent (None: a port that refuses), and commands refused before sending, one of them with
# every character JSON escapes.
TCP_ROWS = [([], COMMAND), (["--answer", "A1 B3 00 00 0D 0A"], COMMAND), (["--short", "10"], CODE6),
            (["--status", "07"], COMMAND), (["--close"], COMMAND), (["--reset-after", "3", "--pause", "50"], CODE6),
            (None, COMMAND), ([], "A1 B2 zz 0D 0A"), ([], 'A1 B2 "\\\U0001F600\u00e9\x01 0D 0A')]


def probe(*args, stdin=None, env=None, folder=BUILT):
    done = subprocess.run([MONO, os.path.join(folder, "DimlinkProbe.exe"), *args], input=stdin, capture_output=True,
                          env={**os.environ, **WITH_LIBRARY, **(env or {})}, timeout=120)
    return done


def text(encoded):
    return base64.b64decode(encoded).decode("utf-8")


def fields(line):
    """A result's field line as the tools' --json object."""
    command, sent, answer, raw, verdict, status, error, ok, message = line.split("|")
    null = lambda value: None if value == "-" else value  # noqa: E731
    assert ok == ("1" if status == "0" else "0")
    return {"command": null(command), "sent": sent == "1", "answer": null(answer), "raw": null(raw),
            "verdict": verdict, "message": text(message), "status": int(status), "error": null(error) and int(error)}


def exchanges(jobs):
    """What the probe's exchanges came to, one job a line: (the exception's type or None,
    the result's fields, its ToJson line)."""
    done = probe("exchange", stdin="".join(f"{job}\n" for job in jobs).encode())
    assert done.returncode == 0, done.stderr.decode()
    return outcomes(done.stdout.decode(), len(jobs))


def outcomes(out, count):
    found = []
    for block in out.split("end\n")[:-1]:
        lines = block.splitlines()
        thrown = lines.pop(0).split("|")[1] if lines[0].startswith("exception|") else None
        found.append((thrown, fields(lines[0]), lines[1] + "\n"))
    assert len(found) == count, out
    return found


def test_tcp_results_are_morvish_json():
    with contextlib.ExitStack() as stack:
        ports = [stack.enter_context(supply_port(options, once=False)) for options, _ in TCP_ROWS]
        tools = [run([MORVISH, "--json", "127.0.0.1", port, *command.split(" ")]) for port, (_, command)
                 in zip(ports, TCP_ROWS)]
        probed = exchanges([f"tcp 127.0.0.1 {port} {command}" for port, (_, command) in zip(ports, TCP_ROWS)])
    for (options, command), morvish, (thrown, result, line) in zip(TCP_ROWS, tools, probed):
        expected = placeless(morvish.out.decode())
        refused = '"verdict":"bad-command"' in expected
        assert thrown == ("Dimlink.CommandException" if refused else None), (options, command)
        assert {**result, "message": placeless(result["message"])} == json.loads(expected), (options, command)
        assert placeless(line) == expected


def placeless(text):
    """A refused command's message without where the byte is, which morvish counts in its
    arguments and the binding in the command's words."""
    return re.sub(r" \(argument \d+\)", " (argument N)", text)


def test_usb_results_are_kestrow_json(tmp_path):
    cases = [("usb S0 -", ["--serial", "S0"]), ("usb - /dev/hidraw5", ["--device", "/dev/hidraw5"]),
             ("usb S2 -", ["--serial", "S2"]), ("usb absent -", ["--serial", "absent"])]
    commands = [COMMAND] * 4 + [" ".join(["A1"] * 64)]
    cases.append(cases[0])
    script = ["kestrow --list --json > list", f"mono {PROBE} list > probe-list"]
    for k, ((_, options), command) in enumerate(zip(cases, commands)):
        script.append(f"kestrow --json {' '.join(options)} {command} > kestrow{k}")
    jobs = "".join(f"{job} {command}\n" for (job, _), command in zip(cases, commands))
    (tmp_path / "jobs").write_text(jobs)
    script.append(f"mono {PROBE} exchange < jobs > probe-out")
    env = {**WITH_LIBRARY, "PATH": f"{os.path.dirname(KESTROW)}:{os.path.dirname(MONO)}:/usr/bin:/bin"}
    done = run([SIM, "--usb", "--log", tmp_path / "log", "--serial", "S0", "--supply", "--serial", "S1", "--fail-write",
                "--node", "5", "--supply", "--serial", "S2", "--status", "07", "--", "sh", "-c",
                f"cd {tmp_path}; " + "; ".join(script)], env, 120)
    require(done.status != 125, "supply-sim --usb cannot attach its simulated supplies here")
    assert done.status == 0, done.err.decode()
    listed = [json.loads(line) for line in (tmp_path / "list").read_text().splitlines()]
    probed = [dict(zip(("path", "serial", "name"), map(text, line.split("|"))))
              for line in (tmp_path / "probe-list").read_text().splitlines()]
    assert probed == listed and len(listed) == 3
    probed = outcomes((tmp_path / "probe-out").read_text(), len(cases))
    for k, ((job, _), (thrown, result, line)) in enumerate(zip(cases, probed)):
        expected = (tmp_path / f"kestrow{k}").read_text()
        if "absent" in job:  # the open fails: no command, nothing sent
            expected = re.sub(r'"command":"[^"]*"', '"command":null', expected)
            assert thrown == "Dimlink.NotFoundException"
        elif k == 4:
            expected = re.sub(r'"command":"[^"]*"', '"command":null', expected)
            assert thrown == "Dimlink.CommandException"
        else:
            assert thrown is None
        assert (result, line) == (json.loads(expected), expected), job


# What each refusal throws, and a word of its message.
REFUSALS = {
    "text null": ("System.ArgumentNullException", "command"),
    "bytes null": ("System.ArgumentNullException", "command"),
    "bad byte": ("Dimlink.CommandException", 'Invalid command byte "zz"'),
    "NUL in text": ("Dimlink.CommandException", "NUL"),
    "4 bytes": ("Dimlink.CommandException", "number of the arguments"),
    "65 bytes": ("Dimlink.CommandException", "64"),
    "name": ("System.ArgumentException", 'Invalid address "localhost"'),
    "address": ("System.ArgumentException", 'Invalid address "1.2.3"'),
    "address null": ("System.ArgumentNullException", "address"),
    "port 0": ("System.ArgumentOutOfRangeException", 'Invalid port "0"'),
    "port 65536": ("System.ArgumentOutOfRangeException", 'Invalid port "65536"'),
    "timeout 0": ("System.ArgumentOutOfRangeException", "1 ms to 600 s"),
    "timeout 600.001 s": ("System.ArgumentOutOfRangeException", "1 ms to 600 s"),
    "set timeout -1 ms": ("System.ArgumentOutOfRangeException", "1 ms to 600 s"),
    "serial with NUL": ("System.ArgumentException", "NUL"),
    "USB absent": ("Dimlink.NotFoundException", "USB電源を見つかりませんでした"),
    "after Dispose": ("System.ObjectDisposedException", "closed"),
}


def test_refusals():
    with simulator(once=False) as sim:
        done = probe("refusals", "127.0.0.1", sim.port)
        assert sim.logged() == 0  # nothing refused was sent
    assert done.returncode == 0, done.stderr.decode()
    seen = {}
    for line in done.stdout.decode().splitlines():
        name, _, rest = line.partition("|")
        if rest.startswith("exception|"):
            _, kind, message = rest.split("|")
            seen[name] = (kind, text(message))
    assert seen.keys() == REFUSALS.keys(), done.stdout.decode()
    for name, (kind, word) in REFUSALS.items():
        assert seen[name][0] == kind and word in seen[name][1], (name, seen[name])


def test_threads_share_a_supply_until_it_is_disposed():
    with simulator(once=False) as sim:
        done = probe("threads", "127.0.0.1", sim.port)
    assert done.returncode == 0, done.stderr.decode()
    ends = [line.split(" ", 1) for line in done.stdout.decode().splitlines()]
    assert len(ends) == 8 and all(int(count) > 0 and end == "System.ObjectDisposedException" for count, end in ends), ends


def test_result_layout_is_the_headers(tmp_path):
    header = open(HEADER).read()
    body = re.search(r"typedef struct dimlink_result \{(.*?)\} dimlink_result;", header, re.S).group(1)
    names = re.findall(r"(\w+)(?:\[\d+\])?;", re.sub(r"/\*.*?\*/", "", body, flags=re.S))
    source = tmp_path / "layout.c"
    source.write_text("#include <stddef.h>\n#include <stdio.h>\n#include <dimlink.h>\nint main(void) {\n" +
                      "".join(f'  printf("{n} %zu\\n", offsetof(dimlink_result, {n}));\n' for n in names) +
                      '  printf("sizeof %zu\\n", sizeof(dimlink_result));\n}\n')
    subprocess.run(["cc", "-I", os.path.dirname(HEADER), "-o", tmp_path / "layout", source], check=True)
    c_layout = run([tmp_path / "layout"]).out.decode().splitlines()
    done = probe("layout")
    lines = done.stdout.decode().splitlines()
    assert [line for line in lines if not line.startswith("references ")] == c_layout and len(c_layout) > 10
    # The base class library only: no assembly of Mono's own.
    references = {line.split()[1] for line in lines if line.startswith("references ")}
    assert references <= {"mscorlib", "System", "System.Core"}, references


def stub_library(path, version):
    """A libdimlink.so.1 of another release: every function of the header, or only the
    version function."""
    functions = re.findall(r"DIMLINK_CALL (dimlink_\w+)\(", open(HEADER).read())
    if version.startswith("0."):
        functions = ["dimlink_version"]
    source = path.with_suffix(".c")
    source.write_text("".join(f"int {name}(void) {{ return -1; }}\n" for name in functions if name != "dimlink_version") +
                      f'const char* dimlink_version(void) {{ return "{version}"; }}\n')
    subprocess.run(["cc", "-shared", "-fPIC", "-o", path, source], check=True)


def test_a_missing_or_wrong_library_says_where_it_was_looked_for(tmp_path):
    system = run(["python3", "-c", "import ctypes; ctypes.CDLL('libdimlink.so.1')"], {"LC_ALL": "C.UTF-8"})
    require(system.status != 0, "libdimlink1 is installed here, so the library is always found")
    for name in ("Dimlink.Net.dll", "Dimlink.Net.dll.config", "DimlinkProbe.exe"):
        shutil.copy(os.path.join(BUILT, name), tmp_path)
    beside = tmp_path / "libdimlink.so.1"
    no_path = {"LD_LIBRARY_PATH": ""}
    missing = probe("version", env=no_path, folder=tmp_path)
    assert missing.returncode == 3, missing.stderr.decode()
    for words in ("libdimlink.so.1", f"beside Dimlink.Net.dll ({tmp_path})", "LD_LIBRARY_PATH",
                  "Install the libdimlink1 package"):
        assert words in missing.stderr.decode()
    for version, words in (("0.2.0", "older than 1.0"), ("2.0.0", "version 2.0.0, and Dimlink needs a 1.x")):
        stub_library(beside, version)
        wrong = probe("version", env=no_path, folder=tmp_path)
        assert wrong.returncode == 3 and words in wrong.stderr.decode(), wrong.stderr.decode()
    shutil.copy(tool("library"), beside)  # beside the assembly, as a program may ship it
    found = probe("version", env=no_path, folder=tmp_path)
    assert found.stdout.decode().strip() == tool("version"), found.stderr.decode()


def test_nuget_package_layout():
    package = os.environ.get("DIMLINK_NUPKG")
    require(package and os.path.exists(package), "the Windows build, which makes the NuGet package, is not here")
    with zipfile.ZipFile(package) as nupkg:
        names = sorted(re.sub(r"[^/]+\.psmdcp$", "ID.psmdcp", name) for name in nupkg.namelist())
        assert names == ["Dimlink.nuspec", "LICENSE.txt", "[Content_Types].xml", "_rels/.rels", "lib/net462/Dimlink.Net.dll",
                         "lib/net462/Dimlink.Net.xml", "package/services/metadata/core-properties/ID.psmdcp",
                         "runtimes/win-x64/native/dimlink.dll"], names
        nuspec = nupkg.read("Dimlink.nuspec").decode()
        native = nupkg.read("runtimes/win-x64/native/dimlink.dll")
        managed = nupkg.read("lib/net462/Dimlink.Net.dll")
    assert "<id>Dimlink</id>" in nuspec and f"<version>{tool('version')}</version>" in nuspec
    pe = native[0x3C] | native[0x3D] << 8
    assert native[pe:pe + 6] == b"PE\0\0\x64\x86" and b"dimlink_exchange" in native  # x64, the library's exports
    assert managed[:2] == b"MZ" and b"Dimlink.Net" in managed and b"dimlink_exchange" in managed
    assert os.path.basename(package) == f"Dimlink.{tool('version')}.nupkg"
