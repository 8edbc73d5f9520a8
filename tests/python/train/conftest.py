"""The trainer's tests: veltra_train from this source tree, one local Ray instance for the session."""

import pathlib
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO))

import veltra_search  # noqa: E402,F401  (a missing module fails the tests)
import veltra_train  # noqa: E402,F401
from veltra_train.trainer import loopback_only  # noqa: E402

loopback_only()  # before anything imports Ray: every Ray process of the tests listens on 127.0.0.1


@pytest.fixture(autouse=True)
def one_torch_thread():
    """As in a worker: one intra-op thread (two cores shared by the learner and the workers)."""
    import torch

    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


@pytest.fixture(scope="session")
def ray_session():
    """One local Ray instance for the whole session, on loopback, two CPUs for two workers."""
    import ray

    from veltra_train.trainer import _module_paths

    ray.init(address="local", num_cpus=2, _node_ip_address="127.0.0.1", include_dashboard=False, log_to_driver=False,
             runtime_env={"env_vars": {"PYTHONPATH": ":".join(_module_paths())}})
    yield ray
    ray.shutdown()
