"""Bar chart of the medians, one panel per workload, whiskers from min to max."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from report import WORKLOADS, ratio_to_tarnwick  # noqa: E402

OURS = "#d62728"
OTHERS = "#7f7f7f"


def draw(agg, path, subtitle=""):
    cols = 3
    rows = (len(WORKLOADS) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(15, 4 * rows))
    for ax in axes.flat[len(WORKLOADS):]:
        ax.axis("off")
    for ax, w in zip(axes.flat, WORKLOADS):
        names, med, lo, hi = [], [], [], []
        for client in w["clients"]:
            cell = agg.get(w["id"], {}).get(client)
            if not cell or not cell["summary"]:
                continue
            s = cell["summary"]
            names.append(client)
            med.append(s["median"])
            lo.append(s["median"] - s["min"])
            hi.append(s["max"] - s["median"])
        ax.set_title("%s (%s, %s is better)" % (w["title"], w["unit"], w["better"]), fontsize=10)
        if not names:
            ax.text(0.5, 0.5, "no data", ha="center", va="center", transform=ax.transAxes)
            continue
        ys = range(len(names))
        ax.barh(ys, med, xerr=[lo, hi], capsize=3,
                color=[OURS if n == "tarnwick" else OTHERS for n in names])
        ax.set_yticks(list(ys))
        ax.set_yticklabels(names)
        ax.invert_yaxis()
        for y, name, m, up in zip(ys, names, med, hi):
            r = ratio_to_tarnwick(agg, w["id"], name)
            label = "%.0f" % m if m >= 100 else "%.1f" % m
            if name != "tarnwick" and r is not None:
                label += "  (%.2fx)" % r
            # Past the whisker, so the numbers stay readable.
            ax.text(m + up, y, "  " + label, va="center", fontsize=8)
        ax.margins(x=0.45)
    fig.suptitle("tarnwick against other Python HTTP clients, same server, same run"
                 + ("\n" + subtitle if subtitle else ""), fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
