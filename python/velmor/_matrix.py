"""Memory for the training matrices.

Training reads and writes rows of both matrices at random. Two properties of where they live
make that measurably faster, and neither is visible to a caller:

- rows that start on a 64-byte cache-line boundary, so that no vector load or store of a row
  straddles two lines (d = 128 rows are 512 bytes, so aligning the matrix aligns every row);
- for matrices of 4 MiB and more, a start on a 2 MiB boundary: NumPy asks the kernel for
  transparent huge pages on allocations that large, and the kernel can only back whole aligned
  2 MiB ranges with them. Fewer, larger pages mean fewer TLB misses on random rows.
"""

import numpy as np

from velmor._memory import Need, check_fits

_LINE = 64
_HUGE_PAGE = 2 << 20
_HUGE_ALLOCATION = 4 << 20  # NumPy's threshold for advising huge pages


def zeroed_matrix(rows: int, cols: int) -> np.ndarray:
    """A C-contiguous float32 matrix of zeros, aligned as described above."""
    nbytes = rows * cols * 4
    align = _HUGE_PAGE if nbytes >= _HUGE_ALLOCATION else _LINE
    # Zero-filled bytes come from calloc, so the padding is never touched and costs no memory.
    buffer = np.zeros(nbytes + align, dtype=np.uint8)
    start = -buffer.ctypes.data % align
    return buffer[start:start + nbytes].view(np.float32).reshape(rows, cols)


def starting_matrices(rng: np.random.Generator, rows: int, cols: int, *beside: Need):
    """The training matrices at their start, placed as above: input vectors (embeddings)
    uniform in [-1, 1) / cols drawn from ``rng``, as gensim 4 starts them, and output vectors
    (hidden layer) zero. (word2vec.c's narrower [-0.5, 0.5) / cols measurably costs quality.)

    Raises MemoryError, saying what was asked for and what it needs, when the two matrices, or
    they and what else the run needs (``beside``), exceed the memory the run may use
    (velmor._memory), or when they cannot be allocated."""
    matrices = Need(2 * rows * cols * 4, f"the training matrices for {rows} nodes at "
                                         f"dimensions={cols}", "fewer dimensions")
    check_fits(matrices, *beside)
    try:
        embeddings, hidden_layer = zeroed_matrix(rows, cols), zeroed_matrix(rows, cols)
    except MemoryError:
        raise MemoryError(matrices.refusal("which could not be allocated")) from None
    rng.random(dtype=np.float32, out=embeddings)
    scale_starting_rows(embeddings)
    return embeddings, hidden_layer


def scale_starting_rows(rows: np.ndarray) -> None:
    """Uniform draws in [0, 1) to starting input vectors, in place: (2u - 1) / cols, in float32
    step by step, so that rows scaled apart (a cluster actor's) equal those scaled together."""
    rows *= np.float32(2.0)
    rows -= np.float32(1.0)
    rows /= np.float32(rows.shape[1])
