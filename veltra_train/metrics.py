"""metrics.jsonl (one JSON object per line) and the learning curve drawn from it."""

from __future__ import annotations

import json
import pathlib
from typing import Any


def append_metrics(path: pathlib.Path, record: dict[str, Any]) -> None:
    with open(path, "a", encoding="utf-8") as file:
        file.write(json.dumps(record) + "\n")


def read_metrics(path: pathlib.Path) -> list[dict[str, Any]]:
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line.strip()]


def plot_learning_curve(records: list[dict[str, Any]], path: pathlib.Path, title: str) -> None:
    """Score against each opponent (with its 95% interval) and the losses, over wall time."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (scores, losses) = plt.subplots(1, 2, figsize=(9, 3.4), dpi=80)
    evaluations = [r for r in records if r.get("scores")]
    for opponent in sorted({o for r in evaluations for o in r["scores"]}):
        points = [(r["time"] / 60, r["scores"][opponent]) for r in evaluations if opponent in r["scores"]]
        minutes = [m for m, _ in points]
        score = [s["score"] for _, s in points]
        scores.errorbar(minutes, score, yerr=[[s["score"] - s["low"] for _, s in points],
                                              [s["high"] - s["score"] for _, s in points]],
                        marker="o", markersize=3, capsize=2, label=opponent)
    scores.set(xlabel="minutes", ylabel="score", ylim=(0, 1.02), title="score (95% interval)")
    scores.grid(alpha=0.3)
    if evaluations:
        scores.legend(fontsize=8, loc="lower right")
    trained = [r for r in records if r.get("loss_policy") is not None]
    for key in ("loss_policy", "loss_value"):
        losses.plot([r["time"] / 60 for r in trained], [r[key] for r in trained], label=key[5:])
    losses.set(xlabel="minutes", title="losses")
    losses.grid(alpha=0.3)
    if trained:
        losses.legend(fontsize=8)
    figure.suptitle(title, fontsize=10)
    figure.tight_layout()
    temporary = path.with_name(path.name + ".tmp.png")
    figure.savefig(temporary)
    plt.close(figure)
    temporary.replace(path)
