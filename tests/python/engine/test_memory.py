"""Deep chains and repeated build-and-release cycles: nodes are freed without recursion or leaks."""

import gc
import os

import pytest
import veltra_engine as ve

CHAIN = 1_000_000


def grow_chain(start: ve.Node, length: int) -> ve.Node:
    """Appends `length` nodes below `start`, one per level, holding only the newest in Python."""
    node = start
    for action in range(length):
        node = node.add_child(action, 0.0)
    return node


class TestMillionNodeChain:
    """Building, counting and freeing a chain far deeper than any call stack could recurse."""

    @pytest.mark.parametrize("release", ["clear_tree_first", "drop_tip_first", "reroot_then_drop"])
    def test_tree_chain(self, release: str) -> None:
        tree = ve.SearchTree()
        tip = grow_chain(tree.root(), CHAIN)
        assert tree.total_nodes() == CHAIN + 1
        assert tip.action() == CHAIN - 1
        if release == "clear_tree_first":
            tree.clear()  # the tip alone now keeps the chain alive
            assert tree.total_nodes() == 1
            tip.update(1.0)
            assert tip.visit_count() == 1
            del tip
        elif release == "drop_tip_first":
            del tip  # the tree still owns every node
            assert tree.total_nodes() == CHAIN + 1
            tree.clear()
            assert tree.total_nodes() == 1
        else:
            tree.reroot(0)
            assert tree.total_nodes() == CHAIN
            del tip
            del tree

    @pytest.mark.parametrize("drop_first", ["first", "tip"])
    def test_free_standing_chain(self, drop_first: str) -> None:
        first = ve.Node()
        tip = grow_chain(first, CHAIN)
        first.update(2.0)
        if drop_first == "first":
            del first  # held through the tip's ancestors
            tip.update(1.0)
            assert (tip.action(), tip.mean_value()) == (CHAIN - 1, 1.0)
            del tip
        else:
            del tip  # owned downward by the first node
            assert (first.visit_count(), first.is_expanded()) == (1, True)
            first.clear_children()
            assert first.is_expanded() is False


# A node needs at least its action, prior, visit count, total value and a parent link: far more
# than 24 bytes. A cycle below makes about NODES_PER_CYCLE nodes, so if the nodes of one cycle
# were never freed, CYCLES cycles would grow the process by at least
# CYCLES * NODES_PER_CYCLE * 24 bytes = 12 * 100_000 * 24 = 28.8 MB (measured: about 90 MiB with
# the tree of each cycle kept alive by one leaked reference), while a process that frees them stays
# flat (measured: under 0.1 MiB). The bound, a third of the smallest leak, leaves room for
# allocator noise on either side.
NODES_PER_CYCLE = 100_000
CYCLES = 12
WARM_UP_CYCLES = 3
MIN_LEAKED_NODE_BYTES = 24
GROWTH_BOUND = CYCLES * NODES_PER_CYCLE * MIN_LEAKED_NODE_BYTES // 3
WIDTH = 300  # root children, and children of each: 90_300 tree nodes
CHAIN_PER_CYCLE = 5_000
HUB_CHILDREN = 5_000


def resident_bytes() -> int:
    gc.collect()
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cycle(index: int) -> None:
    """Builds about NODES_PER_CYCLE nodes in several shapes and lets go of all of them."""
    tree = ve.SearchTree()
    root = tree.root()
    held = []
    for a in range(WIDTH):
        child = root.add_child(a, 0.5)
        for b in range(WIDTH):
            grandchild = child.add_child(b, 0.1)
            if b % 100 == 0:
                held.append(grandchild)
    del root, child, grandchild

    config = ve.SearchConfig()
    config.num_simulations = 1_000
    ve.SearchEngine(config).search(tree, lambda state: [0, 1, 2], lambda s, a: [], lambda: 0.5)
    tree.reroot(index % WIDTH)  # frees every other root child not held below
    del held
    tip = grow_chain(tree.root(), CHAIN_PER_CYCLE)
    if index % 2:  # free the chain from the root on odd cycles, from the tip on even ones
        del tip
        tree.clear()
    else:
        tree.clear()
        del tip

    hub = ve.Node()
    former = [hub.add_child(a, 0.1) for a in range(HUB_CHILDREN)][::50]
    hub.clear_children()
    del hub, former


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs Linux /proc")
class TestNoLeak:
    def test_repeated_cycles_keep_memory_flat(self) -> None:
        for index in range(WARM_UP_CYCLES):
            cycle(index)
        baseline = resident_bytes()
        for index in range(CYCLES):
            cycle(index)
        growth = resident_bytes() - baseline
        assert growth < GROWTH_BOUND, f"grew by {growth / 2**20:.1f} MiB over {CYCLES} cycles"
