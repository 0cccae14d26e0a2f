# Runs beside the simulated supplies (as supply-sim --usb's command): starts a client that
# exchanges one command per line of its input, and takes it through the steps of argv[1]
# (JSON), unplugging and plugging back supplies between them. Prints one JSON line per
# step that gives something: each output line of the client with the seconds it took,
# and at the end the client's exit status and CPU seconds.
import contextlib
import json
import os
import select
import signal
import socket
import subprocess
import sys
import time

client, steps = json.loads(sys.argv[1])


for step, *value in steps:
    start = time.monotonic()
    if step == "start":
        process = subprocess.Popen(client, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    elif step in ("unplug", "plug"):
        with socket.socket(socket.AF_UNIX) as sim:
            sim.connect(os.environ["DIMLINK_SIM_CONTROL"])
            sim.sendall(f"{step} {value[0]}\n".encode())
            assert sim.makefile().readline() == "ok\n", value
    elif step in ("exchange", "send"):  # send: the answer is read by a later "read"
        with contextlib.suppress(BrokenPipeError):  # a session that has ended
            process.stdin.write(value[0].encode() + b"\n")
            process.stdin.flush()
    elif step in ("logged", "waiting"):  # until the simulator logged this line, or the client waits
        while time.monotonic() < start + 20 and (value[0] not in open(os.environ["DEVICE_LOG"]).read() if value
                                                  else "poll" not in open(f"/proc/{process.pid}/wchan").read()):
            time.sleep(0.01)
    elif step == "interrupt":
        process.send_signal(signal.SIGINT)
    if step in ("exchange", "read"):
        line = process.stdout.readline() if select.select([process.stdout], [], [], 20)[0] else b"(nothing)\n"
        print(json.dumps([line.decode().rstrip("\n") or "(ended)", round(time.monotonic() - start, 2)]), flush=True)
    if step == "end":
        with contextlib.suppress(BrokenPipeError):
            process.stdin.close()
        rest = process.stdout.read().decode().splitlines()
        _, status, usage = os.wait4(process.pid, 0)
        print(json.dumps(["end", rest, os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime,
                          round(time.monotonic() - start, 2)]), flush=True)
