"""The engine's generators, written again from the C++ standard's definitions: every env (and
every arena game) draws from a std::mt19937_64 seeded through std::seed_seq with the four 32-bit
words of (seed, index). The standard fixes both outputs, so a test can draw what an env draws."""

MASK32 = (1 << 32) - 1
MASK64 = (1 << 64) - 1


def seed_seq(words, n):
    """std::seed_seq(words).generate for n 32-bit outputs ([rand.util.seedseq])."""
    b = [0x8B8B8B8B] * n
    s = len(words)
    t = 11 if n >= 623 else 7 if n >= 68 else 5 if n >= 39 else 3 if n >= 7 else (n - 1) // 2
    p = (n - t) // 2
    q = p + t
    m = max(s + 1, n)

    def mix(x):
        return x ^ (x >> 27)

    for k in range(m):
        r1 = 1664525 * mix(b[k % n] ^ b[(k + p) % n] ^ b[(k - 1) % n]) & MASK32
        r2 = (r1 + (s if k == 0 else k % n + words[k - 1] if k <= s else k % n)) & MASK32
        b[(k + p) % n] = (b[(k + p) % n] + r1) & MASK32
        b[(k + q) % n] = (b[(k + q) % n] + r2) & MASK32
        b[k % n] = r2
    for k in range(m, m + n):
        r3 = 1566083941 * mix((b[k % n] + b[(k + p) % n] + b[(k - 1) % n]) & MASK32) & MASK32
        r4 = (r3 - k % n) & MASK32
        b[(k + p) % n] ^= r3
        b[(k + q) % n] ^= r4
        b[k % n] = r4
    return b


class MT19937_64:
    """std::mt19937_64 ([rand.eng.mers] with the parameters of [rand.predef])."""

    N, M, R = 312, 156, 31
    LOWER = (1 << R) - 1
    UPPER = MASK64 ^ LOWER

    def __init__(self, words):
        a = seed_seq(words, 2 * self.N)
        self.x = [a[2 * i] | a[2 * i + 1] << 32 for i in range(self.N)]
        if self.x[0] & self.UPPER == 0 and not any(self.x[1:]):
            self.x[0] = 1 << 63
        self.i = self.N

    def __call__(self):
        if self.i == self.N:
            x = self.x
            for i in range(self.N):
                y = x[i] & self.UPPER | x[(i + 1) % self.N] & self.LOWER
                x[i] = x[(i + self.M) % self.N] ^ y >> 1 ^ (0xB5026F5AA96619E9 if y & 1 else 0)
            self.i = 0
        y = self.x[self.i]
        self.i += 1
        y ^= y >> 29 & 0x5555555555555555
        y ^= y << 17 & 0x71D67FFFEDA60000
        y ^= y << 37 & 0xFFF7EEE000000000
        y ^= y >> 43
        return y & MASK64


def env_generator(seed, index):
    """The generator of env (or arena game) `index` after a reset with `seed`."""
    return MT19937_64([seed & MASK32, seed >> 32 & MASK32, index & MASK32, index >> 32 & MASK32])
