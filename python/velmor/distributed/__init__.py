"""Training beyond one machine: the deterministic block schedule on a Ray cluster.

``velmor.distributed.fit(graph, num_actors=K)`` returns the same ``KeyedVectors`` as
``Node2Vec(deterministic=True, num_blocks=P).fit(graph).wv``, bit for bit, with the training
matrices spread over K Ray actors. Needs the optional extra: ``pip install 'velmor[ray]'``.
"""

from velmor.distributed.driver import fit

__all__ = ["fit"]
