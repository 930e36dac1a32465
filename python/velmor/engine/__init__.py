"""The native engine of velmor: the compiled ``_native`` module, re-exported."""

from velmor.engine._native import CSRGraph, Node2VecParams, csr_from_edges, train_node2vec_epoch

__all__ = ["CSRGraph", "Node2VecParams", "csr_from_edges", "train_node2vec_epoch"]
