#!/usr/bin/env python3
"""The --report page of real runs, opened by headless chromium from disk with the network shut.

usage: report_browser_test.py KORVANE WEIGHTS_READY OUT_DIR
Runs a default run, a splice run, an audit, the all-layer audit, a lens run and a two-prompt file
on the synthetic weights (the splice also on their variant that arms it), loads each page, and
fails on any error the page caught, any request it made, a chart without its marks, a missing
section or a lens row whose top token is not the one marked. Keeps each page and a PNG
screenshot of it in OUT_DIR.
"""
import html.parser
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

AXES = 4     # the embedded probe's axes
DEPTHS = 18  # telemetry rows
TELEMETRY = {"mark-line": AXES, "mark-symbol": AXES * DEPTHS}
HOSTILE = "hi </script><script>alert(1)</script> \"q\" 's' & <!--"
HEADS = 8    # heads per layer
LENS_K = 3


def fail(why):
    print("FAIL: " + why)
    sys.exit(1)


def chromium():
    found = shutil.which("chromium")
    if found:
        return found
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        fail("chromium is not installed and cannot be (needs root and apt-get): apt-get install chromium")
    print("installing chromium with apt-get")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    # With fonts for the Chinese console texts and the emoji, so the screenshots read.
    subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", "chromium", "fonts-wqy-microhei",
                    "fonts-noto-color-emoji"], check=True, env=env, stdout=subprocess.DEVNULL)
    return shutil.which("chromium") or fail("apt-get installed no chromium")


class Page(html.parser.HTMLParser):
    """The dumped DOM: each chart's marks by kind, the section titles, texts by class."""
    VOID = {"meta", "br", "img", "input", "link", "hr", "col", "area", "base", "wbr", "source"}

    def __init__(self):
        super().__init__()
        self.stack = []        # (tag, attrs) of the open elements
        self.marks = {}        # chart name -> {mark kind: items}
        self.titles = []       # every h2
        self.texts = {}        # class -> texts of p/pre elements with that class
        self.text = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag in ("path", "line", "rect") and self.stack and "role-mark" in self.stack[-1][1].get("class", ""):
            chart = next((a["data-chart"] for _, a in reversed(self.stack) if "data-chart" in a), None)
            kind = next(k for k in self.stack[-1][1]["class"].split() if k.startswith("mark-"))
            if chart is not None:
                counts = self.marks.setdefault(chart, {})
                counts[kind] = counts.get(kind, 0) + 1
        if tag in ("h2", "h3", "p", "pre", "td"):
            self.text = []
        if tag not in self.VOID:
            self.stack.append((tag, attrs))
        if "data-chart" in attrs:
            self.marks.setdefault(attrs["data-chart"], {})

    def handle_endtag(self, tag):
        while self.stack:
            open_tag, attrs = self.stack.pop()
            if open_tag == tag:
                break
        if tag in ("h2", "h3", "p", "pre", "td") and self.text is not None:
            text = "".join(self.text)
            if tag in ("h2", "h3"):
                self.titles.append(text)
            for c in attrs.get("class", "").split():
                self.texts.setdefault(c, []).append(text)
            self.text = None

    def handle_data(self, data):
        if self.text is not None:
            self.text.append(data)


def browse(browser, page, profile, png):
    """The page's DOM after it ran, and its screenshot."""
    common = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-extensions",
              "--user-data-dir=" + profile, "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9",
              "--virtual-time-budget=30000", "--hide-scrollbars"]
    url = "file://" + os.path.abspath(page)
    dom = subprocess.run(common + ["--dump-dom", url], capture_output=True, text=True, timeout=300)
    if dom.returncode != 0:
        fail("chromium could not load %s: %s" % (page, dom.stderr[-2000:]))
    shot = subprocess.run(common + ["--window-size=1200,2400", "--screenshot=" + png, url], capture_output=True,
                          text=True, timeout=300)
    if shot.returncode != 0 or not os.path.getsize(png):
        fail("chromium made no screenshot of %s" % page)
    return dom.stdout


def check(name, dom, charts, titles, prompt_texts):
    """The parsed page, once it drew without errors or requests every chart and section expected."""
    parsed = Page()
    parsed.feed(dom)
    results = parsed.texts.get("render-result", [])
    if len(results) != 1:
        fail("%s: the page did not finish drawing (no render result)" % name)
    result = json.loads(results[0])
    if result["errors"]:
        fail("%s: errors in the page: %s" % (name, result["errors"]))
    if result["resources"] != 0:
        fail("%s: the page requested %d resources" % (name, result["resources"]))
    if parsed.marks != charts:
        fail("%s: charts drawn %s, expected %s" % (name, parsed.marks, charts))
    missing = [t for t in titles if t not in parsed.titles]
    if missing:
        fail("%s: sections missing: %s (has %s)" % (name, missing, parsed.titles))
    if prompt_texts is not None and parsed.texts.get("prompt-text") != prompt_texts:
        fail("%s: prompt texts %s, expected %s" % (name, parsed.texts.get("prompt-text"), prompt_texts))
    print("ok: %s: %s" % (name, parsed.marks))
    return parsed


def check_lens(parsed, records):
    """Every depth's first lens cell is marked and names that depth's top token."""
    top = parsed.texts.get("lens-top", [])
    lens = records[0]["lens"]
    if len(top) != DEPTHS or len(lens) != DEPTHS:
        fail("lens: %d top cells marked for %d depths" % (len(top), len(lens)))
    for cell, row in zip(top, lens):
        if "(ID:%d, " % row["ids"][0] not in cell or len(row["ids"]) != LENS_K:
            fail("lens: layer %d marks %r, its top token is %d" % (row["layer"], cell, row["ids"][0]))


def main():
    korvane, weights_ready, out = sys.argv[1:4]
    os.makedirs(out, exist_ok=True)
    weights = subprocess.run([weights_ready], capture_output=True, text=True, check=True).stdout.strip()
    variant = subprocess.run([weights_ready, "--domain-variant"], capture_output=True, text=True,
                             check=True).stdout.strip()
    browser = chromium()
    prompts = os.path.join(out, "prompts.txt")
    with open(prompts, "w") as f:
        f.write(HOSTILE + "\nwhat is two plus two\n")
    cases = [
        ("default", [], {"telemetry-0": TELEMETRY}, ["Telemetry", "Answer"], None),
        ("splice", ["--splice-substitute"], {"telemetry-0": TELEMETRY}, ["Splice decision", "Telemetry", "Answer"], None),
        ("splice-armed", ["--splice-substitute"], {"telemetry-0": TELEMETRY},
         ["Splice decision", "Layer 15 before and after the splice"], None),
        ("audit", ["--audit-heads"], {"audit-0": {"mark-rect": HEADS}}, ["Layer 14 head audit"], None),
        ("audit-all", ["--audit-all"], {"audit_all-0": {"mark-rect": DEPTHS * HEADS}},
         ["All-layer attention head audit (zero ablation, every head of layers 00 ~ 17)"], None),
        ("lens", ["--lens", str(LENS_K)], {"telemetry-0": TELEMETRY},
         ["Telemetry", "Logit lens: top-%d tokens of the 256k classifier at every depth" % LENS_K], None),
        ("prompts", ["--prompts", prompts],
         {"telemetry-mean": dict(TELEMETRY, **{"mark-area": AXES}), "telemetry-small-0": TELEMETRY,
          "telemetry-small-1": TELEMETRY, "telemetry-0": TELEMETRY, "telemetry-1": TELEMETRY},
         ["Telemetry across 2 prompts: mean ± standard deviation", "Prompt 0 (line 1)", "Prompt 1 (line 2)"],
         [HOSTILE, "what is two plus two"]),
    ]
    with tempfile.TemporaryDirectory() as profile:
        for name, args, charts, titles, prompt_texts in cases:
            page, records = os.path.join(out, name + ".html"), os.path.join(out, name + ".jsonl")
            for kept in (page, records):  # nothing of an earlier run is checked
                if os.path.exists(kept):
                    os.remove(kept)
            began = time.monotonic()
            run_weights = variant if name == "splice-armed" else weights  # the variant arms the splice
            run = subprocess.run([korvane, "-m", run_weights, "--report", page, "--json", records] + args,
                                 capture_output=True, timeout=1500)
            if run.returncode != 0:
                fail("%s: korvane exited %d: %s" % (name, run.returncode, run.stdout[-500:] + run.stderr[-500:]))
            print("%s: the run took %.0f s" % (name, time.monotonic() - began))
            parsed = check(name, browse(browser, page, profile, os.path.join(out, name + ".png")), charts, titles,
                           prompt_texts)
            if name == "lens":
                with open(records, encoding="utf-8") as f:
                    check_lens(parsed, [json.loads(line) for line in f])


if __name__ == "__main__":
    main()
