import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import report  # noqa: E402
import runner  # noqa: E402

SIZES = {"count": 10, "download": 100 << 20, "upload": 10 << 20}


def rec(workload, client, value, **kw):
    r = {"workload": workload, "client": client, "value": value, "elapsed_s": 1.0,
         "client_cpu_s": 0.5, "server_cpu_s": 0.1, "rss_peak_kib": 0, "rss_before_kib": 0}
    r.update(kw)
    return r


@pytest.mark.parametrize("values, median, lo, hi", [
    ([3.0], 3.0, 3.0, 3.0),
    ([5.0, 1.0, 3.0], 3.0, 1.0, 5.0),
    ([4.0, 1.0, 2.0, 3.0], 2.5, 1.0, 4.0),
])
def test_summarize_median_and_range(values, median, lo, hi):
    s = report.summarize(values)
    assert (s["median"], s["min"], s["max"], s["n"]) == (median, lo, hi, len(values))
    assert lo <= s["q1"] <= s["median"] <= s["q3"] <= hi


def test_summarize_nothing():
    assert report.summarize([]) is None


def test_failed_runs_are_kept_out_of_the_median_but_reported():
    recs = [rec("get_http", "tarnwick", 100.0), rec("get_http", "tarnwick", 300.0),
            {"workload": "get_http", "client": "tarnwick", "error": "boom"}]
    cell = report.aggregate(recs, SIZES)["get_http"]["tarnwick"]
    assert cell["summary"]["median"] == 200.0
    assert cell["summary"]["n"] == 2
    assert cell["errors"] == ["boom"]


def test_cell_with_only_failures_has_no_summary_and_shows_in_markdown():
    recs = [rec("get_http", "tarnwick", 100.0),
            {"workload": "get_http", "client": "pycurl", "error": "refused"}]
    agg = report.aggregate(recs, SIZES)
    assert agg["get_http"]["pycurl"]["summary"] is None
    assert report.ratio_to_tarnwick(agg, "get_http", "pycurl") is None
    assert "failed: refused" in report.markdown(agg, {}, SIZES)


def test_rss_growth_is_the_worst_run_relative_to_the_body():
    mib = 1024  # KiB
    recs = [rec("download", "tarnwick", 1.0, rss_before_kib=20 * mib, rss_peak_kib=220 * mib),
            rec("download", "tarnwick", 1.0, rss_before_kib=20 * mib, rss_peak_kib=250 * mib)]
    cell = report.aggregate(recs, SIZES)["download"]["tarnwick"]
    assert cell["rss_peak_kib"] == 250 * mib
    assert cell["rss_growth_ratio"] == pytest.approx(230 / 100)


def test_cpu_shares_are_weighted_by_time():
    recs = [rec("get_http", "httpx", 1.0, elapsed_s=1.0, client_cpu_s=1.0, server_cpu_s=0.0),
            rec("get_http", "httpx", 1.0, elapsed_s=3.0, client_cpu_s=1.0, server_cpu_s=0.4)]
    cell = report.aggregate(recs, SIZES)["get_http"]["httpx"]
    assert cell["client_cpu_share"] == pytest.approx(0.5)
    assert cell["server_cpu_share"] == pytest.approx(0.1)


@pytest.mark.parametrize("workload, ours, theirs, expected", [
    ("get_http", 200.0, 100.0, 0.5),   # a rate: the other client is half as fast
    ("get_http", 100.0, 300.0, 3.0),
    ("session", 300.0, 150.0, 2.0),    # a duration: half the time is twice as good
])
def test_ratio_direction(workload, ours, theirs, expected):
    agg = report.aggregate([rec(workload, "tarnwick", ours), rec(workload, "other", theirs)], SIZES)
    assert report.ratio_to_tarnwick(agg, workload, "other") == pytest.approx(expected)


@pytest.mark.parametrize("ours, theirs, met", [
    (200.0, 100.0, True),    # exactly 2x requests
    (199.0, 100.0, False),
])
def test_speed_target_boundary(ours, theirs, met):
    agg = report.aggregate([rec("get_http", "tarnwick", ours),
                            rec("get_http", "requests", theirs)], SIZES)
    row = next(t for t in report.evaluate_targets(agg)
               if t["workload"] == "get_http" and t["what"] == "tarnwick / requests")
    assert row["met"] is met
    assert row["measured"] == pytest.approx(ours / theirs)


def test_targets_without_data_are_neither_met_nor_missed():
    rows = report.evaluate_targets({})
    assert rows and all(r["met"] is None for r in rows)


@pytest.mark.parametrize("peak_mib, met", [(20 + 200, True), (20 + 201, False)])
def test_rss_target(peak_mib, met):
    recs = [rec("download", "tarnwick", 1.0, rss_before_kib=20 * 1024,
                rss_peak_kib=peak_mib * 1024)]
    agg = report.aggregate(recs, SIZES)
    row = next(t for t in report.evaluate_targets(agg)
               if t["workload"] == "download" and "RSS" in t["what"])
    assert row["met"] is met


def test_markdown_lists_every_measured_cell_once():
    recs = [rec(w["id"], c, 10.0) for w in report.WORKLOADS for c in w["clients"]]
    md = report.markdown(report.aggregate(recs, SIZES), {"runs": 1}, SIZES)
    table, split = md.split("## Where a transfer's time goes")
    for w in report.WORKLOADS:
        for c in w["clients"]:
            assert table.count("| %s | %s |" % (w["title"], c)) == 1
            single = w["kind"] in ("download", "upload")
            assert split.count("| %s | %s |" % (w["title"], c)) == int(single)


def test_transfer_split_takes_the_median_of_each_runs_rest():
    recs = [rec("upload", "tarnwick", 1.0, elapsed_s=e, server_cpu_s=s)
            for e, s in [(0.050, 0.048), (0.060, 0.045), (0.070, 0.069)]]
    cell = report.aggregate(recs, SIZES)["upload"]["tarnwick"]
    # medians of the columns are 60 and 48 ms; of the per-run rests, 2 ms
    assert (cell["time_ms"], cell["server_ms"], cell["rest_ms"]) == pytest.approx((60, 48, 2))


def test_every_target_names_a_measured_pair():
    for wid, other, _ in report.SPEED_TARGETS:
        assert other in report.WORKLOAD_BY_ID[wid]["clients"]
        assert "tarnwick" in report.WORKLOAD_BY_ID[wid]["clients"]


@pytest.mark.parametrize("ours, theirs, points, met", [
    ([80.0, 100.0, 120.0], [90.0, 100.0, 110.0], 20.0, True),   # 40 against 20 points
    ([70.0, 100.0, 121.0], [90.0, 100.0, 110.0], 31.0, False),  # 51 against 20
    ([100.0, 100.0], [100.0, 100.0], 0.0, True),
])
def test_spread_target_against_pycurl(ours, theirs, points, met):
    recs = [rec("get_h2", "tarnwick", v) for v in ours] + [rec("get_h2", "pycurl", v) for v in theirs]
    row = next(t for t in report.evaluate_targets(report.aggregate(recs, SIZES))
               if t["workload"] == "get_h2" and "spread" in t["what"])
    assert row["measured"] == pytest.approx(points)
    assert row["met"] is met


@pytest.mark.parametrize("smoke, uploads, downloads, header", [
    (False, 10, 2, "2 run(s) per cell (10 for upload from bytes)"),
    (True, 2, 2, "2 run(s) per cell, each"),
])
def test_upload_gets_more_runs_per_round_outside_smoke_runs(smoke, uploads, downloads, header):
    class Server:
        ca = "/ca.pem"

        def url(self, path, which="http"):
            return "http://127.0.0.1:1" + path

    repeat = runner.repeats({"upload", "download"}, smoke)
    specs = list(runner.jobs(Server(), SIZES, 2, {"upload", "download"}, None, repeat))
    for client in report.ALL_CLIENTS:
        mine = [s["workload"] for s in specs if s["client"] == client]
        assert (mine.count("upload"), mine.count("download")) == (uploads, downloads)
    recs = [rec(s["workload"], s["client"], 1.0) for s in specs]
    md = report.markdown(report.aggregate(recs, SIZES), {"runs": 2, "repeat": repeat}, SIZES)
    assert header in md
