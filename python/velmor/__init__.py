"""velmor: fast, lean node2vec with a C++ core.

>>> import velmor
>>> graph = velmor.read_edgelist("data/karate/edges.tsv")
>>> model = velmor.Node2Vec(dimensions=32, seed=1).fit(graph)
>>> model.wv.most_similar("33", topn=3)  # doctest: +SKIP
"""

from velmor.edgelist import EdgeListError, EdgeListWarning, read_edgelist
from velmor.graph import Graph
from velmor.keyed import KeyedVectors
from velmor.model import Node2Vec, Node2VecWarning
from velmor.walks import simulate_walks

__version__ = "0.1.0"

__all__ = ["Node2Vec", "Graph", "read_edgelist", "KeyedVectors", "simulate_walks", "EdgeListError",
           "EdgeListWarning", "Node2VecWarning", "__version__"]
