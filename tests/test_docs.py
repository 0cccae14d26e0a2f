# The examples of README.md and docs/ run as printed, marked as docs/layout.md says, and
# every link between those pages leads to a page and heading that exist.
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import HERE, require, simulator, tool
from test_library import build_c, installed  # noqa: F401 (the installed library, a fixture)

PAGES = [HERE.parent / "README.md", *sorted((HERE.parent / "docs").glob("*.md"))]
BLOCK = re.compile(r"(?:^ *<!-- (not run|file): ([^\n]*?) -->\n)?^( *)```(\w*)\n(.*?)^\3```", re.M | re.S)
SIM = tool("supply_sim")
PROGRAMS = os.pathsep.join(os.path.dirname(program) for program in (*map(tool, ("kestrow", "morvish", "supply_sim")),
                                                                     sys.executable))


def blocks(page):
    for mark, name, indent, language, text in BLOCK.findall(page.read_text()):
        yield mark, name, language, re.sub(f"^{indent}", "", text, flags=re.M)


def slug(heading):
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_links_lead_to_pages_and_headings_that_exist():
    for page in PAGES:
        prose = re.sub(r"^ *```.*?^ *```", "", page.read_text(), flags=re.M | re.S)
        for target in re.findall(r"\]\(([^)\s]+)\)", prose):
            if re.match(r"\w+:", target):
                continue
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            assert linked.is_file(), f"{page.name}: {target}"
            text = re.sub(r"^ *```.*?^ *```", "", linked.read_text(), flags=re.M | re.S)
            headings = {slug(h) for h in re.findall(r"^#+ (.*)$", text, re.M)}
            assert not anchor or anchor in headings, f"{page.name}: {target}"


def command(number, language, text, folder, library):
    """The shell command that runs one example, its files written into folder."""
    if language == "sh":
        # A line whose comment says "exit N" must end so; every other command must succeed.
        text = re.sub(r"^(.*?)\s+#[^\n]*\bexit (\d+)\b.*$",
                      r's=0; \1 || s=$?; [ $s = \2 ] || { echo "exit $s, not \2" >&2; exit 1; }', text, flags=re.M)
        (folder / f"example{number}.sh").write_text(text)
        return f"sh -e example{number}.sh"
    if language == "python":
        tests = "def test_" in text
        (folder / f"{'test_' if tests else ''}example{number}.py").write_text(text)
        if tests:
            return f"python3 -m pytest -q -p no:cacheprovider -p dimlink.pytest_plugin test_example{number}.py"
        return f"python3 example{number}.py"
    source, target, run = re.match(r"/\* cc (\S+) .* -o (\S+) && (.*?) \*/", text).groups()
    (folder / source).write_text(text)
    build_c(folder / source, library, folder / target)
    return run


@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_examples_run_as_printed(page, installed, tmp_path):  # noqa: F811
    require(subprocess.run([SIM, "--usb", "--", "true"], capture_output=True).returncode == 0,
            "supply-sim --usb cannot attach its simulated supplies here")
    examples = list(blocks(page))
    for mark, name, _, text in examples:
        if mark == "file":
            (tmp_path / name).write_text(text)
    env = {**os.environ, "PATH": PROGRAMS + os.pathsep + os.environ["PATH"], "LC_ALL": "C.UTF-8"}
    with simulator(once=False) as sim:
        for number, (mark, name, language, text) in enumerate(examples):
            if mark == "not run":
                check_syntax(page, language, text)
            elif not mark and language:
                assert language in ("sh", "python", "c"), f"{page.name}: mark the {language} block not run"
                example = command(number, language, text.replace("5020", sim.port), tmp_path, installed)
                done = subprocess.run([SIM, "--usb", "--log", "/dev/null", "--serial", "A1", "--supply", "--serial",
                                       "B2", "--", "sh", "-c", example], cwd=tmp_path, env=env, capture_output=True,
                                      stdin=subprocess.DEVNULL, timeout=120)
                assert done.returncode == 0, f"{page.name}:\n{text}\n{done.stdout.decode()}{done.stderr.decode()}"


def check_syntax(page, language, text):
    if language == "python":
        compile(text, page.name, "exec")
    elif language in ("sh", "c"):
        checker = ["sh", "-n"] if language == "sh" else ["cc", "-fsyntax-only", f"-I{HERE.parent / 'lib'}", "-x", "c", "-"]
        done = subprocess.run(checker, input=text.encode(), capture_output=True)
        assert done.returncode == 0, f"{page.name}:\n{text}\n{done.stderr.decode()}"
