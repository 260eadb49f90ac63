"""Turning measurements into tables, JSON, the plot and the README block."""

from __future__ import annotations

import json
import re
import statistics

from .timing import LOOKUPS, OPS, POSITION_OPS

MEMORY_OPS = ("memory", "memory_traced")
ROW_ORDER = [op.name for op in OPS] + list(MEMORY_OPS)
LABELS = {op.name: op.label for op in OPS}
LABELS.update(memory="bytes per entry, every allocator",
              memory_traced="bytes per entry seen by tracemalloc")
SUBJECT = "quorel"


LOOKUP_OPS = {op for op, _, _ in LOOKUPS}
# Updates are compared with SortedList.update, the operation sortedcontainers' own
# benchmark measures.
ORDERED_PEER_OPS = LOOKUP_OPS | set(POSITION_OPS) | {"update_small", "update_large"}


def reference_peer(results, kind, size, op):
    """The peer the summary and the plot compare with: SortedSet, except for
    lookups, where SortedSet's membership test is a hash lookup and the
    ordered search of SortedList (SortedKeyList under a key rule) is the
    comparable one; positions and updates are compared with SortedList's too."""
    if op not in ORDERED_PEER_OPS:
        return "SortedSet"
    if results.get(kind, size, op, "SortedList") is not None:
        return "SortedList"
    return "SortedKeyList"


REFERENCE = "SortedSet (SortedList / SortedKeyList for lookups, positions and updates)"


def unit(op):
    return "bytes/entry" if op in MEMORY_OPS else "ns/op"


class Results:
    """Medians keyed by (kind, size, operation, library), plus the column
    order of the libraries."""

    def __init__(self, columns=()):
        self.values = {}
        self.samples = {}  # (CPU, wall-clock) samples of timed rows
        self.libs = list(columns)

    def add(self, kind, size, op, lib, value, samples=None):
        self.values[kind, size, op, lib] = value
        if samples is not None:
            self.samples[kind, size, op, lib] = samples
        if lib not in self.libs:
            self.libs.append(lib)

    def add_timed(self, kind, size, op, lib, samples):
        """Record (CPU, wall-clock) samples; the median CPU time is the
        figure."""
        self.add(kind, size, op, lib, statistics.median(samples[0]), samples)

    def waiting(self, kind, size):
        """The share of the wall-clock time of this group's runs that the
        process spent waiting for a core."""
        cpu = wall = 0.0
        for (k, n, _, _), (c, w) in self.samples.items():
            if (k, n) == (kind, size):
                cpu, wall = cpu + sum(c), wall + sum(w)
        return max(0.0, 1 - cpu / wall) if wall else 0.0

    def get(self, kind, size, op, lib):
        return self.values.get((kind, size, op, lib))

    def ratio(self, kind, size, op, peer):
        mine, theirs = self.get(kind, size, op, SUBJECT), self.get(kind, size, op, peer)
        if mine is None or not theirs:
            return None
        return mine / theirs

    def groups(self):
        """The (kind, size) pairs measured, in measuring order."""
        seen = []
        for kind, size, _, _ in self.values:
            if (kind, size) not in seen:
                seen.append((kind, size))
        return seen

    def peers(self, kind, size):
        return [lib for lib in self.libs if lib != SUBJECT and any(
            (kind, size, op, lib) in self.values for op in ROW_ORDER)]

    def ops(self, kind, size):
        return [op for op in ROW_ORDER if (kind, size, op, SUBJECT) in self.values]

    def to_json(self):
        """One record per table row: the figure of every library (`value`:
        median CPU ns per operation, or bytes per entry), for timed rows the
        wall-clock median and the number of runs, and quorel / peer."""
        rows = []
        for k, n in self.groups():
            libs = [SUBJECT] + self.peers(k, n)
            for op in self.ops(k, n):
                row = {"kind": k, "size": n, "op": op, "unit": unit(op), "value": {}}
                timed = {lib: self.samples[k, n, op, lib] for lib in libs
                         if (k, n, op, lib) in self.samples}
                for lib in libs:
                    if (k, n, op, lib) in self.values:
                        row["value"][lib] = self.values[k, n, op, lib]
                if timed:
                    row["wall"] = {lib: statistics.median(w) for lib, (_, w) in timed.items()}
                    row["runs"] = {lib: len(c) for lib, (c, _) in timed.items()}
                row["ratio"] = {p: r for p in libs[1:]
                                if (r := self.ratio(k, n, op, p)) is not None}
                rows.append(row)
        return rows


def _num(x):
    if x is None:
        return "-"
    return f"{x:.3g}" if x < 100 else f"{x:.0f}"


def _cell(results, kind, size, op, peer):
    v = results.get(kind, size, op, peer)
    if v is None:
        return "-"
    r = results.ratio(kind, size, op, peer)
    return f"{_num(v)} ({r:.2f})" if r is not None else _num(v)


def group_title(kind, size, description):
    return f"{kind} keys ({description}), n = {size:,}"


def group_table(results, kind, size):
    """Header and rows of one (kind, size) table: quorel's figure, then each
    peer's figure with the ratio quorel / peer in brackets."""
    peers = results.peers(kind, size)
    header = ["operation", "unit", SUBJECT] + peers
    rows = [[op, unit(op), _num(results.get(kind, size, op, SUBJECT))]
            + [_cell(results, kind, size, op, p) for p in peers]
            for op in results.ops(kind, size)]
    return header, rows


def render_text(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = ["  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                       for i, (c, w) in enumerate(zip(r, widths))) for r in [header] + rows]
    lines.insert(1, "-" * len(lines[0]))
    return "\n".join(lines)


def render_markdown(header, rows):
    out = ["| " + " | ".join(header) + " |",
           "|" + "|".join(["---"] + ["---:"] * (len(header) - 1)) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(out)


def targets_table(targets):
    header = ["kind", "n", "operation", "peer", "limit", "ratio", "status"]
    rows = [[t["kind"], f"{t['size']:,}", t["op"], t["peer"], f"<= {t['limit']}",
             "-" if t["ratio"] is None else f"{t['ratio']:.2f}", t["status"]] for t in targets]
    return header, rows


def largest_sizes(results):
    largest = {}
    for kind, size in results.groups():
        largest[kind] = max(size, largest.get(kind, 0))
    return list(largest.items())


def reference_ratio(results, kind, size, op):
    return results.ratio(kind, size, op, reference_peer(results, kind, size, op))


def summary_table(results):
    """quorel / reference peer for every kind at its largest measured size."""
    cols = largest_sizes(results)
    header = ["operation"] + [f"{k} {n:,}" for k, n in cols]
    rows = []
    for op in ROW_ORDER:
        cells = [reference_ratio(results, k, n, op) for k, n in cols]
        if any(c is not None for c in cells):
            rows.append([op] + ["-" if c is None else f"{c:.2f}" for c in cells])
    return header, rows


def _rounded(value):
    if isinstance(value, float):
        return float(f"{value:.4g}")
    if isinstance(value, dict):
        return {k: _rounded(v) for k, v in value.items()}
    return value


def write_json(path, payload):
    """JSON with one line per entry of each list of records, so that two
    runs compare line by line; figures keep four significant digits."""
    lines = []
    for key, value in payload.items():
        if isinstance(value, list) and value and isinstance(value[0], dict):
            body = ",\n".join("  " + json.dumps(_rounded(v)) for v in value)
            lines.append(f" {json.dumps(key)}: [\n{body}\n ]")
        else:
            lines.append(f" {json.dumps(key)}: {json.dumps(_rounded(value))}")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("{\n" + ",\n".join(lines) + "\n}\n")


def plot(results, path, targets):
    """Two panels of quorel / reference peer (log scale): int keys at every
    size, and every kind at its largest size. Red marks are the targets set
    against the reference peer, drawn on the bar of their size."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    ops = [op for op in ROW_ORDER if op != "memory_traced"]
    fig, axes = plt.subplots(2, 1, figsize=(14, 9), sharex=True)

    def panel(ax, series, title):
        width = 0.8 / max(1, len(series))
        where = {}
        for i, (label, kind, size) in enumerate(series):
            xs, ys = [], []
            for j, op in enumerate(ops):
                x = j - 0.4 + width * (i + 0.5)
                where[kind, size, op] = x
                r = reference_ratio(results, kind, size, op)
                if r is not None:
                    xs.append(x)
                    ys.append(r)
            ax.bar(xs, ys, width, label=label)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        plain = FuncFormatter(lambda y, _: f"{y:g}")
        ax.yaxis.set_major_formatter(plain)
        ax.yaxis.set_minor_formatter(plain)
        ax.tick_params(axis="y", which="minor", labelsize=7)
        ax.set_ylabel("quorel / reference peer")
        ax.set_title(title, fontsize=10)
        ax.grid(axis="y", which="both", alpha=0.3)
        for t in targets:
            x = where.get((t["kind"], t["size"], t["op"]))
            peer = reference_peer(results, t["kind"], t["size"], t["op"])
            if x is not None and t["peer"] == peer:
                ax.plot(x, t["limit"], marker="_", markersize=14, mew=2.5, color="red",
                        label="target" if "target" not in ax.get_legend_handles_labels()[1]
                        else None)
        ax.legend(fontsize=8, ncol=4)

    int_sizes = sorted(n for k, n in results.groups() if k == "int")
    panel(axes[0], [(f"int, n = {n:,}", "int", n) for n in int_sizes],
          f"int keys: quorel time (memory) relative to {REFERENCE}; below 1 is better")
    panel(axes[1], [(f"{k}, n = {n:,}", k, n) for k, n in largest_sizes(results)],
          "every kind of key at its largest measured size")
    axes[1].set_xticks(range(len(ops)))
    axes[1].set_xticklabels(ops, rotation=45, ha="right")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)


BEGIN, END = "<!-- results:begin -->", "<!-- results:end -->"


def update_readme(readme, block):
    """Replace the text between the two result markers of the README."""
    text = readme.read_text()
    pattern = re.compile(re.escape(BEGIN) + ".*?" + re.escape(END), re.S)
    if not pattern.search(text):
        raise SystemExit(f"{readme}: result markers not found")
    readme.write_text(pattern.sub(lambda _: f"{BEGIN}\n{block}\n{END}", text))

