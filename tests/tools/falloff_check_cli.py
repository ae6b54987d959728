"""falloff_check as an operator runs it: against the reference server (exit
0), a server sending every byte value (exit 1, JSON that parses), a server
that never answers HELLO (the real 5 s deadline), no server (10 s of tries)
and bad usage (exit 2); its help, the key from a file or the environment,
--strict and --min-speakers.

    falloff_check_cli.py FALLOFF_CHECK FALLOFF_SERVER
"""
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

CHECK, SERVER = sys.argv[1], sys.argv[2]
HASH = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678"
failures = []


def expect(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def check(*args, env=None):
    p = subprocess.run([CHECK, *args], capture_output=True, timeout=40,
                       env=None if env is None else {**os.environ, **env})
    return p.returncode, p.stdout


def with_server(scenario: bytes, run):
    """Starts the reference server playing scenario, calls run(port)."""
    with tempfile.NamedTemporaryFile(suffix=".txt", delete=False) as f:
        f.write(scenario)
    srv = subprocess.Popen([SERVER, "--port", "0", "--key", "secret", "--scenario", f.name],
                           stdout=subprocess.PIPE)
    try:
        port = srv.stdout.readline().split(b":")[-1].strip().decode()
        return run(port)
    finally:
        srv.kill()
        srv.wait()
        os.unlink(f.name)


def json_of(out, what):
    try:
        return json.loads(out.decode("ascii"))
    except (ValueError, UnicodeDecodeError) as e:
        expect(False, f"{what}: output is not ASCII JSON ({e})")
        return {"findings": []}


updates = b"".join(b"%d UPDATE2 %s 0.%d -0.5\n" % (100 * i, HASH.encode(), i) for i in range(1, 6))
rc, out = with_server(updates + b"250 PING\n",
                      lambda port: check("--host", "127.0.0.1", "--port", port, "--key", "secret",
                                         "--seconds", "1", "--json"))
report = json_of(out, "reference")
expect(rc == 0 and report["findings"] == [] and report["updates"] >= 4, f"reference: rc {rc}, {report}")
expect(isinstance(report.get("port"), int), f"reference: the port is a number: {report.get('port')!r}")

# The key from a file or the environment, never on the command line.
with tempfile.NamedTemporaryFile("w", suffix=".key", delete=False) as f:
    f.write("secret\n")
for how, args, env in (("file", ["--key-file", f.name], None), ("environment", [], {"FALLOFF_CHECK_KEY": "secret"}),
                       ("wrong key", [], {"FALLOFF_CHECK_KEY": "guess"})):
    rc, out = with_server(updates, lambda port: check("--host", "127.0.0.1", "--port", port, "--seconds", "1",
                                                      "--json", *args, env=env))
    greeted = json_of(out, how).get("greeted")
    expect((rc, greeted) == ((1, False) if how == "wrong key" else (0, True)), f"key from {how}: rc {rc}")
os.unlink(f.name)

# A warning fails only a strict run; empty updates only a run that wants speakers.
for scenario, args, want in ((b"100 UPDATE2 %s 0.5 -3\n" % HASH.encode(), [], 0),
                             (b"100 UPDATE2 %s 0.5 -3\n" % HASH.encode(), ["--strict"], 1),
                             (b"100 UPDATE2\n200 UPDATE2\n", [], 0),
                             (b"100 UPDATE2\n200 UPDATE2\n", ["--min-speakers", "1"], 1)):
    rc, out = with_server(scenario, lambda port: check("--host", "127.0.0.1", "--port", port, "--key", "secret",
                                                       "--seconds", "1", *args))
    expect(rc == want, f"{scenario!r} {args}: rc {rc}, not {want}: {out!r}")

rc, out = with_server(updates, lambda port: check("--host", "127.0.0.1", "--port", port, "--key", "secret",
                                                  "--seconds", "1"))
expect(rc == 0 and b"findings: none" in out and HASH.encode() in out, f"reference, for a person: {out!r}")

every_byte = bytes(b for b in range(1, 256) if b != 10)
rc, out = with_server(b"100 UPDATE2 " + every_byte + b" 1\n200 " + every_byte + b"\n",
                      lambda port: check("--host", "127.0.0.1", "--port", port, "--key", "secret",
                                         "--seconds", "1", "--json"))
codes = {f["code"] for f in json_of(out, "every byte")["findings"]}
expect(rc == 1 and "item_dropped" in codes, f"every byte: rc {rc}, {codes}")

silent = socket.socket()
silent.bind(("127.0.0.1", 0))
silent.listen(1)
held = []
threading.Thread(target=lambda: held.append(silent.accept()), daemon=True).start()
start = time.monotonic()
rc, out = check("--host", "127.0.0.1", "--port", str(silent.getsockname()[1]), "--key", "k", "--json")
took = time.monotonic() - start
codes = [f["code"] for f in json_of(out, "silent")["findings"]]
expect(rc == 1 and codes == ["greeting_timeout"] and 4.5 < took < 10, f"silent: rc {rc}, {codes}, {took:.1f} s")

free = socket.socket()
free.bind(("127.0.0.1", 0))
port = str(free.getsockname()[1])
free.close()
start = time.monotonic()
rc, out = check("--host", "127.0.0.1", "--port", port, "--key", "k", "--json")
took = time.monotonic() - start
report = json_of(out, "no server")
expect(rc == 2 and report["ran"] is False and report["errors"] == 1 and 9 < took < 15,
       f"no server: rc {rc}, {took:.1f} s, {report}")
expect(check("--host", "127.0.0.1", "--port", "1")[0] == 2, "no key: exit 2")
rc, out = check("--help")
expect(rc == 0 and b"--key-file" in out and b"FALLOFF_CHECK_KEY" in out, f"--help: rc {rc}, {out!r}")
expect(check("--host", "127.0.0.1", "--port", "1", "--key", "k", "--id", "xyz")[0] == 2, "bad id: exit 2")

# Every finding the checker can report is in the guide's table with its
# severity, and the table names no other.
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
source = "".join(open(os.path.join(root, "tools", "falloff_check", name)).read()
                 for name in ("check.cpp", "judge.cpp"))
reported = set(re.findall(r'"([a-z_]+)",\s*Severity::(error|warning)', source))
guide = open(os.path.join(root, "docs", "server-operators.md")).read()
table = guide[guide.index("## Checking your server"):guide.index("## Worked example")]
documented = set(re.findall(r"^\| `([a-z_]+)` \| (error|warning) \|", table, re.M))
expect(reported and reported == documented,
       f"findings without a row in the guide: {sorted(reported - documented)}, rows without a finding: "
       f"{sorted(documented - reported)}")

sys.exit(1 if failures else 0)
