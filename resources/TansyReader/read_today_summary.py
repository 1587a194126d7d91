#!/usr/bin/env python3
"""Prints today's work summary kept by the Tansy assistant's work agent.

The agent writes one Markdown summary per day to
$XDG_DATA_HOME/TansyWork/summaries/<yyyy-MM-dd>.md (XDG_DATA_HOME defaults to ~/.local/share;
the day is the local date). This prints one JSON object, {"content": "<summary>"}, on standard
output and exits 0; the content is empty when there is no summary for today. Anything unexpected
ends with a one-line message on standard error and exit status 1.

Standard library only: the interpreter that runs this belongs to the assistant's runtime.
The companion's minute timer runs this again only when the day, this script, the interpreter or
today's summary file has changed since the last successful run, so what it prints must depend on
nothing else.
"""

import datetime
import json
import os
import sys


def data_home():
    # An empty value counts as unset, the same rule the companion applies to find the runtime.
    configured = os.environ.get("XDG_DATA_HOME", "")
    if configured:
        return configured
    return os.path.join(os.path.expanduser("~"), ".local", "share")


def summary_path(today):
    return os.path.join(data_home(), "TansyWork", "summaries", today.isoformat() + ".md")


def read_summary(path):
    try:
        with open(path, "rb") as summary:
            raw = summary.read()
    except FileNotFoundError:
        return ""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        # A damaged file is treated like the diary files: it contributes nothing.
        return ""


def main():
    try:
        content = read_summary(summary_path(datetime.date.today()))
        sys.stdout.write(json.dumps({"content": content}))
        sys.stdout.write("\n")
        sys.stdout.flush()
    except Exception as error:  # noqa: BLE001 - any failure must end as one line and status 1
        message = " ".join(str(error).split()) or type(error).__name__
        sys.stderr.write("read_today_summary: %s\n" % message)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
