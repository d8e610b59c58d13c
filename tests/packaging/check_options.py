#!/usr/bin/env python3
"""Checks that every option a program's --help lists is in its manual page, and in its bash
completion when one is given: a new option without its documentation fails here."""
import argparse
import re
import subprocess
import sys


def options_in(text):
    return set(re.findall(r"(?<![\w-])(--[a-z0-9][a-z0-9-]*|-[a-z0-9])(?![\w-])", text))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--man", required=True)
    ap.add_argument("--completion")
    a = ap.parse_args()

    help_text = subprocess.run([a.program, "--help"], check=True, capture_output=True,
                               text=True).stdout
    wanted = options_in(help_text)
    if len(wanted) < 2:
        print(f"no options found in the --help of {a.program}", file=sys.stderr)
        return 1
    # In roff a minus is written \- and a font change \fB ... \fR may sit next to it.
    man = re.sub(r"\\f[BIRP]", " ", open(a.man, encoding="utf-8").read()).replace("\\-", "-")
    missing = {"manual page " + a.man: sorted(wanted - options_in(man))}
    if a.completion:
        completion = open(a.completion, encoding="utf-8").read()
        # The completion offers long options; "-h" is --help's short form.
        missing["completion " + a.completion] = sorted(
            o for o in wanted - options_in(completion) if o.startswith("--"))
    bad = False
    for where, names in missing.items():
        if names:
            bad = True
            print(f"{where} lacks: {' '.join(names)}", file=sys.stderr)
    print(f"{len(wanted)} options of {a.program} checked")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
