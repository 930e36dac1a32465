"""The velmor benchmark: time, memory and embedding quality against the usual peers.

Run through bench/run.sh, which prepares bench/.venv first. Every tool run is a process
of its own (runner.py) under a time and a memory limit; results go to bench/results/MODE/,
and a full run also rewrites the results part of bench/README.md and bench/scaling.png.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
BENCH = HERE.parent
ROOT = BENCH.parent
sys.path.insert(0, str(HERE))

import evaluate  # noqa: E402
import graphs  # noqa: E402
import report  # noqa: E402
from measure import run_limited  # noqa: E402

TOOLS = ["pecanpy", "fastnode2vec", "grape", "gensim", "velmor"]
SECTIONS = ["classify", "equal-time", "link", "scaling", "threads", "weighted"]
PECANPY_MODES = ["auto", "SparseOTF", "PreComp", "PreCompFirstOrder"]
DATA = ROOT / "data"
GiB = 1 << 30

# p and q of each graph: the node2vec paper's values for BlogCatalog; elsewhere no tuned
# values are published, and p = q = 1 (unbiased walks) is the usual baseline.
PQ = {"blogcatalog": (0.25, 0.25)}
PQ_OTHER = (1.0, 1.0)

# `main`: the graph of the time, memory, link-prediction, threads and equal-time sections;
# `datasets`: the graphs of the classification section; `weighted`: those of the weighted one.
MODES = {
    "full": dict(main="blogcatalog", datasets=["blogcatalog", "polblogs", "football"],
                 weighted=["astro-ph"], seeds=3, sizes=[10_000, 100_000, 1_000_000],
                 time_limit=1200, scale_time_limit=600, mem_limit=16 * GiB, repeats=5),
    "quick": dict(main="karate", datasets=["karate"], weighted=["lesmis"], seeds=2,
                  sizes=[1_000, 3_000], time_limit=300, scale_time_limit=300,
                  mem_limit=8 * GiB, repeats=5),
}


def labelled_graphs():
    return sorted(d.name for d in DATA.iterdir()
                  if (d / "edges.tsv").exists() and (d / "labels.tsv").exists())


def weighted_graphs():
    """The graphs under data/ whose edge lines carry a third column, a weight."""
    found = []
    for d in sorted(DATA.iterdir()):
        if (d / "edges.tsv").exists():
            with open(d / "edges.tsv") as f:
                if len(f.readline().split("\t")) == 3:
                    found.append(d.name)
    return found


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="smoke run: karate and two small synthetic graphs")
    ap.add_argument("--tools", default=",".join(TOOLS),
                    help="comma-separated subset of " + ",".join(TOOLS))
    ap.add_argument("--sections", default=",".join(SECTIONS),
                    help="comma-separated subset of " + ",".join(SECTIONS)
                    + "; 'none' only rebuilds the report from the saved runs")
    ap.add_argument("--datasets",
                    help="labelled graphs under data/ for the classification section, "
                    "comma-separated, or 'all' (default: blogcatalog,polblogs,football; "
                    "--quick: karate)")
    ap.add_argument("--weighted-graphs",
                    help="weighted graphs under data/ for the weighted section, "
                    "comma-separated, or 'all' (default: astro-ph; --quick: lesmis)")
    ap.add_argument("--pecanpy-mode", choices=PECANPY_MODES, default="auto",
                    help="PecanPy's walker in the weighted section (default: "
                    "PreCompFirstOrder where p = q = 1, as PecanPy advises, else SparseOTF)")
    ap.add_argument("--seeds", type=int,
                    help="runs per tool and graph in the classification, equal-time and "
                    "weighted sections, with seeds --seed, --seed + 1, ... (default 3; "
                    "--quick: 2)")
    ap.add_argument("--sizes", help="node counts of the scaling graphs, comma-separated")
    ap.add_argument("--p", type=float, help="p for every graph (default: 0.25 on "
                    "blogcatalog, 1 on the others; the link, scaling and threads sections "
                    "take the main graph's)")
    ap.add_argument("--q", type=float, help="q for every graph (defaults as for --p)")
    ap.add_argument("--ns-exponent", type=float, default=0.75,
                    help="negatives in proportion to count**x, all tools (0: uniform)")
    ap.add_argument("--equal-time-walks", type=int, default=20,
                    help="walks per node of velmor's equal-time runs")
    ap.add_argument("--workers", type=int, default=2)
    ap.add_argument("--seed", type=int, default=42)
    ap.add_argument("--time-limit", type=float, help="seconds per tool run (quality runs)")
    ap.add_argument("--scale-time-limit", type=float, help="seconds per scaling run")
    ap.add_argument("--mem-limit-gib", type=float, help="peak RSS per tool run")
    ap.add_argument("--velmor-from-source", action="store_true",
                    help="import velmor from python/ of this checkout instead of the venv")
    ap.add_argument("--no-readme", action="store_true",
                    help="do not rewrite bench/README.md and bench/scaling.png")
    a = ap.parse_args(argv)
    a.mode = "quick" if a.quick else "full"
    cfg = dict(MODES[a.mode])
    if a.sizes:
        cfg["sizes"] = [int(float(s)) for s in a.sizes.split(",")]
    if a.time_limit:
        cfg["time_limit"] = a.time_limit
    if a.scale_time_limit:
        cfg["scale_time_limit"] = a.scale_time_limit
    if a.mem_limit_gib:
        cfg["mem_limit"] = int(a.mem_limit_gib * GiB)
    if a.seeds:
        cfg["seeds"] = a.seeds
    known = labelled_graphs()
    if a.datasets:
        cfg["datasets"] = known if a.datasets == "all" else a.datasets.split(",")
    unknown = sorted(set(cfg["datasets"]) - set(known))
    if unknown:
        ap.error(f"unknown datasets: {', '.join(unknown)} (in data/: {', '.join(known)})")
    known = weighted_graphs()
    if a.weighted_graphs:
        cfg["weighted"] = known if a.weighted_graphs == "all" else a.weighted_graphs.split(",")
    unknown = sorted(set(cfg["weighted"]) - set(known))
    if unknown:
        ap.error(f"not weighted graphs of data/: {', '.join(unknown)} "
                 f"(weighted: {', '.join(known) or 'none'})")
    a.cfg = cfg
    for option, known, extra in (("tools", TOOLS, []), ("sections", SECTIONS, ["none"])):
        wanted = getattr(a, option).split(",")
        unknown = sorted(set(wanted) - set(known) - set(extra))
        if unknown:
            ap.error(f"unknown {option}: {', '.join(unknown)} (known: {', '.join(known)})")
        setattr(a, option, [x for x in known if x in wanted])
    return a


class Bench:
    def __init__(self, a):
        self.a = a
        self.cfg = a.cfg
        self.out = BENCH / "results" / a.mode
        (self.out / "runs").mkdir(parents=True, exist_ok=True)
        (self.out / "emb").mkdir(exist_ok=True)
        (self.out / "logs").mkdir(exist_ok=True)
        self.main = self.cfg["main"]
        self.seeds = [a.seed + i for i in range(self.cfg["seeds"])]
        stamp = Path(sys.prefix) / ".velmor-revision"  # written by run.sh when it installs
        if a.velmor_from_source:
            self.revision = revision()
        else:
            self.revision = stamp.read_text().strip() if stamp.exists() else None

    def log(self, msg):
        print(time.strftime("%H:%M:%S"), msg, flush=True)

    def env(self, workers):
        env = dict(os.environ)
        env["NUMBA_NUM_THREADS"] = str(workers)  # PecanPy's parallel walks
        env.pop("PYTHONPATH", None)
        if self.a.velmor_from_source:
            env["PYTHONPATH"] = str(ROOT / "python")
        return env

    def pq(self, dataset):
        p, q = PQ.get(dataset, PQ_OTHER)
        return (p if self.a.p is None else self.a.p), (q if self.a.q is None else self.a.q)

    def run(self, name, tool, edges, *, section, save=True, time_limit=None, tags=None,
            **params):
        """One tool run in its own process; returns the merged record (also saved).

        p and q default to the main graph's; `tags` are extra fields of the record."""
        p, q = self.pq(self.main)
        opts = dict(p=p, q=q, workers=self.a.workers, seed=self.a.seed,
                    ns_exponent=self.a.ns_exponent)
        opts.update(params)
        prefix = self.out / "emb" / name
        cmd = [sys.executable, str(HERE / "runner.py"), tool, "--edges", str(edges),
               "--out", str(prefix)]
        for k, v in opts.items():
            if isinstance(v, bool):
                cmd += ["--" + k.replace("_", "-")] * v
            else:
                cmd += ["--" + k.replace("_", "-"), str(v)]
        if not save:
            cmd.append("--no-save")
        for stale in (prefix.with_suffix(".json"), prefix.with_suffix(".npy")):
            stale.unlink(missing_ok=True)
        limit = time_limit or self.cfg["time_limit"]
        self.log(f"{name}: {tool} on {Path(edges).name} {opts}")
        load_before = os.getloadavg()[0]
        m = run_limited(cmd, time_limit=limit, mem_limit=self.cfg["mem_limit"],
                        log_path=self.out / "logs" / f"{name}.log",
                        env=self.env(opts["workers"]))
        rec = {"name": name, "section": section, **(tags or {}), "tool": tool,
               "status": m["status"], "wall_s": m["wall_s"],
               "peak_rss": m["peak_rss"], "time_limit": limit,
               "mem_limit": self.cfg["mem_limit"], "when": time.strftime("%Y-%m-%d %H:%M:%S"),
               "loadavg_before": load_before}
        if tool == "velmor":
            rec["revision"] = self.revision
        if m["status"] == "ok":
            rec.update(json.loads(prefix.with_suffix(".json").read_text()))
            rec["peak_rss"] = rec.pop("rss_peak")
            self.log(f"  load {rec['times']['load']:.2f}s fit {rec['times']['fit']:.2f}s "
                     f"wall {m['wall_s']:.1f}s peak {rec['peak_rss'] / 2**20:.0f} MiB")
        else:
            if m["status"] == "failed":
                rec["error"] = last_line(self.out / "logs" / f"{name}.log")
            self.log(f"  {m['status']} after {m['wall_s']:.0f}s (exit {m['code']}), "
                     f"see {self.out / 'logs' / (name + '.log')}")
        self.save(rec)
        return rec

    def save(self, rec):
        (self.out / "runs" / f"{rec['name']}.json").write_text(json.dumps(rec, indent=1))

    def embedding(self, name):
        return np.load(self.out / "emb" / f"{name}.npy")

    # -- sections -------------------------------------------------------------------------

    def labelled(self, section, dataset, tools, **params):
        """Runs each tool once per seed on a labelled graph and scores every embedding. The
        tools take turns seed by seed, so that a stretch of load on the shared machine falls
        on all of them rather than on one tool's runs."""
        nodes, Y = evaluate.read_labels(DATA / dataset / "labels.tsv")
        p, q = self.pq(dataset)
        for tool in tools:
            # The records of a graph and tool are those of its latest runs: none left over
            # from a run with other seeds.
            for old in (self.out / "runs").glob(f"{section}-{dataset}-{tool}-s*.json"):
                old.unlink()
        for seed in self.seeds:
            for tool in tools:
                rec = self.run(f"{section}-{dataset}-{tool}-s{seed}", tool,
                               DATA / dataset / "edges.tsv", section=section, p=p, q=q,
                               seed=seed, tags=dict(dataset=dataset, seed=seed), **params)
                if rec["status"] == "ok":
                    rec["quality"] = evaluate.classify(self.embedding(rec["name"]), nodes, Y,
                                                       repeats=self.cfg["repeats"])
                    self.log(f"  Macro-F1 {rec['quality']['macro_f1']:.4f} "
                             f"Micro-F1 {rec['quality']['micro_f1']:.4f}")
                    self.save(rec)

    def classify(self):
        for dataset in self.cfg["datasets"]:
            self.labelled("classify", dataset, self.a.tools)

    def equal_time(self):
        # velmor given more walks, to set its quality against PecanPy's 10 walks at a
        # fraction of PecanPy's time (which comes from the classification section).
        if "velmor" not in self.a.tools:
            self.log("equal-time: velmor is not among --tools, nothing to run")
            return
        self.labelled("equal-time", self.main, ["velmor"],
                      walks_per_node=self.a.equal_time_walks)

    def link(self):
        split_dir = self.out / "link"
        split_dir.mkdir(exist_ok=True)
        split_file = split_dir / "split.npz"
        train_edges = split_dir / "train_edges.tsv"
        if not split_file.exists() or not train_edges.exists():
            full = graphs.read_edges(DATA / self.main / "edges.tsv")
            n = int(full.max()) + 1
            train, test, train_neg, test_neg = graphs.link_split(graphs.canonical(full, n), n,
                                                                 seed=self.a.seed)
            graphs.write_edges(train_edges, train)
            np.savez(split_file, train=train, test=test, train_neg=train_neg,
                     test_neg=test_neg)
        s = np.load(split_file)
        self.log(f"link split: {len(s['train'])} training edges, {len(s['test'])} held out")
        for tool in self.a.tools:
            rec = self.run(f"link-{tool}", tool, train_edges, section="link",
                           tags=dict(dataset=self.main))
            if rec["status"] == "ok":
                rec["quality"] = evaluate.link_auc(self.embedding(rec["name"]), s["train"],
                                                   s["train_neg"], s["test"], s["test_neg"])
                self.log(f"  AUC {rec['quality']['auc']:.4f}")
                self.save(rec)

    def scaling(self):
        gdir = BENCH / "results" / "graphs"
        gdir.mkdir(parents=True, exist_ok=True)
        over, last = {}, {}
        for n in self.cfg["sizes"]:
            path = gdir / f"sbm-{n}.tsv"
            if not path.exists():
                self.log(f"generating {path.name}")
                tmp = path.with_suffix(".tmp")
                graphs.write_edges(tmp, graphs.block_power_law(n, seed=n))
                tmp.rename(path)
            m = sum(1 for _ in open(path))
            limit = self.cfg["scale_time_limit"]
            for tool in self.a.tools:
                name = f"scale-{tool}-{n}"
                guess = last.get(tool) and last[tool][1] * m / last[tool][0]
                if tool in over:
                    rec = {"name": name, "tool": tool, "status": "skipped",
                           "reason": over[tool]}
                elif guess and guess > limit:
                    # Linear in the edges from the size before: a sure timeout, so spare the
                    # machine the wait and say so.
                    rec = {"name": name, "tool": tool, "status": "skipped", "projected_s": guess,
                           "reason": f"{guess / 60:.0f} min projected from the previous size, "
                                     f"limit {limit / 60:.0f} min"}
                else:
                    # One epoch: one walk from every node, trained once.
                    rec = self.run(name, tool, path, section="scaling", save=False,
                                   walks_per_node=1, time_limit=limit)
                    if rec["status"] in ("timeout", "memory"):
                        over[tool] = f"{rec['status']} at {n:,} nodes"
                    elif rec["status"] == "ok":
                        last[tool] = (m, rec["total_s"])
                if rec["status"] == "skipped":
                    self.log(f"{name}: skipped, {rec['reason']}")
                rec.update(graph_nodes=n, graph_edges=m, time_limit=limit,
                           mem_limit=self.cfg["mem_limit"])
                self.save(rec)

    def weighted(self):
        """velmor (with per-pair and with shared negatives) and PecanPy walking by the weights,
        and velmor on the same edges without them, interleaved seed by seed. A graph with labels
        is embedded whole and scored by node classification; one without by link prediction,
        trained with half of its edges held out."""
        variants = [(v, tool, w) for v, tool, w in (("velmor", "velmor", True),
                                                     ("velmor-shared", "velmor", True),
                                                     ("pecanpy", "pecanpy", True),
                                                     ("velmor-unweighted", "velmor", False))
                    if tool in self.a.tools]
        if not variants:
            self.log("weighted: neither velmor nor pecanpy is among --tools, nothing to run")
            return
        for dataset in self.cfg["weighted"]:
            p, q = self.pq(dataset)
            mode = self.a.pecanpy_mode
            if mode == "auto":
                mode = "PreCompFirstOrder" if p == q == 1 else "SparseOTF"
            files, score, info = self.weighted_inputs(dataset)
            for v, _, _ in variants:
                for old in (self.out / "runs").glob(f"weighted-{dataset}-{v}-s*.json"):
                    old.unlink()
            for seed in self.seeds:
                for v, tool, weighted in variants:
                    extra = (dict(pecanpy_mode=mode) if tool == "pecanpy" else
                             dict(shared_negatives=True) if v == "velmor-shared" else
                             dict(pair_negatives=True) if v == "velmor" else {})
                    rec = self.run(f"weighted-{dataset}-{v}-s{seed}", tool,
                                   files[weighted], section="weighted", p=p, q=q, seed=seed,
                                   weighted=weighted, **extra,
                                   tags=dict(dataset=dataset, seed=seed, variant=v, **info))
                    if rec["status"] == "ok":
                        rec["quality"] = score(self.embedding(rec["name"]))
                        self.log("  " + " ".join(f"{k} {x:.4f}" for k, x in
                                                 rec["quality"].items() if isinstance(x, float)))
                        self.save(rec)

    def weighted_inputs(self, dataset):
        """({True: weighted edge file, False: the same edges unweighted}, scoring function,
        record fields that say how the runs are scored)."""
        src = DATA / dataset / "edges.tsv"
        work = self.out / "weighted" / dataset
        work.mkdir(parents=True, exist_ok=True)
        files = {True: src, False: work / "edges-unweighted.tsv"}
        labels = DATA / dataset / "labels.tsv"
        if labels.exists():
            nodes, Y = evaluate.read_labels(labels)

            def classify(emb):
                return evaluate.classify(emb, nodes, Y, repeats=self.cfg["repeats"])

            if not files[False].exists():
                edges, _ = graphs.read_weighted_edges(src)
                write_atomic(files[False], edges)
            return files, classify, dict(metric="macro_f1")

        # Link prediction: train on a connected half of the edges, weights kept.
        split_file = work / "split.npz"
        files = {True: work / "train.tsv", False: work / "train-unweighted.tsv"}
        if not (split_file.exists() and files[True].exists() and files[False].exists()):
            edges, weights = graphs.read_weighted_edges(src)
            n = int(edges.max()) + 1
            key = edges[:, 0] * n + edges[:, 1]
            if (edges[:, 0] >= edges[:, 1]).any() or (np.diff(key) <= 0).any():
                raise SystemExit(f"{src}: edges must be listed once each, u < v, sorted")
            train, test, train_neg, test_neg = graphs.link_split(edges, n, seed=self.a.seed)
            train_w = weights[np.searchsorted(key, train[:, 0] * n + train[:, 1])]
            write_atomic(files[True], train, train_w)
            write_atomic(files[False], train)
            np.savez(split_file, train=train, test=test, train_neg=train_neg,
                     test_neg=test_neg)
        s = np.load(split_file)
        self.log(f"{dataset} link split: {len(s['train'])} training edges, "
                 f"{len(s['test'])} held out")

        def link_auc(emb):
            return evaluate.link_auc(emb, s["train"], s["train_neg"], s["test"], s["test_neg"])

        return files, link_auc, dict(metric="auc", train_edges=len(s["train"]),
                                     held_out=len(s["test"]))

    def threads(self):
        edges = DATA / self.main / "edges.tsv"
        for workers in (1, 2):
            self.run(f"threads-velmor-{workers}", "velmor", edges, section="threads",
                     save=False, workers=workers, tags=dict(dataset=self.main))


def last_line(path, limit=160):
    """The last non-blank line of a log, e.g. the exception that ended a run."""
    lines = [ln.strip() for ln in path.read_text(errors="replace").splitlines() if ln.strip()]
    return lines[-1][:limit] if lines else ""


def write_atomic(path, edges, weights=None):
    tmp = path.with_suffix(".tmp")
    graphs.write_edges(tmp, edges, weights)
    tmp.rename(path)


def revision():
    """The checkout velmor was built from: short commit, '+' if its sources differ from it."""
    def git(*args):
        return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True,
                              text=True).stdout.strip()
    try:
        commit = git("rev-parse", "--short", "HEAD")
        dirty = git("status", "--porcelain", "--", "python", "CMakeLists.txt", "pyproject.toml")
    except OSError:
        return None
    return (commit + ("+" if dirty else "")) or None


def graph_info(dataset):
    with open(DATA / dataset / "edges.tsv") as f:
        first = f.readline()
        edges = 1 + sum(1 for _ in f)
    info = {"edges": edges, "weighted": len(first.split("\t")) == 3}
    if (DATA / dataset / "labels.tsv").exists():
        nodes, Y = evaluate.read_labels(DATA / dataset / "labels.tsv")
        info.update(labelled_nodes=len(nodes), labels=Y.shape[1],
                    multi_label=bool((Y.sum(axis=1) > 1).any()))
    return info


def machine():
    info = {"python": platform.python_version(), "cores": os.cpu_count()}
    try:
        cpu = [ln for ln in open("/proc/cpuinfo") if ln.startswith("model name")]
        info["cpu"] = cpu[0].split(":", 1)[1].strip() if cpu else platform.processor()
        mem = [ln for ln in open("/proc/meminfo") if ln.startswith("MemTotal")]
        info["memory_gib"] = round(int(mem[0].split()[1]) / 2**20, 1)
    except OSError:
        pass
    info["kernel"] = platform.release()
    return info


def main(argv=None):
    a = parse_args(argv)
    b = Bench(a)
    t0 = time.perf_counter()
    b.log(f"mode {a.mode}: sections {a.sections}, tools {a.tools}")
    for section in a.sections:
        getattr(b, section.replace("-", "_"))()
    runs = [json.loads(f.read_text()) for f in sorted((b.out / "runs").glob("*.json"))]
    main_pq = b.pq(b.main)
    meta = {"machine": machine(), "mode": a.mode, "main": b.main,
            "p": main_pq[0], "q": main_pq[1], "workers": a.workers,
            "ns_exponent": a.ns_exponent, "repeats": b.cfg["repeats"],
            "graphs": {d: graph_info(d) for d in sorted({r["dataset"] for r in runs
                                                         if r.get("dataset")})},
            "elapsed_s": round(time.perf_counter() - t0, 1)}
    results = {"meta": meta, "runs": runs}
    (b.out / "results.json").write_text(json.dumps(results, indent=1))
    in_readme = a.mode == "full" and not a.no_readme
    plot = (BENCH if in_readme else b.out) / "scaling.png"
    report.plot_scaling(runs, plot)
    text = report.markdown(results, plot_name=plot.name)
    (b.out / "report.md").write_text(text)
    if a.mode == "full" and not a.no_readme:
        report.update_readme(BENCH / "README.md", text)
    print(text)
    b.log(f"done in {time.perf_counter() - t0:.0f}s; results in {b.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
