# scripts/prepare-machine while another apt-get or dpkg holds the package lock, beside
# stand-ins that say every package is missing and take the lock for apt-get's first calls.
import pytest

from conftest import HERE, run

STUBS = {"dpkg-query": "exit 1", "id": "echo 0", "locale": "echo ja_JP.sjis", "apt-get": """
echo "$*" >>"$STUBS/calls"; verb=$(echo "$*" | grep -ow 'update\\|install')
[ -z "$OTHER" ] || { echo "E: Unable to locate package x" >&2; exit 100; }
[ "$(grep -cw "$verb" "$STUBS/calls")" -gt "$(eval echo "\\$LOCKED_$verb")" ] ||
  { echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 1 (apt-get)" >&2; exit 100; }"""}


@pytest.mark.parametrize("env, status, calls, says", [
    ({"LOCKED_update": "2", "LOCKED_install": "1"}, 0, (3, 2), b"holds the package lock; waiting for it (at most 600 s)"),
    ({"LOCKED_update": "99", "DIMLINK_APT_LOCK_WAIT": "2"}, 100, None, b"lock was still held after 2 s"),
    ({"OTHER": "1"}, 100, (1, 0), b"E: Unable to locate package x"),  # no lock: no waiting
])
def test_waits_for_the_package_lock(tmp_path, env, status, calls, says):
    for stub, text in STUBS.items():
        (tmp_path / stub).write_text("#!/bin/sh\n" + text + "\n")
        (tmp_path / stub).chmod(0o755)
    (tmp_path / "calls").touch()
    done = run([HERE.parent / "scripts" / "prepare-machine"], {"PATH": f"{tmp_path}:/usr/bin:/bin", "CI": "",
               "STUBS": str(tmp_path), "LOCKED_update": "0", "LOCKED_install": "0", **env}, timeout=60)
    made = [line.split() for line in (tmp_path / "calls").read_text().splitlines()]
    assert done.status == status and says in done.err, done.err.decode()
    assert calls is None or (sum("update" in c for c in made), sum("install" in c for c in made)) == calls
