"""Checksums that are no CRC, from their definitions: sums of bytes or of
words (the last word completed with zero bytes), plain or as their two's
or one's complement; Fletcher's two sums; Adler-32 as zlib computes it. Each
takes the data and the words' byte order, "little" or "big"."""

import zlib


def terms(data, size, order):
    data += bytes(-len(data) % size)
    return [int.from_bytes(data[i:i + size], order) for i in range(0, len(data), size)]


def fletcher(data, size, order):
    modulus, sum1, sum2 = (1 << 8 * size) - 1, 0, 0
    for term in terms(data, size, order):
        sum1 = (sum1 + term) % modulus
        sum2 = (sum2 + sum1) % modulus
    return sum2 << 8 * size | sum1


def summed(width, size, complement):
    def value(data, order):
        total = sum(terms(data, size, order))
        total = {"": total, "/neg": -total, "/not": ~total}[complement]
        return total % (1 << width)
    return value


SUMS = {f"sum-{width}{words}{complement}": summed(width, size, complement)
        for width, words, size in [(8, "", 1), (16, "", 1), (32, "", 1),
                                   (16, "/words", 2), (32, "/words", 4)]
        for complement in ("", "/neg", "/not")}
NOT_CRCS = {
    **SUMS,
    "fletcher-16": lambda data, order: fletcher(data, 1, order),
    "fletcher-32": lambda data, order: fletcher(data, 2, order),
    "adler-32": lambda data, order: zlib.adler32(data),
}
