"""Workload table, aggregation of raw runs, target checks and the Markdown report.

Pure functions over plain data, so they can be tested without a server.
"""

import statistics

ALL_CLIENTS = ["tarnwick", "requests", "httpx", "urllib3", "pycurl"]
H2_CLIENTS = ["tarnwick", "httpx", "pycurl"]
# tarnwick reaches HTTP/3 through an Alt-Svc advertisement from the TCP origin;
# pycurl (on the same libcurl, which has no Alt-Svc cache) is sent straight to
# the QUIC server.
H3_CLIENTS = ["tarnwick", "pycurl"]
H3_DIRECT = {"pycurl"}

# higher: a rate, more is better; lower: a duration.
WORKLOADS = [
    {"id": "get_http", "kind": "gets", "proto": "http", "unit": "req/s", "better": "higher",
     "title": "small GETs, HTTP/1.1", "clients": ALL_CLIENTS},
    {"id": "get_https", "kind": "gets", "proto": "https", "unit": "req/s", "better": "higher",
     "title": "small GETs, HTTPS", "clients": ALL_CLIENTS},
    {"id": "get_h2", "kind": "gets", "proto": "h2", "unit": "req/s", "better": "higher",
     "title": "small GETs, HTTP/2", "clients": H2_CLIENTS},
    {"id": "get_h3", "kind": "gets", "proto": "h3", "unit": "req/s", "better": "higher",
     "title": "small GETs, HTTP/3", "clients": H3_CLIENTS},
    {"id": "download", "kind": "download", "proto": "http", "unit": "MiB/s", "better": "higher",
     "title": "download", "clients": ALL_CLIENTS, "rss": True},
    {"id": "download_h2", "kind": "download", "proto": "h2", "unit": "MiB/s", "better": "higher",
     "title": "download, HTTP/2", "clients": ["tarnwick", "pycurl"], "rss": True},
    {"id": "download_h3", "kind": "download", "proto": "h3", "unit": "MiB/s", "better": "higher",
     "title": "download, HTTP/3", "clients": H3_CLIENTS, "rss": True},
    # One upload takes about 50 ms and its rate varies by a factor of 1.5 or
    # more from run to run: five runs cannot tell a 10% difference apart.
    {"id": "upload", "kind": "upload", "proto": "http", "unit": "MiB/s", "better": "higher",
     "title": "upload from bytes", "clients": ALL_CLIENTS, "rss": True, "repeat": 5},
    {"id": "session", "kind": "session", "proto": "http", "unit": "ms", "better": "lower",
     "title": "create_session + close_session", "clients": ["tarnwick"]},
]
WORKLOAD_BY_ID = {w["id"]: w for w in WORKLOADS}

# (workload, other client, least tarnwick/other ratio of the medians)
SPEED_TARGETS = [
    ("get_http", "requests", 2.0), ("get_http", "pycurl", 0.8),
    ("get_https", "requests", 2.0), ("get_https", "pycurl", 0.8),
    ("get_h2", "httpx", 2.0), ("get_h2", "pycurl", 0.8),
    ("get_h3", "pycurl", 0.8),
    ("download", "urllib3", 1.0), ("download", "pycurl", 0.9),
    ("download_h3", "pycurl", 0.9),
    ("upload", "requests", 1.0), ("upload", "urllib3", 1.0), ("upload", "pycurl", 0.9),
]
# Measured and shown, without a target: download_h2.
# (workload, most memory growth over the body size)
RSS_TARGETS = [("download", 2.0), ("download_h3", 2.0), ("upload", 1.2)]
# Small-GET workloads whose spread of tarnwick's rate, (max - min) / median, may
# exceed pycurl's by at most this many points.
SPREAD_TARGETS = [("get_http", 0.20), ("get_https", 0.20), ("get_h2", 0.20), ("get_h3", 0.20)]

FULL_SIZES = {"count": 2000, "download": 256 << 20, "upload": 64 << 20}
SMOKE_SIZES = {"count": 20, "download": 1 << 20, "upload": 1 << 20}


def body_size(workload_id, sizes):
    w = WORKLOAD_BY_ID.get(workload_id)
    return sizes.get(w["kind"] if w else workload_id)


def summarize(values):
    """Median and spread of one cell's runs; None when no run succeeded."""
    if not values:
        return None
    vals = sorted(values)
    out = {"n": len(vals), "median": statistics.median(vals), "min": vals[0], "max": vals[-1]}
    if len(vals) >= 2:
        q1, _, q3 = statistics.quantiles(vals, n=4, method="inclusive")
        out["q1"], out["q3"] = q1, q3
    else:
        out["q1"] = out["q3"] = vals[0]
    return out


def aggregate(records, sizes):
    """records: dicts with workload, client and a worker's output.

    Returns {workload: {client: cell}}; a cell holds the summary of `value`,
    the errors seen, the CPU shares and, for memory workloads, peak RSS and
    its growth over the pre-workload RSS relative to the body size.
    """
    cells = {}
    for r in records:
        cells.setdefault(r["workload"], {}).setdefault(r["client"], []).append(r)
    out = {}
    for wid, by_client in cells.items():
        out[wid] = {}
        for client, runs in by_client.items():
            ok = [r for r in runs if "error" not in r]
            cell = {"summary": summarize([r["value"] for r in ok]),
                    "errors": [r["error"] for r in runs if "error" in r]}
            if ok:
                elapsed = sum(r["elapsed_s"] for r in ok)
                cell["server_cpu_share"] = sum(r["server_cpu_s"] for r in ok) / elapsed
                cell["client_cpu_share"] = sum(r["client_cpu_s"] for r in ok) / elapsed
                if WORKLOAD_BY_ID.get(wid, {}).get("kind") in ("download", "upload"):
                    # A transfer the server is busy for most of the time: what
                    # the client adds is the time the server was not working.
                    cell["time_ms"] = 1000 * statistics.median(r["elapsed_s"] for r in ok)
                    cell["server_ms"] = 1000 * statistics.median(r["server_cpu_s"] for r in ok)
                    cell["rest_ms"] = 1000 * statistics.median(
                        r["elapsed_s"] - r["server_cpu_s"] for r in ok)
                if WORKLOAD_BY_ID.get(wid, {}).get("rss"):
                    peak = max(r["rss_peak_kib"] for r in ok)
                    growth = max(r["rss_peak_kib"] - r["rss_before_kib"] for r in ok)
                    cell["rss_peak_kib"] = peak
                    size = body_size(wid, sizes)
                    cell["rss_growth_ratio"] = growth * 1024 / size if size else None
            out[wid][client] = cell
    return out


def median_of(agg, wid, client):
    cell = agg.get(wid, {}).get(client)
    if not cell or not cell["summary"]:
        return None
    return cell["summary"]["median"]


def ratio_to_tarnwick(agg, wid, client):
    """How the client compares to tarnwick, >1 meaning the client does better."""
    mine, theirs = median_of(agg, wid, "tarnwick"), median_of(agg, wid, client)
    if mine is None or theirs is None or mine == 0 or theirs == 0:
        return None
    if WORKLOAD_BY_ID[wid]["better"] == "lower":
        return mine / theirs
    return theirs / mine


def evaluate_targets(agg):
    """One row per target: what was measured and whether it holds (None: no data)."""
    rows = []
    for wid, other, least in SPEED_TARGETS:
        mine, theirs = median_of(agg, wid, "tarnwick"), median_of(agg, wid, other)
        measured = mine / theirs if mine is not None and theirs else None
        rows.append({"workload": wid, "what": "tarnwick / %s" % other, "target": ">= %.1fx" % least,
                     "measured": measured,
                     "met": None if measured is None else measured >= least})
    for wid, most in RSS_TARGETS:
        cell = agg.get(wid, {}).get("tarnwick") or {}
        measured = cell.get("rss_growth_ratio")
        rows.append({"workload": wid, "what": "tarnwick peak RSS growth / body",
                     "target": "<= %.1fx" % most, "measured": measured,
                     "met": None if measured is None else measured <= most})
    for wid, slack in SPREAD_TARGETS:
        mine, theirs = relative_spread(agg, wid, "tarnwick"), relative_spread(agg, wid, "pycurl")
        measured = None if mine is None or theirs is None else mine - theirs
        rows.append({"workload": wid, "what": "tarnwick spread - pycurl spread",
                     "target": "<= %+.0f points" % (100 * slack), "fmt": "%+.0f points",
                     "measured": None if measured is None else 100 * measured,
                     "met": None if measured is None else measured <= slack + 1e-9})
    return rows


def relative_spread(agg, wid, client):
    """(max - min) / median of a cell's runs; None without data."""
    cell = agg.get(wid, {}).get(client)
    s = cell and cell["summary"]
    if not s or not s["median"]:
        return None
    return (s["max"] - s["min"]) / s["median"]


def _fmt(v):
    if v is None:
        return "-"
    if v >= 100:
        return "%.0f" % v
    if v >= 10:
        return "%.1f" % v
    return "%.2f" % v


def transfer_split(agg):
    """Per single-transfer cell: median time, the server's CPU in it, and the rest."""
    rows = []
    for w in WORKLOADS:
        for client in w["clients"]:
            cell = agg.get(w["id"], {}).get(client) or {}
            if "time_ms" in cell:
                rows.append("| %s | %s | %.1f | %.1f | %.1f |" % (
                    w["title"], client, cell["time_ms"], cell["server_ms"], cell["rest_ms"]))
    if not rows:
        return []
    return ["## Where a transfer's time goes", "",
            "Medians per run, in ms: the whole transfer, the server's CPU during it, and "
            "the time it was not running, which is what the client (and the scheduler) add.", "",
            "| workload | client | time | server CPU | the rest |", "|---|---|---|---|---|"] + rows + [""]


def markdown(agg, meta, sizes):
    lines = ["# Benchmark results", ""]
    runs = meta.get("runs", 0)
    more = ["%d for %s" % (runs * n, WORKLOAD_BY_ID[wid]["title"])
            for wid, n in sorted(meta.get("repeat", {}).items()) if n > 1 and wid in agg]
    lines.append("Run %s on %s; %d run(s) per cell%s, each in a fresh process; load before: %s; "
                 "load after: %s." % (meta.get("when", "?"), meta.get("machine", "?"), runs,
                                      " (%s)" % ", ".join(more) if more else "",
                                      meta.get("load_before", "?"), meta.get("load_after", "?")))
    lines.append("")
    lines.append("Sizes: %d GETs of 1 KiB per run; download %d MiB; upload %d MiB. "
                 "TLS: tarnwick skips verification (it has no CA option); every other "
                 "client verifies against the test CA. HTTP/3: ngtcp2's C server (gtlsserver) on "
                 "nginx's files, reached by tarnwick after an Alt-Svc from nginx's HTTP/2 origin, by "
                 "pycurl (same libcurl, no Alt-Svc support) directly; every HTTP/3 response is "
                 "checked to have come over HTTP/3."
                 % (sizes["count"], sizes["download"] >> 20, sizes["upload"] >> 20))
    lines.append("")
    lines.append("| workload | client | median | spread (min..max) | vs tarnwick | peak RSS | "
                 "RSS growth / body | client CPU | server CPU |")
    lines.append("|---|---|---|---|---|---|---|---|---|")
    for w in WORKLOADS:
        for client in w["clients"]:
            cell = agg.get(w["id"], {}).get(client)
            if cell is None:
                continue
            s = cell["summary"]
            if s is None:
                lines.append("| %s | %s | failed: %s | | | | | | |"
                             % (w["title"], client, cell["errors"][0] if cell["errors"] else "?"))
                continue
            ratio = ratio_to_tarnwick(agg, w["id"], client)
            rss = cell.get("rss_peak_kib")
            lines.append("| %s | %s | %s %s | %s..%s | %s | %s | %s | %s | %s |" % (
                w["title"], client, _fmt(s["median"]), w["unit"], _fmt(s["min"]), _fmt(s["max"]),
                "%.2fx" % ratio if ratio is not None else "-",
                "%.0f MiB" % (rss / 1024) if rss else "",
                "%.2fx" % cell["rss_growth_ratio"] if cell.get("rss_growth_ratio") else "",
                "%.0f%%" % (100 * cell["client_cpu_share"]),
                "%.0f%%" % (100 * cell["server_cpu_share"])))
    lines += ["", "\"vs tarnwick\": the client's median over tarnwick's (rates), so below 1 "
              "means tarnwick is faster. CPU shares are of one core, summed over all threads.",
              ""]
    lines += transfer_split(agg)
    lines += ["## Targets", "", "| workload | measured | value | target | met |", "|---|---|---|---|---|"]
    for t in evaluate_targets(agg):
        met = {True: "yes", False: "**no**", None: "no data"}[t["met"]]
        lines.append("| %s | %s | %s | %s | %s |" % (
            WORKLOAD_BY_ID[t["workload"]]["title"], t["what"],
            t.get("fmt", "%.2fx") % t["measured"] if t["measured"] is not None else "-",
            t["target"], met))
    lines.append("")
    return "\n".join(lines)
