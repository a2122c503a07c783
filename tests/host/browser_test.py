#!/usr/bin/env python3
"""A real browser through quillon-proxy: headless Chromium loads a page of the sample disc, the
DOM holds its content and the access log shows its images served from the disc."""

import argparse
import os
import signal
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import chromium  # noqa: E402

SKIP = 77  # ctest reports the test as skipped


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--filter", required=True)
    parser.add_argument("--disc", required=True)
    args = parser.parse_args()

    if not chromium.available():
        print("chromium is not installed: skipped (%s)" % chromium.INSTALL_HINT)
        return SKIP

    proxy = subprocess.Popen(
        [args.proxy, "--listen", "127.0.0.1:0", "--filter", args.filter, "--disc", args.disc,
         "--offline", "--no-intercept"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    line = proxy.stderr.readline().decode()
    if "listening on" not in line:
        print("proxy did not start: " + line)
        return 1
    port = int(line.rsplit(":", 1)[1])
    log = []
    reader = threading.Thread(target=lambda: log.extend(l.decode() for l in proxy.stdout),
                              daemon=True)
    reader.start()
    try:
        dom, browser_errors = chromium.dump_dom("http://harbour.example/index.html", port)
    finally:
        proxy.send_signal(signal.SIGTERM)
        proxy.wait(timeout=10)
        reader.join(timeout=5)
    failures = []
    if "Welcome to Harbour Town" not in dom:
        failures.append("the DOM lacks the page's content:\n" + dom[:2000] +
                        browser_errors[-2000:])
    for image in ("/images/harbour.gif", "/lummisc0/logo.gif"):
        served = [l for l in log if image in l and l.split()[-2:] == ["filter", "-"] and '" 200 ' in l]
        if not served:
            failures.append("the access log does not show %s served from the disc:\n%s" %
                            (image, "".join(log)))
    for failure in failures:
        print("FAILED: " + failure)
    print("%d passed, %d failed" % (3 - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
