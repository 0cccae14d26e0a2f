# What the end-to-end tests share: running the built programs, the simulated power
# supply, and the texts the tools print, spelled out here independently of the tools'
# own text table so that a changed byte in a label or message fails the tests.
import contextlib
import json
import os
import select
import shutil
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

IN_CI = os.environ.get("CI") == "true"
HERE = Path(__file__).parent


def tool(name):
    return os.environ["DIMLINK_" + name.upper()]


def require(condition, why):
    if not condition:
        if IN_CI:
            pytest.fail(why)
        pytest.skip(why)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # Under CI a skip from anywhere (a mark, a missing program) is a failure.
    report = (yield).get_result()
    if IN_CI and report.skipped:
        report.outcome = "failed"
        report.longrepr = f"skipped under CI=true: {report.longrepr}"



@dataclass
class Result:
    out: bytes
    err: bytes
    status: int
    seconds: float


def child_environment(env):
    base = {k: v for k, v in os.environ.items() if k not in ("LANG", "LANGUAGE") and not k.startswith("LC_")}
    base.update({"LC_ALL": "C.UTF-8"} if env is None else env)
    return base


def run(argv, env=None, timeout=30):
    start = time.monotonic()
    try:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=child_environment(env),
                              timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{argv} still running after {timeout} s")
    return Result(done.stdout, done.stderr, done.returncode, time.monotonic() - start)


def assert_took(seconds, least, most, reference):
    # The reference is the time a run of the same program that waits for nothing took a
    # moment before: what starting it costs on this machine now. Starting only adds time,
    # so a lower bound (a limit not given up early) holds as it is; an upper one allows
    # the reference and half as much again, for start-up varying from one run to the next.
    assert least <= seconds <= most + 1.5 * reference, f"{seconds:.2f} s, start-up {reference:.2f} s"


def assert_takes(attempt, least, most):
    # attempt() runs the program once, checks what it printed, and gives back the seconds
    # the run took and its reference. Under Wine a busy machine slows the Windows layers
    # beneath the tool too (its server, its HID stack), and not alike from one run to the
    # next: a run over the upper bound is tried again, and only a bound missed every time
    # is a fault. Only a run over the upper bound is tried again, so every run is held to
    # the lower one.
    for _ in range(3):
        seconds, reference = attempt()
        if seconds <= most + 1.5 * reference:
            break
    assert_took(seconds, least, most, reference)


class Simulator:
    def __init__(self, process):
        self.process = process
        self.port = self.log_line()

    def log_line(self, timeout=30):
        # The pipe is unbuffered and the simulator writes whole lines, so a readable
        # pipe holds a whole line.
        if not select.select([self.process.stdout], [], [], timeout)[0]:
            pytest.fail("supply-sim printed no line in time")
        return self.process.stdout.readline().decode().rstrip("\n")

    def logged(self):
        """How many lines it has logged by now (one per command on TCP)."""
        count = 0
        while select.select([self.process.stdout], [], [], 0.3)[0] and self.process.stdout.readline():
            count += 1
        return count


@contextlib.contextmanager
def simulator(*options, address="127.0.0.1", once=True):
    process = subprocess.Popen([tool("supply_sim"), *(["--once"] if once else []), *options, address, "0"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, bufsize=0)
    try:
        yield Simulator(process)
    finally:
        process.kill()
        process.wait()
        process.stdout.close()


def beside_supplies(tmp_path, devices, argv, env=None, stdin="/dev/null", stdout=None):
    """Runs argv beside the simulated devices, standard input (and output) redirected;
    gives back its result and the lines the devices logged."""
    log = tmp_path / "devices.log"
    redirect = '"$@" <"$0"' + (f' >"{stdout}"' if stdout else "")
    result = run([tool("supply_sim"), "--usb", "--log", log, *devices, "--", "sh", "-c", redirect, stdin, *argv], env)
    return result, log.read_text().splitlines() if log.exists() else []


def windows_library_client(folder, source=HERE / "library_client.c"):
    """A C program of the library's users (its test client unless another source is given)
    built with MinGW-w64 against dimlink.dll, with the DLL beside it, as a Windows program
    ships it."""
    dll = tool("dll")
    shutil.copy(dll, folder)
    client = folder / (source.stem + ".exe")
    subprocess.run(["x86_64-w64-mingw32-gcc-posix", "-std=c99", "-Wall", "-Werror", f"-I{HERE.parent / 'lib'}",
                    str(source), dll[:-len("dimlink.dll")] + "libdimlink.dll.a", "-static",
                    "-pthread", "-o", str(client)], check=True)
    return str(client)


def json_objects(out):
    """The tools' JSON Lines as objects."""
    return [json.loads(text) for text in out.decode().splitlines()]


def library_objects(out):
    """The library client's results, the tools' --json objects as the library writes them,
    and the milliseconds each exchange took."""
    objects, times = [], []
    for text in out.decode().splitlines():
        json_text, ms = text.rsplit("|", 1)
        objects.append(json.loads(json_text))
        times.append(float(ms))
    return objects, times


def line(label, words):
    return label.encode() + b"\0" + b"".join(b"%02X \0" % int(w, 16) for w in words.split()) + b"\n\n"


def sent(words):
    return line("Send Command / 送信コマンド： ", words)


def received(words):
    return line("Receive Command / 受信コマンド： ", words)


def cp932(data):
    return data.decode("utf-8").encode("cp932")


SUCCESS = "\n送信コマンドを正しく実行しました。".encode()
MISMATCH = "\n受信コマンドが送信コマンドと一致していません。".encode()
BY_STATUS = [SUCCESS] + [("\n" + t).encode() for t in (
    "送信コマンドのヘッダーが検出されませんでした。",
    "送信コマンドのフッターが検出されませんでした。",
    "送信コマンドの命令が正しくありません。",
    "送信コマンドのチャンネルが範囲外です。",
    "送信コマンドのアドレスが範囲外です。",
    "送信コマンドの形式が正しくありません。",
    "電源本体のつまみによる内部調光を使用中のため、外部調光方式が利用できません。",
)]
UNEXPECTED = "\n予想外のエラーを受信しました。".encode()
ARGUMENT_COUNT = "\nPlease check the number of the arguments. 引数の数を確認してください。\n".encode()
SUPPLY_NOT_FOUND = "\nLAN電源・USB電源を見つかりませんでした。".encode()
USB_SEND_FAILED = "\nLAN電源・USB電源がUSBへの送信は失敗しました。".encode()
USB_RECEIVE_FAILED = "\nLAN電源・USB電源からUSBでの受信は失敗しました。".encode()
CLOSED_WITHOUT_ANSWER = "\nThe connection was closed without an answer. LAN電源が応答せずに接続を閉じました。\n".encode()
SEARCH_END = b" !!! GetDeviceInterFace Error Code = 259\n"
NOT_FOUND = SEARCH_END + SUPPLY_NOT_FOUND


def invalid_byte(arg, position):
    return f'\nInvalid command byte "{arg}" (argument {position}). 送信コマンドのバイトが正しくありません。\n'.encode()


def too_many(most):
    return f"\nToo many command bytes: at most {most}. 送信コマンドのバイト数が多すぎます。\n".encode()


def invalid_port(text):
    return f'\nInvalid port "{text}". ポート番号が正しくありません。\n'.encode()


def invalid_address(text):
    return f'\nInvalid address "{text}". アドレスが正しくありません。\n'.encode()


def connect_failed(code):
    return f"\nConnected failed with error:{code}. LAN電源への接続が失敗しました。\n".encode()


def receive_failed(code):
    return f"\nReceive failed with error:{code}. LAN電源からの受信が失敗しました。\n".encode()



def cannot_open(path, code):
    return f" !!! Cannot open {path}, Error Code = {code}\n".encode()


def wrote(node, typed):
    """The simulator's log line for the 64-byte output report that carries the typed command."""
    words = [f"{int(w, 16) & 0xFF:02X}" for w in typed.split()][:63]
    return f"{node} write 00 {' '.join(words + ['00'] * (63 - len(words)))} (64 bytes)"
