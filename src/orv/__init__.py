"""The orv toolkit."""
