"""The native engine of velmor: the compatibility module ``_native`` (CSR graphs, parameters
and its epoch) and the training engine ``_engine`` that the package builds its graphs, trains and
walks through. The names below are ``_native``'s where both modules have one (``csr_from_edges``:
``_engine``'s takes the node count as well)."""

from velmor.engine._engine import (
                                   WeightedCSRGraph,
                                   count_visits,
                                   train_epoch,
                                   weighted_csr_from_edges,
                                   write_walks,
)
from velmor.engine._native import CSRGraph, Node2VecParams, csr_from_edges, train_node2vec_epoch

__all__ = [
    "CSRGraph", "Node2VecParams", "WeightedCSRGraph", "count_visits", "csr_from_edges",
    "train_epoch", "train_node2vec_epoch", "weighted_csr_from_edges", "write_walks",
]
