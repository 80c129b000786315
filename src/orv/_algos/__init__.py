"""Algorithms of the orv toolkit."""
