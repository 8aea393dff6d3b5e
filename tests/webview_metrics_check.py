#!/usr/bin/env python3
"""Checks the web status plugin's /metrics with the Prometheus client's own
text-format parser: every family has HELP and TYPE, the expected families are
there, and no counter goes back between two scrapes taken while the cameras
record.

    webview_metrics_check.py URL

Exit code 0 when all holds, 1 with the reasons otherwise, 77 when the parser
is not installed."""
import sys
import time
import urllib.request

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("python3-prometheus-client is not installed")
    sys.exit(77)

EXPECTED = [
    "recording_bus_events_received", "recording_camera_frames_accepted", "recording_camera_frames_refused",
    "recording_camera_reconnects", "recording_frames_recorded", "recording_segment_written_bytes",
    "recording_disk_free_bytes", "recording_memory_throttling", "recording_memory_throttling_enabled",
]


def scrape(url):
    with urllib.request.urlopen(url, timeout=20) as response:
        kind = response.headers.get("Content-Type", "")
        text = response.read().decode("utf-8")
    if not kind.startswith("text/plain; version=0.0.4"):
        raise SystemExit("unexpected content type: " + kind)
    families = list(text_string_to_metric_families(text))
    samples = {}
    problems = []
    for family in families:
        if not family.documentation:
            problems.append(family.name + " has no HELP")
        if family.type in ("unknown", "untyped"):
            problems.append(family.name + " has no TYPE")
        for sample in family.samples:
            key = (sample.name, tuple(sorted(sample.labels.items())))
            samples[key] = (family.type, sample.value)
    return families, samples, problems


def main():
    url = sys.argv[1]
    families, first, problems = scrape(url)
    names = {family.name for family in families}
    problems += [name + " is missing" for name in EXPECTED if name not in names]
    frames = lambda samples: sum(v for (n, _), (_, v) in samples.items() if n == "recording_frames_recorded_total")
    # The second scrape once the recorder has reported more frames, so the
    # comparison sees counters that moved.
    deadline = time.monotonic() + 30
    while True:
        _, second, more = scrape(url)
        if frames(second) > frames(first) or time.monotonic() > deadline:
            break
        time.sleep(0.2)
    problems += more
    if frames(second) <= frames(first):
        problems.append("recording_frames_recorded_total did not grow within 30 s")
    for key, (kind, value) in first.items():
        if kind != "counter":
            continue
        if key not in second:
            problems.append("counter %s%s vanished" % key)
        elif second[key][1] < value:
            problems.append("counter %s%s went back from %s to %s" % (key[0], key[1], value, second[key][1]))
    counters = sum(1 for kind, _ in first.values() if kind == "counter")
    print("%d families, %d samples, %d counter samples compared; frames recorded %d -> %d" %
          (len(families), len(first), counters, frames(first), frames(second)))
    for problem in problems:
        print("problem:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
