"""A deliberately slow, literal pure-Python model of NeighborSampler.sample.

Used only as a test oracle: it follows the sampling algorithm step by step
with plain lists and dicts (no numpy, no shortcuts), so that any difference
from the native sampler points at a real disagreement about behaviour.
Results are SampleResults of six dicts of Python int lists.
"""

from vornlib_tools._batch import SampleResult

MASK32 = 0xFFFFFFFF
UNSORTED = "Found invalid non-sorted temporal neighborhood"


class MT19937:
    """The standard 32-bit Mersenne Twister; calling it returns one raw draw."""

    def __init__(self, seed):
        self.state = [seed & MASK32]
        for i in range(1, 624):
            prev = self.state[-1]
            self.state.append((1812433253 * (prev ^ (prev >> 30)) + i) & MASK32)
        self.index = 624

    def _twist(self):
        s = self.state
        for i in range(624):
            y = (s[i] & 0x80000000) | (s[(i + 1) % 624] & 0x7FFFFFFF)
            s[i] = s[(i + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
        self.index = 0

    def __call__(self):
        if self.index >= 624:
            self._twist()
        y = self.state[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        return y ^ (y >> 18)


def edge_key(edge_type):
    return "__".join(edge_type)


def ints(values):
    return [int(v) for v in values]


class ReferenceSampler:
    def __init__(self, node_types, edge_types, colptr, row, node_time, seed=123):
        self.node_types = list(node_types)
        self.edge_types = [tuple(e) for e in edge_types]
        self.colptr = {k: ints(v) for k, v in colptr.items()}
        self.row = {k: ints(v) for k, v in row.items()}
        self.node_time = {t: ints(node_time[t]) for t in self.node_types if t in node_time}
        self.draw = MT19937(seed % 2**32)

    # ---- selection of one node's neighbours --------------------------------

    def _upper_bound(self, time, first, count, bound):
        while count > 0:
            half = count // 2
            if time(first + half) > bound:
                count = half
            else:
                first, count = first + half + 1, count - half - 1
        return first

    def _check_order(self, time, a, b):
        if b - a >= 2 and time(a) > time(b - 1):
            raise RuntimeError(UNSORTED)

    def _floyd(self, lo, n, k):
        chosen, out = set(), []
        for j in range(n - k, n):
            r = self.draw() % (j + 1)
            if r in chosen:
                r = j
            chosen.add(r)
            out.append(lo + r)
        return out

    def choose(self, key, source, v, param, t):
        kind, a, b = param
        if kind == "count" and a == 0:
            return []
        if kind == "window" and t is None:
            return []
        lo, hi = self.colptr[key][v], self.colptr[key][v + 1]
        if hi <= lo:
            return []
        if kind == "count" and t is None:
            return list(range(lo, hi)) if a < 0 or a >= hi - lo else self._floyd(lo, hi - lo, a)

        def time(p):
            return self.node_time[source][self.row[key][p]]

        if kind == "count":
            end = self._upper_bound(time, lo, hi - lo, t)
            self._check_order(time, lo, end)
            return list(range(max(lo, end - a) if a > 0 else lo, end))
        first = lo if a is None else self._upper_bound(time, lo, hi - lo, t + a)
        end = self._upper_bound(time, first, hi - first, t + b)
        self._check_order(time, first, end)
        return list(range(first, end))

    # ---- one call -----------------------------------------------------------

    def sample(self, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time):
        keys = [edge_key(e) for e in self.edge_types]
        params, windowed = {}, set()
        for k in keys:
            if k in num_neighbors:
                params[k] = [("count", c, None) for c in ints(num_neighbors[k])]
            else:
                windowed.add(k)
                params[k] = [("window", None if s is None else int(s), int(e))
                             for s, e in sampling_time_offsets[k]]
        num_hops = max((len(p) for p in params.values()), default=0)

        seeds = ints(seed_node)
        times = ints(seed_time)[: len(seeds)]
        if not times and entity_table in self.node_time:
            times = [self.node_time[entity_table][s] for s in seeds]

        local = {t: [] for t in self.node_types}  # (batch, node) per local index
        index = {t: {} for t in self.node_types}
        frontier = {t: (0, 0) for t in self.node_types}
        node_counts = {t: [0] for t in self.node_types}
        edge_counts, rows, cols = ({k: [0] for k in keys}, {k: [] for k in keys}, {k: [] for k in keys})
        for i, s in enumerate(seeds):
            local[entity_table].append((i, s))
            index[entity_table][(i, s)] = i
        frontier[entity_table] = (0, len(seeds))
        node_counts[entity_table][0] = len(seeds)

        for h in range(num_hops):
            for (source, _, dest), k in zip(self.edge_types, keys):
                if dest not in local:
                    raise IndexError("unordered_map::at")
                if source not in local:
                    raise RuntimeError(f"Edge type '{k}' has source type '{source}', "
                                       "which is not included in 'node_types'.")
                edge_counts[k].append(0)
                if h < len(params[k]):
                    param = params[k][h]
                elif k in windowed:
                    raise IndexError(f"window offsets of '{k}' have no row {h}")
                else:
                    param = ("count", 0, None)  # a short count list counts as 0
                with_time = source in self.node_time and bool(times)
                begin, end = frontier[dest]
                for i in range(begin, end):
                    batch, v = local[dest][i]
                    for p in self.choose(k, source, v, param, times[batch] if with_time else None):
                        q = (batch, self.row[k][p])
                        if q not in index[source]:
                            index[source][q] = len(local[source])
                            local[source].append(q)
                        edge_counts[k][-1] += 1
                        rows[k].append(index[source][q])
                        cols[k].append(i)
            advanced = set()
            for t in self.node_types:
                if t in advanced:  # a repeated listing counts 0 and keeps the frontier
                    node_counts[t].append(0)
                    continue
                advanced.add(t)
                old, new = frontier[t][1], len(local[t])
                frontier[t] = (old, new)
                node_counts[t].append(new - old)

        nodes = {t: [n for _, n in local[t]] for t in self.node_types}
        batches = {t: [b for b, _ in local[t]] for t in self.node_types}
        return SampleResult(rows=rows, cols=cols, nodes=nodes, batches=batches, num_sampled_nodes=node_counts,
                            num_sampled_edges={k: c[1:] for k, c in edge_counts.items()})
