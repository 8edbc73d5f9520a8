"""Whole runs on Ray: a local instance of two workers (games arrive, the learner steps, checkpoints,
--resume, a killed worker replaced) and a two-node loopback cluster joined through --address."""

import dataclasses
import os
import signal
import subprocess
import sys

import pytest

from veltra_train.checkpoint import load_checkpoint
from veltra_train.metrics import read_metrics
from veltra_train.trainer import Trainer, _module_paths, prepare_run, train

SMALL_RUN = dict(game="tic_tac_toe", workers=2, games_per_worker=16, simulations=8, blocks=1,
                 channels=8, batch_size=32, min_positions=64, moves_per_task=2, eval_opponents=("random",),
                 eval_games=4, eval_simulations=8, eval_minutes=10.0,
                 min_games=16)  # a loaded machine may finish no game in the run's minutes


def test_a_local_run_resumes_and_replaces_a_killed_worker(ray_session, tmp_path):
    ray = ray_session
    first = train(tmp_path, 0.1, progress=False, **SMALL_RUN)
    assert first.games > 0 and first.learner_steps > 0
    assert load_checkpoint(tmp_path / "checkpoint.pt")["counters"] == dataclasses.asdict(first)
    assert (tmp_path / "learning_curve.png").stat().st_size > 0
    records = read_metrics(tmp_path / "metrics.jsonl")
    assert records[-1]["scores"]["random"]["games"] == 4 and records[-1]["positions"] == first.positions

    run = prepare_run(tmp_path, 0.45, True, {})
    assert run.counters == first
    killed = {}

    def kill_a_worker_once(trainer):
        if not killed:
            killed.update(pid=ray.get(trainer.workers[0].pid.remote()), games=trainer.counters.games)
            os.kill(killed["pid"], signal.SIGKILL)

    trainer = Trainer(run, progress=False, on_round=kill_a_worker_once)
    trainer.run()
    resumed = trainer.counters
    assert resumed.seconds > first.seconds and resumed.positions > first.positions
    assert resumed.learner_steps > first.learner_steps and resumed.evaluations > first.evaluations
    assert ray.get(trainer.workers[0].pid.remote()) != killed["pid"]
    assert resumed.worker_restarts == 1, resumed  # told by the restarted worker with its first result
    assert resumed.games > killed["games"]
    assert load_checkpoint(tmp_path / "checkpoint.pt")["counters"] == dataclasses.asdict(resumed)


# A head node and a second node, each its own raylet and object store, on loopback (Ray's own
# one-machine cluster; `ray start` cannot keep a second node on loopback). The driver is the
# `train` command, joining through --address like on any cluster.
CLUSTER_HOST = """
import signal, sys, time
from ray.cluster_utils import Cluster
cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1, "include_dashboard": False})
cluster.add_node(num_cpus=1)
signal.signal(signal.SIGTERM, lambda *_: (cluster.shutdown(), sys.exit(0)))
print(cluster.address, flush=True)
while True:
    time.sleep(1)
"""


def test_a_two_node_cluster_through_address(tmp_path):
    env = {**os.environ, "RAY_AUTH_MODE": "disabled", "PYTHONPATH": os.pathsep.join(_module_paths())}
    host = subprocess.Popen([sys.executable, "-c", CLUSTER_HOST], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    try:
        address = host.stdout.readline().strip()
        assert address.startswith("127.0.0.1:"), address
        # The local run above uses the default policy (Gumbel); this one PUCT.
        flags = [f"--{k.replace('_', '-')}={v}" for k, v in SMALL_RUN.items() if k != "eval_opponents"]
        flags.append("--policy=puct")
        result = subprocess.run(
            [sys.executable, "-m", "veltra_train", "train", "--address", address, "--out",
             str(tmp_path / "run"), "--minutes", "0.1", "--no-progress", *flags],
            env=env, capture_output=True, text=True, timeout=150, check=False)
        assert result.returncode == 0, result.stderr[-3000:]
        last = read_metrics(tmp_path / "run" / "metrics.jsonl")[-1]
        assert last["worker_nodes"] == 2 and last["games"] > 0 and last["learner_steps"] > 0
    finally:
        host.terminate()
        host.wait(timeout=60)
        host.stdout.close()
