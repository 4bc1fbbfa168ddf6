#!/usr/bin/env python3
"""Turns the JSON of the benchmark programs (bench/results/) into the tables of
docs/performance.md, between the markers "<!-- bench:begin -->" and "<!-- bench:end -->".

Usage: report.py RESULTS_DIR PERFORMANCE_MD
Medians over the repetitions are reported; a goal is judged on the CPU time of the median."""
import json
import os
import re
import statistics
import sys

BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"


def load(path):
    with open(path) as f:
        return json.load(f)


def medians(doc):
    """name -> median entry (aggregate), counters included."""
    out = {}
    for b in doc.get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
            out[b["run_name"]] = b
    return out


def iterations(doc, run_name):
    return [b for b in doc.get("benchmarks", [])
            if b.get("run_type") == "iteration" and b.get("run_name") == run_name]


def us(b, key):
    """Time of an entry in microseconds."""
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
    return b[key] * scale


def mark(ok):
    return "met" if ok else "**not met**"


def context_lines(doc, label):
    c = doc.get("context", {})
    loads = c.get("load_avg", [])
    load = ", ".join("%.2f" % x for x in loads) if loads else "n/a"
    return "| %s | %s | %s | %d |" % (label, c.get("date", "?"), load, c.get("num_cpus", 0))


def decode_section(doc):
    med = medians(doc)
    lines = ["### Decoding a full frame (2047 points)", "",
             "Time per frame is the median CPU time (wall time beside it); points per second from the CPU time. "
             "The ratio is the scalar reference's CPU time over the library's, both measured in the same run.", ""]
    goals = []
    cpu = {}  # (params, conv, format) -> (library CPU µs, ratio)
    level = doc.get("context", {}).get("decode_level")
    if level is not None:
        names = {"0": "baseline x86-64", "1": "AVX2", "2": "AVX-512F"}
        lines += ["Decoder level measured: %s (%s)." % (level, names.get(str(level), "?")), ""]
    for params in ("default", "allon"):
        title = "default parameters" if params == "default" else "transform, filters, compensation, mirroring and offsets on"
        lines += ["#### %s" % title, "",
                  "| Format | Conversion | Library µs (CPU) | Library µs (wall) | Points/s | Reference µs (CPU) | Ratio |",
                  "|---|---|---|---|---|---|---|"]
        for conv in ("thousandths", "disparity"):
            for f in range(7):
                tail = "%s/%s/format:%d" % (params, conv, f)
                lib = med.get("decode/library/" + tail)
                ref = med.get("decode/reference/" + tail)
                if lib is None or ref is None:
                    lines.append("| %d | %s | missing | | | | |" % (f, conv))
                    continue
                lc, lw, rc = us(lib, "cpu_time"), us(lib, "real_time"), us(ref, "cpu_time")
                pts = 2047 / (lc * 1e-6)
                ratio = rc / lc if lc > 0 else 0
                lines.append("| %d | %s | %.2f | %.2f | %.0f M | %.2f | %.2f |" % (f, conv, lc, lw, pts / 1e6, rc, ratio))
                cpu[(params, conv, f)] = (lc, ratio)
                if params == "default":
                    limit = 10.0 if f in (0, 6) else 8.0
                    goals.append((f, conv, lc, limit, ratio))
        lines.append("")
    lines += ["#### Goals (default parameters)", "",
              "| Format | Conversion | CPU µs | Goal µs | Time | Ratio | Goal ratio ≥ 2 |", "|---|---|---|---|---|---|---|"]
    for f, conv, lc, limit, ratio in goals:
        lines.append("| %d | %s | %.2f | %.0f | %s | %.2f | %s |" % (f, conv, lc, limit, mark(lc <= limit), ratio, mark(ratio >= 2.0)))
    lines.append("")
    lines += ["#### Goals: single-precision formats beside format 1, and everything on", "",
              "Formats 2 to 5 run the arithmetic of format 1 and differ only in their records: each within 0.5 µs "
              "(CPU, median) of format 1 of the same run, parameters and conversion. With transform, filters, "
              "compensation, mirroring and offsets on, every format at least 2.5 times as fast as the scalar "
              "reference of the same run.", "",
              "| Parameters | Conversion | Format | CPU µs | Format 1 µs | Difference µs | Within 0.5 µs | Ratio | Ratio ≥ 2.5 (everything on) |",
              "|---|---|---|---|---|---|---|---|---|"]
    for params in ("default", "allon"):
        for conv in ("thousandths", "disparity"):
            base = cpu.get((params, conv, 1))
            for f in range(7):
                entry = cpu.get((params, conv, f))
                if entry is None:
                    continue
                lc, ratio = entry
                if f in (2, 3, 4, 5) and base is not None:
                    diff = lc - base[0]
                    near = "%.2f | %+.2f | %s" % (base[0], diff, mark(diff <= 0.5))
                else:
                    near = " | | "
                if params == "allon":
                    fast = mark(ratio >= 2.5)
                elif f in (2, 3, 4, 5):
                    fast = ""
                else:
                    continue
                lines.append("| %s | %s | %d | %.2f | %s | %.2f | %s |" % (params, conv, f, lc, near, ratio, fast))
    lines.append("")
    return lines


def resultblock_section(doc):
    med = medians(doc)
    life = med.get("resultblock/life_with_decode/format:1")
    dec = med.get("resultblock/decode_only/format:1")
    one = med.get("resultblock/life_with_decode_one_point/format:1")
    bare = med.get("resultblock/life_without_decode")
    lines = ["### Result block life per frame (format 1, version 8, 2047 points)", ""]
    if not (life and dec and bare and one):
        return lines + ["Results missing.", ""]
    apart = us(life, "cpu_time") - us(dec, "cpu_time")
    lines += ["| Measure | Median CPU µs | Median wall µs |", "|---|---|---|",
              "| create, decode format 1, release, buffer back | %.3f | %.3f |" % (us(life, "cpu_time"), us(life, "real_time")),
              "| decode alone (same frame, same arrays size) | %.3f | %.3f |" % (us(dec, "cpu_time"), us(dec, "real_time")),
              "| life apart from decoding (difference of the two) | %.3f | %.3f |" % (apart, us(life, "real_time") - us(dec, "real_time")),
              "| the same life over a frame of one point | %.3f | %.3f |" % (us(one, "cpu_time"), us(one, "real_time")),
              "| create and release without reading points | %.3f | %.3f |" % (us(bare, "cpu_time"), us(bare, "real_time")),
              "",
              "| Heap allocations per frame | create | decode | release | total | new output arrays in the run |",
              "|---|---|---|---|---|---|",
              "| with decode | %g | %g | %g | %g | %g |" % (life["allocs_create"], life["allocs_decode"], life["allocs_release"],
                                                       life["allocs_per_frame"], life["new_output_arrays"]),
              "| without decode | %g | %g | %g | %g | |" % (bare["allocs_create"], bare["allocs_decode"], bare["allocs_release"],
                                                         bare["allocs_per_frame"]),
              "",
              "Goals: life apart from decoding at most 1 µs: %s (%.3f µs measured over a frame of one point; "
              "the difference of the two full-frame medians is %.3f µs and noisier). No heap allocation for output "
              "arrays in steady capture: %s (%g allocations in the decode phase, %g new output arrays)." % (
                  mark(us(one, "cpu_time") <= 1.0), us(one, "cpu_time"), apart,
                  mark(life["allocs_decode"] == 0 and life["new_output_arrays"] == 0),
                  life["allocs_decode"], life["new_output_arrays"]), ""]
    return lines


def capture_section(doc):
    med = medians(doc)
    lines = ["### Capture pipeline (decoding format 1 in the callback)", "",
             "Pipeline and decode times are wall-clock times on the camera's thread; process CPU time counts every "
             "thread (for the virtual source it includes the camera rendering its scene). Frames/s per core is the "
             "delivered count over the process CPU time: the rate one whole core would give.", "",
             "| Source | Frames/s | Frames/s per core | Points/frame | Pipeline µs/frame | Decode µs/frame | Process CPU µs/frame | "
             "Core at 1100 frames/s (wall, CPU) | Lost by pipeline (all runs) | Camera dropped | Buffers not back |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    verdict = []
    for src in ("virtual", "replay"):
        name = "capture/%s/iterations:1/manual_time" % src
        m = med.get(name)
        runs = iterations(doc, name)
        if m is None:
            lines.append("| %s | missing | | | | | | | | |" % src)
            continue
        lost = sum(r.get("lost_by_pipeline", 0) for r in runs)
        notback = sum(r.get("buffers_not_back", 0) for r in runs) + sum(r.get("bad_releases", 0) for r in runs)
        lines.append("| %s | %.0f | %.0f | %.0f | %.2f | %.2f | %.2f | %.2f %%, %.2f %% | %d | %d | %d |" % (
            src, m["fps"], m["fps_per_core"], m["points_per_frame"], m["pipeline_us_per_frame"], m["decode_us_per_frame"],
            m["cpu_us_per_frame"], m["core_pct_at_1100fps"], m["core_pct_at_1100fps_cpu"], lost,
            sum(r.get("camera_dropped", 0) for r in runs), notback))
        if src == "replay":
            verdict.append("At least 50,000 frames/s with decoding (replay source): %s as delivered (%.0f), %s per core of CPU (%.0f)." % (
                mark(m["fps"] >= 50000), m["fps"], mark(m["fps_per_core"] >= 50000), m["fps_per_core"]))
            verdict.append("Under 3 %% of one core at 1100 frames/s (replay, from CPU time): %s (%.2f %%)." % (
                mark(m["core_pct_at_1100fps_cpu"] < 3.0), m["core_pct_at_1100fps_cpu"]))
        verdict.append("No frame lost by the pipeline (%s): %s." % (src, mark(lost == 0)))
    lines += [""] + ["- " + v for v in verdict] + [""]
    return lines


def cpu_line():
    model, flags = "unknown", ""
    try:
        with open("/proc/cpuinfo") as f:
            text = f.read()
        m = re.search(r"^model name\s*:\s*(.*)$", text, re.M)
        if m:
            model = m.group(1).strip()
        m = re.search(r"^flags\s*:\s*(.*)$", text, re.M)
        if m:
            fl = m.group(1).split()
            flags = ", ".join(x for x in ("avx512f", "avx2", "fma") if x in fl)
    except OSError:
        pass
    return model, flags, os.cpu_count()


def main():
    results, md = sys.argv[1], sys.argv[2]
    docs = {}
    for name in ("bench_decode", "bench_resultblock", "bench_capture"):
        path = os.path.join(results, name + ".json")
        if os.path.exists(path):
            docs[name] = load(path)
    model, flags, ncpu = cpu_line()
    out = [BEGIN, "", "## Results of the last run", "",
           "Processor: %s (%d cores; instruction sets the decoder can use: %s)." % (model, ncpu, flags or "baseline x86-64"), "",
           "| Program | Date | Load average at start (1, 5, 15 min) | CPUs |", "|---|---|---|---|"]
    for name, doc in docs.items():
        out.append(context_lines(doc, name))
    out.append("")
    if "bench_decode" in docs:
        out += decode_section(docs["bench_decode"])
    if "bench_resultblock" in docs:
        out += resultblock_section(docs["bench_resultblock"])
    if "bench_capture" in docs:
        out += capture_section(docs["bench_capture"])
    out.append(END)
    block = "\n".join(out) + "\n"
    text = open(md).read() if os.path.exists(md) else "# Performance\n\n"
    if BEGIN in text and END in text:
        head, rest = text.split(BEGIN, 1)
        tail = rest.split(END, 1)[1].lstrip("\n")
        text = head + block + ("\n" + tail if tail else "")
    else:
        text = text.rstrip("\n") + "\n\n" + block
    with open(md, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
