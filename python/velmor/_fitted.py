"""The error of a model used before it is fitted, and scikit-learn's description of the model.

scikit-learn is optional: it is imported only to raise its own ``NotFittedError`` (so that code
catching that class works) or when scikit-learn itself asks for the model's tags.
"""

from __future__ import annotations


class NotFittedError(ValueError, AttributeError):
    """A model used before ``fit``, where scikit-learn is not installed; where it is, its
    ``sklearn.exceptions.NotFittedError`` (with the same two bases) is raised instead."""


def not_fitted(message: str) -> Exception:
    """The error for a model used before ``fit``: scikit-learn's class if it is installed."""
    try:
        from sklearn.exceptions import NotFittedError as error_type
    except ImportError:
        error_type = NotFittedError
    return error_type(message)


def estimator_tags():
    """scikit-learn's tags for Node2Vec (scikit-learn 1.6 and later ask for them, in
    ``check_is_fitted`` and pipelines): a transformer that must be fitted, whose input is a
    graph in one of several forms, and whose result varies with thread timing."""
    from sklearn.utils import InputTags, Tags, TargetTags, TransformerTags

    return Tags(estimator_type=None, target_tags=TargetTags(required=False),
                transformer_tags=TransformerTags(), input_tags=InputTags(sparse=True),
                non_deterministic=True, requires_fit=True)
