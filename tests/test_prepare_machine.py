# scripts/prepare-machine on a machine where another apt-get or dpkg holds the package
# lock, with stand-ins for apt-get and the commands that tell what is installed, so that
# nothing is installed and no root is needed.
import pytest

from conftest import HERE, run

APT_GET = """#!/bin/sh
echo "$*" >>"$STUBS/calls"
for word; do case $word in update | install) verb=$word ;; esac; done
[ -z "$OTHER_FAILURE" ] || { echo "E: Unable to locate package x" >&2; exit 100; }
if [ "$(grep -cw "$verb" "$STUBS/calls")" -le "$(eval echo "\\$LOCKED_$verb")" ]; then
  echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 1 (apt-get)" >&2
  exit 100
fi
"""
STUBS = {"apt-get": APT_GET, "dpkg-query": "#!/bin/sh\nexit 1\n", "id": "#!/bin/sh\necho 0\n",
         "locale": "#!/bin/sh\necho ja_JP.sjis\n"}
WAITING = b"prepare-machine: another apt-get or dpkg holds the package lock; waiting for it (at most "


@pytest.mark.parametrize("name, env, status, updates, installs, says", [
    ("freed while waiting", {"LOCKED_update": "2", "LOCKED_install": "1"}, 0, 3, 2, WAITING + b"600 s)\n"),
    ("held past the bound", {"LOCKED_update": "99", "DIMLINK_APT_LOCK_WAIT": "2"}, 100, None, 0,
     b"prepare-machine: the package lock was still held after 2 s (DIMLINK_APT_LOCK_WAIT)\n"),
    ("another failure", {"OTHER_FAILURE": "1"}, 100, 1, 0, b"E: Unable to locate package x\n"),
], ids=lambda v: v if isinstance(v, str) else "")
def test_waits_for_the_package_lock(tmp_path, name, env, status, updates, installs, says):
    for stub, text in STUBS.items():
        (tmp_path / stub).write_text(text)
        (tmp_path / stub).chmod(0o755)
    (tmp_path / "calls").touch()
    environment = {"PATH": f"{tmp_path}:/usr/bin:/bin", "STUBS": str(tmp_path), "CI": "", "LOCKED_update": "0",
                   "LOCKED_install": "0", **env}
    done = run([HERE.parent / "scripts" / "prepare-machine"], environment, timeout=60)
    calls = (tmp_path / "calls").read_text().splitlines()
    assert done.status == status and says in done.err, done.err.decode()
    assert sum("install" in c.split() for c in calls) == installs
    assert updates is None or sum("update" in c.split() for c in calls) == updates
