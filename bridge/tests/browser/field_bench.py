#!/usr/bin/env python3
"""From the Return key to the page holding the envelope, through a real browser.

The field's host is already running (the field was made and used once); each
run presses Return in the field holding a typed password, and the page's
Return listener calls verify and then getValue, as a bank's page does. The
time runs from just before the driver sends the key to the moment the page's
promise for the envelope resolves (the page notes it; both clocks are this
machine's). Prints the median and the 90th percentile.

usage: field_bench.py --browser chromium|firefox --build BUILD [--runs N]
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

import browser_test as bt


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--browser", choices=sorted(bt.BROWSERS), required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=50)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    work = tempfile.mkdtemp(prefix=f"field-bench-{args.browser}-")
    server = browser = None
    try:
        cert, key = bt.make_certificate(work)
        server, port = bt.start_server(cert, key)
        env = dict(os.environ, HOME=os.path.join(work, "home"), XDG_CONFIG_HOME=os.path.join(work, "config"),
                   QD_BRIDGE_SYSTEM_ORIGINS=os.path.join(work, "no-system-allow-list"))
        os.makedirs(env["HOME"])
        browser = bt.BROWSERS[args.browser](work, env, os.path.join(bt.SOURCE, "extension"))
        bt.install_manifest(browser, build, host="varnex_bridge")
        browser.open(f"https://127.0.0.1:{port}/field.html")
        made = json.loads(browser.evaluate("outcome(makeField({width: 300, height: 40}, 'password', true))"))
        if made != {"result": 0}:
            raise bt.Failure(f"no field: {made}")
        bt.type_into(browser, 0, [bt.PASSWORD])
        times = []
        for run in range(args.runs + 1):
            browser.evaluate("fields[0].seen.done = false")
            before = time.time() * 1000
            browser.keys(bt.KEYS["return"])
            seen = bt.wait_for(browser, "fields[0].seen.done && seen(0)")
            if not seen or not seen.get("envelope"):
                raise bt.Failure(f"no envelope: {seen}")
            if run > 0:  # the first starts nothing but may warm caches
                times.append(seen["arrived"] - before)
        times.sort()
        p90 = times[min(len(times) - 1, int(0.9 * len(times)))]
        print(f"{args.browser}: Return to envelope in the page over {len(times)} runs: "
              f"median {statistics.median(times):.1f} ms, p90 {p90:.1f} ms, min {times[0]:.1f} ms, "
              f"max {times[-1]:.1f} ms")
        return 0
    except bt.Failure as failure:
        print(f"FAILED ({args.browser}): {failure}", file=sys.stderr)
        return 1
    finally:
        if browser is not None:
            browser.quit()
        if server is not None:
            server.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
