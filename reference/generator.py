"""The random numbers of the reference forest: SplitMix64 and the draws veltra_search defines on it."""

from __future__ import annotations

import math

MASK64 = (1 << 64) - 1
TWO_TO_MINUS_53 = 1.0 / (1 << 53)


class Generator:
    """SplitMix64 with the uniform, normal and gamma draws veltra_search defines on it."""

    def __init__(self, seed: int) -> None:
        self.state = seed

    def next_u64(self) -> int:
        self.state = (self.state + 0x9E3779B97F4A7C15) & MASK64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def uniform(self) -> float:
        return (self.next_u64() >> 11) * TWO_TO_MINUS_53

    def normal(self) -> float:
        while True:
            u = 2.0 * self.uniform() - 1.0
            v = 2.0 * self.uniform() - 1.0
            s = u * u + v * v
            if 0.0 < s < 1.0:
                return u * math.sqrt((-2.0 * math.log(s)) / s)

    def gamma(self, alpha: float) -> float:
        if alpha < 1.0:
            g = self.gamma(alpha + 1.0)
            return g * math.pow(self.uniform(), 1.0 / alpha)
        d = alpha - 1.0 / 3.0
        c = 1.0 / math.sqrt(9.0 * d)
        while True:
            x = self.normal()
            v = 1.0 + c * x
            if v <= 0.0:
                continue
            v = v * v * v
            u = self.uniform()
            if u < 1.0 - 0.0331 * ((x * x) * (x * x)):
                return d * v
            if math.log(u) < (0.5 * x) * x + d * ((1.0 - v) + math.log(v)):
                return d * v
