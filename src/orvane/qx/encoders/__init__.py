"""Encoders that turn raw sensor windows into embeddings."""
