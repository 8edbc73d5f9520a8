"""Checkpoints are data: unsafe, corrupted and foreign files are refused with a clear error; saving
is atomic; a run that cannot start writes nothing."""

import os
import pathlib
import re

import pytest
import torch

from veltra_train import CheckpointError, TrainConfig
from veltra_train.agent import build_network
from veltra_train.checkpoint import load_checkpoint, save_checkpoint
from veltra_train.cli import main
from veltra_train.games import make_game
from veltra_train.trainer import RunError, prepare_run

CONFIG = TrainConfig(game="tic_tac_toe", blocks=1, channels=8)


def write_checkpoint(path, config=CONFIG, uniform_priors=False):
    torch.manual_seed(0)
    net = build_network(make_game(config.game), config)
    if uniform_priors:  # an untrained network that rates every move alike
        torch.nn.init.zeros_(net.policy[-1].weight)
        torch.nn.init.zeros_(net.policy[-1].bias)
    save_checkpoint(path, config.to_dict(), net.state_dict(), {}, {"positions": 7})
    return path


class Payload:
    """Unpickling this would create a file: what a hostile checkpoint might do."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (pathlib.Path.touch, (pathlib.Path(self.marker),))


class TestLoading:
    def test_a_pickled_callable_is_refused_without_running(self, tmp_path):
        path = tmp_path / "hostile.pt"
        data = torch.load(write_checkpoint(tmp_path / "good.pt"), weights_only=True)
        torch.save({**data, "counters": Payload(tmp_path / "ran")}, path)
        with pytest.raises(CheckpointError, match="holds something other than data"):
            load_checkpoint(path)
        assert not (tmp_path / "ran").exists()

    @pytest.mark.parametrize("damage, message", [
        (lambda path: path.write_bytes(path.read_bytes()[:300]), "is corrupted"),
        (lambda path: path.write_bytes(b"not a checkpoint"), "is corrupted"),
        (lambda path: torch.save({"weights": torch.zeros(2)}, path), "is not a veltra_train checkpoint"),
        (lambda path: path.unlink(), "does not exist"),
    ])
    def test_damaged_files_are_refused(self, tmp_path, damage, message):
        path = write_checkpoint(tmp_path / "checkpoint.pt")
        damage(path)
        with pytest.raises(CheckpointError, match=message):
            load_checkpoint(path)

    def test_a_crash_while_saving_keeps_the_old_checkpoint(self, tmp_path, monkeypatch):
        path = write_checkpoint(tmp_path / "checkpoint.pt")
        before = path.read_bytes()

        def crash(data, file):
            file.write(b"half a checkpoint")
            raise OSError("disk full")

        monkeypatch.setattr(torch, "save", crash)
        with pytest.raises(OSError, match="disk full"):
            write_checkpoint(path)
        assert path.read_bytes() == before and os.listdir(tmp_path) == ["checkpoint.pt"]


class TestRunsThatCannotStart:
    def test_resume_refuses_another_shape_and_a_broken_checkpoint(self, tmp_path):
        write_checkpoint(tmp_path / "checkpoint.pt")
        with pytest.raises(RunError, match="has channels 8, not 16"):
            prepare_run(tmp_path, 1, True, {"channels": 16})
        with pytest.raises(RunError, match="has game 'tic_tac_toe', not 'connect_four'"):
            prepare_run(tmp_path, 1, True, {"game": "connect_four"})
        (tmp_path / "checkpoint.pt").write_bytes(b"garbage")
        with pytest.raises(RunError, match="corrupted"):
            prepare_run(tmp_path, 1, True, {})

    def test_a_checkpoint_of_another_network_shape_is_refused(self, tmp_path):
        path = write_checkpoint(tmp_path / "checkpoint.pt")
        data = torch.load(path, weights_only=True)
        data["config"]["channels"] = 16
        torch.save(data, path)
        with pytest.raises(RunError, match=r"weights do not fit its network \(tic_tac_toe, 1 blocks of 16 "
                           r"channels\): size mismatch for stem.0.weight"):
            prepare_run(tmp_path, 1, True, {})

    def test_an_existing_run_is_not_overwritten(self, tmp_path):
        path = write_checkpoint(tmp_path / "checkpoint.pt")
        before = path.read_bytes()
        with pytest.raises(RunError, match="already holds a run; pass --resume"):
            prepare_run(tmp_path, 1, False, {})
        assert path.read_bytes() == before

    @pytest.mark.parametrize("arguments, message", [
        (["--game", "chess"], "unknown game 'chess'"),
        (["--workers", "0"], "workers must be >= 1, not 0"),
        (["--minutes", "-1"], "--minutes must be a number > 0"),
        (["--eval-opponents", "random,mcts:x"], "unknown opponent 'mcts:x'"),
        (["--policy", "greedy"], "policy must be one of gumbel, puct"),
        (["--out", "{file}/run"], "is not a writable directory"),
        (["--resume"], "checkpoint .* does not exist"),
    ])
    def test_bad_arguments_are_named_before_anything_starts(self, tmp_path, capsys, arguments, message):
        (tmp_path / "file").write_text("")
        out = ["--out", str(tmp_path / "run")] if "--out" not in arguments else []
        argv = ["train", *out, *[a.format(file=tmp_path / "file") for a in arguments]]
        assert main(argv) == 2
        error = capsys.readouterr().err
        assert error.startswith("veltra_train train: error:")
        assert re.search(message, error), error
        assert not (tmp_path / "run").exists() or not os.listdir(tmp_path / "run")
