"""The native engine of velmor: the compatibility module ``_native`` (CSR graphs, parameters
and its epoch) and the training engine ``_engine`` that the package trains and walks through."""

from velmor.engine._engine import count_visits, train_epoch, write_walks
from velmor.engine._native import CSRGraph, Node2VecParams, csr_from_edges, train_node2vec_epoch

__all__ = [
    "CSRGraph", "Node2VecParams", "count_visits", "csr_from_edges", "train_epoch",
    "train_node2vec_epoch", "write_walks",
]
