"""Embedding half: projection and fusion of embeddings, and vector retrieval."""
