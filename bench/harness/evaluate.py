"""Embedding quality: multi-label node classification and link prediction."""

import warnings

import numpy as np
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import LogisticRegression
from sklearn.metrics import f1_score, roc_auc_score
from sklearn.multiclass import OneVsRestClassifier
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler


def read_labels(path):
    """Returns (nodes, Y): the labelled node ids and their 0/1 label matrix."""
    pairs = np.loadtxt(path, dtype=np.int64, comments="#", ndmin=2)
    nodes, node_row = np.unique(pairs[:, 0], return_inverse=True)
    labels, label_col = np.unique(pairs[:, 1], return_inverse=True)
    Y = np.zeros((len(nodes), len(labels)), dtype=np.int8)
    Y[node_row, label_col] = 1
    return nodes, Y


def splits(count, repeats, train_fraction=0.5, seed=0):
    """The same random train/test halves for every tool."""
    rng = np.random.default_rng(seed)
    cut = int(round(train_fraction * count))
    for _ in range(repeats):
        perm = rng.permutation(count)
        yield perm[:cut], perm[cut:]


def rows(emb, ids):
    """Embedding rows for node ids; ids a tool left out get zero vectors (and are counted)."""
    ids = np.asarray(ids)
    X = np.zeros((len(ids), emb.shape[1]), dtype=np.float64)
    inside = ids < len(emb)
    X[inside] = emb[ids[inside]]
    missing = ~np.isfinite(X).all(axis=1)
    X[missing] = 0.0
    return X, int(missing.sum())


def classify(emb, nodes, Y, repeats=5, seed=0):
    """One-vs-rest logistic regression on half of the labelled nodes, each test node given
    as many labels as it has (the most probable ones); Macro/Micro-F1 over the repeats."""
    X, missing = rows(emb, nodes)
    macro, micro = [], []
    for train, test in splits(len(nodes), repeats, seed=seed):
        scores = score_split(X[train], Y[train], X[test], Y[test])
        macro.append(scores["macro_f1"])
        micro.append(scores["micro_f1"])
    return {"macro_f1": float(np.mean(macro)), "macro_f1_std": float(np.std(macro)),
            "micro_f1": float(np.mean(micro)), "micro_f1_std": float(np.std(micro)),
            "missing_nodes": missing}


def score_split(X_train, Y_train, X_test, Y_test):
    """One-vs-rest logistic regression fitted on the training rows; each test node given as many
    labels as it has (the most probable ones); its Macro/Micro-F1."""
    clf = OneVsRestClassifier(LogisticRegression(solver="liblinear"), n_jobs=2)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # a label absent from a training half
        clf.fit(X_train, Y_train)
    prob = clf.predict_proba(X_test)
    order = np.argsort(-prob, axis=1)
    pred = np.zeros_like(Y_test)
    for i, ki in enumerate(Y_test.sum(axis=1)):
        pred[i, order[i, :ki]] = 1
    return {"macro_f1": float(f1_score(Y_test, pred, average="macro", zero_division=0)),
            "micro_f1": float(f1_score(Y_test, pred, average="micro", zero_division=0))}


def link_auc(emb, train_pos, train_neg, test_pos, test_neg):
    """Logistic regression on Hadamard products of the two end vectors; ROC AUC on the
    held-out edges against as many held-out non-edges."""
    def features(pairs):
        X, missing = rows(emb, pairs.ravel())
        X = X.reshape(len(pairs), 2, -1)
        return X[:, 0] * X[:, 1], missing

    a, m1 = features(train_pos)
    b, m2 = features(train_neg)
    c, m3 = features(test_pos)
    d, m4 = features(test_neg)
    X = np.vstack([a, b])
    y = np.r_[np.ones(len(a)), np.zeros(len(b))]
    clf = make_pipeline(StandardScaler(), LogisticRegression(max_iter=1000))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        clf.fit(X, y)
    score = clf.predict_proba(np.vstack([c, d]))[:, 1]
    auc = roc_auc_score(np.r_[np.ones(len(c)), np.zeros(len(d))], score)
    return {"auc": float(auc), "missing_pairs": m1 + m2 + m3 + m4}
