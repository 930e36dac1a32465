"""Tables and the scaling plot from the run records."""

import re
from pathlib import Path

NAMES = {"velmor": "velmor", "pecanpy": "PecanPy (SparseOTF + gensim)",
         "fastnode2vec": "fastnode2vec", "grape": "GRAPE (ensmallen SkipGram)",
         "gensim": "gensim Word2Vec (numpy walker)"}
ORDER = ["velmor", "pecanpy", "fastnode2vec", "grape", "gensim"]
BEGIN, END = "<!-- results:begin -->", "<!-- results:end -->"
MiB = 1 << 20


def by_name(runs):
    return {r["name"]: r for r in runs}


def ok(r):
    return r is not None and r.get("status") == "ok"


def fmt_s(x):
    if x is None:
        return "–"
    return f"{x:.2f}" if x < 10 else f"{x:.1f}" if x < 100 else f"{x:.0f}"


def fmt_mib(b):
    return f"{b / MiB:,.0f}"


def failed(r):
    if r is None:
        return "not run"
    if r["status"] == "timeout":
        limit = r["time_limit"]
        return f"timeout (> {limit / 60:.0f} min)" if limit >= 60 else f"timeout (> {limit:g} s)"
    if r["status"] == "memory":
        return f"over memory limit (> {r['mem_limit'] / 2**30:.0f} GiB)"
    if r["status"] == "skipped":
        return f"skipped ({r['reason']})"
    if r.get("error"):
        return f"{r['status']}: `{r['error'].replace('|', '/')}`"
    return r["status"]


def seed_runs(runs, section, dataset, tool):
    return sorted((r for r in runs if r.get("section") == section
                   and r.get("dataset") == dataset and r["tool"] == tool),
                  key=lambda r: r["seed"])


def typical(recs):
    """The successful run with the median total time (the faster middle one of an even
    count): one run's times, so that its phases add up. Else the first record."""
    good = sorted((r for r in recs if ok(r)), key=lambda r: r["total_s"])
    return good[(len(good) - 1) // 2] if good else (recs[0] if recs else None)


def scores(recs):
    """Mean, lowest and highest over the seeds of each quality figure."""
    qs = [r["quality"] for r in recs if ok(r) and "quality" in r]
    if not qs:
        return {}
    out = {"runs": len(qs)}
    for key in qs[0]:
        v = [q[key] for q in qs]
        out[key], out[key + "_min"], out[key + "_max"] = sum(v) / len(v), min(v), max(v)
    return out


def spread(q, key):
    return f"{q[key]:.4f} ({q[key + '_min']:.4f}–{q[key + '_max']:.4f})" if key in q else "–"


def main_table(rows, quality_cols):
    """rows: tool -> (record, quality figures)."""
    return timing_table([(NAMES[t], *rows[t]) for t in ORDER if t in rows],
                        rows.get("velmor", (None, None))[0], quality_cols)


def timing_table(entries, ref, quality_cols, first="tool", ranges=False):
    """entries: (row label, record, quality figures); `ref` the record of the time ratios.
    With `ranges`, each quality figure is followed by its lowest and highest seed."""
    head = (f"| {first} | load (s) | walks (s) | training (s) | walks + training (s) "
            "| total (s) | total / velmor | process wall (s) | peak RSS (MiB) |")
    cols = head.count("|") - 1
    for title, _ in quality_cols:
        head += f" {title} |"
    lines = [head, "|" + "---|" * (head.count("|") - 1)]
    for label, r, q in entries:
        q = q or {}
        if not ok(r):
            lines.append(f"| {label} | {failed(r)} |" + " |" * (cols - 2 + len(quality_cols)))
            continue
        t = r["times"]
        ratio = f"{r['total_s'] / ref['total_s']:.1f}×" if ok(ref) else "–"
        row = (f"| {label} | {fmt_s(t['load'])} | {fmt_s(t.get('walk'))} "
               f"| {fmt_s(t.get('train'))} | {fmt_s(t['fit'])} | {fmt_s(r['total_s'])} "
               f"| {ratio} | {fmt_s(r['wall_s'])} | {fmt_mib(r['peak_rss'])} |")
        for _, key in quality_cols:
            if key not in q:
                row += " – |"
            else:
                row += f" {spread(q, key) if ranges else format(q[key], '.4f')} |"
        lines.append(row)
    return "\n".join(lines)


def targets(rows, quality=("macro_f1", "Macro-F1")):
    """rows: tool -> (typical record, quality figures); `quality`: the figure compared."""
    key, title = quality
    (v, vq), (pp, pq), (fn, _), (gr, gq) = (rows.get(t, (None, {})) for t in
                                            ("velmor", "pecanpy", "fastnode2vec", "grape"))
    if not ok(v):
        return "velmor has no successful run on this graph: no target can be judged."
    lines = ["| target | velmor | reference | result |", "|---|---|---|---|"]

    def add(name, mine, theirs, met, note):
        lines.append(f"| {name} | {mine} | {theirs} | {'met' if met else 'missed'}: {note} |")

    if ok(pp):
        speed = pp["total_s"] / v["total_s"]
        add("end to end ≥ 10× faster than PecanPy", f"{fmt_s(v['total_s'])} s",
            f"{fmt_s(pp['total_s'])} s", speed >= 10,
            f"{speed:.1f}× faster ({pp['wall_s'] / v['wall_s']:.1f}× in process wall time)")
        share = v["peak_rss"] / pp["peak_rss"]
        add("peak memory ≤ 1/3 of PecanPy's", f"{fmt_mib(v['peak_rss'])} MiB",
            f"{fmt_mib(pp['peak_rss'])} MiB", share <= 1 / 3, f"{share:.2f} of PecanPy's")
        if key in (vq or {}) and key in (pq or {}):
            d = vq[key] - pq[key]
            add(f"{title} ≥ PecanPy's − 0.01", f"{vq[key]:.4f}", f"{pq[key]:.4f}",
                d >= -0.01, f"difference {d:+.4f}")
    if ok(fn):
        speed = fn["total_s"] / v["total_s"]
        add("end to end faster than fastnode2vec", f"{fmt_s(v['total_s'])} s",
            f"{fmt_s(fn['total_s'])} s", speed > 1,
            f"{speed:.1f}× faster ({fn['wall_s'] / v['wall_s']:.1f}× in process wall time)")
    if ok(gr):
        speed = gr["total_s"] / v["total_s"]
        add("end to end ≥ 4× faster than GRAPE", f"{fmt_s(v['total_s'])} s",
            f"{fmt_s(gr['total_s'])} s", speed >= 4,
            f"{speed:.1f}× faster ({gr['wall_s'] / v['wall_s']:.1f}× in process wall time)")
        if key in (vq or {}) and key in (gq or {}):
            d = vq[key] - gq[key]
            add(f"{title} ≥ GRAPE's − 0.01", f"{vq[key]:.4f}", f"{gq[key]:.4f}",
                d >= -0.01, f"difference {d:+.4f}")
    return "\n".join(lines)


def graph_order(meta, runs):
    """The main graph first, then the others from the largest down."""
    names = {r["dataset"] for r in runs if r.get("section") == "classify" and r.get("dataset")}
    edges = {d: g["edges"] for d, g in meta.get("graphs", {}).items()}
    return sorted(names, key=lambda d: (d != meta.get("main"), -edges.get(d, 0), d))


def quality_table(meta, runs):
    lines = ["| graph | tool | Macro-F1 | Macro-F1 range | Micro-F1 | Micro-F1 range |",
             "|---|---|---|---|---|---|"]
    for dataset in graph_order(meta, runs):
        first = True
        for tool in ORDER:
            recs = seed_runs(runs, "classify", dataset, tool)
            if not recs:
                continue
            prm = recs[0].get("params")
            graph = ("" if not first else dataset if not prm
                     else f"{dataset} (p = {prm['p']:g}, q = {prm['q']:g})")
            first = False
            q = scores(recs)
            name = NAMES[tool] + (f" ({q['runs']} of {len(recs)} seeds)"
                                  if q and q["runs"] < len(recs) else "")
            if not q:
                lines.append(f"| {graph} | {name} | {failed(recs[0])} | | | |")
                continue
            lines.append(f"| {graph} | {name} | {q['macro_f1']:.4f} "
                         f"| {q['macro_f1_min']:.4f}–{q['macro_f1_max']:.4f} "
                         f"| {q['micro_f1']:.4f} "
                         f"| {q['micro_f1_min']:.4f}–{q['micro_f1_max']:.4f} |")
    return "\n".join(lines) if len(lines) > 2 else None


def graph_sizes(meta, runs):
    parts = []
    for d in graph_order(meta, runs):
        g = meta.get("graphs", {}).get(d)
        if g:
            parts.append(f"`{d}` {g['labelled_nodes']:,} nodes, {g['edges']:,} edges, "
                         f"{g['labels']} labels" + (" (multi-label)" * g["multi_label"]))
    return "; ".join(parts)


def equal_time_table(meta, runs):
    main = meta.get("main")
    more = seed_runs(runs, "equal-time", main, "velmor")
    if not more:
        return None
    lines = ["| tool | walks per node | walks + training (s) | process wall (s) "
             "| Macro-F1 (range over seeds) | Micro-F1 (range over seeds) |",
             "|---|---|---|---|---|---|"]
    for tool, recs in (("velmor", seed_runs(runs, "classify", main, "velmor")),
                       ("velmor", more),
                       ("pecanpy", seed_runs(runs, "classify", main, "pecanpy"))):
        r = typical(recs)
        if r is None:
            continue
        if not ok(r):
            lines.append(f"| {NAMES[tool]} | {failed(r)} | | | | |")
            continue
        q = scores(recs)
        lines.append(f"| {NAMES[tool]} | {r['params']['walks_per_node']} "
                     f"| {fmt_s(r['times']['fit'])} | {fmt_s(r['wall_s'])} "
                     f"| {spread(q, 'macro_f1')} | {spread(q, 'micro_f1')} |")
    return "\n".join(lines)


def scaling_table(runs):
    recs = [r for r in runs if r["name"].startswith("scale-")]
    if not recs:
        return None
    sizes = sorted({(r["graph_nodes"], r["graph_edges"]) for r in recs})
    cell = {(r["tool"], r["graph_nodes"]): r for r in recs}
    head = "| tool | " + " | ".join(f"{n:,} nodes / {m:,} edges" for n, m in sizes) + " |"
    lines = [head, "|" + "---|" * (len(sizes) + 1)]
    for tool in ORDER:
        if not any(t == tool for t, _ in cell):
            continue
        row = f"| {NAMES[tool]} |"
        for n, _ in sizes:
            r = cell.get((tool, n))
            if ok(r):
                row += (f" {fmt_s(r['times']['fit'])} s (load {fmt_s(r['times']['load'])} s, "
                        f"{fmt_mib(r['peak_rss'])} MiB) |")
            else:
                row += f" {failed(r)} |"
        lines.append(row)
    return "\n".join(lines)


METRICS = {"auc": "ROC AUC", "macro_f1": "Macro-F1"}


def weighted_sections(meta, runs):
    """Per weighted graph: a table of velmor (per-pair and shared negatives), PecanPy and velmor
    without the weights, and velmor's targets against PecanPy, all walking by the weights."""
    out = []
    recs = [r for r in runs if r.get("section") == "weighted"]
    for dataset in sorted({r["dataset"] for r in recs}):
        mine = [r for r in recs if r["dataset"] == dataset]
        groups = {v: sorted((r for r in mine if r["variant"] == v), key=lambda r: r["seed"])
                  for v in ("velmor", "velmor-shared", "pecanpy", "velmor-unweighted")}
        rows = {v: (typical(g), scores(g)) for v, g in groups.items() if g}
        first = next(r for r in mine)
        metric = first["metric"]
        if metric == "macro_f1":
            qcols = [("Macro-F1 (range over seeds)", "macro_f1"),
                     ("Micro-F1 (range over seeds)", "micro_f1")]
        else:
            qcols = [("ROC AUC (range over seeds)", "auc")]
        labels = {"velmor": "velmor, weighted",
                  "velmor-shared": "velmor, weighted, shared negatives",
                  "velmor-unweighted": "velmor, weights dropped"}
        entries = []
        for v, (r, q) in rows.items():
            label = labels.get(v)
            if v == "pecanpy":
                mode = (r.get("params") or {}).get("pecanpy_mode", "?")
                label = f"PecanPy ({mode} + gensim), weighted"
            entries.append((label, r, q))
        g = meta.get("graphs", {}).get(dataset, {})
        prm = first.get("params") or {}
        nodes = next((r["nodes"] for r in mine if ok(r)), None)
        seeds = sorted({r["seed"] for r in mine})
        text = (f"`{dataset}`: " + (f"{nodes:,} nodes, " if nodes else "")
                + f"{g.get('edges', 0):,} weighted edges"
                + (f", p = {prm['p']:g}, q = {prm['q']:g}" if prm else "") + "; "
                + f"{len(seeds)} run{'s' * (len(seeds) > 1)} of each row (seeds "
                + ", ".join(map(str, seeds)) + "), interleaved. ")
        if metric == "auc":
            text += (f"No labels: every run trains on the graph with half of its edges held "
                     f"out ({first.get('train_edges', 0):,} training edges, weights kept; "
                     f"{first.get('held_out', 0):,} held out) and is scored by link "
                     "prediction, as in the link-prediction section. ")
        else:
            text += "Scored by node classification, as in the classification section. "
        text += ("Times and memory: the run with the median total; quality: the mean over "
                 "the seeds. The last row is velmor on the same edges without their weights.")
        out += [f"### Weighted: `{dataset}`", "", text, "",
                timing_table(entries, rows.get("velmor", (None,))[0], qcols, first="run",
                             ranges=True), ""]
        for mine, heading in (("velmor", []),
                              ("velmor-shared", ["With `shared_negatives=True` "
                                                 "(`--shared-negatives`), the same targets:", ""])):
            if mine in rows:
                pair = {"velmor": rows[mine]}
                if "pecanpy" in rows:
                    pair["pecanpy"] = rows["pecanpy"]
                out += heading + [targets(pair, (metric, METRICS[metric])), ""]
    return out


def threads_table(R):
    rows = [R.get(f"threads-velmor-{w}") for w in (1, 2)]
    if not any(ok(r) for r in rows):
        return None
    base = rows[0]["times"]["fit"] if ok(rows[0]) else None
    lines = ["| workers | walks + training (s) | walk tokens per second | speed-up |",
             "|---|---|---|---|"]
    for w, r in zip((1, 2), rows):
        if not ok(r):
            lines.append(f"| {w} | {failed(r)} | | |")
            continue
        fit = r["times"]["fit"]
        speed = f"{base / fit:.2f}×" if base else "–"
        lines.append(f"| {w} | {fmt_s(fit)} | {r['tokens'] / fit:,.0f} | {speed} |")
    return "\n".join(lines)


def markdown(results, plot_name="scaling.png"):
    meta, runs = results["meta"], results["runs"]
    R = by_name(runs)
    m = meta["machine"]
    main = meta["main"]
    revs = sorted({r["revision"] for r in runs if r.get("revision")})
    when = sorted(r["when"] for r in runs if r.get("when"))
    seeds = sorted({r["seed"] for r in runs if r.get("section") in ("classify", "equal-time")})
    on_main = any(r.get("section") not in ("weighted", None) or r["name"].startswith("scale-")
                  for r in runs)
    # Records may come from several invocations: state every exponent they used.
    ns = sorted({r["params"]["ns_exponent"] for r in runs if "params" in r}
                or {meta["ns_exponent"]})
    out = [f"Measured {when[0] if when else '?'} to {when[-1] if when else '?'} on "
           f"{m.get('cpu', '?')}, {m.get('cores')} cores, {m.get('memory_gib')} GiB, "
           f"Python {m['python']}, Linux {m['kernel']}"
           + (f"; velmor built from commit {', '.join(revs)}" if revs else "")
           + " ('+': with uncommitted changes)" * any(v.endswith("+") for v in revs) + ".",
           f"Every tool: {meta['workers']} threads, d = 128, walk length 80, 10 walks per "
           "node, window 10, 5 negatives drawn in proportion to "
           + " or ".join(f"count^{x:g}" for x in ns) + " (fastnode2vec: uniform; GRAPE: "
           "in proportion to degree), one pass. "
           + (f"Time, memory, link prediction and threads on `{main}` with p = "
              f"{meta['p']:g}, q = {meta['q']:g}; the scaling graphs with the same p and q."
              if on_main else "")
           + (f" Node classification: {len(seeds)} run{'s' * (len(seeds) > 1)} per tool "
              f"and graph (seed{'s' * (len(seeds) > 1)} {', '.join(map(str, seeds))}), "
              f"each embedding scored on {meta['repeats']} "
              "random halves of the labelled nodes." if seeds else ""),
           ""]
    if meta["mode"] == "quick":
        out[-1:-1] = ["Smoke run: on graphs this small the times are mostly start-up and "
                      "compilation, and the quality figures mostly chance."]
    loads = [r["loadavg_before"] for r in runs if "loadavg_before" in r]
    if loads:
        out[-1:-1] = [f"Load average (1 min) of the machine before each run: "
                      f"{min(loads):.2f} to {max(loads):.2f}."
                      + (" Other work shared the cores during this run, so the times are "
                         "inflated, and not evenly across tools: read the ratios as rough."
                         if max(loads) > 1 else "")]
    versions = sorted({(r["tool"], r.get("version")) for r in runs if r.get("version")})
    if versions:
        out += ["Versions: " + ", ".join(f"{t} {v}" for t, v in versions) + ".", ""]
    rows = {}
    for tool in ORDER:
        recs = seed_runs(runs, "classify", main, tool)
        if recs:
            rows[tool] = (typical(recs), scores(recs))
    if rows:
        out += [f"### {main}: time, memory, node classification", "",
                "Times and memory of the run with the median total of each tool's seeds; "
                "F1: the mean over its seeds.", "",
                main_table(rows, [("Macro-F1", "macro_f1"), ("Micro-F1", "micro_f1")]), ""]
        out += ["### Targets", "", targets(rows), ""]
    t = quality_table(meta, runs)
    if t:
        out += ["### Node classification on every labelled graph", "",
                graph_sizes(meta, runs) + ". F1: the mean over the seeds of each tool, "
                "and the lowest and highest seed.", "", t, ""]
    t = equal_time_table(meta, runs)
    if t:
        out += [f"### Equal time: velmor with more walks (`{main}`)", "",
                "velmor with more walks per node, all else as above, next to its own and "
                "PecanPy's 10-walk runs of the classification section (times: the run with "
                "the median total).", "", t, ""]
    link = {t: (R[f"link-{t}"], R[f"link-{t}"].get("quality")) for t in ORDER
            if f"link-{t}" in R}
    if link:
        out += ["### Link prediction (training on the graph with half of its edges held out)",
                "", main_table(link, [("ROC AUC", "auc")]), ""]
    out += weighted_sections(meta, runs)
    t = scaling_table(runs)
    if t:
        out += ["### Scaling: one epoch (one walk per node, trained once)", "",
                f"![time per epoch against edges]({plot_name})", "",
                "Each cell: walks + training time for the epoch (load time, peak RSS).", "",
                t, ""]
    t = threads_table(R)
    if t:
        out += [f"### velmor threads (`{main}`, 10 walks per node)", "", t, ""]
    return "\n".join(out)


def cache_sizes():
    """{"L2": bytes, "L3": bytes} of this machine's first CPU, from sysfs; empty if unknown."""
    sizes = {}
    for index in Path("/sys/devices/system/cpu/cpu0/cache").glob("index*"):
        try:
            level = (index / "level").read_text().strip()
            kind = (index / "type").read_text().strip()
            size = (index / "size").read_text().strip()
        except OSError:
            continue
        if kind == "Unified" and size.endswith("K"):
            sizes[f"L{level}"] = int(size[:-1]) * 1024
    return sizes


def plot_scaling(runs, path, dimensions=128):
    """Per-walk cost against nodes, with the node counts at which the two training matrices
    (nodes x dimensions float32 each) fill this machine's L2 and L3 caches marked; and peak
    memory against edges."""
    recs = [r for r in runs if r["name"].startswith("scale-") and ok(r)]
    if not recs:
        return
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.4))
    for tool in ORDER:
        pts = sorted((r["graph_nodes"], r["graph_edges"], r["times"]["fit"], r["peak_rss"])
                     for r in recs if r["tool"] == tool)
        if not pts:
            continue
        n, e, t, m = zip(*pts)
        per_walk = [1e6 * x / y for x, y in zip(t, n)]
        color = ax1.plot(n, per_walk, "o-", label=NAMES[tool])[0].get_color()
        ax2.plot(e, [x / MiB for x in m], "o-", label=NAMES[tool])
        # Sizes a tool was not run on: the linear projection that ruled it out (open
        # marker, dashed), or the limit it hit (cross).
        for r in runs:
            if r["name"].startswith("scale-") and r["tool"] == tool and r["status"] != "ok":
                y = r.get("projected_s") or (r["time_limit"] if r["status"] == "timeout"
                                             else None)
                if y is None:
                    continue
                y = 1e6 * y / r["graph_nodes"]
                ax1.plot([n[-1], r["graph_nodes"]], [per_walk[-1], y], "--", color=color,
                         alpha=0.6)
                ax1.plot([r["graph_nodes"]], [y], "o" if "projected_s" in r else "x",
                         mfc="none", color=color)
    for level, size in sorted(cache_sizes().items()):
        nodes = size / (dimensions * 4 * 2)
        ax1.axvline(nodes, color="grey", ls=":", lw=1)
        ax1.annotate(
            f"{level} {size // MiB} MiB",
            (nodes, 0.98),
            xycoords=("data", "axes fraction"),
            rotation=90,
            va="top",
            ha="right",
            fontsize=7,
            color="grey",
        )

    ax1.set(
        xscale="log",
        yscale="log",
        xlabel="nodes",
        ylabel="µs per walk (epoch time / nodes)",
        title=f"walks + training, one walk of 80 per node\n(dotted: both d={dimensions} "
        "matrices fill the cache; open: projected)",
    )
    ax2.set(
        xscale="log",
        yscale="log",
        xlabel="edges",
        ylabel="peak RSS (MiB)",
        title="peak resident memory of the process",
    )
    for ax in (ax1, ax2):
        ax.grid(True, which="both", alpha=0.3)
    ax1.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def update_readme(path, text):
    body = path.read_text() if path.exists() else f"{BEGIN}\n{END}\n"
    if BEGIN not in body or END not in body:
        body += f"\n{BEGIN}\n{END}\n"
    new = re.sub(
        re.escape(BEGIN) + ".*?" + re.escape(END),
        lambda _: f"{BEGIN}\n{text}\n{END}",
        body,
        flags=re.S,
    )
    path.write_text(new)
