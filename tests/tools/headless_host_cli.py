"""headless_host as an operator runs it against a falloff server of their
own: --help, a run with --server and --key-file that prints the level the
plug-in applied to each speaker and leaves no copy of the key behind, a
wrong key from the environment (exit 1, and why), and no key at all (2).

    headless_host_cli.py HEADLESS_HOST FALLOFF_SERVER
"""
import os
import re
import subprocess
import sys
import tempfile

HOST, SERVER = sys.argv[1], sys.argv[2]
REX = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678"
failures = []


def expect(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def host(*args, env_key=None):
    env = {k: v for k, v in os.environ.items() if k not in ("QL_API_KEY", "QUORRA_LINK_HOST", "QUORRA_LINK_PORT")}
    if env_key is not None:
        env["QL_API_KEY"] = env_key
    p = subprocess.run([HOST, *args], capture_output=True, timeout=40, env=env)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


rc, out, err = host("--help")
expect(rc == 0 and "--server" in out and "--key-file" in out and "cast file" in out, f"--help: rc {rc}: {out}{err}")

with tempfile.TemporaryDirectory() as d:
    cast = os.path.join(d, "cast.txt")
    with open(cast, "w") as f:
        f.write(f"listener Ana 5eed1e55c0ffee00d15ea5e0123456789abcdef0 -\n"
                f"creature Rex {REX} -\n"
                f"bystander Bo 77777777aaaaaaaa55555555cccccccc33333333 -\n")
    scenario = os.path.join(d, "scenario.txt")
    with open(scenario, "w") as f:
        f.write(f"100 UPDATE2 {REX} 0.5 -0.5\n")
    key_file = os.path.join(d, "key")
    with open(key_file, "w") as f:
        f.write("secret\n")
    srv = subprocess.Popen([SERVER, "--port", "0", "--key", "secret", "--scenario", scenario], stdout=subprocess.PIPE)
    try:
        server = "127.0.0.1:" + srv.stdout.readline().split(b":")[-1].strip().decode()
        run = ("--server", server, "--cast", cast, "--seconds", "2", "--speed", "2", "--synthetic")

        rc, out, err = host(*run, "--key-file", key_file)
        expect(rc == 0, f"run: rc {rc}: {out}{err}")
        expect(re.search(r"applied: Rex gain 0\.50 pan -0\.50, Bo silent", out), f"run: no applied line: {out}")
        expect("last gain 0.50 pan -0.50" in out, f"run: no last level in the summary: {out}")
        copy = re.search(r'found plug-in .* in (\S+)/quorra_link\.so', out)
        expect(copy and not os.path.exists(copy.group(1)), f"run: the private copy is left behind: {out}")

        rc, out, err = host(*run, env_key="wrong")
        expect(rc == 1 and "no update reached the plug-in" in out, f"wrong key: rc {rc}: {out}{err}")
    finally:
        srv.kill()
        srv.wait()

    rc, out, err = host("--server", server, "--cast", cast)
    expect(rc == 2 and "key" in err, f"no key: rc {rc}: {out}{err}")

sys.exit(1 if failures else 0)
