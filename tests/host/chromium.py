"""Headless Chromium for the tests: one way to load a page through the proxy and read the DOM it
shows or see how it is drawn. Every test that drives a real browser goes through `dump_dom` or
`screenshot`."""

import os
import shutil
import subprocess
import tempfile

INSTALL_HINT = "make deps-browser installs it"


def browser():
    """The Chromium program, or None when it is not installed."""
    return shutil.which("chromium") or shutil.which("chromium-browser")


def available(trust_authority=False):
    """Whether `dump_dom` and `screenshot` can run: Chromium, and certutil when an authority must be trusted."""
    return browser() is not None and (not trust_authority or shutil.which("certutil") is not None)


def _trust(home, ca_pem):
    # Chromium on Linux reads its trusted roots from an NSS database under HOME.
    nss_dir = os.path.join(home, ".pki", "nssdb")
    os.makedirs(nss_dir)
    nss = "sql:" + nss_dir
    subprocess.run(["certutil", "-N", "-d", nss, "--empty-password"], check=True)
    subprocess.run(["certutil", "-A", "-d", nss, "-t", "C,,", "-n", "quillon", "-i", ca_pem],
                   check=True)


def _run(url, output, proxy_port, ca_pem, proxy_loopback, extra, timeout):
    with tempfile.TemporaryDirectory(prefix="quillon-chromium-") as home:
        if ca_pem is not None:
            _trust(home, ca_pem)
        if proxy_port:
            route = ["--proxy-server=127.0.0.1:%d" % proxy_port]
            if proxy_loopback:
                route.append("--proxy-bypass-list=<-loopback>")
        else:
            route = ["--no-proxy-server", "--host-resolver-rules=MAP * 127.0.0.1"]
        return subprocess.run(
            [browser(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             # An http:// address stays http://: the disc's sites are plain ones.
             "--disable-features=HttpsUpgrades,HttpsFirstBalancedModeAutoEnable",
             "--user-data-dir=" + os.path.join(home, "profile"), *route, *extra,
             "--virtual-time-budget=5000", output, url],
            capture_output=True, timeout=timeout, env=dict(os.environ, HOME=home))


def dump_dom(url, proxy_port=None, ca_pem=None, proxy_loopback=False, timeout=120):
    """Loads `url` and returns (dom, stderr) as text.

    With `proxy_port`, every request goes through the proxy at 127.0.0.1:proxy_port (loopback
    addresses too when `proxy_loopback`); without it, every name goes straight to 127.0.0.1.
    With `ca_pem`, that authority is trusted, in a HOME of the browser's own."""
    result = _run(url, "--dump-dom", proxy_port, ca_pem, proxy_loopback, [], timeout)
    return result.stdout.decode(errors="replace"), result.stderr.decode(errors="replace")


def screenshot(url, png, proxy_port=None, ca_pem=None, proxy_loopback=False, size=(1280, 900),
               timeout=120):
    """Draws `url` into the PNG file `png`, the window `size` pixels without scroll bars, the
    route as for `dump_dom`. Returns the browser's stderr as text; `png` is missing when it
    drew nothing."""
    window = ["--hide-scrollbars", "--window-size=%d,%d" % size]
    result = _run(url, "--screenshot=" + png, proxy_port, ca_pem, proxy_loopback, window, timeout)
    return result.stderr.decode(errors="replace")
