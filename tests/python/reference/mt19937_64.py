"""An independent 64-bit Mersenne Twister (the std::mt19937_64 parameters), used to
predict the outcomes of seeded measurements."""

_MASK = (1 << 64) - 1
_N, _M = 312, 156
_MATRIX_A = 0xB5026F5AA96619E9
_UPPER = _MASK ^ ((1 << 31) - 1)
_LOWER = (1 << 31) - 1


class MT19937_64:
    def __init__(self, seed: int = 5489):
        self._state = [seed & _MASK]
        for i in range(1, _N):
            prev = self._state[-1]
            self._state.append((6364136223846793005 * (prev ^ (prev >> 62)) + i) & _MASK)
        self._index = _N

    def _twist(self) -> None:
        mt = self._state
        for i in range(_N):
            x = (mt[i] & _UPPER) | (mt[(i + 1) % _N] & _LOWER)
            xa = x >> 1
            if x & 1:
                xa ^= _MATRIX_A
            mt[i] = mt[(i + _M) % _N] ^ xa
        self._index = 0

    def next_u64(self) -> int:
        if self._index >= _N:
            self._twist()
        y = self._state[self._index]
        self._index += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        y ^= y >> 43
        return y & _MASK

    def next_unit(self) -> float:
        """u = (x >> 11) * 2**-53, in [0, 1)."""
        return (self.next_u64() >> 11) * (2.0**-53)
