"""Helpers for image-generation requests."""
