#!/usr/bin/env python3
"""The Debian package as it installs: its control fields and files, the installed proxy serving the
sample disc from a scratch root (as an unprivileged user, so the disc is read-only to it), the
manual pages against the programs' --help, the bash completion, and the systemd unit."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.request

# What the package must hold, relative to its root.
EXPECTED_FILES = [
    "usr/bin/quillon-proxy",
    "usr/bin/quillon-disc",
    "usr/lib/quillon/libquillon_filter.so",
    "usr/lib/quillon/libquillon_viewer_window.so",
    "usr/share/quillon/sample-disc/catalogue.db",
    "usr/share/man/man1/quillon-proxy.1",
    "usr/share/man/man1/quillon-disc.1",
    "usr/share/bash-completion/completions/quillon-proxy",
    "usr/share/bash-completion/completions/quillon-disc",
    "usr/lib/systemd/system/quillon-proxy.service",
    "etc/default/quillon",
    "etc/logrotate.d/quillon-proxy",
    "usr/share/doc/quillon/README.md",
]

# Words typed, and completions that must be offered.
COMPLETIONS = [
    (["quillon-proxy", "--off"], {"--offline"}),
    (["quillon-proxy", "--listen", "127.0.0.1:8080", "--no-"], {"--no-connect", "--no-launch"}),
    (["quillon-disc", "c"], {"create", "check"}),
    (["quillon-disc", "create", "mydisc", "--f"], {"--from", "--force"}),
]


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def help_options(program):
    """The long options a program's help lists (with --help-all, its subcommands' too)."""
    text = run([program, "--help-all"]).stdout or run([program, "--help"]).stdout
    return set(re.findall(r"^ +(?:-\w,)?(--[A-Za-z0-9][-A-Za-z0-9]*)", text, re.M))


def check_package(deb, failures):
    fields = run(["dpkg-deb", "-f", deb, "Package", "Depends"]).stdout
    # dpkg-shlibdeps found the libraries the programs link, the package's own excepted.
    for dependency in ("libc6", "libstdc++6", "libsqlite3-0"):
        if not re.search(r"\b%s\b" % re.escape(dependency), fields):
            failures.append("Depends lacks %s: %s" % (dependency, fields))
    if "quillon" in fields.split("Depends", 1)[-1]:
        failures.append("the package depends on itself: " + fields)
    conffiles = run(["dpkg-deb", "-I", deb, "conffiles"]).stdout.split()
    if conffiles != ["/etc/default/quillon", "/etc/logrotate.d/quillon-proxy"]:
        failures.append("conffiles: %s" % conffiles)


def check_files(root, failures):
    for relative in EXPECTED_FILES:
        if not os.path.isfile(os.path.join(root, relative)):
            failures.append("the package lacks /" + relative)
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            if os.path.islink(path) or "sample-disc" in path:
                continue
            with open(path, "rb") as f:
                data = f.read()
            # Placeholders left unfilled, or a path of the machine that built it.
            if b"@QUILLON_" in data or b"/CMakeFiles/" in data:
                failures.append("/%s names a build-time path" % os.path.relpath(path, root))


def check_proxy(root, failures):
    """The installed proxy with no --filter nor --disc serves the installed sample disc."""
    proxy_command = [os.path.join(root, "usr/bin/quillon-proxy"), "--listen", "127.0.0.1:0",
                     "--offline", "--no-launch"]
    if os.geteuid() == 0:
        # As a user who may not write the disc folder, as the service's dynamic user.
        proxy_command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                         "--"] + proxy_command
    else:
        disc = os.path.join(root, "usr/share/quillon/sample-disc")
        for folder, _, _ in os.walk(disc):
            os.chmod(folder, 0o555)
    proxy = subprocess.Popen(proxy_command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, cwd="/")
    try:
        said = []  # what it says before it listens (a folder it may not make, say)
        while True:
            line = proxy.stderr.readline()
            said.append(line)
            if "listening on" in line or not line:
                break
        if "listening on" not in line:
            failures.append("the installed proxy did not start: " + "".join(said))
            return
        port = int(line.rsplit(":", 1)[1])
        opener = urllib.request.build_opener(
            urllib.request.ProxyHandler({"http": "http://127.0.0.1:%d" % port}))
        with opener.open("http://harbour.example/", timeout=10) as response:
            page = response.read().decode(errors="replace")
            if response.status != 200 or "Welcome to Harbour Town" not in page:
                failures.append("the sample page was not served: %d %s" % (response.status,
                                                                          page[:300]))
    except OSError as e:
        failures.append("fetching through the installed proxy: %s" % e)
    finally:
        proxy.send_signal(signal.SIGTERM)
        try:
            proxy.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proxy.kill()
            failures.append("the installed proxy did not stop on SIGTERM")


def check_manual_pages(root, failures):
    for program in ("quillon-proxy", "quillon-disc"):
        page = os.path.join(root, "usr/share/man/man1", program + ".1")
        rendered = run(["man", "--warnings", "-l", page], env=dict(os.environ, MANWIDTH="100",
                                                                 MAN_KEEP_FORMATTING="0"))
        text = re.sub(r".\x08", "", rendered.stdout)
        if rendered.returncode != 0 or rendered.stderr.strip():
            failures.append("man -l %s: %s" % (program, rendered.stderr.strip()))
        # Every option the program knows, in its page: the page was made from this build.
        missing = {o for o in help_options(os.path.join(root, "usr/bin", program))
                   if o not in text.replace("\u2010", "-")}
        if missing:
            failures.append("the manual page of %s lacks %s" % (program, sorted(missing)))


def check_completion(root, failures):
    script = os.path.join(root, "usr/share/bash-completion/completions/quillon-proxy")
    if run(["bash", "-n", script]).returncode != 0:
        failures.append("the completion does not parse")
        return
    for words, expected in COMPLETIONS:
        line = " ".join(words)
        program = ("source /usr/share/bash-completion/bash_completion; source %s; "
                   "COMP_WORDS=(%s); COMP_CWORD=%d; COMP_LINE='%s'; COMP_POINT=%d; _quillon; "
                   "printf '%%s\\n' \"${COMPREPLY[@]}\"" %
                   (script, line, len(words) - 1, line, len(line)))
        env = dict(os.environ, PATH=os.path.join(root, "usr/bin") + ":" + os.environ["PATH"])
        offered = set(run(["bash", "-c", program], env=env).stdout.split())
        if not expected <= offered:
            failures.append("completing %r offered %s, not %s" % (line, sorted(offered),
                                                                 sorted(expected)))


def check_unit(root, failures):
    """systemd-analyze verify on the unit as installed, its programs taken from the scratch root:
    a scratch root has none of the system's own units for --root to find."""
    with open(os.path.join(root, "usr/lib/systemd/system/quillon-proxy.service")) as f:
        unit = f.read()
    if "EnvironmentFile=-/etc/default/quillon" not in unit:
        failures.append("the unit does not read /etc/default/quillon")
    # The log logrotate rotates is the one the service writes, in the folder systemd makes it.
    with open(os.path.join(root, "etc/logrotate.d/quillon-proxy")) as f:
        rotated = f.read().split("{", 1)[0].split()[-1]
    if "--access-log " + rotated not in unit or "LogsDirectory=quillon" not in unit or \
            not rotated.startswith("/var/log/quillon/"):
        failures.append("the unit does not write the rotated log " + rotated)
    unit = re.sub(r"^(ExecStart=)/", r"\1%s/" % root, unit, flags=re.M)
    folder = tempfile.mkdtemp(prefix="quillon-unit-")
    try:
        path = os.path.join(folder, "quillon-proxy.service")
        with open(path, "w") as f:
            f.write(unit)
        verify = run(["systemd-analyze", "verify", "--man=no", path])
        if verify.returncode != 0 or verify.stderr.strip():
            failures.append("systemd-analyze verify: " + (verify.stderr or verify.stdout).strip())
    finally:
        shutil.rmtree(folder)


def main():
    if len(sys.argv) != 2:
        print("usage: package_test.py quillon_VERSION_ARCH.deb")
        return 2
    deb = sys.argv[1]
    failures = []
    root = tempfile.mkdtemp(prefix="quillon-package-")
    try:
        os.chmod(root, 0o755)
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        for check in (check_package, check_files, check_proxy, check_manual_pages,
                      check_completion, check_unit):
            check(deb if check is check_package else root, failures)
            print("%-20s %s" % (check.__name__, "failed" if failures else "ok"))
    finally:
        for folder, _, _ in os.walk(root):
            os.chmod(folder, 0o755)
        shutil.rmtree(root)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
