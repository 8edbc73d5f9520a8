#pragma once

// The docstrings of veltra_search: one line, then the arguments and the errors.
// docs/search-reference.md has the rules.

namespace veltra::bindings::search_docs {

inline constexpr const char* kConfigDoc =
    "The parameters of a forest's searches: read-only, compared and hashed by value.";
inline constexpr const char* kConfigInitDoc = R"(Validates and holds the parameters of a search.

num_actions: A, the actions of every node (>= 1). num_simulations: S, simulations per search (>= 0).
pb_c_init, pb_c_base: PUCT's exploration constants. dirichlet_alpha, dirichlet_fraction: the
root noise of PUCT (fraction 0 turns it off). seed: the generator's seed, in [0, 2**64).
policy: 'puct' or 'gumbel'. max_considered_actions, gumbel_scale, value_scale, maxvisit_init:
the Gumbel policy's m, noise scale, c_scale and c_visit (validated under either policy).
num_threads: the native threads of a step (0: one per core, at most 1024).
leaves_per_step: K, the descents per tree of each step (1 to 1024), which pending visits spread
over different leaves before the step's one recurrent_fn call; S simulations take ceil(S/K) steps.
unvisited_value: 'min', 'parent' or 'mixed', the score of an unvisited child under PUCT.
solve: prove positions from exact terminal values: a solved node takes no more simulations
and a solved root ends its search. value_bounds: (low, high), the range of every value; a move
whose backed-up value reaches high is proven best.

Raises TypeError for an argument of the wrong type, ValueError for one out of range.)";
inline constexpr const char* kOutputDoc =
    "What a search found, per root: visits, values and targets of its children, and its move.";
inline constexpr const char* kForestDoc =
    "A search tree per root, searched together: each step descends once in every tree and has "
    "every new leaf evaluated by one recurrent_fn call.";
inline constexpr const char* kForestInitDoc = R"(Makes one root per state.

config: a SearchConfig. states: R objects, held by the forest; or one float32/float64 array
[R, *S] (NumPy or DLPack), kept as native rows, and then recurrent_fn and root_fn get and give
states as one array [B, *S] of that dtype. prior_logits: float [R, A].
values: float [R]. legal: bool [R, A] or None (every action legal); illegal logits are ignored.
root_fn(states) -> (prior_logits, values, legal): evaluates roots, with the same array rules as
recurrent_fn's outputs; with it, prior_logits, values and legal may be omitted, and the roots are
pending until the next search, which evaluates all pending roots in one root_fn call.

Raises TypeError for arguments of the wrong type, ValueError for wrong shapes, non-finite numbers,
a root whose legal logits are all -inf, or arrays omitted without a root_fn.)";
inline constexpr const char* kSearchDoc =
    R"(Runs num_simulations simulations in every tree and reports the roots.

recurrent_fn(states, actions) gets the parent states of a step's new leaves (a list, or one
array [B, *S] for array states) and their
actions (int64 [B]) and returns (next_states, rewards, discounts, prior_logits, values, legal):
B states, float [B], float [B], float [B, A], float [B] and bool [B, A] or None. Pending roots
are evaluated before the first step: those reset to a state by the forest's root_fn, in one call,
then those advanced to a move never searched by recurrent_fn, in another.

time_limit: seconds, or None; the search ends at the first step boundary after it (never before
its first step). roots: the indices (int) or a mask (bool [R]) of the roots to search, or None
for all; the others and their trees are left as they are.
With config.solve, a solved root takes no steps and the search ends once every root it steps
is solved.

Raises TypeError or ValueError for a bad recurrent_fn or output (naming the output and the row,
nothing of that step applied), for a bad time_limit or roots (IndexError for an index out of
range), RuntimeError while the forest is busy, and whatever recurrent_fn raises, unchanged.)";
inline constexpr const char* kTreeDoc = R"(Root i's tree as plain data, None for a pending root.

Each node is a dict with action, visits, value, prior, reward, discount, solved and children (a
list of such dicts in action order); the root's edge fields are None. max_depth: None for the whole tree.

Raises IndexError for i out of range, ValueError for a negative max_depth.)";
inline constexpr const char* kDrawTreeDoc =
    R"(Writes a picture of root i's tree, max_depth levels deep (None: all), with Graphviz.

path: its suffix chooses the format: .svg or .png (drawn by Graphviz's dot program, which must be
installed) or .dot/.gv (the DOT source, no Graphviz needed). Each node shows its visits N and
value V, each edge its action a and prior p; the principal line (from the root, the most visited
child again and again, lowest action on ties) is drawn in red.

Raises IndexError, TypeError or ValueError for a bad i or max_depth (as Forest.tree), ValueError
for a pending root or a path of another suffix, TypeError for a forest that is not a Forest,
RuntimeError when dot is missing (install Graphviz) or fails.)";
inline constexpr const char* kSelectDoc =
    R"(The move of every root (int64 [R]; -1 at a finished or pending root).

temperature: 0 for the recommended move (Gumbel's selected action, or the most visited legal
action, lowest on ties), else a draw with probability proportional to visits**(1/temperature).

Raises ValueError for a negative or NaN temperature.)";
inline constexpr const char* kAdvanceOneDoc =
    R"(Moves root i to its child by action, keeping that subtree.

i: a root index (negative counts from the end). action: a legal action of that root.

Raises IndexError for i out of range, ValueError for an illegal action or a pending root.)";
inline constexpr const char* kAdvanceAllDoc =
    R"(Moves every root by its action (int [R]; -1 at a root without legal action).

Every move is checked before any is applied. Raises ValueError for a wrong length or a move a
root cannot take.)";
inline constexpr const char* kResetDoc =
    R"(Replaces tree i by a single root: a new game in that slot.

i: a root index. state: the new root's state (of shape S for array states). prior_logits:
float [A]. value: a float.
legal: bool [A] or None. A forest with a root_fn may omit prior_logits, value and legal: the root
is then pending until the next search evaluates it with root_fn.

Raises IndexError for i out of range, TypeError or ValueError for bad arguments, with the tree
unchanged.)";

}  // namespace veltra::bindings::search_docs
