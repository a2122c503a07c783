#!/usr/bin/env python3
"""Runs a command in a network namespace of its own with loopback alone, so that nothing a test
starts reaches past this machine, not even a DNS lookup. As root: `unshare -n`; otherwise
`unshare -rn` (a user namespace). When neither works the test fails here, loudly, rather than
run on the machine's network.

    no_network.py COMMAND [ARGS...]
"""
import os
import subprocess
import sys

INSIDE = "QUILLON_NO_NETWORK_INSIDE"


def interfaces():
    """The network interfaces of this process's namespace (/sys/class/net would show those of
    whoever mounted /sys)."""
    with open("/proc/self/net/dev") as f:
        return [line.split(":", 1)[0].strip() for line in f.readlines()[2:]]


def fail(message):
    print("no_network.py: %s; the test is not run on this machine's network" % message,
          file=sys.stderr)
    sys.exit(1)


def main():
    command = sys.argv[1:]
    if not command:
        fail("no command given")
    if os.environ.get(INSIDE) == "1":
        if interfaces() != ["lo"]:
            fail("the new namespace has interfaces besides lo: %s" % interfaces())
        up = subprocess.run(["ip", "link", "set", "lo", "up"], capture_output=True, text=True)
        if up.returncode != 0:
            fail("ip link set lo up failed: %s" % up.stderr.strip())
        os.execvp(command[0], command)
    unshare = ["unshare", "-n"] if os.geteuid() == 0 else ["unshare", "-rn"]
    try:
        probe = subprocess.run(unshare + ["true"], capture_output=True, text=True)
    except FileNotFoundError:
        fail("unshare is not installed (util-linux)")
    if probe.returncode != 0:
        fail("%s cannot make a network namespace: %s" % (" ".join(unshare), probe.stderr.strip()))
    env = dict(os.environ, **{INSIDE: "1"})
    result = subprocess.run(unshare + [sys.executable, os.path.abspath(__file__)] + command,
                            env=env)
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
