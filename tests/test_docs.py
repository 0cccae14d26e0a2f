# The examples of README.md and docs/ run as printed, marked as docs/layout.md says, and
# every link between those pages leads to a page and heading that exist.
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import HERE, require, simulator, tool
from test_library import build_c, installed  # noqa: F401 (the installed library, a fixture)
from test_mqtt import Broker

PAGES = [HERE.parent / "README.md", *sorted((HERE.parent / "docs").glob("*.md"))]
BLOCK = re.compile(r"(?:^ *<!-- (not run|file): ([^\n]*?) -->\n)?^( *)```(\w*)\n(.*?)^\3```", re.M | re.S)
SIM = tool("supply_sim")
PATH = os.pathsep.join([*(os.path.dirname(tool(name)) for name in ("kestrow", "morvish", "supply_sim", "mqtt")),
                        os.path.dirname(sys.executable), os.environ["PATH"]])
SYNTAX = {"sh": ["sh", "-n"], "c": ["cc", "-fsyntax-only", f"-I{HERE.parent / 'lib'}", "-x", "c", "-"]}


def prose(page):
    return re.sub(r"^ *```.*?^ *```", "", page.read_text(), flags=re.M | re.S)


def test_links_lead_to_pages_and_headings_that_exist():
    for page in PAGES:
        for target in re.findall(r"\]\(([^)\s:]+)\)", prose(page)):
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            assert linked.is_file(), f"{page.name}: {target}"
            headings = re.findall(r"^#+ (.*)$", prose(linked), re.M)
            slugs = {re.sub(r"[^\w\- ]", "", h.strip().lower()).replace(" ", "-") for h in headings}
            assert not anchor or anchor in slugs, f"{page.name}: {target}"


def command(number, language, text, folder, library):
    """The shell command that runs one example, after writing (or building) its files."""
    if language == "sh":
        # A line whose comment says "exit N" must end so; every other command must succeed.
        text = re.sub(r"^(.*?)\s+#[^\n]*\bexit (\d+)\b.*$",
                      r's=0; \1 || s=$?; [ $s = \2 ] || { echo "exit $s, not \2" >&2; exit 1; }', text, flags=re.M)
        (folder / f"example{number}.sh").write_text(text)
        return f"sh -e example{number}.sh"
    if language == "python":
        name = f"{'test_' if 'def test_' in text else ''}example{number}.py"
        (folder / name).write_text(text)
        return f"python3 -m pytest -q -p no:cacheprovider -p pytest_dimlink {name}" if "test_" in name else \
            f"python3 {name}"
    if language == "csharp":  # built by its first line, beside the .NET binding
        build, source, run = re.match(r"// (mcs .*?(\S+\.cs)) && (.*)", text).groups()
        (folder / source).write_text(text)
        for name in ("Dimlink.Net.dll", "Dimlink.Net.dll.config"):
            shutil.copy(os.path.join(os.environ["DIMLINK_DOTNET_DIR"], name), folder)
        return f"{build} && {run}"
    source, target, run = re.match(r"/\* cc (\S+) .* -o (\S+) && (.*?) \*/", text).groups()
    (folder / source).write_text(text)
    build_c(folder / source, library, folder / target)
    return run


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_examples_run_as_printed(page, installed, tmp_path):  # noqa: F811
    usb = subprocess.run([SIM, "--usb", "--", "true"], capture_output=True)
    require(usb.returncode == 0, f"supply-sim --usb cannot run here: {usb.stderr.decode()}")
    examples = [(mark, name, language, re.sub(f"^{indent}", "", text, flags=re.M))
                for mark, name, indent, language, text in BLOCK.findall(page.read_text())]
    for name, text in [(name, text) for mark, name, _, text in examples if mark == "file"]:
        (tmp_path / name).write_text(text)
    # The MQTT page's examples name their broker at port 1883.
    with simulator(once=False) as sim, Broker(tmp_path) as broker:
        for number, (mark, name, language, text) in enumerate(examples):
            if mark == "not run" and language == "python":
                compile(text, page.name, "exec")
                continue
            if mark == "not run" and language in SYNTAX:
                done = subprocess.run(SYNTAX[language], input=text.encode(), capture_output=True)
            elif not mark and language:
                assert language in ("sh", "python", "c", "csharp"), f"{page.name}: a {language} block not marked not run"
                example = command(number, language, text.replace("5020", sim.port).replace("1883", str(broker.port)),
                                  tmp_path, installed)
                done = subprocess.run([SIM, "--usb", "--log", "/dev/null", "--serial", "A1", "--supply", "--serial",
                                       "B2", "--", "sh", "-c", example], cwd=tmp_path, capture_output=True,
                                      stdin=subprocess.DEVNULL, env={**os.environ, "PATH": PATH, "LC_ALL": "C.UTF-8"},
                                      timeout=120)
            else:
                continue
            assert done.returncode == 0, f"{page.name}:\n{text}\n{done.stdout.decode()}{done.stderr.decode()}"
